// Figures of the relation store: open+close, puts (one per transaction and all in one),
// a walk and random gets over 100,000 envelope-sized records, peak memory.
#include <sys/resource.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"

namespace {

constexpr uint32_t kRecords = 100000;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Report(const char* what, uint32_t count, double seconds)
{
    std::printf("%-48s %8u ops %9.3f s %10.2f us/op %12.0f ops/s\n", what, count, seconds, seconds * 1e6 / count,
                count / seconds);
}

void Fail(const char* what, int result)
{
    std::fprintf(stderr, "relation_store_bench: %s failed with %d\n", what, result);
    std::exit(1);
}

// An envelope record of typical size: about 600 bytes of fields.
void FillEnvelope(archiveenv& env, uint32_t id)
{
    env.clear();
    env.setKey({id, 0});
    env.setMessageSize(4000 + id % 1000);
    env.setHeaderSize(900);
    const std::string n = std::to_string(id);
    env.date.cpy("Fri, 28 Sep 2001 14:05:10 +0200");
    const std::string personal = std::string(4, '\0') + "Jane Example " + n + '\0';
    env.fromPersonal.cpy(personal.data(), static_cast<uint32_t>(personal.size()));
    const std::string mailbox = std::string("\x0c\0\0\0", 4) + "jane.example" + '\0';
    env.fromMailbox.cpy(mailbox.data(), static_cast<uint32_t>(mailbox.size()));
    const std::string host = std::string("\x0c\0\0\0", 4) + "example.org" + '\0';
    env.fromHost.cpy(host.data(), static_cast<uint32_t>(host.size()));
    env.senderMailbox.cpy(env.fromMailbox);
    env.senderHost.cpy(env.fromHost);
    env.replyToMailbox.cpy(env.fromMailbox);
    env.replyToHost.cpy(env.fromHost);
    env.toMailbox.cpy(mailbox.data(), static_cast<uint32_t>(mailbox.size()));
    env.toHost.cpy(host.data(), static_cast<uint32_t>(host.size()));
    env.subject.cpy(("Re: the quarterly planning meeting and its agenda, part " + n).c_str());
    const std::string id1 = std::to_string(id - 1);
    std::string messageId = "<";
    messageId.append(n).append(".1234567890@mail.example.org>");
    env.messageId.cpy(messageId.c_str());
    std::string inReplyTo = "<";
    inReplyTo.append(id1).append(".1234567890@mail.example.org>");
    env.inReplyTo.cpy(inReplyTo.c_str());
    std::string references = "<1.1234567890@mail.example.org> ";
    references.append(inReplyTo);
    env.references.cpy(references.c_str());
}

long PeakRssKb()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/dlarchive-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp", -1);
    const std::string dir = pattern;
    const std::string single = dir + "/single";
    const std::string batch = dir + "/batch";
    std::filesystem::create_directories(single);
    std::filesystem::create_directories(batch);
    for (const std::string& d : {single, batch}) {
        if (diaRel::Create(d.c_str(), "archiveenv") != db_ok) Fail("Create", -1);
    }
    diamondBase base;

    // Open and close of a relation (no statement run).
    {
        constexpr uint32_t n = 20000;
        const auto start = Clock::now();
        for (uint32_t i = 0; i < n; ++i) {
            archiveenv env(base, single.c_str());
            if (env.status() != db_ok) Fail("open", env.status());
        }
        Report("open+close", n, Seconds(start));
    }
    // Open, one get (of a missing key), close: the first statement reads the schema.
    {
        constexpr uint32_t n = 10000;
        const auto start = Clock::now();
        for (uint32_t i = 0; i < n; ++i) {
            archiveenv env(base, single.c_str());
            env.setKey({i, 0});
            if (env.get(0) != db_notfound) Fail("get", -1);
        }
        Report("open+get+close", n, Seconds(start));
    }
    // The same without a connection kept for reuse: SQLite's first connection to the file
    // (WAL index, schema) and its last one (checkpoint) every time.
    {
        constexpr uint32_t n = 2000;
        const auto start = Clock::now();
        for (uint32_t i = 0; i < n; ++i) {
            diamondBase::ReleaseIdle();
            archiveenv env(base, single.c_str());
            env.setKey({i, 0});
            if (env.get(0) != db_notfound) Fail("cold get", -1);
        }
        diamondBase::ReleaseIdle();
        Report("open+get+close, nothing kept (cold)", n, Seconds(start));
    }
    // 100,000 puts, each its own transaction (as the intake stores one message).
    {
        archiveenv env(base, single.c_str());
        const auto start = Clock::now();
        for (uint32_t i = 1; i <= kRecords; ++i) {
            FillEnvelope(env, i);
            const dbError rc = env.put();
            if (rc != db_ok) Fail("put", rc);
        }
        Report("put, one transaction per record", kRecords, Seconds(start));
    }
    // The same with an open and close of the relation around every put.
    {
        constexpr uint32_t n = 10000;
        const auto start = Clock::now();
        for (uint32_t i = 1; i <= n; ++i) {
            archiveenv env(base, single.c_str());
            FillEnvelope(env, kRecords + i);
            const dbError rc = env.put();
            if (rc != db_ok) Fail("open+put", rc);
        }
        Report("open+put+close, one transaction each", n, Seconds(start));
    }
    // 100,000 puts in one transaction.
    {
        archiveenv env(base, batch.c_str());
        const auto start = Clock::now();
        if (env.lock(false, -1) != db_ok) Fail("lock", -1);
        for (uint32_t i = 1; i <= kRecords; ++i) {
            FillEnvelope(env, i);
            const dbError rc = env.put();
            if (rc != db_ok) Fail("put in lock", rc);
        }
        if (env.unlock() != db_ok) Fail("unlock", -1);
        Report("put, all in one transaction", kRecords, Seconds(start));
    }
    // A walk over 100,000 records.
    {
        archiveenv env(base, batch.c_str());
        const auto start = Clock::now();
        uint32_t count = 0;
        env.begin(0);
        for (env.first(); env.status() == db_ok; env.next()) ++count;
        if (env.status() != db_eof || count != kRecords) Fail("walk", env.status());
        Report("walk (first/next), per record", count, Seconds(start));
    }
    // Gets of 100,000 random keys.
    {
        archiveenv env(base, batch.c_str());
        std::mt19937 random(7);
        std::vector<uint32_t> keys(kRecords);
        for (uint32_t& k : keys) k = 1 + random() % kRecords;
        const auto start = Clock::now();
        for (uint32_t k : keys) {
            env.setKey({k, 0});
            const dbError rc = env.get(0);
            if (rc != db_ok) Fail("random get", rc);
        }
        Report("get of a random key", kRecords, Seconds(start));
    }
    std::printf("relation file of %u records: %.1f MB\n", kRecords,
                std::filesystem::file_size(batch + "/archiveenv.db") / 1e6);
    std::printf("peak RSS: %ld kB\n", PeakRssKb());
    std::filesystem::remove_all(dir);
    return 0;
}

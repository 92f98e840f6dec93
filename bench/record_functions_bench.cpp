// Figures of the record functions: storing, reading and removing the envelope and body tree
// of parsed messages (the test messages, cycled), as the intake and a rebuild do.
// Usage: record_functions_bench [MESSAGE_DIR [COUNT]]
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/cclient.h"

namespace cc = dlarchive::cclient;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Report(const char* what, uint32_t count, double seconds)
{
    std::printf("%-52s %7u msgs %8.3f s %9.2f us/msg\n", what, count, seconds, seconds * 1e6 / count);
}

void Check(const char* what, int result, int expected = db_ok)
{
    if (result == expected) return;
    std::fprintf(stderr, "record_functions_bench: %s gave %d\n", what, result);
    std::exit(1);
}

struct Message {
    std::string bytes;
    uint32_t headerSize = 0;
    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;
};

uint32_t HeaderSize(const std::string& m)
{
    std::size_t lf = m.find("\n\n"), crlf = m.find("\r\n\r\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return static_cast<uint32_t>(crlf + 4);
    return lf != std::string::npos ? static_cast<uint32_t>(lf + 2) : static_cast<uint32_t>(m.size());
}

struct Store {
    std::string dir;
    diamondBase base;
    std::unique_ptr<archiveenv> envelopes;
    std::unique_ptr<archivebody> bodies;

    explicit Store(const std::string& d) : dir(d)
    {
        std::filesystem::create_directories(dir);
        Check("create", diaRel::Create(dir.c_str(), "archiveenv", true));
        Check("create", diaRel::Create(dir.c_str(), "archivebody", true));
        envelopes = std::make_unique<archiveenv>(base, dir.c_str());
        bodies = std::make_unique<archivebody>(base, dir.c_str());
        Check("open", envelopes->status());
        Check("open", bodies->status());
    }
};

void AddAll(Store& s, std::vector<Message>& messages, uint32_t count)
{
    for (uint32_t id = 1; id <= count; ++id) {
        Message& m = messages[id % messages.size()];
        const auto size = static_cast<uint32_t>(m.bytes.size());
        idxkey envKey{id, 0}, bodyKey{id, 0};
        Check("AddArchiveEnv", AddArchiveEnv(s.envelopes.get(), &envKey, m.envelope, size, m.headerSize));
        envKey.seq = 0;
        Check("AddArchiveBody",
              AddArchiveBody(s.bodies.get(), s.envelopes.get(), &bodyKey, &envKey, m.body, size, m.headerSize));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string source =
        argc > 1 ? argv[1]
                 : (std::filesystem::path(__FILE__).parent_path().parent_path() / "tests/data/messages").string();
    const uint32_t count = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 20000;
    std::vector<Message> messages;
    for (const auto& entry : std::filesystem::directory_iterator(source)) {
        if (entry.path().extension() != ".eml") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        Message m;
        m.bytes.assign(std::istreambuf_iterator<char>(in), {});
        m.headerSize = HeaderSize(m.bytes);
        messages.push_back(std::move(m));
    }
    if (messages.empty()) {
        std::fprintf(stderr, "record_functions_bench: no .eml files in %s\n", source.c_str());
        return 1;
    }
    for (Message& m : messages) {
        cc::ParseMessage(m.bytes.data(), static_cast<uint32_t>(m.bytes.size()), m.headerSize, &m.envelope, &m.body);
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string root =
        std::string(tmp != nullptr ? tmp : "/tmp") + "/record_functions_bench." + std::to_string(getpid());
    std::printf("%zu distinct messages, cycled\n", messages.size());

    {
        Store s(root + "/a");
        auto start = Clock::now();
        AddAll(s, messages, count / 10);
        Report("add env+body, one transaction per record", count / 10, Seconds(start));
    }
    Store s(root + "/b");
    auto start = Clock::now();
    Check("lock", s.envelopes->lock());
    Check("lock", s.bodies->lock());
    AddAll(s, messages, count);
    Check("unlock", s.bodies->unlock());
    Check("unlock", s.envelopes->unlock());
    Report("add env+body, all in one transaction", count, Seconds(start));
    uint32_t bodyRecords = 0, envelopeRecords = 0;
    s.bodies->begin(0);
    for (s.bodies->first(); s.bodies->status() == db_ok; s.bodies->next()) ++bodyRecords;
    s.envelopes->begin(0);
    for (s.envelopes->first(); s.envelopes->status() == db_ok; s.envelopes->next()) ++envelopeRecords;
    std::printf("records: %u body, %u envelope (%.2f and %.2f per message)\n", bodyRecords, envelopeRecords,
                double(bodyRecords) / count, double(envelopeRecords) / count);

    start = Clock::now();
    for (uint32_t id = 1; id <= count; ++id) {
        idxkey key{id, 0};
        mail_envelope* env = nullptr;
        mail_bodystruct* body = nullptr;
        uint32_t messageSize = 0, headerSize = 0;
        Check("GetArchiveEnv", GetArchiveEnv(s.envelopes.get(), &key, &env, messageSize, headerSize));
        Check("GetArchiveBody",
              GetArchiveBody(s.bodies.get(), s.envelopes.get(), &key, &body, messageSize, headerSize));
        cc::FreeEnvelope(&env);
        cc::FreeBody(&body);
    }
    Report("get env+body", count, Seconds(start));

    start = Clock::now();
    Check("lock", s.bodies->lock());
    for (uint32_t id = 1; id <= count; ++id) {
        idxkey key{id, 0};
        Check("RemoveArchiveBody", RemoveArchiveBody(s.bodies.get(), s.envelopes.get(), &key));
    }
    Check("unlock", s.bodies->unlock());
    Report("remove body tree (envelopes of inner messages too)", count, Seconds(start));

    for (Message& m : messages) {
        cc::FreeEnvelope(&m.envelope);
        cc::FreeBody(&m.body);
    }
    s.bodies.reset();
    s.envelopes.reset();
    std::filesystem::remove_all(root);
    return 0;
}

// Search and navigation on a list's archive: one search per criterion and the previous and
// next message of the middle message in each order, with the cache warm (each operation runs
// once before it is timed; the median of three runs is shown). With --literal the same
// operations run as plainly written walks too (an envelope read, a relation open and language
// tables per record), so that the ratio shows.
// Usage: search_bench CONFIG_DIR LIST [--literal]   (run by bench/archive_bench.sh)
#include <sys/resource.h>

#include <strings.h>

#include <time.h>
#include <algorithm>
#include <array>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dlarchive/dlarchive.h"
#include "platform/cclient.h"

namespace {

double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Wall time and processor time (user and system) of one run, medians of three after a
// warming run: on a machine shared with other work the processor time is the steadier figure.
struct Timing {
    double wall, cpu;
};
Timing Seconds(const std::function<void()>& run)
{
    run();
    std::vector<double> wall, cpu;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        run();
        cpu.push_back(CpuSeconds() - cpuStart);
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[1], cpu[1]};
}

double PeakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

using Texts = std::array<std::string, 3>;  // author, date, subject as the navigation builds them

Texts TextsOf(CDlArchive& a, const mail_envelope* e)
{
    char author[1024] = {}, date[1024] = {}, subject[1024] = {};
    a.GetAuthorOfMessage(e, author, "en-us");
    a.GetDateOfMessage(e, date, "en-us");
    a.GetSubjectOfMessage(e, subject, "en-us");
    return {author[0] == ' ' ? author + 1 : author, date, subject};
}

// The walks as written: every record read through GetArchiveEnv, the criteria and texts each
// with a language table of their own.
std::size_t LiteralSearch(CDlArchive& a, const char* text, SearchCriterion criterion, const char* ic, bool partial)
{
    char pattern[1024] = {};
    if (criterion == SearchByDate) a.ParseDateInput(text, pattern, "en-us");
    std::size_t found = 0;
    diamondBase base;
    archiveenv env(base, a.GetArchivePathText(), "archiveenv");
    env.begin(0);
    for (env.first(); env.status() == db_ok; env.next()) {
        if (env.key().seq != 0) continue;
        mail_envelope* e = nullptr;
        uint32_t size = 0, header = 0;
        a.GetArchiveEnv(env.key().id, 0, e, size, header);
        const bool match = criterion == SearchByAuthor ? a.CheckAuthorValue(e, text, ic, partial, "en-us")
                           : criterion == SearchByDate ? a.CheckDateValue(e, pattern, ic, partial, "en-us")
                                                       : a.CheckSubjectValue(e, text, ic, partial, "en-us");
        if (match) ++found, TextsOf(a, e);
        dlarchive::cclient::FreeEnvelope(&e);
    }
    return found;
}

uint32_t LiteralNeighbour(CDlArchive& a, bool previous, uint32_t current, const std::string& key, int sort)
{
    uint32_t found = 0;
    diamondBase base;
    archiveenv env(base, a.GetArchivePathText(), "archiveenv");
    env.begin(0);
    const auto reply = [](const std::string& t) { return t.size() >= 3 && strncasecmp(t.c_str(), "re:", 3) == 0; };
    const auto strip = [](const std::string& t) { return t.size() > 4 ? t.substr(4) : std::string(); };
    const std::string root = reply(key) ? strip(key) : key;
    for (env.first(); env.status() == db_ok; env.next()) {
        const uint32_t id = env.key().id;
        if (previous ? id >= current : id <= current) continue;
        mail_envelope* e = nullptr;
        uint32_t size = 0, header = 0;
        a.GetArchiveEnv(id, static_cast<int8_t>(env.key().seq), e, size, header);
        const Texts t = TextsOf(a, e);
        dlarchive::cclient::FreeEnvelope(&e);
        const bool thread = (previous && reply(key) && t[2] == root) || (reply(t[2]) && strip(t[2]) == root);
        if (sort == 2 ? thread : t[sort] == key) {
            found = id;
            if (!previous) break;
        }
    }
    return found;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::printf("search_bench: needs CONFIG_DIR LIST; bench/archive_bench.sh runs it on list traffic\n");
        return 0;
    }
    setenv("KELMO_CONFIG_DIR", argv[1], 1);
    const bool literal = argc > 3 && std::strcmp(argv[3], "--literal") == 0;
    CDlArchive a;
    a.SetListName(argv[2]);
    a.GetArchivePath();
    std::vector<uint32_t> ids;
    {
        diamondBase base;
        archiveenv env(base, a.GetArchivePathText(), "archiveenv");
        env.begin(0);
        for (env.first(); env.status() == db_ok; env.next())
            if (env.key().seq == 0) ids.push_back(env.key().id);
    }
    if (ids.empty()) {
        std::fprintf(stderr, "search_bench: %s has no messages\n", argv[2]);
        return 1;
    }
    const uint32_t middle = ids[ids.size() / 2];
    mail_envelope* e = nullptr;
    uint32_t size = 0, header = 0;
    a.GetArchiveEnv(middle, 0, e, size, header);
    const Texts own = TextsOf(a, e);
    dlarchive::cclient::FreeEnvelope(&e);
    const std::string subjectText =
        own[2].size() > 4 && strncasecmp(own[2].c_str(), "re:", 3) == 0 ? own[2].substr(4) : own[2];
    struct Query {
        const char* name;
        std::string text;
        SearchCriterion criterion;
        const char* ic;
        bool partial;
    };
    const Query queries[] = {{"author", own[0], SearchByAuthor, "Y", false},
                             {"date", own[1], SearchByDate, nullptr, false},
                             {"subject", subjectText, SearchBySubject, "Y", false}};
    std::printf("%zu messages; middle message %u: author \"%s\", date \"%s\", subject \"%s\"\n", ids.size(), middle,
                own[0].c_str(), own[1].c_str(), own[2].c_str());
    for (const bool plain : {false, true}) {
        if (plain && !literal) break;
        const char* how = plain ? "literal walk" : "one walk";
        for (const Query& q : queries) {
            std::size_t found = 0;
            const Timing s = Seconds([&] {
                if (plain) {
                    found = LiteralSearch(a, q.text.c_str(), q.criterion, q.ic, q.partial);
                    return;
                }
                ms* c[4] = {};
                a.SearchArchiveMessages(&c[0], &c[1], &c[2], &c[3], q.text.c_str(), q.ic, q.criterion, q.partial,
                                        "en-us");
                found = 0;
                for (const ms* i = c[0]; i != nullptr; i = i->next) ++found;
                for (ms* chain : c) freeStringChain(chain);
            });
            std::printf("  %-13s search by %-8s        %8.3f s wall %8.3f s cpu  %6zu found\n", how, q.name, s.wall,
                        s.cpu, found);
        }
        const char* orders[] = {"author", "date", "thread"};
        for (int sort = 0; sort < 3; ++sort) {
            for (const bool previous : {true, false}) {
                uint32_t found = 0;
                const Timing s = Seconds([&] {
                    if (plain) {
                        found = LiteralNeighbour(a, previous, middle, own[sort], sort);
                        return;
                    }
                    char author[260] = {}, date[64] = {}, subject[260] = {};
                    found = 0;
                    (a.*(previous ? &CDlArchive::GetPreviousArchiveMsg : &CDlArchive::GetNextArchiveMsg))(
                        middle, own[sort].c_str(), sort, found, author, date, subject, "en-us");
                });
                std::printf("  %-13s %-4s by %-8s        %8.3f s wall %8.3f s cpu  found %u\n", how,
                            previous ? "prev" : "next", orders[sort], s.wall, s.cpu, found);
            }
        }
        std::printf("  %-13s peak memory so far %.1f MB\n", how, PeakMegabytes());
    }
    return 0;
}

// Nothing lost, nothing escapes: runs that race, runs that are killed, names that would leave
// the home, records that lost their other half. Real processes, real files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "dlarchive/archive.h"
#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "platform/cclient.h"
#include "support/archive_home.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

std::string Cli()
{
    return testenv::Quote(DLARCHIVE_CLI);
}

using Repairs = testenv::SalesList;

std::string Mbox(int first, int count)
{
    std::string text;
    for (int i = first; i < first + count; ++i)
        text +=
            "From ann@example.org Mon Oct  1 09:00:00 2001\n" + testenv::SimpleMessage("Message " + std::to_string(i));
    return text;
}

// What is wrong with an archive directory after a run: message files whose envelope or body is
// not stored (read from the relations themselves, no repair on the way), and files no run may
// leave (anything but messages, relations and their side files, pages). Empty when sound.
std::string Unsound(const std::string& archive)
{
    std::string wrong;
    diamondBase base;
    archiveenv envelopes(base, archive.c_str(), "archiveenv");
    archivebody bodies(base, archive.c_str(), "archivebody");
    for (const auto& entry : fs::directory_iterator(archive)) {
        const std::string name = entry.path().filename();
        if (name.ends_with(".msg")) {
            envelopes.setKey(idxkey{CDlArchive::GetId(name.c_str()), 0});
            bodies.setKey(idxkey{CDlArchive::GetId(name.c_str()), 0});
            if (envelopes.get(0) != db_ok || bodies.get(0) != db_ok) wrong += " unindexed " + name;
        } else if (!name.ends_with(".html") && name.rfind("archiveenv.db", 0) != 0 &&
                   name.rfind("archivebody.db", 0) != 0) {
            wrong += " left " + name;
        }
    }
    return wrong;
}

// Four imports of 100 messages each race a rebuild of the same list: afterwards every message
// file is indexed, no marker or temporary file is left, and the pages list every message.
TEST(ArchiveSafety, ImportsRacingARebuildLoseNothing)
{
    for (int round = 0; round < 4; ++round) {
        testenv::ArchiveHome home;
        const std::string archive = home.CreateList("sales");
        // What a process that had the templates open leaves beside them.
        testenv::WriteFile(home.path() + "/archiveenv.db-wal", std::string(4096, 'w'));
        testenv::WriteFile(home.path() + "/archivebody.db-shm", std::string(32768, 's'));
        for (int i = 0; i < 4; ++i) testenv::WriteFile(home.path() + "/in" + std::to_string(i), Mbox(i * 100, 100));
        std::string script;
        for (int i = 0; i < 4; ++i)
            script += "(" + Cli() + " import sales " + home.path() + "/in" + std::to_string(i) +
                      " >/dev/null; echo $? >" + home.path() + "/st" + std::to_string(i) + ") & ";
        script += "sleep 0." + std::to_string(1 + round % 4) + "; " + Cli() + " rebuild sales; wait";
        const auto r = testenv::Run(script);
        ASSERT_EQ(r.status, 0) << r.err;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(testenv::ReadFile(home.path() + "/st" + std::to_string(i)), "0\n");
        EXPECT_EQ(Unsound(archive), "") << "round " << round;
        ASSERT_EQ(testenv::Run(Cli() + " pages sales").status, 0);
        const std::string page = testenv::ReadFile(archive + "en-us-thread.html");
        for (int n = 1; n <= 400; ++n)
            ASSERT_NE(page.find("&nId=" + std::to_string(n) + "&"), std::string::npos) << n << " round " << round;
    }
}

// A rebuild killed after every message it stores, and an import killed at many moments: every
// message file stays, nothing is read from the half-built relations (20 with automatic rebuild
// off), the next operation repairs them (18), and then every message reads back as written.
TEST_F(Repairs, RunsKilledAtEveryStep)
{
    constexpr int kMessages = 8;
    for (int i = 1; i <= kMessages; ++i)
        home.WriteMessage("sales", i, testenv::SimpleMessage("Message " + std::to_string(i)));
    const auto expectRepaired = [&](const std::string& when) {
        const auto read = [&](const char* autoRebuild) { return home.WriteIni(autoRebuild), Read(1); };
        // Half-built relations are never served: reported with automatic rebuild off, repaired on.
        const auto off = read("N");
        EXPECT_EQ(off.first, 20) << when << off.second;
        const auto on = read("Y");
        EXPECT_EQ(on.first, 18) << when << on.second;
        EXPECT_EQ(Unsound(archive), "") << when;
    };
    for (int step = 1; step < kMessages; ++step) {
        const pid_t child = fork();
        if (child == 0) {
            static int killAt;
            killAt = step;
            CDlArchive::SetProgressHandler(
                [](uint32_t done, uint32_t, void*) {
                    if (static_cast<int>(done) == killAt) ::raise(SIGKILL);
                },
                nullptr);
            RebuildArchiveDb("sales");
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << step;
        expectRepaired("rebuild killed after message " + std::to_string(step));
    }
    // The import is killed by time: early, between files, late.
    testenv::WriteFile(home.path() + "/in", Mbox(100, 200));
    for (int delay : {5, 20, 40, 80, 160}) {
        const auto r = testenv::Run(Cli() + " import sales " + home.path() + "/in >/dev/null & sleep 0." +
                                    std::to_string(1000 + delay).substr(1) + "; kill -9 $! 2>/dev/null; wait");
        (void)r;
        // Only a run that was really cut short leaves a trace; one that finished has none.
        if (!fs::exists(archive + ".run-incomplete")) continue;
        expectRepaired("import killed after " + std::to_string(delay) + " ms");
    }
    for (int i = 1; i <= kMessages; ++i) EXPECT_TRUE(fs::exists(archive + std::to_string(i) + ".msg"));
}

// A list name is one file name: anything else gives no archive path, and the tool writes nothing.
TEST(ArchiveSafety, ListNamesNeverLeaveTheHome)
{
    testenv::ArchiveHome home;
    home.CreateList("sales");
    for (const char* name : {"..", ".", "../../x", "a/b", "a\\b", "tab\there", "new\nline", "del\x7f"}) {
        CDlArchive manager("test");
        ASSERT_TRUE(manager.SetListName(name));
        manager.GetArchivePath();
        EXPECT_STREQ(manager.GetArchivePathText(), "") << name;
        EXPECT_EQ(manager.GetLastError(), 20) << name;
        EXPECT_STREQ(manager.GetLastErrorMsg(), "Invalid list name") << name;
    }
    testenv::WriteFile(home.path() + "/in", Mbox(1, 2));
    const auto before = std::distance(fs::recursive_directory_iterator(home.path()), {});
    const std::string escape = "escape-" + std::to_string(::getpid());
    for (const std::string& name : {"../../" + escape, std::string(".."), std::string("../sales")}) {
        const auto r = testenv::Run(Cli() + " import " + testenv::Quote(name) + " " + home.path() + "/in");
        EXPECT_EQ(r.status, 1) << name << r.err;
        EXPECT_NE(r.err.find("Invalid list name"), std::string::npos) << r.err;
    }
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(home.path()), {}), before);
    EXPECT_FALSE(fs::exists(fs::path(home.path()).parent_path().parent_path() / escape));
}

// A message whose envelope is stored without its body (or the other way round) counts as damage:
// the read repairs it and logs what was found where.
TEST_F(Repairs, HalfStoredMessages)
{
    for (int i = 1; i <= 3; ++i) home.WriteMessage("sales", i, testenv::SimpleMessage("Message " + std::to_string(i)));
    for (int i = 1; i <= 3; ++i) ASSERT_TRUE(manager.AddArchive(archive.c_str(), i));
    for (const bool dropBody : {true, false}) {
        {
            diamondBase base;
            archivebody bodies(base, archive.c_str(), "archivebody");
            archiveenv envelopes(base, archive.c_str(), "archiveenv");
            idxkey key{2, 0};
            ASSERT_EQ(dropBody ? RemoveArchiveBody(&bodies, &envelopes, &key) : RemoveArchiveEnv(&envelopes, &key), 0);
        }
        EXPECT_EQ(Read(2, dropBody).first, 18);  // never served half-stored
        EXPECT_EQ(Unsound(archive), "");
    }
    const std::string log = testenv::ReadFile(home.path() + "/log/kelmo.log");
    EXPECT_NE(log.find(" 1 DL Archive: Damage of archivebody found by a read (or an envelope without body) in list "
                       "sales: automatic rebuild"),
              std::string::npos)
        << log;
}

}  // namespace

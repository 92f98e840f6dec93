// Files that are not what they claim, hostile names and entries: nothing is lost, nothing
// escapes through a link, nothing blocks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <tuple>
#include <vector>

#include "dlarchive/dlarchive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "support/archive_home.h"

namespace {

struct Hardening : testenv::SalesList {
    std::string Log() { return testenv::ReadFile(home.path() + "/log/kelmo.log"); }
};

}  // namespace

TEST_F(Hardening, LinksAndFifosAreRefusedWithoutBlocking)
{
    ::alarm(60);  // a blocking open ends the test instead of hanging it
    testenv::TempDir outside;
    const std::string secret = outside / "secret";
    testenv::WriteFile(secret, testenv::SimpleMessage("Secret"));
    home.WriteMessage("sales", 1, testenv::SimpleMessage("Plain"));
    ASSERT_EQ(::symlink(secret.c_str(), (archive + "2.msg").c_str()), 0);
    ASSERT_EQ(::mkfifo((archive + "3.msg").c_str(), 0600), 0);
    EXPECT_EQ(Add(1).first, 0);
    for (uint32_t n : {2u, 3u}) {
        EXPECT_EQ(Add(n).first, 16) << n;
        EXPECT_STREQ(manager.GetLastErrorMsg(), ("Not a regular file " + archive + std::to_string(n) + ".msg").c_str());
    }
    EXPECT_EQ(Stored(), std::vector<uint32_t>{1});

    // remote.txt as a link or a FIFO takes no line; its target stays as it was.
    const auto remoteCode = [&] {
        char entry[] = "ann@example.org,pw\r\n";
        return testenv::Thrown([&] { manager.UpdateRemoteFile(entry); }).first;
    };
    ASSERT_EQ(::symlink(secret.c_str(), (archive + "remote.txt").c_str()), 0);
    EXPECT_EQ(remoteCode(), 19);
    EXPECT_EQ(testenv::ReadFile(secret), testenv::SimpleMessage("Secret"));
    ASSERT_EQ(::unlink((archive + "remote.txt").c_str()), 0);
    ASSERT_EQ(::mkfifo((archive + "remote.txt").c_str(), 0600), 0);
    const int reader = ::open((archive + "remote.txt").c_str(), O_RDONLY | O_NONBLOCK);  // so a writer could open
    EXPECT_EQ(remoteCode(), 19);
    ::close(reader);

    // A page that is a link is replaced by the page, never written through.
    ASSERT_EQ(::symlink(secret.c_str(), (archive + "en-us-date.html").c_str()), 0);
    manager.GenerateIndexPages("sales");
    struct stat st {};
    ASSERT_EQ(::lstat((archive + "en-us-date.html").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(testenv::ReadFile(secret), testenv::SimpleMessage("Secret"));
    ::alarm(0);
}

TEST_F(Hardening, ReloadTakesExactlyTheIntakeNamesAndPassesOverEmptyFiles)
{
    const std::string message = testenv::SimpleMessage("Kept");
    for (uint32_t n : {0u, 1u, 3u, 0x10u, 0xffffffffu}) home.WriteMessage("sales", n, message);
    home.WriteMessage("sales", 2, "");
    const std::vector<std::string> stray = {"1A.msg", "0a.msg", "1a.MSG", "01.msg", "100000000.msg", "g.msg"};
    for (const std::string& name : stray) testenv::WriteFile(archive + name, message);
    const std::vector<uint32_t> kept = {0, 1, 3, 0x10, 0xffffffff};
    EXPECT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(Stored(), kept);
    manager.ProcessArchivedMessages("sales");
    EXPECT_EQ(Stored(), kept);
    const std::string log = Log();
    EXPECT_NE(log.find(" 1 DL Archive: Passed over message file " + archive +
                       "2.msg (code 17: Archive file not found or empty)"),
              std::string::npos);
    for (const std::string& name : stray)
        EXPECT_NE(log.find(" 6 DL Manager: Passed over " + name + ": not a message file name"), std::string::npos)
            << name;
    // Only stray names: no message file.
    for (uint32_t n : {0u, 1u, 2u, 3u, 0x10u, 0xffffffffu}) {
        char name[16];
        std::snprintf(name, sizeof name, "%x.msg", n);
        std::remove((archive + name).c_str());
    }
    EXPECT_FALSE(manager.CheckArchiveMessages());
}

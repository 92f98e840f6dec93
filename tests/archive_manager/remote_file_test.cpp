#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <set>

#include "dlarchive/dlarchive.h"
#include "platform/hash_key.h"
#include "support/test_env.h"

namespace {

struct RemoteFixture : testing::Test {
    testenv::TempDir home;
    testenv::Config config{"[DlManager]\nDbPath=" + home.path() + "\n"};
    CDlArchive archive;
    std::string remote;

    void SetUp() override
    {
        testenv::MakeDirs(home / "sales/archive");
        archive.SetListName("sales");
        archive.GetArchivePath();
        remote = home / "sales/archive/remote.txt";
    }

    bool Update(std::string entry)
    {
        std::vector<char> buffer(entry.begin(), entry.end());
        buffer.push_back('\0');
        return archive.UpdateRemoteFile(buffer.data());
    }

    void ExpectFailure(const std::string& entry, int code, const char* text)
    {
        try {
            Update(entry);
            ADD_FAILURE() << "no exception for " << entry;
        } catch (const CDlArchiveException& e) {
            EXPECT_EQ(e.GetLastError(), code) << entry;
            EXPECT_STREQ(e.GetLastErrorMsg(), text) << entry;
            EXPECT_EQ(archive.GetLastError(), code) << entry;
        }
    }
};

}  // namespace

TEST_F(RemoteFixture, AppendsAddressAndKeyWithCrLf)
{
    ASSERT_TRUE(Update("ann@example.org, abc\r\n"));
    auto lines = testenv::Lines(testenv::ReadFile(remote), "\r\n");
    ASSERT_EQ(lines.size(), 1u);
    const auto semicolon = lines[0].find(';');
    ASSERT_NE(semicolon, std::string::npos);
    EXPECT_EQ(lines[0].substr(0, semicolon), "ann@example.org");
    const std::string key = lines[0].substr(semicolon + 1);
    EXPECT_TRUE(CHashKey::Verify("abc", key.c_str()));
    EXPECT_EQ(key.find("abc"), std::string::npos);
    EXPECT_EQ(testenv::ReadFile(remote).back(), '\n');

    // A second call appends a second line; blanks and commas in any run separate, and
    // anything after the password's token is ignored.
    ASSERT_TRUE(Update(" ,ann@example.org ,, other\r\n trailing words"));
    // Without its line end the password loses its last two characters ("other" -> "oth").
    ASSERT_TRUE(Update("bob@example.org abc"));
    lines = testenv::Lines(testenv::ReadFile(remote), "\r\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(CHashKey::Verify("other", lines[1].substr(lines[1].find(';') + 1).c_str()));
    EXPECT_EQ(lines[2].substr(0, lines[2].find(';')), "bob@example.org");
    EXPECT_TRUE(CHashKey::Verify("a", lines[2].substr(lines[2].find(';') + 1).c_str()));
    EXPECT_FALSE(CHashKey::Verify("abc", lines[2].substr(lines[2].find(';') + 1).c_str()));
}

TEST_F(RemoteFixture, MissingPartsAndUnwritableFile)
{
    ExpectFailure("", 22, "Member's email not found.");
    ExpectFailure(" , ,\t", 22, "Member's email not found.");
    // Only an address: code 23, and the file has been created empty.
    ExpectFailure("ann@example.org\r\n", 23, "Password not found.");
    EXPECT_TRUE(testenv::Exists(remote));
    EXPECT_EQ(testenv::ReadFile(remote), "");
    // A token too short to hold the line end, or a password that would not fit.
    ExpectFailure("ann@example.org x", 23, "Password not found.");
    ExpectFailure("ann@example.org " + std::string(262, 'p'), 23, "Password not found.");
    EXPECT_EQ(testenv::ReadFile(remote), "");
    ASSERT_TRUE(Update("ann@example.org " + std::string(259, 'p') + "\r\n"));

    // An archive directory that cannot be written.
    CDlArchive elsewhere;
    elsewhere.SetListName("missing-list");
    elsewhere.GetArchivePath();
    char entry[] = "ann@example.org abc\r\n";
    try {
        elsewhere.UpdateRemoteFile(entry);
        ADD_FAILURE() << "no exception";
    } catch (const CDlArchiveException& e) {
        EXPECT_EQ(e.GetLastError(), 19);
        EXPECT_STREQ(e.GetLastErrorMsg(), "Out of memory");
    }
    // No archive path at all (a list name that did not fit).
    CDlArchive unset;
    EXPECT_THROW(unset.UpdateRemoteFile(entry), CDlArchiveException);
}

TEST_F(RemoteFixture, ConcurrentAppendsLeaveWholeLines)
{
    constexpr int kProcesses = 4, kEntries = 6;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kEntries; ++i) {
                std::string entry = "member" + std::to_string(p) + "-" + std::to_string(i) + "@example.org pw" +
                                    std::to_string(i) + "\r\n";
                if (!Update(entry)) _exit(1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string text = testenv::ReadFile(remote);
    ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
    const auto lines = testenv::Lines(text, "\r\n");
    ASSERT_EQ(lines.size(), static_cast<size_t>(kProcesses * kEntries));
    std::set<std::string> members;
    for (const auto& line : lines) {
        const auto semicolon = line.find(';');
        ASSERT_NE(semicolon, std::string::npos) << line;
        const std::string member = line.substr(0, semicolon);
        const std::string password = "pw" + member.substr(member.find('-') + 1, 1);
        EXPECT_TRUE(CHashKey::Verify(password.c_str(), line.substr(semicolon + 1).c_str())) << line;
        members.insert(member);
    }
    EXPECT_EQ(members.size(), static_cast<size_t>(kProcesses * kEntries));
}

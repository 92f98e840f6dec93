// The tool on inputs that never end, special files and hostile entries.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <filesystem>

#include "platform/hash_key.h"
#include "support/archive_home.h"
#include "support/test_env.h"

using testenv::Quote;

namespace {

struct HardeningCli : testing::Test {
    testenv::ArchiveHome home;
    std::string dir = home.CreateList("sales");

    // `timeout` turns a blocked command into a failure instead of a hung test.
    testenv::RunResult Dlarchive(const std::string& args, const std::string& input = "/dev/null")
    {
        return testenv::Run("timeout 60 " + Quote(DLARCHIVE_CLI) + " " + args + " < " + Quote(input));
    }
    // The names of the archive directory that are not relations.
    std::vector<std::string> Files()
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() != ".db" && e.path().filename() != "remote.txt")
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST_F(HardeningCli, SpecialFilesAndEndlessInputsNeitherBlockNorGrow)
{
    ASSERT_EQ(::mkfifo((dir + "5.msg").c_str(), 0600), 0);
    auto r = Dlarchive("add sales 5");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: 5: error 16: Not a regular file " + dir + "5.msg\n");
    ASSERT_EQ(::unlink((dir + "5.msg").c_str()), 0);

    r = Dlarchive("import sales /dev/zero");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: /dev/zero message 1: larger than 64 MiB\n");
    EXPECT_EQ(r.out, "imported 0 messages into sales (1 not archived)\n");
    EXPECT_EQ(Files(), std::vector<std::string>{});

    // In an mbox, the message past the bound is refused and the import goes on.
    testenv::TempDir in;
    const std::string small = testenv::SimpleMessage("Small");
    testenv::WriteFile(in / "big.mbox", "From a\n" + small + "\nFrom b\nSubject: big\n\n" +
                                            std::string((64 << 20) - 20, 'x') + "\nFrom c\n" + small + "\n");
    r = Dlarchive("import sales " + Quote(in / "big.mbox"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: " + in / "big.mbox" + " message 2: larger than 64 MiB\n");
    EXPECT_EQ(r.out, "imported 2 messages into sales (1 not archived)\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"1.msg", "2.msg"}));
    EXPECT_EQ(testenv::ReadFile(dir + "2.msg"), small);
}

TEST_F(HardeningCli, AnEmptyMboxEntryLeavesNoFileAndTheRebuildGoesOn)
{
    testenv::TempDir in;
    const std::string one = testenv::SimpleMessage("One"), two = testenv::SimpleMessage("Two");
    testenv::WriteFile(in / "gap.mbox", "From a\n" + one + "\nFrom b\nFrom c\n\nFrom d\n" + two + "\n");
    auto r = Dlarchive("import sales " + Quote(in / "gap.mbox"));
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string name = in / "gap.mbox";
    EXPECT_EQ(r.err, "dlarchive: passed over: " + name + " message 2: empty\ndlarchive: passed over: " + name +
                         " message 3: empty\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"1.msg", "2.msg"}));
    EXPECT_EQ(testenv::ReadFile(dir + "2.msg"), two);
    r = Dlarchive("rebuild sales");
    EXPECT_EQ(r.status, 0) << r.err;
}

namespace {

// Reads the terminal's output until `text` has appeared (or 20 seconds have passed).
bool ReadUntil(int master, std::string& seen, const std::string& text)
{
    for (int waited = 0; seen.find(text) == std::string::npos; ++waited) {
        pollfd p{master, POLLIN, 0};
        if (waited > 200 || ::poll(&p, 1, 100) < 0) return false;
        char buffer[256];
        const ssize_t n = (p.revents & POLLIN) ? ::read(master, buffer, sizeof buffer) : 0;
        if (n < 0) return false;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

bool EchoOffWithin2Seconds(int master)
{
    for (int i = 0; i < 200; ++i, ::usleep(10000)) {
        termios t{};
        if (::tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO) == 0) return true;
    }
    return false;
}

}  // namespace

TEST_F(HardeningCli, RemoteAddReadsThePasswordFromStandardInputWithoutEcho)
{
    const std::string remote = dir + "remote.txt";
    auto r = testenv::Run("printf 's3cret\\r\\n' | " + Quote(DLARCHIVE_CLI) + " remote-add sales ann@example.org");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The old form and addresses the entry cannot carry are usage errors; so is a missing address.
    for (const char* args : {"sales ann@example.org,pw", "sales 'ann example.org'", "sales ''", "sales"})
        EXPECT_EQ(Dlarchive(std::string("remote-add ") + args).status, 2) << args;
    EXPECT_EQ(Dlarchive("remote-add sales ann@example.org").err, "dlarchive: error 23: Password is empty.\n");

    // On a terminal: a prompt, no echo while the password is typed, echo back after a success,
    // a refusal and an interrupt alike.
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string echoState = "; stty -a | grep -qE '(^| )-echo( |$)' && echo ECHO-OFF || echo ECHO-ON; ";
        const std::string tool = Quote(DLARCHIVE_CLI) + " remote-add sales ";
        const std::string script = "trap true INT; " + tool + "bob@example.org" + echoState + tool +
                                   "carol@example.org" + echoState + tool + "dan@example.org" + echoState;
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"bob", "t0psecret\n"}, {"carol", "two words\n"}, {"dan", "\x03"}};
    for (const auto& [who, typed] : steps) {
        ASSERT_TRUE(ReadUntil(master, seen, "Password for " + who + "@example.org: ")) << seen;
        ASSERT_TRUE(EchoOffWithin2Seconds(master)) << who;
        ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    }
    ReadUntil(master, seen, "\n__never__");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(master);
    EXPECT_EQ(seen.find("t0psecret"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("two words"), std::string::npos) << seen;
    EXPECT_NE(seen.find("a password must not hold blanks"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("ECHO-OFF"), std::string::npos) << seen;
    std::size_t on = 0;
    for (std::size_t at = seen.find("ECHO-ON"); at != std::string::npos; at = seen.find("ECHO-ON", at + 1)) ++on;
    EXPECT_EQ(on, 3u) << seen;
    const auto lines = testenv::Lines(testenv::ReadFile(remote), "\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(CHashKey::Verify("s3cret", lines[0].substr(lines[0].find(';') + 1).c_str()));
    EXPECT_EQ(lines[1].substr(0, lines[1].find(';')), "bob@example.org");
    EXPECT_TRUE(CHashKey::Verify("t0psecret", lines[1].substr(lines[1].find(';') + 1).c_str()));
}

// The tool on inputs that never end, special files, hostile entries and a terminal.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>

#include "platform/hash_key.h"
#include "support/archive_home.h"
#include "support/test_env.h"

using testenv::Quote;

namespace {

struct HardeningCli : testing::Test {
    testenv::ArchiveHome home;
    std::string dir = home.CreateList("sales");
    testenv::TempDir in;

    // `timeout` turns a blocked command into a failure instead of a hung test.
    testenv::RunResult Dlarchive(const std::string& args)
    {
        return testenv::Run("timeout 60 " + Quote(DLARCHIVE_CLI) + " " + args + " </dev/null");
    }
    // The archive directory's names that are not relations.
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

TEST_F(HardeningCli, EndlessInputsOversizedAndEmptyMboxEntries)
{
    auto r = Dlarchive("import sales /dev/zero");
    EXPECT_EQ(r.err, "dlarchive: not archived: /dev/zero message 1: larger than 64 MiB\n");
    EXPECT_EQ(r.out, "imported 0 messages into sales (1 not archived)\n");
    EXPECT_EQ(r.status, 1);
    // The message past the bound is refused, an empty entry passed over, and the import goes on.
    const std::string small = testenv::SimpleMessage("Small"), name = in / "big.mbox";
    testenv::WriteFile(name, "From a\n" + small + "\nFrom b\nSubject: big\n\n" + std::string((64 << 20) - 20, 'x') +
                                 "\nFrom c\nFrom d\n" + small + "\n");
    r = Dlarchive("import sales " + Quote(name));
    EXPECT_EQ(r.err, "dlarchive: not archived: " + name +
                         " message 2: larger than 64 MiB\ndlarchive: passed over: " + name + " message 3: empty\n");
    EXPECT_EQ(r.out, "imported 2 messages into sales (1 not archived)\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"1.msg", "2.msg"}));
    EXPECT_EQ(testenv::ReadFile(dir + "2.msg"), small);
    EXPECT_EQ(Dlarchive("rebuild sales").status, 0);
}

// On a terminal: a prompt, no echo while the password is typed, and echo back after a
// success, a refusal and an interrupt alike.
TEST_F(HardeningCli, RemoteAddReadsThePasswordFromStandardInputWithoutEcho)
{
    auto r = testenv::Run("printf 's3cret\\r\\n' | " + Quote(DLARCHIVE_CLI) + " remote-add sales ann@example.org");
    EXPECT_EQ(r.status + r.err.size(), 0u) << r.err;
    for (const char* args : {"sales ann@example.org,pw", "sales 'ann example.org'", "sales ''", "sales"})
        EXPECT_EQ(Dlarchive(std::string("remote-add ") + args).status, 2) << args;
    EXPECT_EQ(Dlarchive("remote-add sales ann@example.org").err, "dlarchive: error 23: Password is empty.\n");
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string script = "trap true INT; ";
        for (const char* who : {"bob", "carol", "dan"})
            script += Quote(DLARCHIVE_CLI) + " remote-add sales " + who +
                      "@example.org; stty -a | grep -qE '(^| )-echo( |$)' && echo ECHO-OFF || echo ECHO-ON; ";
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    // Reads the terminal until `text` has appeared; then waits until echo is off when asked.
    const auto until = [&](const std::string& text, bool echoOff) {
        for (int waited = 0; seen.find(text) == std::string::npos; ++waited) {
            pollfd p{master, POLLIN, 0};
            char buffer[256];
            if (waited > 200 || ::poll(&p, 1, 100) < 0) return false;
            const ssize_t n = (p.revents & POLLIN) ? ::read(master, buffer, sizeof buffer) : 0;
            if (n < 0) return false;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        termios t{};
        for (int i = 0; echoOff && (::tcgetattr(master, &t) != 0 || (t.c_lflag & ECHO) != 0); ++i, ::usleep(10000))
            if (i == 200) return false;
        return true;
    };
    for (const auto& [who, typed] : {std::pair{"bob", "t0psecret\n"}, {"carol", "two words\n"}, {"dan", "\x03"}}) {
        ASSERT_TRUE(until("Password for " + std::string(who) + "@example.org: ", true)) << seen;
        ASSERT_EQ(::write(master, typed, std::strlen(typed)), static_cast<ssize_t>(std::strlen(typed)));
    }
    until("\n__never__", false);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    ::close(master);
    for (const char* hidden : {"t0psecret", "two words", "ECHO-OFF"}) EXPECT_EQ(seen.find(hidden), std::string::npos);
    EXPECT_NE(seen.find("a password must not hold blanks"), std::string::npos) << seen;
    EXPECT_EQ(testenv::Lines(seen, "ECHO-ON").size(), 4u) << seen;
    const auto lines = testenv::Lines(testenv::ReadFile(dir + "remote.txt"), "\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(CHashKey::Verify("s3cret", lines[0].substr(lines[0].find(';') + 1).c_str()));
    EXPECT_EQ(lines[1].substr(0, lines[1].find(';') + 1), "bob@example.org;");
    EXPECT_TRUE(CHashKey::Verify("t0psecret", lines[1].substr(lines[1].find(';') + 1).c_str()));
}

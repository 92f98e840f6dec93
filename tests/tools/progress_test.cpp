#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "support/progress.h"

namespace {

// What is waiting on a non-blocking descriptor.
std::string Drain(int fd)
{
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return out;  // EAGAIN (nothing more), end or error
    }
}

// Everything up to and including the first line feed from a terminal's master side, which
// the kernel passes on a moment after the write (waits a few seconds at most).
std::string ReadLine(int fd)
{
    std::string out;
    while (out.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        const std::string more = Drain(fd);
        if (more.empty()) break;
        out += more;
    }
    return out;
}

}  // namespace

TEST(Progress, DrawsOnATerminalOnly)
{
    // A pseudo-terminal stands in for the user's terminal.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios raw{};
    ASSERT_EQ(::tcgetattr(slave, &raw), 0);
    ::cfmakeraw(&raw);  // no line-end translation: read back exactly what was written
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &raw), 0);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    {
        cli::Progress progress(3, slave);
        EXPECT_TRUE(progress.active());
        for (int i = 0; i < 3; ++i) progress.Step();
        EXPECT_EQ(progress.count(), 3u);
        progress.Finish();
        progress.Finish();  // once only
    }
    const std::string shown = ReadLine(master);
    // Redraws in between depend on the clock; the final line and its line feed do not.
    EXPECT_TRUE(std::regex_match(shown, std::regex(R"((\r[0-3]/3 messages, [0-9.]+/s *)*)"
                                                   R"(\r3/3 messages, [0-9.]+/s *\n)")))
        << shown;

    // Without a known total the count stands alone; the destructor ends the line.
    {
        cli::Progress progress(0, slave);
        progress.Step(7);
    }
    EXPECT_TRUE(std::regex_match(ReadLine(master), std::regex(R"(\r7 messages, [0-9.]+/s *\n)")));
    ::close(slave);
    ::close(master);

    // Into a pipe nothing is written.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    {
        cli::Progress progress(2, pipeFds[1]);
        EXPECT_FALSE(progress.active());
        progress.Step();
        progress.Step();
    }
    EXPECT_EQ(Drain(pipeFds[0]), "");
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

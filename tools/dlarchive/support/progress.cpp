#include "progress.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

namespace cli {

namespace {
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

void WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a progress line is not worth failing a command for
        done += static_cast<std::size_t>(n);
    }
}
}  // namespace

Progress::Progress(uint64_t total, int fd)
    : m_fd(fd), m_active(::isatty(fd) == 1), m_total(total), m_start(Clock::now()), m_lastDraw(m_start)
{
}

Progress::~Progress()
{
    Finish();
}

void Progress::Step(uint64_t count)
{
    m_count += count;
    if (!m_active || m_finished) return;
    const auto now = Clock::now();
    if (now - m_lastDraw >= kRedrawInterval) Draw(now);
}

void Progress::Finish()
{
    if (m_finished) return;
    m_finished = true;
    if (!m_active) return;
    Draw(Clock::now());
    WriteAll(m_fd, "\n");
}

void Progress::Draw(Clock::time_point now)
{
    m_lastDraw = now;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double rate = seconds > 0 ? static_cast<double>(m_count) / seconds : 0.0;
    char buffer[96];
    int n;
    if (m_total != 0) {
        n = std::snprintf(buffer, sizeof buffer, "\r%llu/%llu messages, %.*f/s",
                          static_cast<unsigned long long>(m_count), static_cast<unsigned long long>(m_total),
                          rate < 10 ? 1 : 0, rate);
    } else {
        n = std::snprintf(buffer, sizeof buffer, "\r%llu messages, %.*f/s", static_cast<unsigned long long>(m_count),
                          rate < 10 ? 1 : 0, rate);
    }
    if (n < 0) return;
    std::string line(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
    // A shorter line than the one before must not leave the tail of the old one on screen.
    const std::size_t length = line.size();
    if (length < m_lastLength) line.append(m_lastLength - length, ' ');
    m_lastLength = length;
    WriteAll(m_fd, line);
}

}  // namespace cli

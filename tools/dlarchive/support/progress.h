#pragma once
// A progress line for commands that work through many messages:
// "\r<count>/<total> messages, <rate>/s", redrawn at most about ten times a second and ended
// with a line feed by Finish. It is written only when the output is a terminal, so logs and
// pipes stay clean.
#include <unistd.h>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace cli {

class Progress {
public:
    // `total` 0 means the total is not known: the line then reads "<count> messages, ...".
    explicit Progress(uint64_t total, int fd = STDERR_FILENO);
    ~Progress();  // finishes the line if Finish was not called
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Step(uint64_t count = 1);
    // Draws the final count and ends the line; later calls do nothing.
    void Finish();

    uint64_t count() const { return m_count; }
    bool active() const { return m_active; }

private:
    void Draw(std::chrono::steady_clock::time_point now);

    using Clock = std::chrono::steady_clock;
    int m_fd;
    bool m_active;
    bool m_finished = false;
    uint64_t m_total;
    uint64_t m_count = 0;
    Clock::time_point m_start;
    Clock::time_point m_lastDraw;
    std::size_t m_lastLength = 0;
};

}  // namespace cli

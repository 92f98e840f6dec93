#include "dlarchive/logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/config.h"

namespace {

// The library's module name when an owner gives none.
constexpr const char* kDefaultModule = "DL Archive";

void CopyText(char* target, std::size_t size, const char* text)
{
    std::snprintf(target, size, "%s", text != nullptr ? text : "");
}

bool WriteAll(int fd, const std::string& line)
{
    // O_APPEND makes one write() land whole at the end of the file, so lines of several
    // processes never mix; a short write is retried for the rest.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void LogMessage(int level, const char* module, const char* text)
{
    const auto ini = dlarchive::platform::IniFile::Load();
    const std::string levelText = ini.Get("Gateway", "LogLevel", "6", 32);
    char* end = nullptr;
    long maxLevel = std::strtol(levelText.c_str(), &end, 10);
    if (end == levelText.c_str()) maxLevel = 6;
    if (level > maxLevel) return;

    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);

    std::string body = text != nullptr ? text : "";
    // One message is one line: embedded line ends would split it.
    for (char& c : body)
        if (c == '\n' || c == '\r') c = ' ';
    const std::string line =
        std::string(stamp) + " " + std::to_string(level) + " " + (module != nullptr ? module : "") + ": " + body + "\n";

    const std::string dir = ini.Get("Gateway", "LogDirectory", "", 259);
    if (dir.empty()) {
        WriteAll(STDERR_FILENO, line);
        return;
    }
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + (dir.back() == '/' ? "" : "/") + "kelmo.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        WriteAll(STDERR_FILENO, line);
        return;
    }
    WriteAll(fd, line);
    ::close(fd);
}

CLogging::CLogging()
{
    CopyText(m_szModuleName, sizeof m_szModuleName, kDefaultModule);
}

CLogging::CLogging(const char* moduleName)
{
    CopyText(m_szModuleName, sizeof m_szModuleName, moduleName);
}

CLogging::~CLogging() = default;

void CLogging::SetLastErrorMsg(const char* text)
{
    CopyText(m_szLastErrorMsg, sizeof m_szLastErrorMsg, text);
}

void CLogging::PrintLog(int level, const char* text) const
{
    LogMessage(level, m_szModuleName, text);
}

void CLogging::PrintLog(const char* moduleName, int level) const
{
    LogMessage(level, moduleName, m_szLastErrorMsg);
}

void CLogging::PrintLogMessage(int level, const char* format, ...) const
{
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogMessage(level, m_szModuleName, text);
}

void CLogging::PrintLogMessageEx(int level, const char* format, ...) const
{
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogMessage(level, m_szModuleName, text);
}

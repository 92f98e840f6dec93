#include "support/test_env.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testenv {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/dlarchive-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

void MakeDirs(const std::string& path)
{
    std::filesystem::create_directories(path);
}

std::vector<std::string> Lines(const std::string& text, const std::string& separator)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + separator.size()) {
        end = text.find(separator, start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
    }
    return lines;
}

Config::Config(const std::string& iniText)
{
    if (const char* previous = std::getenv("KELMO_CONFIG_DIR")) m_hadPrevious = true, m_previous = previous;
    ::setenv("KELMO_CONFIG_DIR", m_dir.path().c_str(), 1);
    Write(iniText);
}

Config::~Config()
{
    if (m_hadPrevious)
        ::setenv("KELMO_CONFIG_DIR", m_previous.c_str(), 1);
    else
        ::unsetenv("KELMO_CONFIG_DIR");
}

void Config::Write(const std::string& iniText)
{
    WriteFile(ini(), iniText);
}

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

RunResult Run(const std::string& commandLine)
{
    TempDir dir;
    const int raw = std::system(("(" + commandLine + ") >" + Quote(dir / "out") + " 2>" + Quote(dir / "err")).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / "out"), ReadFile(dir / "err")};
}

pid_t Spawn(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int status = 101;
    try {
        status = body();
    } catch (...) {
    }
    ::_exit(status);
}

std::pair<int, int> SilentServer()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no listening socket");
    return {fd, ntohs(address.sin_port)};
}

int Wait(pid_t pid)
{
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testenv

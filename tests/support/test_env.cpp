#include "support/test_env.h"

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
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find(separator, start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + separator.size();
    }
    return lines;
}

Config::Config(const std::string& iniText)
{
    if (const char* previous = std::getenv("KELMO_CONFIG_DIR")) {
        m_hadPrevious = true;
        m_previous = previous;
    }
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
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

RunResult Run(const std::string& commandLine)
{
    TempDir dir;
    const std::string out = dir / "out", err = dir / "err";
    const std::string full = "(" + commandLine + ") >" + Quote(out) + " 2>" + Quote(err);
    const int raw = std::system(full.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
}

}  // namespace testenv

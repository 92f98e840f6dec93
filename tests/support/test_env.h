#pragma once
// Shared helpers of the test suite: private temporary directories, files, a configuration
// directory of the test's own, and processes (shell commands and forked children).
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testenv {

// A fresh directory below $TMPDIR, removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void MakeDirs(const std::string& path);
std::vector<std::string> Lines(const std::string& text, const std::string& separator = "\n");

// Sets $KELMO_CONFIG_DIR to a directory of its own holding kelmo.ini (tests run one per
// process, so the environment is theirs); the destructor points it back.
class Config {
public:
    explicit Config(const std::string& iniText = "");
    ~Config();
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;
    void Write(const std::string& iniText);
    const std::string& dir() const { return m_dir.path(); }
    std::string ini() const { return m_dir / "kelmo.ini"; }

private:
    TempDir m_dir;
    bool m_hadPrevious = false;
    std::string m_previous;
};

// A command line run through /bin/sh, its standard output and error captured.
struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};
RunResult Run(const std::string& commandLine);
std::string Quote(const std::string& text);

// Runs `body` in a forked child whose exit status is its result (101 for an exception);
// the child never returns into the test. Wait gives that status, or -1.
pid_t Spawn(const std::function<int()>& body);
int Wait(pid_t pid);

// A socket on 127.0.0.1 that takes connections and never answers: {descriptor, port}.
std::pair<int, int> SilentServer();

}  // namespace testenv

#pragma once
// Shared helpers of the test suite: private temporary directories, files and a
// configuration directory of the test's own.
#include <string>
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
    // path() joined with a relative name.
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void MakeDirs(const std::string& path);
std::vector<std::string> Lines(const std::string& text, const std::string& separator = "\n");

// A configuration directory: sets $KELMO_CONFIG_DIR for the running test process and
// writes kelmo.ini into it. Tests run one per process, so the environment is theirs.
class Config {
public:
    explicit Config(const std::string& iniText = "");
    // Points $KELMO_CONFIG_DIR back where it pointed before.
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

// Runs a command line through /bin/sh; captures standard output and error.
struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};
RunResult Run(const std::string& commandLine);

// Shell quoting for one argument.
std::string Quote(const std::string& text);

}  // namespace testenv

// Commands on one list's archive directory.
#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "cli.h"
#include "dlarchive/dlarchive.h"

namespace cli {
namespace {

void ExpectArgs(const Args& args, std::size_t count)
{
    if (args.size() != count) throw UsageError{"wrong number of arguments"};
}

// An archive manager pointed at the list; a name or path that does not fit is a failure.
bool OpenList(CDlArchive& archive, const std::string& list)
{
    if (!archive.SetListName(list.c_str())) {
        archive.SetLastError(dlarchive::errors::kListNameTooLong.code);
        archive.SetLastErrorMsg(dlarchive::errors::kListNameTooLong.text);
        return false;
    }
    archive.GetArchivePath();
    return archive.GetArchivePathText()[0] != '\0';
}

int Path(const Args& args)
{
    ExpectArgs(args, 1);
    CDlArchive archive("dlarchive");
    if (!OpenList(archive, args[0])) return ReportError(archive);
    std::printf("%s\n", archive.GetArchivePathText());
    return kExitOk;
}
const Register path{{"path", "LIST", "print the archive directory of LIST", Path}};

// The terminal's settings while echo is off, put back by the guard or by a signal that ends
// the tool, so that a shell never stays without echo.
struct termios g_savedTerminal;
volatile sig_atomic_t g_echoOff = 0;

void RestoreTerminalAndDie(int signal)
{
    if (g_echoOff) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

class EchoOff {
public:
    EchoOff()
    {
        if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return;
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            m_previous[i] = std::signal(kEndingSignals[i], RestoreTerminalAndDie);
            // A signal the caller ignores stays ignored.
            if (m_previous[i] == SIG_IGN) std::signal(kEndingSignals[i], SIG_IGN);
        }
        m_armed = true;
        struct termios quiet = g_savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        g_echoOff = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (g_echoOff) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
        g_echoOff = 0;
        if (m_armed)
            for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) std::signal(kEndingSignals[i], m_previous[i]);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    bool m_armed = false;
    void (*m_previous[std::size(kEndingSignals)])(int) = {};
};

// One line of standard input, without its line end; on a terminal after a prompt on standard
// error, with echo off.
std::string ReadPassword(const std::string& address)
{
    std::string line;
    if (::isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "Password for %s: ", address.c_str());
        std::fflush(stderr);
        const EchoOff quiet;
        std::getline(std::cin, line);
        std::fputc('\n', stderr);
    } else {
        std::getline(std::cin, line);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The password comes from standard input, never from the command line, where the process
// list and the shell history would show it.
int RemoteAdd(const Args& args)
{
    ExpectArgs(args, 2);
    const std::string& address = args[1];
    // The library splits its entry at blanks and commas: neither part may hold them.
    if (address.empty() || address.find_first_of(" \t,") != std::string::npos)
        throw UsageError{"the address must not be empty or hold blanks or commas"};
    CDlArchive archive("dlarchive");
    if (!OpenList(archive, args[0])) return ReportError(archive);
    const std::string password = ReadPassword(address);
    if (password.find_first_of(" \t,") != std::string::npos) {
        std::fprintf(stderr, "dlarchive: a password must not hold blanks, tabs or commas\n");
        return kExitFailure;
    }
    // The entry's line end is part of the entry the library expects.
    std::string entry = address + "," + password + "\r\n";
    std::vector<char> buffer(entry.begin(), entry.end());
    buffer.push_back('\0');
    archive.UpdateRemoteFile(buffer.data());
    return kExitOk;
}
const Register remoteAdd{{"remote-add", "LIST ADDRESS",
                          "append ADDRESS to LIST's remote access file; its password is read from standard input",
                          RemoteAdd}};

}  // namespace
}  // namespace cli

#pragma once
// The dlarchive command-line tool: one command per library operation.
//
// Exit status: 0 on success; 1 when the library reports a failure (after the line
// "dlarchive: error CODE: TEXT" on standard error); 2 for a usage error.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CLogging;
class CDlArchive;

namespace cli {

enum { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct UsageError {
    std::string text;
};

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;    // arguments after the command name
    const char* summary;  // one line for the help text
    int (*run)(const Args& args);
};

// Commands register themselves from their own files.
struct Register {
    explicit Register(const Command& command);
};
const std::vector<Command>& Commands();

// An archive manager pointed at the list; a name or path that does not fit throws its failure.
std::unique_ptr<CDlArchive> OpenList(const std::string& list);
// NUMBER in decimal, in hex with 0x, or a message file name ending in ".msg".
uint32_t ParseNumber(const std::string& text);

// "dlarchive: error CODE: TEXT" for a library failure; returns kExitFailure.
int ReportError(const CLogging& error);
int ReportError(int code, const std::string& text);

}  // namespace cli

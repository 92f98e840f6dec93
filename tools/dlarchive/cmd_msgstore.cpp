// dlarchive msgstore-rebuild: what the message store runs when one of its databases fails.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "dlarchive/dlarchive.h"

namespace cli {
namespace {

int32_t ParseInt(const std::string& text, const char* what)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        throw UsageError{std::string("invalid ") + what + " " + text};
    return static_cast<int32_t>(value);
}

int MsgstoreRebuild(const Args& args)
{
    if (args.size() != 3) throw UsageError{"expected PATH TYPE ERROR"};
    const auto type = static_cast<DatabaseType>(ParseInt(args[1], "database type"));
    const int32_t error = ParseInt(args[2], "error code");
    return RebuildMbx(args[0].c_str(), type, error) ? kExitOk : kExitFailure;
}
const Register msgstoreRebuild{{"msgstore-rebuild", "PATH TYPE ERROR",
                                "report and rebuild a failing message store database (log lines in the log)",
                                MsgstoreRebuild}};

}  // namespace
}  // namespace cli

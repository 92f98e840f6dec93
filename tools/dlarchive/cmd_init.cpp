// dlarchive init: the empty archive relation templates in the DL manager home directory.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "cli.h"
#include "dlarchive/dlarchive.h"

namespace cli {
namespace {

int Init(const Args& args)
{
    bool force = false;
    for (const std::string& arg : args) {
        if (arg == "--force")
            force = true;
        else
            throw UsageError{"unknown argument " + arg};
    }
    CDlArchive archive("dlarchive");
    const std::string home = archive.GetDlHomeDir();
    std::error_code ec;
    std::filesystem::create_directories(home, ec);
    if (ec) return ReportError(db_notopened, "cannot create directory " + home + ": " + ec.message());

    const char* const relations[] = {"archiveenv", "archivebody"};
    if (!force) {
        // Refuse before touching anything, so that a refusal leaves both files as they were.
        for (const char* name : relations) {
            const std::string path = diaRel::FilePath(home.c_str(), name);
            if (std::filesystem::exists(std::filesystem::symlink_status(path)))
                return ReportError(db_dup, path + " already exists (use --force to replace it)");
        }
    }
    for (const char* name : relations) {
        const std::string path = diaRel::FilePath(home.c_str(), name);
        const dbError result = diaRel::Create(home.c_str(), name, force);
        if (result == db_dup) return ReportError(result, path + " already exists (use --force to replace it)");
        if (result == db_locked) return ReportError(result, path + " is in use by another process");
        if (result != db_ok) return ReportError(result, "cannot create " + path);
        std::printf("%s\n", path.c_str());
    }
    return kExitOk;
}
const Register init{
    {"init", "[--force]", "create the empty relation templates in the DL manager home directory", Init}};

}  // namespace
}  // namespace cli

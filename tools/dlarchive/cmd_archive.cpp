// Commands on one list's archive directory.
#include <cstdio>
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

int RemoteAdd(const Args& args)
{
    ExpectArgs(args, 2);
    CDlArchive archive("dlarchive");
    if (!OpenList(archive, args[0])) return ReportError(archive);
    // The entry's line end is part of the entry the library expects.
    std::string entry = args[1] + "\r\n";
    std::vector<char> buffer(entry.begin(), entry.end());
    buffer.push_back('\0');
    archive.UpdateRemoteFile(buffer.data());
    return kExitOk;
}
const Register remoteAdd{
    {"remote-add", "LIST ENTRY", "append \"ADDRESS,PASSWORD\" to LIST's remote access file", RemoteAdd}};

}  // namespace
}  // namespace cli

// The report mail of RebuildMbx: copies of the damaged files, kelmo.ini and kelmo.log sent
// to the debugging address.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "dlarchive/logging.h"
#include "message_store/message_store.h"
#include "platform/config.h"
#include "platform/file_util.h"
#include "platform/mime_msg.h"

namespace dlarchive::msgstore {

namespace {

constexpr const char* kSeparator = ",";

// The files of a database type: the wildcard copied, and the names the report lists (in
// that order; none listed means every file copied, in name order). Types 3 and 4 copy the
// archive relation files, which the rebuild then replaces.
struct TypeFiles {
    const char* wildcard;
    std::vector<const char*> listed;
};

bool FilesOf(DatabaseType type, TypeFiles& files)
{
    switch (type) {
        case DbMailbox:
            files = {"mailbox.*", {"mailbox.db", "mailbox.id0", "mailbox.str"}};
            return true;
        case DbMessageEnvelope:
            files = {"archiveenv.*", {}};
            return true;
        case DbMessageBody:
            files = {"archivebody.*", {}};
            return true;
        case DbMessageStatus:
            files = {"msgstat.*", {"msgstat.db", "msgstat.id0"}};
            return true;
    }
    return false;
}

void Append(std::string& list, const std::string& path)
{
    if (!list.empty()) list += kSeparator;
    list += path;
}

// The attachments that can go out: files that exist (kelmo.log need not), whose paths do not
// hold the separator, and that fit in the mail's size limit together, in the order given,
// so the copies of the damaged files come first. A file past the limit (a huge log) is left
// out with a log line; the others still go.
std::string AttachableFiles(const std::vector<std::string>& paths)
{
    std::string list;
    uint64_t total = 0;
    for (const std::string& path : paths) {
        struct stat st {};
        if (path.find(*kSeparator) != std::string::npos || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const auto size = static_cast<uint64_t>(st.st_size);
        if (total + size > CMimeMsg::kMaxAttachmentBytes) {
            char line[600];
            std::snprintf(line, sizeof line, "Attachment %s left out: %llu bytes exceed the limit of %llu bytes",
                          path.c_str(), static_cast<unsigned long long>(size),
                          static_cast<unsigned long long>(CMimeMsg::kMaxAttachmentBytes - total));
            LogMessage(LOG_LEVEL_ERROR, kApiModule, line);
            continue;
        }
        total += size;
        Append(list, path);
    }
    return list;
}

std::vector<std::string> Split(const std::string& list)
{
    std::vector<std::string> items;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = std::min(list.find(*kSeparator, start), list.size());
        items.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

}  // namespace

std::string CopyDatabaseToTemp(const char* path, DatabaseType type, const std::string& tempDir)
{
    TypeFiles files;
    if (!FilesOf(type, files)) return "";
    std::string directory = path != nullptr ? path : "";
    std::replace(directory.begin(), directory.end(), '\\', '/');
    std::vector<std::string> copied;
    try {
        copied = CFileUtil("").CopyFiles(directory.c_str(), tempDir.c_str(), files.wildcard, false, true);
    } catch (const CFileUtilException&) {
        return "";
    }
    // Only files that were really copied are listed: a listed name the directory did not
    // have would make the whole mail fail.
    std::string list;
    if (files.listed.empty()) {
        for (const std::string& name : copied) Append(list, platform::JoinPath(tempDir, name));
    } else {
        for (const char* name : files.listed)
            if (std::find(copied.begin(), copied.end(), name) != copied.end())
                Append(list, platform::JoinPath(tempDir, name));
    }
    return list;
}

void SendCorruptionReport(const char* path, const std::string& userName, const std::string& folder, DatabaseType type)
{
    const std::string recipient = platform::GetProfileString("Options", "QRNDebugEmailAddr", "", 259);
    if (recipient.empty()) return;
    const CQRNIniSetting settings;
    std::vector<std::string> files = Split(CopyDatabaseToTemp(path, type, settings.GetTempDir()));
    files.push_back(platform::ConfigFilePath());
    // Without a log directory the log goes to standard error: there is no file to attach.
    const std::string logDirectory = platform::GetProfileString("Gateway", "LogDirectory", "", 259);
    if (!logDirectory.empty()) files.push_back(logDirectory + "/kelmo.log");
    const std::string attachments = AttachableFiles(files);

    // The domain is what follows the postmaster's last "@"; an address without one has none.
    const std::string postmaster = settings.GetPostmaster();
    const std::size_t at = postmaster.rfind('@');
    const std::string domain = at == std::string::npos ? "" : postmaster.substr(at + 1);
    std::string subject = domain + " - Message Store - " + userName;
    if (!folder.empty()) subject += " - " + folder;

    LogMessage(LOG_LEVEL_INFO, kApiModule,
               ("Sending corrupted database and relevant files to <" + recipient + ">").c_str());
    LogMessage(LOG_LEVEL_INFO, kApiModule, ("Message subject is <" + subject + ">").c_str());
    try {
        CMimeMsg(kApiModule, kSeparator)
            .Send(postmaster.c_str(), recipient.c_str(), subject.c_str(), "Corrupted database", attachments.c_str());
    } catch (const CMimeMsgException& e) {
        e.PrintLog(kApiModule, LOG_LEVEL_ERROR);
    }
}

}  // namespace dlarchive::msgstore

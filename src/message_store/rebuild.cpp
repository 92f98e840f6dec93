// RebuildMbx and its rebuild half: the path, the names, the archive relations of a folder
// replaced by their templates.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>

#include "dlarchive/logging.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "message_store/message_store.h"
#include "platform/config.h"

bool bArcRebuild = false;

namespace dlarchive::msgstore {

namespace {

constexpr std::size_t kPathSize = 260;
constexpr const char* kRelations[] = {"archiveenv", "archivebody"};
constexpr const char* kEnvelopeTemplateDamaged =
    "Archive envelope database template may already be corrupted.\nPlease contact QRN technical support for "
    "assistance.\n";
constexpr const char* kBodyTemplateDamaged =
    "Archive body database template may already be corrupted.\nPlease contact QRN technical support for "
    "assistance.\n";

// Rebuilds of this process run one at a time from the template copy to the check of the
// new relations, since they copy through the same file names; other processes use names
// of their own (the copies carry the process id) and meet this one only in the store.
std::mutex g_rebuildMutex;

void Say(const char* format, const char* argument = "")
{
    std::printf(format, argument);
    std::fflush(stdout);
}

std::string WithSlash(std::string directory)
{
    if (directory.empty() || directory.back() != '/') directory += '/';
    return directory;
}

// A folder names a directory below the base: none of its components may lead out of it.
bool SafeFolder(const std::string& folder)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(folder.find('/', start), folder.size());
        const std::string component = folder.substr(start, end - start);
        if (component == "." || component == "..") return false;
        if (end == folder.size()) break;
        start = end + 1;
    }
    return std::none_of(folder.begin(), folder.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Which relation did not open, checked as the store would be used again: envelope first.
bool RelationsOpen(const std::string& target)
{
    diamondBase base;
    archivebody body(base, target.c_str());
    archiveenv envelope(base, target.c_str());
    if (envelope.status() != db_ok) {
        Say("%s", kEnvelopeTemplateDamaged);
        return false;
    }
    if (body.status() != db_ok) {
        Say("%s", kBodyTemplateDamaged);
        return false;
    }
    envelope.lock(false, -1);
    body.lock(false, -1);
    body.unlock();
    envelope.unlock();
    return true;
}

}  // namespace

const char* DatabaseTypeName(DatabaseType type)
{
    switch (type) {
        case DbMailbox:
            return "Mailbox";
        case DbMessageEnvelope:
            return "Message Envelope";
        case DbMessageBody:
            return "Message Body";
        case DbMessageStatus:
            return "Message Status";
    }
    return "Unknown";
}

const char* DbErrorName(int error)
{
    switch (error) {
        case db_notfound:
            return "Not found";
        case db_range:
            return "Not in range";
        case db_dup:
            return "Duplicate";
        case db_notopened:
            return "Not opened";
        case db_alreadyopen:
            return "Already opened";
        case db_locked:
            return "Locked";
        case db_unlocked:
            return "Unlocked";
        case db_eof:
            return "End of file";
        case db_corrupt:
            return "Corrupt";
    }
    return "Unknown database";
}

StorePath SplitStorePath(const char* path, DatabaseType type)
{
    StorePath parts;
    std::string text = path != nullptr ? path : "";
    if (type != DbMailbox && !text.empty()) text.pop_back();
    std::replace(text.begin(), text.end(), '\\', '/');
    const std::size_t at = text.find('@');
    if (at == std::string::npos) return parts;
    const std::size_t slash = text.find('/', at);
    if (slash == std::string::npos) {
        parts.userDirectory = text + "/";
        return parts;
    }
    const std::size_t before = text.rfind('/', at);
    const std::size_t start = before == std::string::npos ? 0 : before + 1;
    parts.userDirectory = text.substr(0, slash + 1);
    parts.userName = text.substr(start, slash - start);
    parts.folder = text.substr(slash + 1);
    return parts;
}

bool CopyWholeFile(const char* source, const char* target)
{
    // A template is a regular file: a FIFO in its place must not block the rebuild. The copy
    // never writes through a link planted under its name.
    const int inFd = ::open(source, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (inFd < 0 || ::fstat(inFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (inFd >= 0) ::close(inFd);
        Say("Unable to open file %s!\n", source);
        return false;
    }
    std::FILE* in = ::fdopen(inFd, "rb");
    const int outFd = in != nullptr ? ::open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600) : -1;
    std::FILE* out = outFd >= 0 ? ::fdopen(outFd, "wb") : nullptr;
    if (in == nullptr || out == nullptr) {
        if (outFd >= 0) ::close(outFd);
        in != nullptr ? std::fclose(in) : ::close(inFd);
        Say("Unable to open file %s!\n", target);
        return false;
    }
    const char* failure = nullptr;
    const char* failed = nullptr;
    auto fail = [&failure, &failed](const char* text, const char* file) {
        if (failure != nullptr) return;
        failure = text;
        failed = file;
    };
    char block[256];
    for (;;) {
        const std::size_t n = std::fread(block, 1, sizeof block, in);
        if (n < sizeof block && !std::feof(in)) {
            fail("Error in reading file %s!\n", source);
            break;
        }
        if (n > 0 && std::fwrite(block, 1, n, out) != n) {
            fail("Error in writing file %s!\n", target);
            break;
        }
        if (n < sizeof block) break;  // the last, short block (possibly empty) ends the copy
    }
    std::fclose(in);
    // Bytes still buffered are written at close: a full disk shows there.
    if (std::fclose(out) != 0) fail("Error in writing file %s!\n", target);
    if (failure == nullptr) return true;
    ::unlink(target);
    Say(failure, failed);
    return false;
}

bool CopyTemplateFiles(const std::string& targetDirectory)
{
    std::string database, target, copies[2];
    try {
        database = WithSlash(platform::GetProfileString("DLManager", "DbPath", "/var/lib/dlmgr/dlmgr", 261));
        target = WithSlash(targetDirectory);
        for (int i = 0; i < 2; ++i) copies[i] = target + kRelations[i] + ".db.template-" + std::to_string(::getpid());
    } catch (const std::bad_alloc&) {
        Say("Unable to allocate memory!\n");
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        const std::string source = database + kRelations[i] + ".db";
        if (!CopyWholeFile(source.c_str(), copies[i].c_str())) return false;
    }
    // Every copy is checked (a sound, empty relation of its name) before any relation is
    // replaced, so a bad template replaces nothing.
    for (int i = 0; i < 2; ++i) {
        if (diaRel::CheckTemplate(copies[i].c_str(), kRelations[i]) != db_ok) {
            Say("%s", i == 0 ? kEnvelopeTemplateDamaged : kBodyTemplateDamaged);
            return false;
        }
    }
    // Other processes may hold the relations: only the store's replacement is safe then.
    for (int i = 0; i < 2; ++i) {
        if (diaRel::ReplaceWithTemplate(copies[i].c_str(), target.c_str(), kRelations[i]) != db_ok) {
            Say("Unable to open file %s!\n", diaRel::FilePath(target.c_str(), kRelations[i]).c_str());
            return false;
        }
    }
    for (const std::string& copy : copies) ::unlink(copy.c_str());
    return true;
}

bool RebuildFromTemplates(const std::string& folder)
{
    if (!SafeFolder(folder)) return false;
    const std::string base =
        WithSlash(platform::GetProfileString("MsgStore", "BaseDirectory", "/var/lib/dlmgr/msgstore", kPathSize - 1));
    char target[kPathSize];
    const int length = std::snprintf(target, sizeof target, "%s%s/", base.c_str(), folder.c_str());
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) return false;
    std::lock_guard<std::mutex> hold(g_rebuildMutex);
    return CopyTemplateFiles(target) && RelationsOpen(target);
}

}  // namespace dlarchive::msgstore

using namespace dlarchive::msgstore;

bool RebuildMbx(const char* path, DatabaseType database, int error)
{
    // Other threads read the flag while calls of their own may set or clear it.
    std::atomic_ref<bool> flag(bArcRebuild);
    flag.store(true);
    bool result = false;
    try {
        char line[128];
        std::snprintf(line, sizeof line, "%s database: %s", DatabaseTypeName(database), DbErrorName(error));
        LogMessage(LOG_LEVEL_ERROR, kApiModule, line);
        const StorePath parts = SplitStorePath(path, database);
        if (error != db_notopened) SendCorruptionReport(path, parts.userName, parts.folder, database);
        if (database == DbMailbox) {
            LogMessage(LOG_LEVEL_INFO, kApiModule, "Rebuilding mailbox database");
            LogMessage(LOG_LEVEL_INFO, kApiModule, "OK");
            result = true;
        } else {
            LogMessage(LOG_LEVEL_INFO, kStoreModule, "Rebuilding mailbox");
            // A path without "@" names no user, and so no folder to rebuild.
            result = !parts.userDirectory.empty() && RebuildFromTemplates(parts.folder);
            LogMessage(result ? LOG_LEVEL_INFO : LOG_LEVEL_ERROR, kStoreModule, result ? "OK" : "Failed");
        }
    } catch (...) {
        // Out of memory on the way: the caller learns that the rebuild failed.
        result = false;
    }
    flag.store(false);
    return result;
}

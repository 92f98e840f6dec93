#pragma once
// The steps of RebuildMbx (rebuild.cpp: the path, the names, the rebuild from templates;
// report.cpp: the report mail). Messages of the template and file-copy steps go to the
// standard output, as the message store's console shows them; log lines go to LogMessage.
#include <string>

#include "dlarchive/message_store.h"

namespace dlarchive::msgstore {

inline constexpr const char* kApiModule = "Message Store API";
inline constexpr const char* kStoreModule = "MsgStore";

const char* DatabaseTypeName(DatabaseType type);
const char* DbErrorName(int error);

// The parts of a store path. Paths name a user's directory (whose name holds the "@")
// followed by the folder inside it; "\" and "/" both separate components and come out
// as "/".
struct StorePath {
    std::string userDirectory;  // up to and including the "/" after the component with "@"
    std::string userName;       // that component
    std::string folder;         // what follows the user directory; empty for a mailbox
};
// A mailbox path (type 2) is taken whole; any other loses its last character (the closing
// delimiter of a folder path). Without a "/" after the "@" the user directory is the whole
// text and a "/", and user name and folder are empty. A path without "@" names no user:
// all three parts are empty.
StorePath SplitStorePath(const char* path, DatabaseType type);

// The report mail; returns without sending when no recipient is configured.
void SendCorruptionReport(const char* path, const std::string& userName, const std::string& folder, DatabaseType type);
// Copies the type's damaged files from the path's directory to `tempDir`; returns the paths
// of the copies to attach, in the order the report lists them (empty when nothing was
// copied, or the type has no files).
std::string CopyDatabaseToTemp(const char* path, DatabaseType type, const std::string& tempDir);

// Replaces the archive relations of the folder below "MsgStore"/"BaseDirectory" by the
// templates and checks that they open. False on any failure (its message on the standard
// output); the relations are then left as they were.
bool RebuildFromTemplates(const std::string& folder);
// Copies each relation's template ("DLManager"/"DbPath", "<relation>.db") into the target
// directory as "<relation>.db.template", checks every copy, then replaces the relations by
// them through the relation store and removes the copies. The first failure stops it; copies
// made before it stay.
bool CopyTemplateFiles(const std::string& targetDirectory);
// Copies a file whole in blocks of 256 bytes; false (and its message on the standard output)
// when the source does not open, the target cannot be created, or a read or write fails
// (the target is then removed).
bool CopyWholeFile(const char* source, const char* target);

}  // namespace dlarchive::msgstore

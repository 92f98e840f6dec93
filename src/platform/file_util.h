#pragma once
// File utilities of the support library.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dlarchive/logging.h"

class CFileUtilException : public CLogging {
public:
    CFileUtilException(const char* moduleName, const std::string& text);
};

class CDirUtilException : public CLogging {
public:
    CDirUtilException(const char* moduleName, const std::string& text);
};

class CFileUtil : public CLogging {
public:
    explicit CFileUtil(const char* moduleName) : CLogging(moduleName) {}

    // True when a file (of any kind) exists at the path.
    bool IsExist(const char* path) const;
    // The whole file in a new buffer (released with delete[]) and its length. A missing or
    // empty file gives a null buffer and length 0; a file that exists but cannot be read, and
    // a symbolic link, FIFO or device in its place, throws CFileUtilException (never blocks).
    void Read(const char* path, char*& buffer, uint32_t& length) const;
    // Copies every file of the source directory whose name matches the wildcard (compared
    // without regard to case) into the target directory. bSkipExisting keeps files already
    // present in the target; without it they are replaced. bFailIfNone throws when no file
    // matches. Any file that cannot be copied throws CFileUtilException. Returns the names of
    // the files copied, sorted.
    std::vector<std::string> CopyFiles(const char* sourceDir, const char* targetDir, const char* wildcard,
                                       bool bSkipExisting, bool bFailIfNone) const;
    // Copies one file through a private temporary name beside the target (a copy that fails
    // leaves no trace), so that a reader never sees a partial copy.
    void CopyFile(const std::string& source, const std::string& target) const;
};

class CDirUtil : public CLogging {
public:
    explicit CDirUtil(const char* moduleName = "") : CLogging(moduleName) {}
    // True when the path ends in the directory delimiter "/".
    static bool IsDelimiterExist(const char* path);
    // Names (not paths) of the regular files in a directory that match the wildcard,
    // compared without regard to case, sorted by name. A missing directory throws
    // CDirUtilException.
    std::vector<std::string> List(const char* directory, const char* wildcard) const;
    // Calls `visit` with the name of each regular file that matches, in directory order,
    // until it answers false (large directories need not be held as a list of names).
    void ForEach(const char* directory, const char* wildcard, const std::function<bool(const char* name)>& visit) const;
};

namespace dlarchive::platform {
// Joins a directory and a name with exactly one "/" between them.
std::string JoinPath(const std::string& directory, const std::string& name);
}  // namespace dlarchive::platform

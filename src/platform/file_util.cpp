#include "platform/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

std::string ErrnoText(const std::string& what, const std::string& path, int err)
{
    return what + " " + path + ": " + std::strerror(err);
}

// Closes a descriptor when the scope ends.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

}  // namespace

namespace dlarchive::platform {
std::string JoinPath(const std::string& directory, const std::string& name)
{
    if (directory.empty()) return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}
}  // namespace dlarchive::platform

CFileUtilException::CFileUtilException(const char* moduleName, const std::string& text) : CLogging(moduleName)
{
    SetLastErrorMsg(text.c_str());
}

CDirUtilException::CDirUtilException(const char* moduleName, const std::string& text) : CLogging(moduleName)
{
    SetLastErrorMsg(text.c_str());
}

bool CFileUtil::IsExist(const char* path) const
{
    struct stat st {};
    return path != nullptr && *path != '\0' && ::stat(path, &st) == 0;
}

void CFileUtil::Read(const char* path, char*& buffer, uint32_t& length) const
{
    buffer = nullptr;
    length = 0;
    if (path == nullptr || *path == '\0') return;
    // A link is not followed and a FIFO or device never blocks the open: whatever stands in
    // place of the file is refused below unless it is the regular file itself.
    Fd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.fd < 0) {
        if (errno == ENOENT) return;
        if (errno == ELOOP) throw CFileUtilException(GetModuleName(), std::string("Not a regular file ") + path);
        throw CFileUtilException(GetModuleName(), ErrnoText("Cannot open file", path, errno));
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0)
        throw CFileUtilException(GetModuleName(), ErrnoText("Cannot read file", path, errno));
    if (!S_ISREG(st.st_mode)) throw CFileUtilException(GetModuleName(), std::string("Not a regular file ") + path);
    if (st.st_size == 0) return;
    if (static_cast<unsigned long long>(st.st_size) > UINT32_MAX - 1)
        throw CFileUtilException(GetModuleName(), std::string("File too large ") + path);
    const auto size = static_cast<uint32_t>(st.st_size);
    // One spare zero byte, so that parsers may treat the buffer as a string.
    std::unique_ptr<char[]> data(new char[size + 1]);
    uint32_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(file.fd, data.get() + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw CFileUtilException(GetModuleName(), ErrnoText("Cannot read file", path, errno));
        if (n == 0) break;  // the file shrank while we read it
        done += static_cast<uint32_t>(n);
    }
    data[done] = '\0';
    if (done == 0) return;
    buffer = data.release();
    length = done;
}

void CFileUtil::CopyFile(const std::string& source, const std::string& target) const
{
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) throw CFileUtilException(GetModuleName(), ErrnoText("Cannot open file", source, errno));
    // A name of its own per call: threads of one process may copy to the same target.
    std::string temp = target + ".copy-XXXXXX";
    Fd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (out.fd < 0) throw CFileUtilException(GetModuleName(), ErrnoText("Cannot create file", temp, errno));
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(in.fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::unlink(temp.c_str());
            throw CFileUtilException(GetModuleName(), ErrnoText("Cannot read file", source, err));
        }
        if (n == 0) break;
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(out.fd, block + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                const int err = errno;
                ::unlink(temp.c_str());
                throw CFileUtilException(GetModuleName(), ErrnoText("Cannot write file", temp, err));
            }
            done += w;
        }
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw CFileUtilException(GetModuleName(), ErrnoText("Cannot replace file", target, err));
    }
}

std::vector<std::string> CFileUtil::CopyFiles(const char* sourceDir, const char* targetDir, const char* wildcard,
                                              bool bSkipExisting, bool bFailIfNone) const
{
    std::vector<std::string> names;
    try {
        names = CDirUtil(GetModuleName()).List(sourceDir, wildcard);
    } catch (const CDirUtilException& e) {
        throw CFileUtilException(GetModuleName(), e.GetLastErrorMsg());
    }
    if (names.empty() && bFailIfNone)
        throw CFileUtilException(GetModuleName(),
                                 std::string("No file matches ") + dlarchive::platform::JoinPath(sourceDir, wildcard));
    std::vector<std::string> copied;
    for (const std::string& name : names) {
        const std::string target = dlarchive::platform::JoinPath(targetDir, name);
        if (bSkipExisting && IsExist(target.c_str())) continue;
        CopyFile(dlarchive::platform::JoinPath(sourceDir, name), target);
        copied.push_back(name);
    }
    return copied;
}

bool CDirUtil::IsDelimiterExist(const char* path)
{
    if (path == nullptr) return false;
    const std::size_t n = std::strlen(path);
    return n > 0 && path[n - 1] == '/';
}

void CDirUtil::ForEach(const char* directory, const char* wildcard,
                       const std::function<bool(const char* name)>& visit) const
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory != nullptr ? directory : ""), ::closedir);
    if (!dir)
        throw CDirUtilException(GetModuleName(), ErrnoText("Cannot read directory", directory ? directory : "", errno));
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (::fnmatch(wildcard, entry->d_name, FNM_CASEFOLD | FNM_PERIOD) != 0) continue;
        if (entry->d_type != DT_REG) {
            // Only file systems that do not tell the type need a stat.
            if (entry->d_type != DT_UNKNOWN) continue;
            struct stat st {};
            const std::string path = dlarchive::platform::JoinPath(directory, entry->d_name);
            if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        }
        if (!visit(entry->d_name)) return;
    }
}

std::vector<std::string> CDirUtil::List(const char* directory, const char* wildcard) const
{
    std::vector<std::string> names;
    ForEach(directory, wildcard, [&names](const char* name) {
        names.emplace_back(name);
        return true;
    });
    std::sort(names.begin(), names.end());
    return names;
}

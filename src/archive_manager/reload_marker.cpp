#include "archive_manager/reload_marker.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "platform/file_util.h"

namespace dlarchive::archive {

namespace {
constexpr const char* kModule = "DL Manager Archive";
}

ReloadState GetReloadState(const char* archivePath)
{
    const std::string path = platform::JoinPath(archivePath, kReloadMarker);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ReloadState::kNone : ReloadState::kInterrupted;
    // The lock is taken and dropped at once: a reloader that holds it is still running.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held ? ReloadState::kRunning : ReloadState::kInterrupted;
}

ReloadMarker::ReloadMarker(const char* archivePath) : m_path(platform::JoinPath(archivePath, kReloadMarker))
{
    for (;;) {
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_fd < 0 || ::flock(m_fd, LOCK_EX) != 0) {
            const int error = errno;
            if (m_fd >= 0) ::close(m_fd);
            throw CFileUtilException(kModule, "Cannot mark reload in " + m_path + ": " + std::strerror(error));
        }
        // A reloader that finished while this one waited has removed the file it locked: lock
        // the file that is there now, or the marker would not be seen.
        struct stat held {
        }, named{};
        if (::fstat(m_fd, &held) == 0 && ::stat(m_path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            return;
        ::close(m_fd);
    }
}

ReloadMarker::~ReloadMarker()
{
    if (m_fd >= 0) ::close(m_fd);
}

void ReloadMarker::Finish()
{
    // Removed while still locked, so no other reloader ever locks a marker on its way out.
    ::unlink(m_path.c_str());
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace dlarchive::archive

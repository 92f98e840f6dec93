#include "archive_manager/reload_marker.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/file_util.h"

namespace dlarchive::archive {

namespace {

constexpr const char* kModule = "DL Manager Archive";

// The markers this process holds: a second run of the process on the same directory shares
// the descriptor, since a second flock of the process's own would wait for itself.
struct Held {
    int fd = -1;
    int intakeRuns = 0;
    int reloads = 0;
};
std::mutex& Mutex()
{
    static std::mutex mutex;
    return mutex;
}
std::map<std::string, Held>& HeldMarkers()
{
    static std::map<std::string, Held> held;
    return held;
}

// Opens and locks the marker file that is in place, retrying when a run that was finishing
// removed the file between the open and the lock. A new marker is made locked under a private
// name and linked into place, so nobody ever sees it unlocked and takes it for a trace.
int LockMarker(const std::string& path, int operation)
{
    const auto fail = [&path](int error) {
        throw CFileUtilException(kModule, "Cannot mark the run in " + path + ": " + std::strerror(error));
    };
    for (;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            std::string temp = path + "." + std::to_string(::getpid()) + ".tmp.XXXXXX";
            fd = ::mkostemp(temp.data(), O_CLOEXEC);
            if (fd < 0) fail(errno);
            const bool linked = ::flock(fd, operation) == 0 && ::link(temp.c_str(), path.c_str()) == 0;
            const int error = errno;
            ::unlink(temp.c_str());
            if (linked) return fd;
            ::close(fd);
            if (error != EEXIST) fail(error);
            continue;
        }
        if (fd < 0 || ::flock(fd, operation) != 0) {
            const int error = errno;
            if (fd >= 0) ::close(fd);
            fail(error);
        }
        struct stat locked {
        }, named{};
        if (::fstat(fd, &locked) == 0 && ::stat(path.c_str(), &named) == 0 && locked.st_ino == named.st_ino &&
            locked.st_dev == named.st_dev)
            return fd;
        ::close(fd);
    }
}

// A reload inside an intake run of this process takes the run's shared lock over. Two such
// processes would wait for each other for ever, so the wait is bounded (30 s).
bool Upgrade(int fd)
{
    for (int i = 0; i < 3000; ++i) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        ::usleep(10000);
    }
    return false;
}

bool ProcessGone(const char* digits)
{
    char* end = nullptr;
    const long pid = std::strtol(digits, &end, 10);
    if (end == digits || pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

RunState GetRunState(const char* archivePath)
{
    const std::string path = platform::JoinPath(archivePath, kRunMarker);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? RunState::kNone : RunState::kInterrupted;
    {
        const std::lock_guard<std::mutex> lock(Mutex());
        if (HeldMarkers().count(path) != 0) {
            ::close(fd);
            return RunState::kRunning;
        }
    }
    // Tried and dropped at once: a run that holds the marker, shared or not, is still going. A
    // marker its last run removed after the open above is no trace either.
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    struct stat opened {
    }, named{};
    const bool inPlace = ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
                         opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
    ::close(fd);
    if (held) return RunState::kRunning;
    return inPlace ? RunState::kInterrupted : GetRunState(archivePath);
}

RunMarker::RunMarker(const char* archivePath, Kind kind)
    : m_path(platform::JoinPath(archivePath, kRunMarker)), m_kind(kind)
{
    const std::lock_guard<std::mutex> lock(Mutex());
    Held& held = HeldMarkers()[m_path];
    try {
        if (held.fd < 0)
            held.fd = LockMarker(m_path, kind == Kind::kReload ? LOCK_EX : LOCK_SH);
        else if (kind == Kind::kReload && held.reloads == 0 && !Upgrade(held.fd))
            throw CFileUtilException(kModule, "Cannot mark the run in " + m_path + ": other runs go on");
    } catch (...) {
        if (held.fd < 0) HeldMarkers().erase(m_path);
        throw;
    }
    ++(kind == Kind::kReload ? held.reloads : held.intakeRuns);
}

RunMarker::~RunMarker()
{
    if (!m_released) Release(false);
}

void RunMarker::Finish()
{
    Release(true);
}

void RunMarker::Release(bool finished)
{
    m_released = true;
    const std::lock_guard<std::mutex> lock(Mutex());
    Held& held = HeldMarkers()[m_path];
    --(m_kind == Kind::kReload ? held.reloads : held.intakeRuns);
    if (held.reloads + held.intakeRuns > 0) {
        // A reload inside an intake run of this process: the run goes on with its shared lock.
        if (held.reloads == 0) ::flock(held.fd, LOCK_SH);
        return;
    }
    // The marker goes only when no other process holds it either; it is removed while still
    // locked, so no new run ever locks a marker on its way out.
    if (finished && (m_kind == Kind::kReload || ::flock(held.fd, LOCK_EX | LOCK_NB) == 0)) ::unlink(m_path.c_str());
    ::close(held.fd);
    HeldMarkers().erase(m_path);
}

void RemoveStaleTemporaries(const char* archivePath)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(archivePath), ::closedir);
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        const std::size_t length = std::strlen(name);
        const char* pid = nullptr;
        if (std::strncmp(name, ".import-", 8) == 0 && length > 12 && std::strcmp(name + length - 4, ".tmp") == 0)
            pid = name + 8;
        else if (const char* tmp = std::strstr(name, ".tmp."); tmp != nullptr && tmp > name) {
            // "<page>.<pid>.tmp.XXXXXX": the pid stands between the last two dots before ".tmp.".
            const char* dot = tmp - 1;
            while (dot > name && *dot != '.') --dot;
            if (*dot == '.') pid = dot + 1;
        }
        if (pid != nullptr && ProcessGone(pid)) ::unlinkat(::dirfd(dir.get()), name, 0);
    }
}

}  // namespace dlarchive::archive

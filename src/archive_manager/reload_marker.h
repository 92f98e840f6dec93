#pragma once
// A reload or rebuild marks its archive directory for as long as it runs: the marker file is
// created and locked (flock) before the relations are replaced, and removed only once every
// message file has been stored. A marker that nobody holds locked is the trace of a reload
// that did not finish (killed, disk full, a failing template): its relations look complete
// but are not, and the next operation repairs or reports them.
#include <string>

namespace dlarchive::archive {

inline constexpr const char* kReloadMarker = ".reload-incomplete";

enum class ReloadState { kNone, kRunning, kInterrupted };

ReloadState GetReloadState(const char* archivePath);

class ReloadMarker {
public:
    // Creates and locks the marker, waiting for a reload of the same directory in another
    // process to end first. Throws CFileUtilException when the marker cannot be made.
    explicit ReloadMarker(const char* archivePath);
    // The marker stays (and is unlocked) unless Finish ran.
    ~ReloadMarker();
    ReloadMarker(const ReloadMarker&) = delete;
    ReloadMarker& operator=(const ReloadMarker&) = delete;
    // The reload ran to its end: the marker goes.
    void Finish();

private:
    std::string m_path;
    int m_fd = -1;
};

}  // namespace dlarchive::archive

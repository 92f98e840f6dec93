#pragma once
// Runs that write an archive's relations mark its directory for as long as they last. The
// marker file is created and locked (flock) before anything is written and removed only when
// the run ends well: a reload or rebuild holds it exclusively, an intake run (an import of many
// messages) shared. A marker that nobody holds is the trace of a run that did not finish
// (killed, disk full, a failing template): its relations look complete but are not, and the
// next operation repairs them (a rebuild stores every message file) or reports it.
#include <string>

namespace dlarchive::archive {

inline constexpr const char* kRunMarker = ".run-incomplete";

enum class RunState { kNone, kRunning, kInterrupted };

RunState GetRunState(const char* archivePath);

class RunMarker {
public:
    enum class Kind { kReload, kIntake };
    // Creates and locks the marker; a reload waits for the runs of other processes to end.
    // Within one process a reload inside an intake run takes the run's own lock over. Throws
    // CFileUtilException when the marker cannot be made.
    RunMarker(const char* archivePath, Kind kind);
    // Unless Finish ran, the marker stays (unlocked once no run of this process holds it).
    ~RunMarker();
    RunMarker(const RunMarker&) = delete;
    RunMarker& operator=(const RunMarker&) = delete;
    // The run ended well: the marker goes, unless another run still holds it.
    void Finish();

private:
    void Release(bool finished);
    std::string m_path;
    Kind m_kind;
    bool m_released = false;
};

// Removes the temporary files (".import-<pid>-<n>.tmp", "<page>.<pid>.tmp.XXXXXX") that
// processes no longer running left in the archive directory.
void RemoveStaleTemporaries(const char* archivePath);

}  // namespace dlarchive::archive

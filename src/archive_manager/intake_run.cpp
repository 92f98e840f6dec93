// Intake runs: imports of many messages mark the archive while they write it.
#include "archive_manager/reload_marker.h"
#include "dlarchive/archive.h"
#include "platform/file_util.h"

struct CDlArchiveIntakeRun::Marker {
    dlarchive::archive::RunMarker marker;
};

CDlArchiveIntakeRun::CDlArchiveIntakeRun(CDlArchive& archive) : m_marker(nullptr)
{
    using dlarchive::archive::RunState;
    const char* path = archive.GetArchivePathText();
    if (path[0] == '\0') archive.ThrowError(archive.GetLastError(), archive.GetLastErrorMsg());
    if (dlarchive::archive::GetRunState(path) == RunState::kInterrupted &&
        !archive.RunAutoRebuild("A run that did not finish"))
        archive.ThrowError(dlarchive::errors::kIncomplete);
    try {
        m_marker = new Marker{{path, dlarchive::archive::RunMarker::Kind::kIntake}};
    } catch (const CFileUtilException& e) {
        archive.ThrowError(dlarchive::errors::kFileUnreadableCode, e.GetLastErrorMsg());
    }
    dlarchive::archive::RemoveStaleTemporaries(path);
}

CDlArchiveIntakeRun::~CDlArchiveIntakeRun()
{
    delete m_marker;
}

void CDlArchiveIntakeRun::Finish()
{
    if (m_marker != nullptr) m_marker->marker.Finish();
}

// The batch run over every list of the mailing-list directory.
#include "dlarchive/archive.h"
#include "dlarchive/list_directory.h"

namespace {
CDlArchive::BatchHandler g_batchHandler = nullptr;
void* g_batchContext = nullptr;
}  // namespace

void CDlArchive::SetBatchHandler(BatchHandler handler, void* context)
{
    g_batchHandler = handler;
    g_batchContext = context;
}

// A failed load leaves no lists, so nothing is touched. A list with message files gets its
// relations reloaded when they are missing (a reload failure ends only the reload), then its
// pages; a list without message files is left alone. A name that does not fit the list name
// field is passed over, the object still pointing at the list before it. Nothing is caught:
// an exception of the page run ends the run, and the directory is released on the way out.
void CDlArchive::StartArchive()
{
    MailingListDirectory directory;
    directory.Load();
    for (const char* name = directory.First(); name != nullptr; name = directory.Next()) {
        BatchStep step{name, directory.FindArchiveFlag(name), false, false};
        if (step.archiveFlag == 1 && SetListName(name)) {
            GetArchivePath();
            const bool relations = CheckArchiveDatabase();
            const bool messages = CheckArchiveMessages();
            if (messages) {
                if (!relations) {
                    ProcessArchivedMessages(name);
                    step.reloaded = true;
                }
                GenerateIndexPages(name);
                step.pagesWritten = true;
            }
        }
        if (g_batchHandler != nullptr) g_batchHandler(step, g_batchContext);
    }
    directory.Free();
}

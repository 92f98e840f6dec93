#pragma once
#include <cstdint>
#include <string>

#include "dlarchive/archive_errors.h"
#include "dlarchive/cclient_fwd.h"
#include "dlarchive/export.h"
#include "dlarchive/logging.h"

struct ms;

// Starts the list's relations afresh from the templates, stores every message file again
// and regenerates the index pages. True when it ran to its end; false when a file or
// archive failure stopped it.
DLARCHIVE_API bool RebuildArchiveDb(const char* listName);
// The same; when it returns false, `failure` (when given) holds the code and text of what
// stopped it.
DLARCHIVE_API bool RebuildArchiveDb(const char* listName, CLogging* failure);

// Which field a search looks at; any other value finds nothing.
enum SearchCriterion : int32_t { SearchByAuthor = 0, SearchByDate = 1, SearchBySubject = 2 };

// The exception of the archive manager: an error code and its text.
class DLARCHIVE_API CDlArchiveException : public CLogging {
public:
    CDlArchiveException(int32_t code, const char* text);
    ~CDlArchiveException() override;
};

// Sets `error` as the owner's last error and throws it.
[[noreturn]] inline void ThrowArchiveError(CLogging& owner, const dlarchive::ArchiveError& error)
{
    owner.SetLastError(error.code);
    throw CDlArchiveException(error.code, error.text);
}

// The archive manager: one object serves one mailing list's archive at a time.
class DLARCHIVE_API CDlArchive : public CLogging {
public:
    static constexpr std::size_t kPathSize = 260;
    // Caller buffers of the display texts.
    static constexpr std::size_t kDisplayTextSize = 1024;

    CDlArchive();
    explicit CDlArchive(const char* moduleName);
    ~CDlArchive() override;
    // Copies carry the list name, archive path and last error, never an intake's buffer or
    // parsed records: those belong to the object that read them.
    CDlArchive(const CDlArchive& other);
    CDlArchive& operator=(const CDlArchive& other);

    // The list the object serves. False (and nothing changed) for a name that does not fit
    // into the 260-byte field.
    bool SetListName(const char* listName);
    const char* GetListName() const { return m_szListName; }

    // Computes the archive path "<home>/<list>/archive/" from "DlManager"/"DbPath". When it
    // would not fit into 260 bytes the archive path stays empty (every operation that needs
    // it then fails) and the last error says why.
    void GetArchivePath();
    const char* GetArchivePathText() const { return m_szArchivePath; }
    // "DlManager"/"DbPath", default "/var/lib/dlmgr": where the relation templates live.
    std::string GetDlHomeDir() const;
    // "DlManager"/"AuthoRebuild", default "Y"; callers compare it with "Y" ignoring case.
    std::string IsAutoRebuild() const;
    // The message number a message file name carries ("bb8.msg" is 3000).
    static uint32_t GetId(const char* fileName);

    uint32_t GetBufferLen() const { return m_nBufferLen; }
    uint32_t GetHdrSize() const { return m_nHdrSize; }

    // Intake of one message file "<number in lower-case hex>.msg" of the archive directory
    // (which ends in "/"). True when stored (or already stored: code 2 or 8 is left); false
    // when the relations are missing (nothing set) or the message does not parse (code 13,
    // 14 or 15 set and logged). A file that cannot be read or a relation failure throws
    // CDlArchiveException.
    bool AddArchive(const char* archiveDirectory, uint32_t number);
    bool InitBuffer(const char* path);
    void InitHdrSize();
    bool InitEnvBody();
    void DeinitEnvBody();
    void DeinitBuffer();
    // True when both relation files exist in the archive path.
    bool CheckArchiveDatabase();
    // True when the archive path holds at least one message file.
    bool CheckArchiveMessages();
    // Starts the relations afresh from the templates and stores every message file again.
    // Stops silently at the first file or archive failure.
    void ProcessArchivedMessages(const char* listName);
    // The same; when a failure stopped it, `failure` (when given) holds its code and text.
    void ProcessArchivedMessages(const char* listName, CLogging* failure);

    // The stored envelope or body of (number, seq), newly built and owned by the caller
    // (mail_free_envelope, mail_free_body), with the sizes the intake recorded. Failures
    // throw CDlArchiveException; code 18 means the relations were rebuilt instead.
    void GetArchiveEnv(uint32_t number, int8_t seq, mail_envelope*& envelope, uint32_t& messageSize,
                       uint32_t& headerSize);
    void GetArchiveBody(uint32_t number, int8_t seq, mail_bodystruct*& body, uint32_t& messageSize,
                        uint32_t& headerSize);
    // Display texts with localized placeholders, written into a caller buffer of 1024 bytes
    // (at most 1023 characters, always terminated). Nothing is written when the language
    // table does not open.
    void GetAuthorOfMessage(const mail_envelope* envelope, char* buffer, const char* locale);
    void GetDateOfMessage(const mail_envelope* envelope, char* buffer, const char* locale);
    void GetSubjectOfMessage(const mail_envelope* envelope, char* buffer, const char* locale);

    // Called with (done, total) while a reload or rebuild stores the message files; the tool
    // shows its progress line through it. Null turns it off.
    using ProgressHandler = void (*)(uint32_t done, uint32_t total, void* context);
    static void SetProgressHandler(ProgressHandler handler, void* context);

    // Batch run (src/archive_manager/batch_run.cpp): every list of the directory whose archive
    // option is 1 and that has message files gets its relations reloaded when they are missing
    // and its index pages regenerated. Catches nothing: a page failure ends the run.
    void StartArchive();
    // What the batch run did for one list, told to the handler after the list was handled.
    struct BatchStep {
        const char* list;
        int32_t archiveFlag;  // 1 archived, 0 off, -1 unknown
        bool reloaded;
        bool pagesWritten;
    };
    using BatchHandler = void (*)(const BatchStep& step, void* context);
    static void SetBatchHandler(BatchHandler handler, void* context);

    // The listings of the archive (distinct authors, distinct days, thread subjects) as
    // string chains the caller releases with freeStringChain. True, or a thrown exception.
    bool SortArchiveRecords(const char* listName, ms** authors, ms** dates, ms** threads, const char* locale);
    // The index pages "<language key>-thread.html", "-author.html" and "-date.html" of the
    // archive path, each replaced atomically once complete. True, or a thrown exception.
    bool GenerateThreadPage(const char* listName, ms* threads, const char* locale);
    bool GenerateAuthorPage(const char* listName, ms* authors, const char* locale);
    bool GenerateDatePage(const char* listName, ms* dates, const char* locale);
    // All pages for every locale of "Language Selection", in the order author, date, thread.
    void GenerateIndexPages(const char* listName);

    // Navigation (src/search/navigation.cpp). The neighbour of message `current` in sort order
    // 0 (author), 1 (date) or 2 (thread), `key` being the current message's author, date or
    // subject text: its number and its texts into buffers of 260, 64 and 260 bytes. Nothing
    // is written when there is none.
    void GetPreviousArchiveMsg(uint32_t current, const char* key, int32_t sort, uint32_t& found, char* author,
                               char* date, char* subject, const char* locale);
    void GetNextArchiveMsg(uint32_t current, const char* key, int32_t sort, uint32_t& found, char* author, char* date,
                           char* subject, const char* locale);
    // Search (src/search/search.cpp). Appends the number, author, subject and date texts of
    // every message that matches to the four chains, in ascending number. `ignoreCase` is a
    // switch (any non-null value). Failures throw CDlArchiveException (25, 26, 1, 7, 19).
    void SearchArchiveMessages(ms** ids, ms** authors, ms** dates, ms** subjects, const char* searchText,
                               const char* ignoreCase, SearchCriterion criterion, bool partialMatch,
                               const char* locale);
    // Search criteria on one envelope (src/search/criteria.cpp); false when the language table
    // does not open. ParseDateInput writes the pattern of a date input into 1024 bytes.
    bool CheckAuthorValue(const mail_envelope* envelope, const char* searchText, const char* ignoreCase,
                          bool partialMatch, const char* locale);
    bool CheckSubjectValue(const mail_envelope* envelope, const char* searchText, const char* ignoreCase,
                           bool partialMatch, const char* locale);
    bool CheckDateValue(const mail_envelope* envelope, const char* datePattern, const char* ignoreCase,
                        bool partialMatch, const char* locale);
    void ParseDateInput(const char* input, char* output, const char* locale);

    // Appends "<address>;<key>\r\n" to the archive's remote.txt for an entry
    // "<address>[, ]<password>\r\n" (split in place). Failures throw CDlArchiveException.
    bool UpdateRemoteFile(char* entry);

    // Turn a record result into the last error code and, for failures, an exception.
    void GetArchiveEnvDbRet(int32_t result);
    void GetArchiveBodyDbRet(int32_t result);

protected:
    [[noreturn]] void ThrowError(int32_t code, const char* text);
    [[noreturn]] void ThrowError(const dlarchive::ArchiveError& error) { ThrowError(error.code, error.text); }

    char m_szListName[kPathSize] = {};
    char m_szArchivePath[kPathSize] = {};
    char* m_pBuffer = nullptr;
    mail_envelope* m_pEnvelope = nullptr;
    mail_bodystruct* m_pBody = nullptr;
    uint32_t m_nBufferLen = 0;
    uint32_t m_nHdrSize = 0;

private:
    void ReleaseIntake();
    bool AddArchiveToDb(const char* archiveDirectory, uint32_t number, int8_t seq, mail_bodystruct* body,
                        mail_envelope* envelope);
    // Replaces the relations by the templates and stores every message file of the archive
    // path through `target` (this object or the rebuild's own).
    void ReloadFromMessageFiles(CDlArchive& target);
    // Runs the automatic rebuild of the object's list when "AuthoRebuild" is on, logging
    // `reason` (what was found where); false when it is off, when it failed, or when a
    // rebuild of the same list already runs in this process (no rebuild recursion).
    bool RunAutoRebuild(const char* reason);
    // Relations left by a reload or rebuild that did not finish are repaired (throws 18 once
    // rebuilt) or reported (throws 20); nothing happens while the reload still runs.
    void CheckReloadFinished();
    // Search and navigation (src/search/): the neighbour walk, and the end of a walk of
    // archiveenv that did not reach the end of the relation.
    void FindNeighbour(bool previous, uint32_t current, const char* key, int32_t sort, uint32_t& found, char* author,
                       char* date, char* subject, const char* locale);
    void EndEnvelopeWalk(int32_t status, const char* reason);
    friend bool RebuildArchiveDb(const char* listName, CLogging* failure);
    // The page run reaches the rebuild policy through it.
    friend class PagePolicy;
    friend class CDlArchiveIntakeRun;
};

// An intake run: a caller that writes message files and archives them one by one (an import)
// marks the archive while it works, so that a run killed between writing a file and storing it
// leaves a trace that the next operation repairs (the relations are rebuilt from the files).
// Starting a run first repairs such a trace of an earlier run (automatic rebuild on; else it
// throws 20) and removes the temporary files that killed runs left.
class DLARCHIVE_API CDlArchiveIntakeRun {
public:
    explicit CDlArchiveIntakeRun(CDlArchive& archive);
    ~CDlArchiveIntakeRun();
    CDlArchiveIntakeRun(const CDlArchiveIntakeRun&) = delete;
    CDlArchiveIntakeRun& operator=(const CDlArchiveIntakeRun&) = delete;
    // Every message of the run was written and archived (or reported).
    void Finish();

private:
    struct Marker;
    Marker* m_marker;
};

// Intake of message files, the checks of the batch run and the reload of an archive.
#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "archive_manager/rebuild_policy.h"
#include "archive_manager/reload_marker.h"
#include "dlarchive/archive.h"
#include "dlarchive/db_error.h"
#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/cclient.h"
#include "platform/file_util.h"
#include "record_store/record_internal.h"

namespace {

constexpr const char* kFileModule = "DL Manager Archive";

struct Progress {
    CDlArchive::ProgressHandler handler = nullptr;
    void* context = nullptr;
};
Progress& ProgressState()
{
    static Progress progress;
    return progress;
}

// "<directory><name>" when it fits the 260-byte path buffers of the system; else empty.
std::string FitPath(const char* directory, const std::string& name)
{
    std::string path = std::string(directory != nullptr ? directory : "") + name;
    if (path.size() >= CDlArchive::kPathSize) path.clear();
    return path;
}

}  // namespace

void CDlArchive::SetProgressHandler(ProgressHandler handler, void* context)
{
    ProgressState() = Progress{handler, context};
}

bool CDlArchive::AddArchive(const char* archiveDirectory, uint32_t number)
{
    // Whatever an earlier intake left behind after a failure goes now.
    ReleaseIntake();
    if (!CheckArchiveDatabase()) return false;
    CheckReloadFinished();
    PrintLogMessage(LOG_LEVEL_PROGRESS, "Processing archive message ID <%X>", number);

    char name[32];
    std::snprintf(name, sizeof name, "%x.msg", number);
    const std::string path = FitPath(archiveDirectory, name);
    if (!InitBuffer(path.c_str())) throw CDlArchiveException(GetLastError(), GetLastErrorMsg());
    InitHdrSize();
    if (!InitEnvBody()) return false;
    AddArchiveToDb(archiveDirectory, number, 0, m_pBody, m_pEnvelope);
    DeinitEnvBody();
    DeinitBuffer();
    return true;
}

bool CDlArchive::InitBuffer(const char* path)
{
    DeinitBuffer();
    try {
        CFileUtil reader("");
        reader.Read(path, m_pBuffer, m_nBufferLen);
    } catch (const CFileUtilException& e) {
        m_pBuffer = nullptr;
        m_nBufferLen = 0;
        SetLastError(dlarchive::errors::kFileUnreadableCode);
        SetLastErrorMsg(e.GetLastErrorMsg());
        PrintLog(LOG_LEVEL_ERROR, GetLastErrorMsg());
        return false;
    }
    if (m_nBufferLen == 0) {
        SetLastError(dlarchive::errors::kFileEmpty.code);
        SetLastErrorMsg(dlarchive::errors::kFileEmpty.text);
        PrintLog(LOG_LEVEL_ERROR, GetLastErrorMsg());
        return false;
    }
    return true;
}

void CDlArchive::InitHdrSize()
{
    // The header ends at the first empty line; carriage returns before a line feed do not
    // count, so "\n\r\r\n" is an empty line too.
    bool lineStart = false;
    for (uint32_t i = 0; i < m_nBufferLen; ++i) {
        const char c = m_pBuffer[i];
        if (c == '\n') {
            if (lineStart) {
                m_nHdrSize = i + 1;
                return;
            }
            lineStart = true;
        } else if (c != '\r') {
            lineStart = false;
        }
    }
    m_nHdrSize = lineStart ? m_nBufferLen : 0;
}

bool CDlArchive::InitEnvBody()
{
    const auto fail = [this](const dlarchive::ArchiveError& error) {
        SetLastError(error.code);
        SetLastErrorMsg(error.text);
        PrintLog(LOG_LEVEL_ERROR, error.text);
        return false;
    };
    DeinitEnvBody();
    if (m_nHdrSize == 0) return fail(dlarchive::errors::kNoHeader);
    dlarchive::cclient::ParseMessage(m_pBuffer, m_nBufferLen, m_nHdrSize, &m_pEnvelope, &m_pBody);
    if (m_pEnvelope == nullptr) {
        dlarchive::cclient::FreeBody(&m_pBody);
        return fail(dlarchive::errors::kHeaderInvalid);
    }
    // A body the records cannot hold (too many parts, too deep) is refused like one that
    // does not parse: nothing of it is stored, and a reload goes on with the next message.
    if (m_pBody == nullptr || !dlarchive::records::BodyFitsRecords(m_pBody)) {
        dlarchive::cclient::FreeEnvelope(&m_pEnvelope);
        dlarchive::cclient::FreeBody(&m_pBody);
        return fail(dlarchive::errors::kBodyInvalid);
    }
    return true;
}

void CDlArchive::DeinitEnvBody()
{
    dlarchive::cclient::FreeEnvelope(&m_pEnvelope);
    dlarchive::cclient::FreeBody(&m_pBody);
}

void CDlArchive::DeinitBuffer()
{
    if (m_pBuffer == nullptr) return;
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_nBufferLen = 0;
}

bool CDlArchive::RunAutoRebuild(const char* reason)
{
    if (!dlarchive::archive::IsOn(IsAutoRebuild())) return false;
    return dlarchive::archive::RebuildUnlessRunning(m_szListName, reason);
}

void CDlArchive::CheckReloadFinished()
{
    using dlarchive::archive::RunState;
    if (m_szArchivePath[0] == '\0') return;
    if (dlarchive::archive::GetRunState(m_szArchivePath) != RunState::kInterrupted) return;
    if (RunAutoRebuild("A run that did not finish")) ThrowError(dlarchive::errors::kRebuilt);
    ThrowError(dlarchive::errors::kIncomplete);
}

bool CDlArchive::AddArchiveToDb(const char* archiveDirectory, uint32_t number, int8_t seq, mail_bodystruct* body,
                                mail_envelope* envelope)
{
    const uint16_t recordSeq = static_cast<uint16_t>(static_cast<int16_t>(seq));
    idxkey envKey{number, recordSeq};
    idxkey bodyKey{number, recordSeq};
    bool bodyOpen;
    int32_t envResult = db_ok;
    int32_t bodyResult = db_ok;
    {
        // Readers tell a message being stored (envelope first) from one that lost a record.
        // Readers tell a message being stored (envelope first) from one that lost a record. A
        // store that fails rolls back, so only a process killed on the way leaves the marker.
        dlarchive::archive::RunMarker marker(archiveDirectory, dlarchive::archive::RunMarker::Kind::kIntake);
        try {
            diamondBase base;
            archivebody bodies(base, archiveDirectory, "archivebody");
            archiveenv envelopes(base, archiveDirectory, "archiveenv");
            bodyOpen = bodies.status() == db_ok;
            if (bodyOpen) {
                envResult = ::AddArchiveEnv(&envelopes, &envKey, envelope, m_nBufferLen, m_nHdrSize);
                if (envResult != db_corrupt) {
                    GetArchiveEnvDbRet(envResult);
                    envKey = idxkey{number, recordSeq};
                    bodyKey = idxkey{number, recordSeq};
                    bodyResult =
                        ::AddArchiveBody(&bodies, &envelopes, &bodyKey, &envKey, body, m_nBufferLen, m_nHdrSize);
                }
            }
        } catch (...) {
            marker.Finish();
            throw;
        }
        marker.Finish();
    }
    if (bodyOpen) {
        // Damage found while storing (22) is reported as rebuilt (18), so it is rebuilt, once
        // the relations are closed; the rebuild stores this message with all the others.
        if (envResult == db_corrupt || bodyResult == db_corrupt)
            RunAutoRebuild(envResult == db_corrupt ? "Damage of archiveenv found while storing"
                                                   : "Damage of archivebody found while storing");
        if (envResult == db_corrupt) GetArchiveEnvDbRet(envResult);
        GetArchiveBodyDbRet(bodyResult);
        return true;
    }
    // The relations are closed before a rebuild replaces their files.
    SetLastError(dlarchive::errors::kBodyOpen.code);
    if (RunAutoRebuild("archivebody does not open for storing")) ThrowError(dlarchive::errors::kRebuilt);
    ThrowError(dlarchive::errors::kBodyOpen);
}

bool CDlArchive::CheckArchiveDatabase()
{
    if (m_szArchivePath[0] == '\0') return false;
    try {
        CFileUtil files(kFileModule);
        const std::string env = FitPath(m_szArchivePath, "archiveenv.db");
        if (!files.IsExist(env.c_str())) return false;
        return files.IsExist(FitPath(m_szArchivePath, "archivebody.db").c_str());
    } catch (const CFileUtilException&) {
        return false;
    }
}

namespace {

// The number of a message file name, when it is exactly a name the intake opens ("%x.msg":
// lower-case hexadecimal without leading zeros); any other name that a scan over "*.msg"
// meets ("1A.msg", "0a.msg", "1a.MSG") is passed over with a line at level 6.
bool MessageFileNumber(const char* name, uint32_t& number, const CLogging& log)
{
    const std::size_t digits = std::strlen(name) - std::min<std::size_t>(std::strlen(name), 4);
    bool ok = digits >= 1 && digits <= 8 && std::strcmp(name + digits, ".msg") == 0 && (name[0] != '0' || digits == 1);
    number = 0;
    for (std::size_t i = 0; ok && i < digits; ++i) {
        const char c = name[i];
        ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        number = number * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (!ok) log.PrintLogMessage(LOG_LEVEL_INFO, "Passed over %s: not a message file name", name);
    return ok;
}

// Numbers of the message files of an archive directory, ascending, so that every reload and
// rebuild stores them in the same order.
std::vector<uint32_t> MessageNumbers(const char* archivePath, const CLogging& log)
{
    std::vector<uint32_t> numbers;
    try {
        CDirUtil(kFileModule).ForEach(archivePath, "*.msg", [&numbers, &log](const char* name) {
            uint32_t number;
            if (MessageFileNumber(name, number, log)) numbers.push_back(number);
            return true;
        });
    } catch (const CDirUtilException& e) {
        throw CFileUtilException(kFileModule, e.GetLastErrorMsg());
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Relation templates of the home directory in place of the archive's relation files. A
// relation's template is its one ".db" file: side files beside it ("-wal", "-shm") belong to
// whoever had the template open and must never reach a live relation.
// The relation templates of the home ("archive*.db"), each checked (a sound relation of its
// name that holds no records) before any relation is replaced: a bad template is reported by
// name and replaces nothing, so the relations stay as they were.
std::vector<std::string> CheckedTemplates(const std::string& home)
{
    std::vector<std::string> templates;
    try {
        templates = CDirUtil(kFileModule).List(home.c_str(), "archive*.db");
    } catch (const CDirUtilException& e) {
        throw CFileUtilException(kFileModule, e.GetLastErrorMsg());
    }
    for (const std::string& name : templates) {
        const std::string source = dlarchive::platform::JoinPath(home, name);
        const dbError rc = diaRel::CheckTemplate(source.c_str(), name.substr(0, name.size() - 3).c_str());
        if (rc != db_ok) {
            std::string why = rc == db_dup ? "it holds records" : "not a sound relation (" + std::to_string(rc) + ")";
            if (rc == db_corrupt && diaRel::LastDamage()[0] != '\0') why += ": " + std::string(diaRel::LastDamage());
            throw CFileUtilException(kFileModule, "Template " + source + " cannot be used: " + why);
        }
    }
    return templates;
}

// The archive's relations replaced by the checked templates, through the store: other
// processes may have them open.
void ReplaceRelations(const std::string& home, const std::vector<std::string>& templates, const char* archivePath)
{
    for (const std::string& name : templates) {
        const std::string source = dlarchive::platform::JoinPath(home, name);
        const std::string relation = name.substr(0, name.size() - 3);
        const dbError rc = diaRel::ReplaceWithTemplate(source.c_str(), archivePath, relation.c_str());
        if (rc != db_ok)
            throw CFileUtilException(kFileModule, "Cannot replace relation " + relation + " by its template " + source +
                                                      " (" + std::to_string(rc) + ")");
    }
}

}  // namespace

bool CDlArchive::CheckArchiveMessages()
{
    if (m_szArchivePath[0] == '\0') return false;
    try {
        bool found = false;
        CDirUtil(kFileModule).ForEach(m_szArchivePath, "*.msg", [this, &found](const char* name) {
            uint32_t number;
            found = MessageFileNumber(name, number, *this);
            return !found;  // the first one is enough
        });
        return found;
    } catch (const CDirUtilException&) {
        return false;
    }
}

void CDlArchive::ReloadFromMessageFiles(CDlArchive& target)
{
    if (m_szArchivePath[0] == '\0') throw CFileUtilException(kFileModule, "No archive path");
    // Until every message file is stored, the relations only look complete.
    const std::string home = GetDlHomeDir();
    const std::vector<std::string> templates = CheckedTemplates(home);
    dlarchive::archive::RunMarker marker(m_szArchivePath, dlarchive::archive::RunMarker::Kind::kReload);
    dlarchive::archive::RemoveStaleTemporaries(m_szArchivePath);
    ReplaceRelations(home, templates, m_szArchivePath);
    // Numbers, not names: a list of 100,000 names would cost more than the whole intake.
    const std::vector<uint32_t> numbers = MessageNumbers(m_szArchivePath, target);
    const Progress progress = ProgressState();
    uint32_t done = 0;
    for (const uint32_t number : numbers) {
        // A file that is empty (17) or cannot be read (16) is passed over like a message that
        // does not parse, so one bad file never keeps the messages after it out.
        try {
            target.AddArchive(m_szArchivePath, number);
        } catch (const CDlArchiveException& e) {
            if (e.GetLastError() != 16 && e.GetLastError() != 17) throw;
            target.PrintLogMessage(LOG_LEVEL_ERROR, "Passed over message file %s%x.msg (code %d: %s)", m_szArchivePath,
                                   number, e.GetLastError(), e.GetLastErrorMsg());
        }
        if (progress.handler != nullptr)
            progress.handler(++done, static_cast<uint32_t>(numbers.size()), progress.context);
    }
    marker.Finish();
}

void CDlArchive::ProcessArchivedMessages(const char* listName)
{
    ProcessArchivedMessages(listName, nullptr);
}

void CDlArchive::ProcessArchivedMessages(const char* /*listName*/, CLogging* failure)
{
    // A failure ends the reload silently; only a caller who asks learns what stopped it.
    try {
        ReloadFromMessageFiles(*this);
    } catch (const CFileUtilException& e) {
        if (failure != nullptr) {
            failure->SetLastError(dlarchive::errors::kFileUnreadableCode);
            failure->SetLastErrorMsg(e.GetLastErrorMsg());
        }
    } catch (const CDlArchiveException& e) {
        if (failure != nullptr) {
            failure->SetLastError(e.GetLastError());
            failure->SetLastErrorMsg(e.GetLastErrorMsg());
        }
    }
}

bool RebuildArchiveDb(const char* listName)
{
    return RebuildArchiveDb(listName, nullptr);
}

bool RebuildArchiveDb(const char* listName, CLogging* failure)
{
    const std::string list = listName != nullptr ? listName : "";
    const dlarchive::archive::RebuildScope scope(list);
    const auto stopped = [failure](const dlarchive::ArchiveError& error) {
        if (failure != nullptr) {
            failure->SetLastError(error.code);
            failure->SetLastErrorMsg(error.text);
        }
        return false;
    };
    try {
        CDlArchive own("DL Archive");
        if (!own.SetListName(list.c_str())) return stopped(dlarchive::errors::kListNameTooLong);
        own.GetArchivePath();
        if (own.GetArchivePathText()[0] == '\0') return stopped({own.GetLastError(), own.GetLastErrorMsg()});
        own.ReloadFromMessageFiles(own);
        own.GenerateIndexPages(own.GetListName());
        return true;
    } catch (const CDlArchiveException& e) {
        return stopped({e.GetLastError(), e.GetLastErrorMsg()});
    } catch (const CFileUtilException& e) {
        return stopped({dlarchive::errors::kFileUnreadableCode, e.GetLastErrorMsg()});
    }
}

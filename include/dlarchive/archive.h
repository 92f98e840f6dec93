#pragma once
#include <cstdint>
#include <string>

#include "dlarchive/cclient_fwd.h"
#include "dlarchive/export.h"
#include "dlarchive/logging.h"

// The exception of the archive manager: an error code and its text.
class DLARCHIVE_API CDlArchiveException : public CLogging {
public:
    CDlArchiveException(int32_t code, const char* text);
    ~CDlArchiveException() override;
};

// The archive manager: one object serves one mailing list's archive at a time.
class DLARCHIVE_API CDlArchive : public CLogging {
public:
    static constexpr std::size_t kPathSize = 260;

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

    // Appends "<address>;<key>\r\n" to the archive's remote.txt for an entry
    // "<address>[, ]<password>\r\n" (split in place). Failures throw CDlArchiveException.
    bool UpdateRemoteFile(char* entry);

    // Turn a record result into the last error code and, for failures, an exception.
    void GetArchiveEnvDbRet(int32_t result);
    void GetArchiveBodyDbRet(int32_t result);

protected:
    [[noreturn]] void ThrowError(int32_t code, const char* text);

    char m_szListName[kPathSize] = {};
    char m_szArchivePath[kPathSize] = {};
    char* m_pBuffer = nullptr;
    mail_envelope* m_pEnvelope = nullptr;
    mail_bodystruct* m_pBody = nullptr;
    uint32_t m_nBufferLen = 0;
    uint32_t m_nHdrSize = 0;

private:
    void ReleaseIntake();
};

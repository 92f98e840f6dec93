#include "dlarchive/archive.h"

#include <strings.h>
#include <cstdio>
#include <cstring>

#include "dlarchive/db_error.h"
#include "platform/cclient.h"
#include "platform/config.h"

namespace {

constexpr const char* kDefaultHome = "/var/lib/dlmgr";

void CopyText(char* target, std::size_t size, const char* text)
{
    std::snprintf(target, size, "%s", text != nullptr ? text : "");
}

// A list name is one file name: not "." or "..", without "/", "\\" or control characters.
bool IsOneFileName(const char* name)
{
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

}  // namespace

CDlArchiveException::CDlArchiveException(int32_t code, const char* text)
{
    SetLastError(code);
    SetLastErrorMsg(text);
}

CDlArchiveException::~CDlArchiveException() = default;

CDlArchive::CDlArchive() = default;

CDlArchive::CDlArchive(const char* moduleName) : CLogging(moduleName) {}

CDlArchive::~CDlArchive()
{
    ReleaseIntake();
}

CDlArchive::CDlArchive(const CDlArchive& other) : CLogging(other)
{
    std::memcpy(m_szListName, other.m_szListName, sizeof m_szListName);
    std::memcpy(m_szArchivePath, other.m_szArchivePath, sizeof m_szArchivePath);
}

CDlArchive& CDlArchive::operator=(const CDlArchive& other)
{
    if (this == &other) return *this;
    CLogging::operator=(other);
    ReleaseIntake();
    std::memcpy(m_szListName, other.m_szListName, sizeof m_szListName);
    std::memcpy(m_szArchivePath, other.m_szArchivePath, sizeof m_szArchivePath);
    return *this;
}

void CDlArchive::ReleaseIntake()
{
    dlarchive::cclient::FreeEnvelope(&m_pEnvelope);
    dlarchive::cclient::FreeBody(&m_pBody);
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_nBufferLen = 0;
}

bool CDlArchive::SetListName(const char* listName)
{
    if (listName == nullptr || std::strlen(listName) >= sizeof m_szListName) return false;
    CopyText(m_szListName, sizeof m_szListName, listName);
    return true;
}

void CDlArchive::GetArchivePath()
{
    std::string home = dlarchive::platform::GetProfileString("DlManager", "DbPath", "", 259);
    if (!home.empty() && home.back() == '/') home.pop_back();
    char path[kPathSize * 2];
    const int n = std::snprintf(path, sizeof path, "%s%c%s%carchive%c", home.c_str(), '/', m_szListName, '/', '/');
    // A path that does not fit, no list at all, or a name that is not one file name leaves no
    // archive path: nothing can then touch a directory other than the list's own.
    const dlarchive::ArchiveError* refused = nullptr;
    if (m_szListName[0] == '\0')
        refused = &dlarchive::errors::kNoListName;
    else if (!IsOneFileName(m_szListName))
        refused = &dlarchive::errors::kInvalidListName;
    else if (n < 0 || static_cast<std::size_t>(n) >= sizeof m_szArchivePath)
        refused = &dlarchive::errors::kPathTooLong;
    if (refused != nullptr) {
        m_szArchivePath[0] = '\0';
        SetLastError(refused->code);
        SetLastErrorMsg(refused->text);
        return;
    }
    std::memcpy(m_szArchivePath, path, static_cast<std::size_t>(n) + 1);
}

std::string CDlArchive::GetDlHomeDir() const
{
    CIniSetting ini(dlarchive::platform::kConfigFileName);
    return ini.GetValue("DlManager", "DbPath", kDefaultHome);
}

std::string CDlArchive::IsAutoRebuild() const
{
    CIniSetting ini(dlarchive::platform::kConfigFileName);
    return ini.GetValue("DlManager", "AuthoRebuild", "Y");
}

uint32_t CDlArchive::GetId(const char* fileName)
{
    if (fileName == nullptr) return 0;
    std::size_t n = std::strlen(fileName);
    if (std::strstr(fileName, ".msg") != nullptr) n = std::strcspn(fileName, ".");
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = fileName[i];
        int digit = 0;
        if (c >= '1' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        sum = sum * 16 + digit;
    }
    // More than eight significant digits do not fit a message number: the largest one
    // stands for them rather than an undefined conversion.
    if (sum >= 4294967296.0) return UINT32_MAX;
    return static_cast<uint32_t>(sum);
}

void CDlArchive::ThrowError(int32_t code, const char* text)
{
    SetLastError(code);
    throw CDlArchiveException(code, text);
}

void CDlArchive::GetArchiveEnvDbRet(int32_t result)
{
    using namespace dlarchive::errors;
    switch (result) {
        case db_ok:
            SetLastError(kStoredCode);
            return;
        case db_dup:
            SetLastError(kEnvDuplicateCode);
            return;
        case db_notfound:
            ThrowError(kEnvNotFound);
        case db_range:
            ThrowError(kEnvRange);
        case db_notopened:
            ThrowError(kEnvOpen);
        case db_locked:
            ThrowError(kEnvLocked);
        case db_eof:
            ThrowError(kEnvEnd);
        case db_nomem:
            ThrowError(kNoMemory);
        case db_corrupt:
            ThrowError(kEnvRebuilt);
        default:
            ThrowError(kEnvOther);
    }
}

void CDlArchive::GetArchiveBodyDbRet(int32_t result)
{
    using namespace dlarchive::errors;
    switch (result) {
        case db_ok:
            SetLastError(kStoredCode);
            return;
        case db_dup:
            SetLastError(kBodyDuplicateCode);
            return;
        case db_notfound:
            ThrowError(kBodyNotFound);
        case db_range:
            ThrowError(kBodyRange);
        // The code stays as it is: the callers have set 7 when the relation failed to open.
        case db_notopened:
            throw CDlArchiveException(GetLastError(), kBodyOpen.text);
        case db_locked:
            ThrowError(kBodyLocked);
        case db_eof:
            ThrowError(kBodyEnd);
        case db_nomem:
            ThrowError(kNoMemory);
        case db_corrupt:
            ThrowError(kBodyRebuilt);
        default:
            ThrowError(kBodyOther);
    }
}

#pragma once
#include <cstdint>
#include <utility>

#include "dlarchive/export.h"

// Log levels used throughout the system.
enum { LOG_LEVEL_ERROR = 1, LOG_LEVEL_PROGRESS = 5, LOG_LEVEL_INFO = 6 };

// Writes one line "YYYY-MM-DD HH:MM:SS <level> <module>: <text>" to kelmo.log in
// "Gateway"/"LogDirectory" (standard error when none is configured). Lines of a level
// above "Gateway"/"LogLevel" (default 6) are dropped.
DLARCHIVE_API void LogMessage(int level, const char* module, const char* text);

// Base of the archive manager, its exception and the support classes: the last error
// code and text, and the module name lines are logged under.
class DLARCHIVE_API CLogging {
public:
    CLogging();
    explicit CLogging(const char* moduleName);
    virtual ~CLogging();
    CLogging(const CLogging&) = default;
    CLogging& operator=(const CLogging&) = default;

    void SetLastErrorMsg(const char* text);
    void SetLastError(int32_t code) { m_nLastError = code; }
    int32_t GetLastError() const { return m_nLastError; }
    const char* GetLastErrorMsg() const { return m_szLastErrorMsg; }
    const char* GetModuleName() const { return m_szModuleName; }

    void PrintLogMessage(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    void PrintLogMessageEx(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    // One line with the text as it stands.
    void PrintLog(int level, const char* text) const;
    // The object's last error message, under another module name.
    void PrintLog(const char* moduleName, int level) const;
    template <typename... Args>
    requires(sizeof...(Args) >= 1 && sizeof...(Args) <= 2) void PrintLog(int level, const char* format,
                                                                         Args... args) const
    {
        PrintLogMessage(level, format, args...);
    }
    // Information level.
    void PrintLogEx(const char* text) const { PrintLog(LOG_LEVEL_INFO, text); }
    template <typename... Args>
    requires(sizeof...(Args) <= 2) void PrintLogEx(int level, const char* format, Args... args) const
    {
        PrintLogMessageEx(level, format, args...);
    }

protected:
    int32_t m_nLastError = 0;
    char m_szLastErrorMsg[513] = {};
    char m_szModuleName[257] = {};
};

#pragma once
// Mail with file attachments, sent over SMTP (libcurl) to "Options"/"SmtpServer".
#include <cstdint>
#include <string>

#include "dlarchive/logging.h"

class CMimeMsgException : public CLogging {
public:
    CMimeMsgException(const char* moduleName, const std::string& text);
};

class CMimeMsg : public CLogging {
public:
    // Attachments of one mail may hold this many bytes together (before base64), so that
    // the encoded mail stays below the 25 MiB that common servers accept.
    static constexpr uint64_t kMaxAttachmentBytes = 16u << 20;

    // `separator` is the character between the attachment paths given to Send.
    CMimeMsg(const char* moduleName, const char* separator);

    // Bounds of one Send: the TCP connection, and the whole exchange (a server that stalls
    // at any point fails at the latter). Defaults 10 s and 120 s.
    void SetTimeouts(long connectMilliseconds, long totalMilliseconds);

    // Sends a text/plain body and each attached file (base64, application/octet-stream,
    // named by its base name) from `sender` to `recipient`, with the Date and Message-ID
    // headers added. Refused before anything is sent: an address that is empty or holds
    // blanks, control characters, "<", ">" or the separator; an attachment that is not a
    // regular file, or attachments above kMaxAttachmentBytes together. A subject that is not
    // plain printable ASCII, or is long, goes out as RFC 2047 encoded words (UTF-8). Any
    // failure, a server that is down, refuses an address or stalls included, throws
    // CMimeMsgException with the reason.
    void Send(const char* sender, const char* recipient, const char* subject, const char* body,
              const char* attachments) const;

private:
    char m_separator;
    long m_connectTimeoutMs = 10000;
    long m_totalTimeoutMs = 120000;
};

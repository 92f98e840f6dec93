#include "platform/mime_msg.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "platform/config.h"

namespace {

// curl_global_init is not safe to race with other threads' first use.
void InitCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsPrintableAscii(unsigned char c)
{
    return c >= 0x20 && c < 0x7f;
}

// Addresses go into the SMTP envelope and the headers as they are: anything that could end a
// command or a header, or split the attachment list, is refused.
bool ValidAddress(const char* address, char separator)
{
    if (address == nullptr || *address == '\0') return false;
    for (const char* p = address; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!IsPrintableAscii(c) || c == ' ' || c == '<' || c == '>' || c == static_cast<unsigned char>(separator))
            return false;
    }
    return true;
}

std::string Base64(const std::string& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

// "Subject: ..." as one header: plain when the text is short printable ASCII, else encoded
// words of at most 45 bytes each (60 characters of base64), one per folded line, so that
// no byte of the text can end the header and no line exceeds the limit of RFC 5322.
std::string SubjectHeader(const std::string& subject)
{
    bool plain = subject.size() <= 900;
    for (char c : subject) plain = plain && IsPrintableAscii(static_cast<unsigned char>(c));
    if (plain) return "Subject: " + subject;
    std::string header = "Subject:";
    for (std::size_t i = 0; i < subject.size();) {
        // A chunk never splits a UTF-8 sequence: it ends before a continuation byte.
        std::size_t end = std::min(subject.size(), i + 45);
        while (end < subject.size() && end > i + 1 && (static_cast<unsigned char>(subject[end]) & 0xC0) == 0x80) --end;
        header += (i == 0 ? " " : "\r\n ") + std::string("=?UTF-8?B?") + Base64(subject.substr(i, end - i)) + "?=";
        i = end;
    }
    return header;
}

// RFC 5322 date of now in local time, with names written out so no locale changes them.
std::string DateHeader()
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    const long offset = tm.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[tm.tm_wday % 7],
                  tm.tm_mday, months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  offset < 0 ? '-' : '+', (offset < 0 ? -offset : offset) / 60, (offset < 0 ? -offset : offset) % 60);
    return text;
}

// A Message-ID unique across processes and calls: time, process, a random 64-bit number,
// and the sender's domain (or "localhost").
std::string MessageIdHeader(const std::string& sender)
{
    std::random_device device;
    const uint64_t random = (static_cast<uint64_t>(device()) << 32) ^ device();
    const std::size_t at = sender.rfind('@');
    const std::string domain = at == std::string::npos || at + 1 == sender.size() ? "localhost" : sender.substr(at + 1);
    char id[96];
    std::snprintf(id, sizeof id, "%llx.%x.%016llx", static_cast<unsigned long long>(std::time(nullptr)),
                  static_cast<unsigned>(::getpid()), static_cast<unsigned long long>(random));
    return "Message-ID: <" + std::string(id) + "@" + domain + ">";
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
    void operator()(curl_mime* m) const { curl_mime_free(m); }
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

CMimeMsgException::CMimeMsgException(const char* moduleName, const std::string& text) : CLogging(moduleName)
{
    SetLastErrorMsg(text.c_str());
}

CMimeMsg::CMimeMsg(const char* moduleName, const char* separator)
    : CLogging(moduleName), m_separator(separator != nullptr && *separator != '\0' ? *separator : ',')
{
}

void CMimeMsg::SetTimeouts(long connectMilliseconds, long totalMilliseconds)
{
    m_connectTimeoutMs = connectMilliseconds;
    m_totalTimeoutMs = totalMilliseconds;
}

void CMimeMsg::Send(const char* sender, const char* recipient, const char* subject, const char* body,
                    const char* attachments) const
{
    auto fail = [this](const std::string& text) { throw CMimeMsgException(GetModuleName(), text); };
    if (!ValidAddress(sender, m_separator)) fail("Invalid sender address");
    if (!ValidAddress(recipient, m_separator)) fail("Invalid recipient address");

    // Every attachment is checked before the server is contacted: curl would read a FIFO
    // until the time runs out, and a missing file only once the mail is half sent.
    std::vector<std::string> files;
    uint64_t total = 0;
    for (const char* p = attachments != nullptr ? attachments : ""; *p != '\0';) {
        const char* end = std::strchr(p, m_separator);
        const std::string path = end != nullptr ? std::string(p, end) : std::string(p);
        p = end != nullptr ? end + 1 : p + path.size();
        if (path.empty()) continue;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) fail("Cannot attach " + path + ": not a file");
        total += static_cast<uint64_t>(st.st_size);
        if (total > kMaxAttachmentBytes) fail("Cannot attach " + path + ": attachments exceed the size limit");
        files.push_back(path);
    }

    InitCurlOnce();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) fail("Cannot start the mail transfer");
    CURL* c = curl.get();
    const std::string server = CQRNIniSetting().GetSmtpServer();
    const std::string from = "<" + std::string(sender) + ">";
    std::unique_ptr<curl_slist, CurlDeleter> rcpt(
        curl_slist_append(nullptr, ("<" + std::string(recipient) + ">").c_str()));
    std::unique_ptr<curl_slist, CurlDeleter> headers;
    for (const std::string& h : {DateHeader(), "From: " + std::string(sender), "To: " + std::string(recipient),
                                 SubjectHeader(subject != nullptr ? subject : ""), MessageIdHeader(sender)}) {
        curl_slist* next = curl_slist_append(headers.get(), h.c_str());
        if (next == nullptr) fail("No memory for the mail headers");
        headers.release();
        headers.reset(next);
    }
    std::unique_ptr<curl_mime, CurlDeleter> mime(curl_mime_init(c));
    if (!rcpt || !mime) fail("No memory for the mail");
    curl_mimepart* text = curl_mime_addpart(mime.get());
    curl_mime_data(text, body != nullptr ? body : "", CURL_ZERO_TERMINATED);
    curl_mime_type(text, "text/plain; charset=us-ascii");
    for (const std::string& file : files) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        if (curl_mime_filedata(part, file.c_str()) != CURLE_OK || curl_mime_encoder(part, "base64") != CURLE_OK ||
            curl_mime_type(part, "application/octet-stream") != CURLE_OK)
            fail("Cannot attach " + file);
    }

    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, server.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, m_connectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, m_totalTimeoutMs);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK)
        fail("Mail to <" + std::string(recipient) + "> through " + server +
             " failed: " + (error[0] != '\0' ? error : curl_easy_strerror(rc)));
}

// Standard headers first: c-client's macros must not reach them.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <strings.h>

#include "platform/cclient.h"

#include <c-client/c-client.h>

namespace dlarchive::cclient {

namespace {
void* NoBlockNotify(int, void*)
{
    return nullptr;
}

// mm_log has no context argument: the parse running on this thread collects its warnings.
thread_local std::vector<std::string>* t_warnings = nullptr;

class WarningCollector {
public:
    explicit WarningCollector(std::vector<std::string>* warnings) : m_previous(t_warnings) { t_warnings = warnings; }
    ~WarningCollector() { t_warnings = m_previous; }
    WarningCollector(const WarningCollector&) = delete;
    WarningCollector& operator=(const WarningCollector&) = delete;

private:
    std::vector<std::string>* m_previous;
};

// c-client keeps the last Followup-To field of a header and never releases its copies of the
// earlier ones. The offsets of those earlier field names, in every block of lines (a header, or
// text that may be an encapsulated message's header): renamed to "Xollowup-To", a field
// c-client passes over, they give the same envelope without the leak.
std::vector<std::size_t> RepeatedFollowupTo(std::string_view text)
{
    std::vector<std::size_t> earlier;
    std::size_t latest = std::string_view::npos;  // of the current block
    for (std::size_t line = 0; line < text.size();) {
        const std::size_t lf = text.find('\n', line);  // (c-client defines min as a macro)
        const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string_view name = text.substr(line, end - line);
        if (name.empty() || name == "\r") latest = std::string_view::npos;  // an empty line ends a block
        name = name.substr(0, name.find(':') == std::string_view::npos ? 0 : name.find(':'));
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (name.size() == 11 && strncasecmp(name.data(), "followup-to", 11) == 0) {
            if (latest != std::string_view::npos) earlier.push_back(latest);
            latest = line;
        }
        line = end + 1;
    }
    return earlier;
}
}  // namespace

void Initialize()
{
    static std::once_flag once;
    std::call_once(once, [] { mail_parameters(nullptr, SET_BLOCKNOTIFY, reinterpret_cast<void*>(&NoBlockNotify)); });
}

void ParseMessage(char* buffer, uint32_t length, uint32_t headerSize, mail_envelope** envelope, mail_bodystruct** body,
                  std::vector<std::string>* warnings)
{
    if (envelope != nullptr) *envelope = nullptr;
    if (body != nullptr) *body = nullptr;
    if (buffer == nullptr || envelope == nullptr || body == nullptr || headerSize > length) return;
    Initialize();

    std::string mended;
    if (const auto earlier = RepeatedFollowupTo(std::string_view(buffer, length)); !earlier.empty()) {
        mended.assign(buffer, length);
        for (std::size_t at : earlier) mended[at] = 'X';
        buffer = mended.data();
    }
    STRING bodyString;
    INIT(&bodyString, mail_string, buffer + headerSize, length - headerSize);
    char host[] = ".MISSING-HOST-NAME.";
    WarningCollector collector(warnings);
    rfc822_parse_msg_full(envelope, body, buffer, headerSize, &bodyString, host, 0UL, 0UL);
}

mail_envelope* NewEnvelope()
{
    Initialize();
    return mail_newenvelope();
}

mail_bodystruct* NewBody()
{
    Initialize();
    return mail_newbody();
}

mail_body_part* NewBodyPart()
{
    Initialize();
    return mail_newbody_part();
}

mail_body_message* NewMessage()
{
    Initialize();
    return mail_newmsg();
}

mail_address* NewAddress()
{
    Initialize();
    return mail_newaddr();
}

mail_body_parameter* NewParameter()
{
    Initialize();
    return mail_newbody_parameter();
}

string_list* NewStringList()
{
    Initialize();
    return mail_newstringlist();
}

char* CopyString(const char* text)
{
    if (text == nullptr) return nullptr;
    Initialize();
    return cpystr(text);
}

char* CopyBytes(const char* data, std::size_t size)
{
    if (data == nullptr) return nullptr;
    Initialize();
    char* copy = static_cast<char*>(fs_get(size + 1));
    std::memcpy(copy, data, size);
    copy[size] = '\0';
    return copy;
}

void ReleaseString(char** text)
{
    if (text != nullptr && *text != nullptr) fs_give(reinterpret_cast<void**>(text));
}

void FreeEnvelope(mail_envelope** envelope)
{
    if (envelope != nullptr && *envelope != nullptr) mail_free_envelope(envelope);
}

void FreeBody(mail_bodystruct** body)
{
    if (body != nullptr && *body != nullptr) mail_free_body(body);
}

void FreeAddress(mail_address** address)
{
    if (address != nullptr && *address != nullptr) mail_free_address(address);
}

void FreeParameter(mail_body_parameter** parameter)
{
    if (parameter != nullptr && *parameter != nullptr) mail_free_body_parameter(parameter);
}

void FreeStringList(string_list** list)
{
    if (list != nullptr && *list != nullptr) mail_free_stringlist(list);
}

}  // namespace dlarchive::cclient

// Callbacks every c-client application must define. The library only parses messages, so
// they have nothing to do; mm_log forwards parse warnings to the current parse's collector.
#define DLARCHIVE_CALLBACK extern "C" __attribute__((visibility("default")))
DLARCHIVE_CALLBACK void mm_searched(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_exists(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_expunged(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_flags(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_notify(MAILSTREAM*, char*, long) {}
DLARCHIVE_CALLBACK void mm_list(MAILSTREAM*, int, char*, long) {}
DLARCHIVE_CALLBACK void mm_lsub(MAILSTREAM*, int, char*, long) {}
DLARCHIVE_CALLBACK void mm_status(MAILSTREAM*, char*, MAILSTATUS*) {}
DLARCHIVE_CALLBACK void mm_log(char* text, long)
{
    std::vector<std::string>* warnings = dlarchive::cclient::t_warnings;
    if (warnings == nullptr || text == nullptr) return;
    // Called from C: nothing may be thrown through it. A warning that cannot be kept is lost.
    try {
        warnings->emplace_back(text);
    } catch (const std::bad_alloc&) {
    }
}
DLARCHIVE_CALLBACK void mm_dlog(char*) {}
DLARCHIVE_CALLBACK void mm_login(NETMBX*, char*, char*, long) {}
DLARCHIVE_CALLBACK void mm_critical(MAILSTREAM*) {}
DLARCHIVE_CALLBACK void mm_nocritical(MAILSTREAM*) {}
DLARCHIVE_CALLBACK long mm_diskerror(MAILSTREAM*, long, long)
{
    return 1;
}
// c-client aborts the process right after this (for instance when memory runs out): leave
// the reason where an operator can see it.
DLARCHIVE_CALLBACK void mm_fatal(char* text)
{
    std::fprintf(stderr, "c-client: fatal: %s\n", text != nullptr ? text : "");
}

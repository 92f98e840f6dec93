#include "query.h"

#include <cctype>
#include <cstdlib>

namespace archivecgi {
namespace {

[[noreturn]] void BadRequest()
{
    throw HttpError{400};
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The index pages write message numbers as signed 32-bit decimals, so numbers from 2^31 on
// come as negative ones; both forms name the same message.
uint32_t ParseId(const std::string& text)
{
    const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.size() - start > 10) BadRequest();
    for (std::size_t i = start; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) BadRequest();
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value < INT32_MIN || value > UINT32_MAX) BadRequest();
    return static_cast<uint32_t>(value);
}

void CheckList(const std::string& list)
{
    if (list.empty() || list == "." || list == ".." || list.size() > 200 || list.find("..") != std::string::npos)
        BadRequest();
    for (unsigned char c : list)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) BadRequest();
}

void CheckLocale(const std::string& locale)
{
    if (locale.empty() || locale.size() > 32) BadRequest();
    for (unsigned char c : locale)
        if (!std::isalnum(c) && c != '-' && c != '_') BadRequest();
}

bool Flag(const std::string& value)
{
    return !value.empty() && value != "0";
}

}  // namespace

std::string PercentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            if (i + 2 >= text.size()) BadRequest();
            const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0) BadRequest();
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

int SortValue(std::string_view name)
{
    return name == "ByAuthor" ? 0 : name == "ByDate" ? 1 : name == "ByThread" ? 2 : -1;
}

const char* SortName(int sort)
{
    return sort == 0 ? "ByAuthor" : sort == 1 ? "ByDate" : "ByThread";
}

Request ParseQuery(std::string_view query)
{
    Request r;
    std::string command, id, sort, part, by;
    bool haveList = false;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const std::size_t eq = pair.find('=');
        const std::string name = PercentDecode(pair.substr(0, eq));
        const std::string value = eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1));
        if (name == "Command")
            command = value;
        else if (name == "mailinglist")
            r.list = value, haveList = true;
        else if (name == "locale")
            r.locale = value;
        else if (name == "nId")
            id = value;
        else if (name == "sort")
            sort = value;
        else if (name == "part")
            part = value;
        else if (name == "text")
            r.text = value;
        else if (name == "by")
            by = value;
        else if (name == "case")
            r.ignoreCase = Flag(value);
        else if (name == "partial")
            r.partial = Flag(value);
    }
    static const struct {
        const char* name;
        Command command;
    } kCommands[] = {{"GetThreadIndex", Command::ThreadIndex},
                     {"GetAuthorIndex", Command::AuthorIndex},
                     {"GetDateIndex", Command::DateIndex},
                     {"ShowMessage", Command::ShowMessage},
                     {"GetPart", Command::GetPart},
                     {"GetSource", Command::GetSource},
                     {"Search", Command::Search}};
    bool known = false;
    for (const auto& c : kCommands)
        if (command == c.name) r.command = c.command, known = true;
    if (!known || !haveList) BadRequest();
    CheckList(r.list);
    CheckLocale(r.locale);
    const bool message =
        r.command == Command::ShowMessage || r.command == Command::GetPart || r.command == Command::GetSource;
    if (message) r.id = ParseId(id);
    if (r.command == Command::ShowMessage && (r.sort = SortValue(sort.empty() ? "ByThread" : sort)) < 0) BadRequest();
    if (r.command == Command::GetPart) {
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos) BadRequest();
        r.part = std::atoi(part.c_str());
    }
    if (r.command == Command::Search) {
        r.by = by.empty() ? 2 : by == "author" ? 0 : by == "date" ? 1 : by == "subject" ? 2 : -1;
        if (r.by < 0 || r.text.size() > 1000) BadRequest();
    }
    return r;
}

}  // namespace archivecgi

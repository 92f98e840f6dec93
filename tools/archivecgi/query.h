#pragma once
// The query of a request to the archive's CGI program: decoded, checked and typed. Nothing
// of a request reaches a path or a page before it has passed through here.
#include <cstdint>
#include <string>
#include <string_view>

namespace archivecgi {

// A request the program refuses: the HTTP status (400, 404) of the page it answers with.
struct HttpError {
    int status;
};

enum class Command { ThreadIndex, AuthorIndex, DateIndex, ShowMessage, GetPart, GetSource, Search };

struct Request {
    Command command = Command::ThreadIndex;
    std::string list;
    std::string locale = "en-us";
    uint32_t id = 0;
    int sort = 2;  // navigation order: 0 author, 1 date, 2 thread
    int part = 0;  // depth-first number of a body part (GetPart)
    // Search: the text (empty shows the form alone), criterion 0 author, 1 date, 2 subject.
    std::string text;
    int by = 2;
    bool ignoreCase = false, partial = false;
};

// "%XX" and "+" decoded; a "%" without two hex digits is refused (400).
std::string PercentDecode(std::string_view text);
// Parses "name=value&..." (QUERY_STRING). Unknown commands, sorts and criteria, numbers that
// are not numbers, list names with "/", "\", "..", control characters or none at all, and
// locales other than letters, digits and "-" or "_" are refused with HttpError 400.
Request ParseQuery(std::string_view query);
// The value of a sort parameter as the index pages write it, -1 for another.
int SortValue(std::string_view name);
const char* SortName(int sort);

}  // namespace archivecgi

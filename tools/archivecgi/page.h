#pragma once
// The pages and responses of the CGI program: HTTP headers, the frame the index pages use
// (title, list name, bottom bar, stylesheet), the message page, the search page and the
// error pages. Every text of a message or a request is escaped here or before it gets here.
#include <cstdint>
#include <string>
#include <vector>

namespace archivecgi {

// Sent with every response: no script runs, nothing is sniffed, nothing loads from elsewhere.
extern const char* const kSecurityHeaders;
extern const char* const kCgiPath;

// Words of the pages, from the language files (the index pages' own numbers among them).
struct PageWords {
    std::string dateIndex, authorIndex, threadIndex, noSubject;          // 110, 111, 112, 122
    std::string previous, next, source, search, searchTitle, searchFor;  // 137 to 142
    std::string byAuthor, byDate, bySubject, ignoreCase, partial, noMatch;
    std::string badRequest, notFound;
};

// What a search form starts with.
struct SearchForm {
    std::string list, locale, text;
    int by = 2;
    bool ignoreCase = false, partial = false;
};

// "<head>" to the bottom bar under the title: the frame of the index pages.
std::string PageHead(const std::string& titleHtml, const std::string& list);
std::string BottomBar();
std::string SearchFormHtml(const SearchForm& form, const PageWords& words);
// Links in "[...]" brackets as the index pages write their navigation.
std::string Bracket(const std::string& href, const std::string& label);

struct Neighbour {
    bool exists = false;
    uint32_t id = 0;
    std::string subject;
};

struct MessagePage {
    std::string list, locale;  // the language key
    uint32_t id = 0;
    int sort = 2;
    std::string subject;      // UTF-8
    std::string headersHtml;  // rendered header fields
    std::string bodyHtml;     // rendered body
    Neighbour previous, next;
};
// The whole response, HTTP headers included.
std::string RenderMessagePage(const MessagePage& m, const PageWords& words);

struct SearchResult {
    uint32_t id;
    std::string author, subject, date;  // UTF-8
};
std::string RenderSearchPage(const SearchForm& form, bool searched, const std::vector<SearchResult>& results,
                             const PageWords& words);
// A 400 or 404 page: the status and the word, never a path.
std::string RenderErrorPage(int status, const PageWords& words);
// Link query values: percent-encoded.
std::string Query(const std::string& value);

}  // namespace archivecgi

#pragma once
// The three index pages of a list's archive (by thread, author and date), rendered from
// the envelopes of the archive read once.
//
// The pages list every message: author and date groups compare their texts without regard
// to case; on the thread page a reply attaches, by its subject without the "Re:" prefix
// compared without regard to case, to the latest thread root with that subject before it
// (or the first such root when none is before it); two messages with the same thread
// subject are two roots; whatever is neither a root nor an attached reply is listed as
// unthreaded. Texts taken from messages and the list name are HTML-escaped, values in link
// queries percent-encoded; language strings, the placeholders included, are written as the
// language file gives them.
#include <cstdint>
#include <string>
#include <vector>

namespace dlarchive::pages {

// What the pages need of one envelope record; empty strings stand for absent values.
struct EnvelopeSummary {
    uint32_t id = 0;
    uint16_t seq = 0;
    std::string subject;
    std::string date;
    // First address of the From list.
    std::string personal;
    std::string mailbox;
    std::string host;
};

// The language strings the pages use.
struct PageStrings {
    std::string help;         // 94
    std::string dateIndex;    // 110
    std::string authorIndex;  // 111
    std::string threadIndex;  // 112
    std::string noSubject;    // 122
    std::string authorTitle;  // 126
    std::string noAuthor;     // 127
    std::string noDate;       // 128
    std::string dateTitle;    // 129
    std::string threadTitle;  // 130
};

// The texts of a message as the listings see them.
std::string SubjectText(const EnvelopeSummary& e, const PageStrings& s);
std::string AuthorText(const EnvelopeSummary& e, const PageStrings& s);
std::string DateText(const EnvelopeSummary& e, const PageStrings& s);  // first 16 characters
bool IsThreadSubject(const std::string& subjectText);

struct Listings {
    std::vector<std::string> authors;  // distinct without regard to case, first seen kept
    std::vector<std::string> dates;    // likewise
    std::vector<std::string> threads;  // every thread subject, repeats included
};
// The three listings from records in key order; records with seq other than 0 count not.
Listings BuildListings(const std::vector<EnvelopeSummary>& records, const PageStrings& s);

struct PageContext {
    std::string listName;
    std::string languageKey;
    PageStrings strings;
};

// Whole pages, HTTP header line included. Records must be in key order (id, then seq).
std::string RenderThreadPage(const PageContext& c, const std::vector<std::string>& threads,
                             const std::vector<EnvelopeSummary>& records);
std::string RenderAuthorPage(const PageContext& c, const std::vector<std::string>& authors,
                             const std::vector<EnvelopeSummary>& records);
std::string RenderDatePage(const PageContext& c, const std::vector<std::string>& dates,
                           const std::vector<EnvelopeSummary>& records);

// "&", "<", ">" and the double quote as entities.
std::string EscapeHtml(const std::string& text);
// Everything but letters, digits, "-", ".", "_", "~" and "@" as %XX.
std::string PercentEncode(const std::string& text);
// Escaped, then converted to character references; escaped only (the UTF-8 text itself) when
// the references would not stand for the text's own characters or the conversion fails. A
// text that is not UTF-8 is first read as windows-1252.
std::string HtmlForm(const std::string& text);

}  // namespace dlarchive::pages

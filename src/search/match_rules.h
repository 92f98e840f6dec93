#pragma once
// The rules of the archive search and of the message navigation, on plain texts.
//
// The archive manager's criteria checks apply them to one envelope (opening a language table
// each time, as their contract says); the search and the navigation apply them to every
// record of one walk of archiveenv with the placeholders read once. Both get the same answer
// because both go through these functions.
//
// Texts are 8-bit and compared bytewise; "without regard to case" folds ASCII letters only.
// A null text is an absent value; the rules say where absent and empty differ.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dlarchive::search {

// Language strings 122, 127 and 128: shown for a missing subject, author and date, and
// accepted as search input for them.
struct Placeholders {
    std::string noSubject;
    std::string noAuthor;
    std::string noDate;
};
// Reads the three strings from the locale's table; false when the table does not open.
bool LoadPlaceholders(const char* locale, Placeholders& out);

// The first address of a From list; `present` is false when the list is empty.
struct FromAddress {
    bool present = false;
    std::string personal;  // absent and empty are alike for every rule
    std::string mailbox;
    std::string host;
};

// A missing field is found by "NONE", by its placeholder, or by UTF-8 input whose character
// references spell the placeholder (language files write non-ASCII that way); all ignore case.
bool MissingFieldMatches(const char* text, const std::string& placeholder);

// Author: input holding "@" must equal the whole "mailbox@host" of the first From address;
// other input is looked for in the personal name (substring), the mailbox and the host
// (whole, or substring with `partial`).
bool AuthorMatches(const FromAddress& from, const char* text, bool ignoreCase, bool partial,
                   const std::string& noAuthor);
// Subject: prefix with `partial`; otherwise substring ignoring case, or the whole subject
// exactly. An empty subject never matches; an absent one follows the missing-field rule.
bool SubjectMatches(const char* subject, const char* text, bool ignoreCase, bool partial, const std::string& noSubject);
// Date: the Date header text contains the pattern (exact, anywhere).
bool DateMatches(const char* date, const char* pattern, const std::string& noDate);

// The pattern a date input stands for ("April 3, 2001" is "3 Apr 2001"), at most 1023
// characters. Tokens are separated by blanks and commas: a month name (its first three
// letters), a day (a number up to 31, zero excluded) and a year (above 1000), each the last
// of its kind; what forms no date of day, month and year is given back as typed, up to the
// end of its first token.
std::string DatePattern(const char* input, const std::string& noDate);

// The texts a search result carries, as the display texts give them (at most 1023
// characters): the author's personal name or " mailbox@host", the first 16 characters of the
// date, the whole subject; the placeholder when the value is missing.
std::string DisplayAuthor(const FromAddress& from, const Placeholders& p);
std::string DisplayDate(const char* date, const Placeholders& p);
std::string DisplaySubject(const char* subject, const Placeholders& p);

// The texts of a candidate of the navigation, each cut to its caller buffer (260, 64 and 260
// bytes with the terminator): the personal name or "mailbox@host", the first 16 characters
// of the date, the whole subject; the placeholder when the value is missing.
constexpr std::size_t kNavigationTextSize = 260;
constexpr std::size_t kNavigationDateSize = 64;
struct NavigationTexts {
    std::string author;
    std::string date;
    std::string subject;
};
NavigationTexts MakeNavigationTexts(const FromAddress& from, const char* date, const char* subject,
                                    const Placeholders& p);

// Whether a candidate is the neighbour in sort order 0 (author), 1 (date) or 2 (thread) of
// the message whose text in that order is `key`; any other order matches nothing.
bool NeighbourMatches(int32_t sort, bool previous, const std::string& key, const NavigationTexts& candidate);

// A group of the navigation's index: a tag ('a' author, 'd' date, 's' whole subject, 'r' the
// root a reply answers) and a text, a view into the texts it was made from. A candidate is
// filed under each of its CandidateGroups, and NeighbourMatches(sort, previous, key, candidate)
// holds only for a candidate filed under one of KeyGroups(sort, previous, key). Both give the
// number of groups written (at most 4 and 2).
struct NeighbourGroup {
    char tag = 0;
    std::string_view text;
};
int CandidateGroups(const NavigationTexts& candidate, NeighbourGroup (&out)[4]);
int KeyGroups(int32_t sort, bool previous, const std::string& key, NeighbourGroup (&out)[2]);

}  // namespace dlarchive::search

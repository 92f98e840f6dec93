#include "search/match_rules.h"

#include <strings.h>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "text/html_entities.h"
#include "text/language_table.h"

namespace dlarchive::search {

namespace {

constexpr std::size_t kDisplayLimit = 1023;
constexpr std::size_t kPatternLimit = 1023;
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Lower(const char* text)
{
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool Contains(const char* text, const char* part, bool ignoreCase)
{
    if (!ignoreCase) return std::strstr(text, part) != nullptr;
    return Lower(text).find(Lower(part)) != std::string::npos;
}

bool Equal(const char* a, const char* b, bool ignoreCase)
{
    return ignoreCase ? strcasecmp(a, b) == 0 : std::strcmp(a, b) == 0;
}

std::string Cut(const std::string& text, std::size_t limit)
{
    return text.size() > limit ? text.substr(0, limit) : text;
}

// The first `limit` characters of a text (all of it when shorter).
std::string Head(const char* text, std::size_t limit)
{
    return std::string(text, strnlen(text, limit));
}

bool HasAddress(const FromAddress& from)
{
    return from.present && !from.mailbox.empty() && !from.host.empty();
}

bool IsReply(const std::string& text)
{
    return text.size() >= 3 && strncasecmp(text.c_str(), "re:", 3) == 0;
}

// A reply without "re:" and the character after it.
std::string_view Stripped(std::string_view text)
{
    return text.size() > 4 ? text.substr(4) : std::string_view();
}

// The leading decimal value of a token: an optional sign and digits, 0 without them; values
// beyond 32 bits stay at the nearest bound.
int32_t LeadingNumber(const std::string& token)
{
    std::size_t i = 0;
    const bool negative = !token.empty() && token[0] == '-';
    if (!token.empty() && (token[0] == '-' || token[0] == '+')) i = 1;
    int64_t value = 0;
    for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i)
        value = std::min<int64_t>(value * 10 + (token[i] - '0'), int64_t{INT32_MAX} + 1);
    if (negative) return static_cast<int32_t>(-value);
    return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

}  // namespace

bool LoadPlaceholders(const char* locale, Placeholders& out)
{
    std::string key, charset;
    ResolveLanguageSelection(locale != nullptr ? locale : "", key, charset);
    LanguageTable table;
    if (!table.Open(key.c_str(), LanguageModuleDlArchives)) return false;
    out.noSubject = table.GetString(122);
    out.noAuthor = table.GetString(127);
    out.noDate = table.GetString(128);
    return true;
}

bool MissingFieldMatches(const char* text, const std::string& placeholder)
{
    if (strcasecmp(text, "NONE") == 0 || strcasecmp(text, placeholder.c_str()) == 0) return true;
    const std::size_t length = std::strlen(text);
    if (length > INT32_MAX) return false;
    const std::unique_ptr<char, decltype(&std::free)> references(EncodeHtmlEntities(text, static_cast<int32_t>(length)),
                                                                 &std::free);
    return references != nullptr && strcasecmp(references.get(), placeholder.c_str()) == 0;
}

bool AuthorMatches(const FromAddress& from, const char* text, bool ignoreCase, bool partial,
                   const std::string& noAuthor)
{
    if (!from.present) return MissingFieldMatches(text, noAuthor);
    if (std::strchr(text, '@') != nullptr) {
        const std::string address = HasAddress(from) ? from.mailbox + "@" + from.host : noAuthor;
        return Equal(address.c_str(), text, ignoreCase);
    }
    if (!from.personal.empty() && Contains(from.personal.c_str(), text, ignoreCase)) return true;
    for (const std::string* part : {&from.mailbox, &from.host}) {
        if (part->empty()) continue;
        if (partial ? Contains(part->c_str(), text, ignoreCase) : Equal(part->c_str(), text, ignoreCase)) return true;
    }
    return false;
}

bool SubjectMatches(const char* subject, const char* text, bool ignoreCase, bool partial, const std::string& noSubject)
{
    if (subject == nullptr) return MissingFieldMatches(text, noSubject);
    if (*subject == '\0') return false;
    if (partial) {
        const std::size_t n = std::strlen(text);
        return ignoreCase ? strncasecmp(subject, text, n) == 0 : std::strncmp(subject, text, n) == 0;
    }
    return ignoreCase ? Contains(subject, text, true) : std::strcmp(subject, text) == 0;
}

bool DateMatches(const char* date, const char* pattern, const std::string& noDate)
{
    if (date == nullptr) return MissingFieldMatches(pattern, noDate);
    return *date != '\0' && std::strstr(date, pattern) != nullptr;
}

std::string DatePattern(const char* input, const std::string& noDate)
{
    if (strcasecmp(input, noDate.c_str()) == 0) return Cut(noDate, kPatternLimit);
    if (strcasecmp(input, "NONE") == 0) return "None";
    const std::string text = input;
    int32_t day = 0, month = -1, year = 0;
    std::size_t firstEnd = std::string::npos;  // end of the first token
    for (std::size_t pos = text.find_first_not_of(" ,"); pos != std::string::npos;
         pos = text.find_first_not_of(" ,", pos)) {
        const std::size_t end = std::min(text.find_first_of(" ,", pos), text.size());
        if (firstEnd == std::string::npos) firstEnd = end;
        const std::string token = text.substr(pos, end - pos);
        const int32_t n = LeadingNumber(token);
        if (n == 0) {
            for (int m = 0; m < 12 && token.size() >= 3; ++m) {
                if (strncasecmp(token.c_str(), kMonths[m], 3) != 0) continue;
                month = m;
                break;
            }
        } else if (n <= 31) {
            day = n;
        } else if (n > 1000) {
            year = n;
        }
        pos = end;
    }
    char out[kPatternLimit + 64];
    if (day != 0 && month >= 0 && year != 0)
        std::snprintf(out, sizeof out, "%d %s %d", day, kMonths[month], year);
    else if (month >= 0 && year != 0)
        std::snprintf(out, sizeof out, "%s %d", kMonths[month], year);
    else if (month >= 0 && day != 0)
        std::snprintf(out, sizeof out, "%d %s", day, kMonths[month]);
    else if (month >= 0)
        std::snprintf(out, sizeof out, "%s", kMonths[month]);
    else if (year != 0 && day == 0)
        std::snprintf(out, sizeof out, "%d", year);
    else  // nothing that forms a date: the input as typed up to the end of its first token
        return Cut(text.substr(0, firstEnd), kPatternLimit);
    return out;
}

std::string DisplayAuthor(const FromAddress& from, const Placeholders& p)
{
    if (!HasAddress(from)) return Cut(p.noAuthor, kDisplayLimit);
    if (!from.personal.empty()) return Cut(from.personal, kDisplayLimit);
    return Cut(" " + from.mailbox + "@" + from.host, kDisplayLimit);
}

std::string DisplayDate(const char* date, const Placeholders& p)
{
    return date != nullptr && *date != '\0' ? Head(date, 16) : Cut(p.noDate, kDisplayLimit);
}

std::string DisplaySubject(const char* subject, const Placeholders& p)
{
    return Cut(subject != nullptr && *subject != '\0' ? subject : p.noSubject, kDisplayLimit);
}

NavigationTexts MakeNavigationTexts(const FromAddress& from, const char* date, const char* subject,
                                    const Placeholders& p)
{
    NavigationTexts t;
    if (!HasAddress(from))
        t.author = p.noAuthor;
    else
        t.author = !from.personal.empty() ? from.personal : from.mailbox + "@" + from.host;
    t.author = Cut(t.author, kNavigationTextSize - 1);
    t.date = date != nullptr && *date != '\0' ? Head(date, 16) : Cut(p.noDate, kNavigationDateSize - 1);
    t.subject = Cut(subject != nullptr && *subject != '\0' ? subject : p.noSubject, kNavigationTextSize - 1);
    return t;
}

bool NeighbourMatches(int32_t sort, bool previous, const std::string& key, const NavigationTexts& candidate)
{
    switch (sort) {
        case 0:
            return candidate.author == key;
        case 1:
            return candidate.date == key;
        case 2: {
            // A thread is its root and the replies whose subject without "re:" is the root's.
            const std::string_view root = IsReply(key) ? Stripped(key) : std::string_view(key);
            if (previous && IsReply(key) && candidate.subject == root) return true;
            return IsReply(candidate.subject) && Stripped(candidate.subject) == root;
        }
        default:
            return false;
    }
}

// The tags keep the orders' groups apart. The groups follow NeighbourMatches: equal authors,
// equal dates, and in thread order the replies to the key's root, with the root itself before
// a reply.
int CandidateGroups(const NavigationTexts& c, NeighbourGroup (&out)[4])
{
    out[0] = {'a', c.author}, out[1] = {'d', c.date}, out[2] = {'s', c.subject};
    if (!IsReply(c.subject)) return 3;
    out[3] = {'r', Stripped(c.subject)};
    return 4;
}

int KeyGroups(int32_t sort, bool previous, const std::string& key, NeighbourGroup (&out)[2])
{
    if (sort == 0 || sort == 1) {
        out[0] = {sort == 0 ? 'a' : 'd', key};
        return 1;
    }
    if (sort != 2) return 0;
    const std::string_view root = IsReply(key) ? Stripped(key) : std::string_view(key);
    out[0] = {'r', root}, out[1] = {'s', root};
    return previous && IsReply(key) ? 2 : 1;
}

}  // namespace dlarchive::search

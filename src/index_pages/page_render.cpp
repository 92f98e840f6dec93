#include "index_pages/page_render.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "record_store/convert_utf8.h"
#include "text/html_entities.h"

namespace dlarchive::pages {

namespace {

constexpr const char* kCgiPath = "/vubo/scripts/archivecgi.exe";

std::string Lower(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool StartsWithReply(const std::string& text)
{
    return text.size() >= 3 && strncasecmp(text.c_str(), "re:", 3) == 0;
}

// The subject without its reply prefix and the character after it.
std::string StrippedSubject(const std::string& text)
{
    return text.size() >= 4 ? text.substr(4) : std::string();
}

bool HasAuthorAddress(const EnvelopeSummary& e)
{
    return !e.mailbox.empty() && !e.host.empty();
}

// Language strings (the placeholders included) go into a page as the language file gives
// them: translators write them with character references, which escaping would break.

// The author text as a page shows it: a personal name in HTML form, an address escaped, the
// placeholder as it is.
std::string AuthorHtml(const EnvelopeSummary& e, const PageStrings& s)
{
    if (!HasAuthorAddress(e)) return s.noAuthor;
    if (!e.personal.empty()) return HtmlForm(e.personal);
    return EscapeHtml(AuthorText(e, s));
}

std::string WholeDateHtml(const EnvelopeSummary& e, const PageStrings& s)
{
    return e.date.empty() ? s.noDate : EscapeHtml(e.date);
}

// A present subject in HTML form, else the placeholder.
std::string SubjectHtml(const EnvelopeSummary& e, const PageStrings& s)
{
    return e.subject.empty() ? s.noSubject : HtmlForm(e.subject);
}

// True when EncodeHtmlEntities gives the references of the text's own characters: its rule
// reads every sequence as three bytes, so two- and four-byte characters come out wrong.
bool ReferencesFit(const std::string& text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0xC0 && byte <= 0xDF) || byte >= 0xF0) return false;
    }
    return true;
}

class Page {
public:
    explicit Page(const PageContext& c) : m_c(c), m_list(PercentEncode(c.listName)), m_key(PercentEncode(c.languageKey))
    {
        m_out.reserve(1 << 16);
    }

    Page& operator<<(const std::string& text)
    {
        m_out += text;
        return *this;
    }
    Page& operator<<(const char* text)
    {
        m_out += text;
        return *this;
    }

    void Head(const std::string& title)
    {
        *this << "Content-type: text/html\r\n\r\n"
              << "<html>\r\n"
              << "<head>\r\n"
              << "<title>" << title << "</title>\r\n"
              << "<LINK REL=STYLESHEET HREF=\"/vubo/style/vkmainstylesheet.css\">\n"
              << "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n"
              << "</head>\r\n"
              << "<body>\r\n"
              << "<font face=\"Arial Black\">" << EscapeHtml(m_c.listName) << "</font>\n"
              << "<p><font face=\"Arial\">" << title << "</font></p>\r\n";
        BottomBar();
    }

    void BottomBar()
    {
        *this << "<table width=\"100%\" heighth=\"10\" border=\"0\" cellspacing=\"0\" cellpadding=\"0\">\r\n"
              << "<tr>\r\n"
              << "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-left-fade.gif\" "
                 "width=\"150\" height=\"10\" border=\"0\"></td>\r\n"
              << "<td width=\"100%\" heighth=\"10\" background=\"/vubo/module-pictures/images/bot-line.gif\"><img "
                 "src=\"/vubo/module-pictures/images/bot-line.gif\" width=\"150\" height=\"10\"></td>\r\n"
              << "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-right-fade.gif\" "
                 "width=\"150\" height=\"10\" border=\"0\"></td>\r\n"
              << "</tr>\r\n"
              << "</table>\r\n";
    }

    // "<a href="...?Command=NAME&mailinglist=LIST&locale=KEY">LABEL</a>"
    std::string IndexLink(const char* command, const std::string& label) const
    {
        return std::string("<a href=\"") + kCgiPath + "?Command=" + command + "&mailinglist=" + m_list +
               "&locale=" + m_key + "\">" + label + "</a>";
    }

    // The opening of a message link, up to and including its closing quote and ">".
    std::string MessageHref(uint32_t id, const char* sort) const
    {
        char number[16];
        std::snprintf(number, sizeof number, "%ld", static_cast<long>(static_cast<int32_t>(id)));
        return std::string("<a href=\"") + kCgiPath + "?Command=ShowMessage&mailinglist=" + m_list + "&nId=" + number +
               "&sort=" + sort + "&locale=" + m_key + "\">";
    }

    void End(const char* helpPage)
    {
        BottomBar();
        *this << "<p align=\"right\"><input type=\"button\" name=\"Help\" value=\"" << m_c.strings.help
              << "\" onClick=\"window.open('/vubo/help/dl/" << m_c.languageKey << "/archive/" << helpPage
              << "', '', "
                 "'toolbar=no,location=no,directories=no,status=no,menubar=no,scrollbars=yes,resizable=yes,width=400,"
                 "height=300')\"></p>\r\n"
              << "</body>\r\n"
              << "</html>\r\n";
    }

    std::string Take() { return std::move(m_out); }

private:
    const PageContext& m_c;
    std::string m_list;
    std::string m_key;
    std::string m_out;
};

}  // namespace

std::string EscapeHtml(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string PercentEncode(const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~' || c == '@';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string HtmlForm(const std::string& text)
{
    // Stored texts are UTF-8; one that is not (stored before the intake converted such texts)
    // is read as windows-1252, as the intake now does.
    if (!IsUtf8(text)) return HtmlForm(Windows1252ToUtf8(text));
    const std::string escaped = EscapeHtml(text);
    // Where the references would name other characters, the page (declared UTF-8) carries
    // the text itself.
    if (!ReferencesFit(text)) return escaped;
    char* converted = EncodeHtmlEntities(escaped.data(), static_cast<int32_t>(escaped.size()));
    if (converted == nullptr) return escaped;
    std::string result = converted;
    std::free(converted);
    return result;
}

std::string SubjectText(const EnvelopeSummary& e, const PageStrings& s)
{
    return e.subject.empty() ? s.noSubject : e.subject;
}

std::string AuthorText(const EnvelopeSummary& e, const PageStrings& s)
{
    if (!HasAuthorAddress(e)) return s.noAuthor;
    if (!e.personal.empty()) return e.personal;
    return e.mailbox + "@" + e.host;
}

std::string DateText(const EnvelopeSummary& e, const PageStrings& s)
{
    return e.date.empty() ? s.noDate : e.date.substr(0, 16);
}

bool IsThreadSubject(const std::string& subjectText)
{
    return !StartsWithReply(subjectText);
}

Listings BuildListings(const std::vector<EnvelopeSummary>& records, const PageStrings& s)
{
    Listings l;
    std::unordered_set<std::string> authors, dates;
    for (const EnvelopeSummary& e : records) {
        if (e.seq != 0) continue;
        const std::string subject = SubjectText(e, s);
        if (IsThreadSubject(subject)) l.threads.push_back(subject);
        std::string author = AuthorText(e, s);
        if (authors.insert(Lower(author)).second) l.authors.push_back(std::move(author));
        std::string date = DateText(e, s);
        if (dates.insert(Lower(date)).second) l.dates.push_back(std::move(date));
    }
    return l;
}

std::string RenderThreadPage(const PageContext& c, const std::vector<std::string>& threads,
                             const std::vector<EnvelopeSummary>& records)
{
    const PageStrings& s = c.strings;
    std::vector<const EnvelopeSummary*> messages;
    for (const EnvelopeSummary& e : records)
        if (e.seq == 0) messages.push_back(&e);
    std::vector<std::string> subjects;
    subjects.reserve(messages.size());
    for (const EnvelopeSummary* e : messages) subjects.push_back(SubjectText(*e, s));

    // Roots: the k-th element with a given text shows the k-th message with that subject.
    std::unordered_map<std::string, std::vector<std::size_t>> bySubject;
    for (std::size_t i = 0; i < messages.size(); ++i) bySubject[subjects[i]].push_back(i);
    constexpr std::size_t kNone = SIZE_MAX;
    std::vector<std::size_t> rootOf(threads.size(), kNone);
    std::vector<bool> listed(messages.size(), false);
    std::unordered_map<std::string, std::size_t> occurrences;
    // Root positions by lower-cased thread text, in message order, for the replies.
    std::unordered_map<std::string, std::vector<std::size_t>> rootsByText;
    for (std::size_t t = 0; t < threads.size(); ++t) {
        const std::size_t k = occurrences[threads[t]]++;
        const auto found = bySubject.find(threads[t]);
        if (found == bySubject.end() || k >= found->second.size()) continue;
        rootOf[t] = found->second[k];
        listed[rootOf[t]] = true;
    }
    std::vector<std::size_t> threadOfRoot(messages.size(), kNone);
    for (std::size_t t = 0; t < threads.size(); ++t) {
        if (rootOf[t] == kNone) continue;
        threadOfRoot[rootOf[t]] = t;
        rootsByText[Lower(threads[t])].push_back(rootOf[t]);
    }
    for (auto& [text, roots] : rootsByText) std::sort(roots.begin(), roots.end());

    std::vector<std::vector<std::size_t>> replies(threads.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (listed[i] || !StartsWithReply(subjects[i])) continue;
        const auto found = rootsByText.find(Lower(StrippedSubject(subjects[i])));
        if (found == rootsByText.end()) continue;
        const auto& roots = found->second;
        // The latest root before the reply, else the first one.
        auto after = std::lower_bound(roots.begin(), roots.end(), i);
        const std::size_t root = after == roots.begin() ? roots.front() : *(after - 1);
        replies[threadOfRoot[root]].push_back(i);
        listed[i] = true;
    }

    Page page(c);
    page.Head(s.threadTitle);
    page << "<p><font face=\"Arial\">[" << page.IndexLink("GetDateIndex", s.dateIndex) << "]\r\n"
         << "[" << page.IndexLink("GetAuthorIndex", s.authorIndex) << "]"
         << " [" << s.threadIndex << "] </font></p>\r\n"
         << "<ul>\r\n";
    const auto line = [&](std::size_t i) {
        const EnvelopeSummary& e = *messages[i];
        return "<li>" + page.MessageHref(e.id, "ByThread") + SubjectHtml(e, s) + "</a> - <em>" + AuthorHtml(e, s) +
               ", </em>" + WholeDateHtml(e, s) + " </li>";
    };
    for (std::size_t t = 0; t < threads.size(); ++t) {
        if (rootOf[t] == kNone) continue;
        page << line(rootOf[t]) << "\r\n";
        for (std::size_t r : replies[t])
            page << "<ul>\r\n"
                 << line(r) << "\r\n"
                 << "</ul>\r\n";
    }

    // Unthreaded messages, grouped by subject without regard to case under the first one.
    std::unordered_map<std::string, std::vector<std::size_t>> groups;
    std::vector<std::string> order;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (listed[i]) continue;
        auto [it, fresh] = groups.try_emplace(Lower(subjects[i]));
        if (fresh) order.push_back(it->first);
        it->second.push_back(i);
    }
    for (const std::string& key : order) {
        const auto& members = groups[key];
        page << line(members.front()) << "\r\n";
        for (std::size_t m = 1; m < members.size(); ++m) page << "<ul>" << line(members[m]) << "</ul>\r\n";
    }
    page << "</ul>\r\n";
    page.End("thread.htm");
    return page.Take();
}

std::string RenderAuthorPage(const PageContext& c, const std::vector<std::string>& authors,
                             const std::vector<EnvelopeSummary>& records)
{
    const PageStrings& s = c.strings;
    std::unordered_map<std::string, std::size_t> groupOf;
    for (std::size_t g = 0; g < authors.size(); ++g) groupOf.try_emplace(Lower(authors[g]), g);
    // Every record, encapsulated envelopes included: they link to their message.
    std::vector<std::vector<const EnvelopeSummary*>> members(authors.size());
    for (const EnvelopeSummary& e : records) {
        const auto found = groupOf.find(Lower(AuthorText(e, s)));
        if (found != groupOf.end()) members[found->second].push_back(&e);
    }

    Page page(c);
    page.Head(s.authorTitle);
    page << "<p><font face=\"Arial\">"
         << "[" << page.IndexLink("GetDateIndex", s.dateIndex) << "]\r\n"
         << "[" << s.authorIndex << "]\r\n"
         << "[" << page.IndexLink("GetThreadIndex", s.threadIndex) << "]\r\n"
         << "</font></p>\r\n";
    for (std::size_t g = 0; g < authors.size(); ++g) {
        const std::string heading = authors[g] == s.noAuthor ? s.noAuthor : HtmlForm(authors[g]);
        page << "<p><font face=\"Arial\"><strong>" << heading << "</strong></font>\r\n"
             << "<ul>\r\n";
        // Groups whose texts differ only in case share their messages with the first one.
        const auto& list = members[groupOf[Lower(authors[g])]];
        for (const EnvelopeSummary* e : list) {
            const std::string subject = SubjectHtml(*e, s);
            const std::string date = WholeDateHtml(*e, s);
            if (!subject.empty())
                page << "<li>" << page.MessageHref(e->id, "ByAuthor") << subject << "</a> - " << date << " </li>\r\n";
            else
                page << "<li>&nbsp;- " << page.MessageHref(e->id, "ByAuthor") << date << "</a> </li>\r\n";
        }
        page << "</ul>\r\n";
    }
    page.End("author.htm");
    return page.Take();
}

std::string RenderDatePage(const PageContext& c, const std::vector<std::string>& dates,
                           const std::vector<EnvelopeSummary>& records)
{
    const PageStrings& s = c.strings;
    // Groups compare at most 16 characters without regard to case.
    const auto key = [](const std::string& text) { return Lower(text.substr(0, 16)); };
    std::unordered_map<std::string, std::vector<const EnvelopeSummary*>> members;
    for (const std::string& d : dates) members.try_emplace(key(d));
    for (const EnvelopeSummary& e : records) {
        if (e.seq != 0) continue;
        const auto found = members.find(key(DateText(e, s)));
        if (found != members.end()) found->second.push_back(&e);
    }

    Page page(c);
    page.Head(s.dateTitle);
    page << "<p><font face=\"Arial\">[" << s.dateIndex << "]\r\n "
         << "[" << page.IndexLink("GetAuthorIndex", s.authorIndex) << "]\r\n"
         << "[" << page.IndexLink("GetThreadIndex", s.threadIndex) << "] </font></p>\r\n";
    for (const std::string& d : dates) {
        page << "<p><font face=\"Arial\"><strong>" << (d == s.noDate ? d : EscapeHtml(d)) << "</strong></font>\r\n"
             << "<ul>\r\n";
        for (const EnvelopeSummary* e : members[key(d)]) {
            const std::string subject = SubjectHtml(*e, s);
            const std::string author = AuthorHtml(*e, s);
            if (!subject.empty())
                page << "<li>" << page.MessageHref(e->id, "ByDate") << subject << "</a> - " << author << " </li>\r\n";
            else
                page << "<li>&nbsp;- " << page.MessageHref(e->id, "ByDate") << author << "</a> </li>\r\n";
        }
        page << "</ul>\r\n";
    }
    page.End("date.htm");
    return page.Take();
}

}  // namespace dlarchive::pages

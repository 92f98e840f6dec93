#include "index_pages/page_oracle.h"

// Sizing with snprintf(nullptr, 0, ...) first is exactly what the warning misreads.
#pragma GCC diagnostic ignored "-Wformat-truncation"

#include <strings.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text/html_entities.h"

namespace oracle {

namespace {

const char* kCgi = "/vubo/scripts/archivecgi.exe";

// printf-style writes into the page, as the pages were first written.
struct Out {
    std::string text;
    template <typename... A>
    void Write(const char* format, A... args)
    {
        const int n = std::snprintf(nullptr, 0, format, args...);
        std::string piece(static_cast<size_t>(n) + 1, '\0');
        std::snprintf(piece.data(), piece.size(), format, args...);
        piece.resize(static_cast<size_t>(n));
        text += piece;
    }
};

std::string Escape(const std::string& t)
{
    std::string o;
    for (char ch : t) {
        if (ch == '&')
            o += "&amp;";
        else if (ch == '<')
            o += "&lt;";
        else if (ch == '>')
            o += "&gt;";
        else if (ch == '"')
            o += "&quot;";
        else
            o += ch;
    }
    return o;
}

std::string Url(const std::string& t)
{
    std::string o;
    for (unsigned char ch : t) {
        if (isalnum(ch) || strchr("-._~@", ch)) {
            o += static_cast<char>(ch);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", ch);
            o += hex;
        }
    }
    return o;
}

std::string Entities(const std::string& t)
{
    const std::string e = Escape(t);
    char* r = EncodeHtmlEntities(e.c_str(), static_cast<int32_t>(e.size()));
    if (r == nullptr) return e;
    std::string s = r;
    free(r);
    return s;
}

std::string Subject(const EnvelopeSummary& e, const PageContext& c)
{
    return e.subject.empty() ? c.strings.noSubject : e.subject;
}

std::string Author(const EnvelopeSummary& e, const PageContext& c, bool converted)
{
    if (e.mailbox.empty() || e.host.empty()) return converted ? Escape(c.strings.noAuthor) : c.strings.noAuthor;
    if (!e.personal.empty()) return converted ? Entities(e.personal) : e.personal;
    const std::string a = e.mailbox + "@" + e.host;
    return converted ? Escape(a) : a;
}

std::string Date16(const EnvelopeSummary& e, const PageContext& c)
{
    return e.date.empty() ? c.strings.noDate : e.date.substr(0, 16);
}

std::string DateWhole(const EnvelopeSummary& e, const PageContext& c)
{
    return e.date.empty() ? c.strings.noDate : e.date;
}

void BottomBar(Out& o)
{
    o.Write("<table width=\"100%%\" heighth=\"10\" border=\"0\" cellspacing=\"0\" cellpadding=\"0\">\r\n");
    o.Write("<tr>\r\n");
    o.Write(
        "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-left-fade.gif\" width=\"150\" "
        "height=\"10\" border=\"0\"></td>\r\n");
    o.Write(
        "<td width=\"100%%\" heighth=\"10\" background=\"/vubo/module-pictures/images/bot-line.gif\"><img "
        "src=\"/vubo/module-pictures/images/bot-line.gif\" width=\"150\" height=\"10\"></td>\r\n");
    o.Write(
        "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-right-fade.gif\" width=\"150\" "
        "height=\"10\" border=\"0\"></td>\r\n");
    o.Write("</tr>\r\n");
    o.Write("</table>\r\n");
}

void Head(Out& o, const PageContext& c, const std::string& title)
{
    o.Write("Content-type: text/html\r\n\r\n");
    o.Write("<html>\r\n");
    o.Write("<head>\r\n");
    o.Write("<title>%s</title>\r\n", title.c_str());
    o.Write("<LINK REL=STYLESHEET HREF=\"/vubo/style/vkmainstylesheet.css\">\n");
    o.Write("<meta http-equiv=\"content-type\" content=\"text/html; charset=%s\">\n", "utf-8");
    o.Write("</head>\r\n");
    o.Write("<body>\r\n");
    o.Write("<font face=\"Arial Black\">%s</font>\n", Escape(c.listName).c_str());
    o.Write("<p><font face=\"Arial\">%s</font></p>\r\n", title.c_str());
    BottomBar(o);
}

void End(Out& o, const PageContext& c, const char* page)
{
    BottomBar(o);
    o.Write(
        "<p align=\"right\"><input type=\"button\" name=\"Help\" value=\"%s\" "
        "onClick=\"window.open('/vubo/help/dl/%s/archive/%s', '', "
        "'toolbar=no,location=no,directories=no,status=no,menubar=no,scrollbars=yes,resizable=yes,width=400,height=300'"
        ")\"></p>\r\n",
        c.strings.help.c_str(), c.languageKey.c_str(), page);
    o.Write("</body>\r\n");
    o.Write("</html>\r\n");
}

}  // namespace

Listings SortRecords(const std::vector<EnvelopeSummary>& records, const PageContext& c)
{
    Listings l;
    bool first = true;
    for (const auto& e : records) {
        if (e.seq != 0) continue;
        const std::string s = Subject(e, c);
        if (strncasecmp(s.c_str(), "re:", 3) != 0) l.threads.push_back(s);
        const std::string a = Author(e, c, false);
        const std::string d = Date16(e, c);
        bool seen = false;
        for (const auto& x : l.authors) seen = seen || strcasecmp(x.c_str(), a.c_str()) == 0;
        if (first || !seen) l.authors.push_back(a);
        seen = false;
        for (const auto& x : l.dates) seen = seen || strcasecmp(x.c_str(), d.c_str()) == 0;
        if (first || !seen) l.dates.push_back(d);
        first = false;
    }
    return l;
}

std::string ThreadPage(const PageContext& c, const std::vector<std::string>& threads,
                       const std::vector<EnvelopeSummary>& records)
{
    Out o;
    const std::string list = Url(c.listName), key = Url(c.languageKey);
    Head(o, c, c.strings.threadTitle);
    o.Write("<p><font face=\"Arial\">[<a href=\"%s?Command=GetDateIndex&mailinglist=%s&locale=%s\">%s</a>]\r\n", kCgi,
            list.c_str(), key.c_str(), c.strings.dateIndex.c_str());
    o.Write("[<a href=\"%s?Command=GetAuthorIndex&mailinglist=%s&locale=%s\">%s</a>]", kCgi, list.c_str(), key.c_str(),
            c.strings.authorIndex.c_str());
    o.Write(" [%s] </font></p>\r\n", c.strings.threadIndex.c_str());
    o.Write("<ul>\r\n");
    const auto line = [&](const EnvelopeSummary& e, bool nested) {
        const char* f =
            nested ? "<ul><li><a href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=ByThread&locale=%s\">%s</a> "
                     "- <em>%s, </em>%s </li></ul>\r\n"
                   : "<li><a href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=ByThread&locale=%s\">%s</a> - "
                     "<em>%s, </em>%s </li>\r\n";
        o.Write(f, kCgi, list.c_str(), static_cast<long>(static_cast<int32_t>(e.id)), key.c_str(),
                Entities(Subject(e, c)).c_str(), Author(e, c, true).c_str(), Escape(DateWhole(e, c)).c_str());
    };

    // Which message is the root of each element: the k-th with exactly that text.
    std::vector<const EnvelopeSummary*> roots(threads.size(), nullptr);
    for (size_t t = 0; t < threads.size(); ++t) {
        size_t k = 0;
        for (size_t u = 0; u < t; ++u) k += threads[u] == threads[t];
        for (const auto& e : records) {
            if (e.seq != 0 || Subject(e, c) != threads[t]) continue;
            if (k-- == 0) {
                roots[t] = &e;
                break;
            }
        }
    }
    // Which root a reply belongs to: the latest before it with the same stripped subject
    // (without regard to case), else the first one.
    const auto rootOfReply = [&](const EnvelopeSummary& r) -> const EnvelopeSummary* {
        const std::string s = Subject(r, c);
        if (strncasecmp(s.c_str(), "re:", 3) != 0) return nullptr;
        for (const auto* x : roots)
            if (x == &r) return nullptr;
        const std::string rest = s.size() >= 4 ? s.substr(4) : "";
        const EnvelopeSummary *before = nullptr, *first = nullptr;
        for (size_t t = 0; t < threads.size(); ++t) {
            const EnvelopeSummary* x = roots[t];
            if (x == nullptr || strcasecmp(threads[t].c_str(), rest.c_str()) != 0) continue;
            if (first == nullptr || x->id < first->id) first = x;
            if (x->id < r.id && (before == nullptr || x->id > before->id)) before = x;
        }
        return before != nullptr ? before : first;
    };

    std::vector<const EnvelopeSummary*> written;
    for (size_t t = 0; t < threads.size(); ++t) {
        if (roots[t] == nullptr) continue;
        for (const auto& e : records) {
            if (e.seq != 0) continue;
            if (&e == roots[t]) {
                line(e, false);
                written.push_back(&e);
            }
        }
        for (const auto& e : records) {
            if (e.seq != 0 || rootOfReply(e) != roots[t]) continue;
            o.Write("<ul>\r\n");
            line(e, false);
            o.Write("</ul>\r\n");
            written.push_back(&e);
        }
    }
    struct Unthreaded {
        const EnvelopeSummary* e;
        bool printed;
    };
    std::vector<Unthreaded> rest;
    for (const auto& e : records) {
        if (e.seq != 0) continue;
        bool done = false;
        for (const auto* w : written) done = done || w == &e;
        if (!done) rest.push_back({&e, false});
    }
    for (auto& n : rest) {
        if (n.printed) continue;
        line(*n.e, false);
        n.printed = true;
        for (auto& m : rest) {
            if (strcasecmp(Subject(*m.e, c).c_str(), Subject(*n.e, c).c_str()) == 0 && m.e->id > n.e->id) {
                line(*m.e, true);
                m.printed = true;
            }
        }
    }
    o.Write("</ul>\r\n");
    End(o, c, "thread.htm");
    return o.text;
}

std::string AuthorPage(const PageContext& c, const std::vector<std::string>& authors,
                       const std::vector<EnvelopeSummary>& records)
{
    Out o;
    const std::string list = Url(c.listName), key = Url(c.languageKey);
    Head(o, c, c.strings.authorTitle);
    o.Write("<p><font face=\"Arial\">");
    o.Write("[<a href=\"%s?Command=GetDateIndex&mailinglist=%s&locale=%s\">%s</a>]\r\n", kCgi, list.c_str(),
            key.c_str(), c.strings.dateIndex.c_str());
    o.Write("[%s]\r\n", c.strings.authorIndex.c_str());
    o.Write("[<a href=\"%s?Command=GetThreadIndex&mailinglist=%s&locale=%s\">%s</a>]\r\n", kCgi, list.c_str(),
            key.c_str(), c.strings.threadIndex.c_str());
    o.Write("</font></p>\r\n");
    for (const auto& a : authors) {
        o.Write("<p><font face=\"Arial\"><strong>%s</strong></font>\r\n", Entities(a).c_str());
        o.Write("<ul>\r\n");
        for (const auto& e : records) {
            if (strcasecmp(Author(e, c, false).c_str(), a.c_str()) != 0) continue;
            const std::string subject = e.subject.empty() ? Escape(c.strings.noSubject) : Entities(e.subject);
            const std::string date = Escape(DateWhole(e, c));
            if (!subject.empty())
                o.Write(
                    "<li><a href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=ByAuthor&locale=%s\">%s</a> - %s "
                    "</li>\r\n",
                    kCgi, list.c_str(), static_cast<long>(static_cast<int32_t>(e.id)), key.c_str(), subject.c_str(),
                    date.c_str());
            else
                o.Write(
                    "<li>&nbsp;- <a "
                    "href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=ByAuthor&locale=%s\">%s</a> </li>\r\n",
                    kCgi, list.c_str(), static_cast<long>(static_cast<int32_t>(e.id)), key.c_str(), date.c_str());
        }
        o.Write("</ul>\r\n");
    }
    End(o, c, "author.htm");
    return o.text;
}

std::string DatePage(const PageContext& c, const std::vector<std::string>& dates,
                     const std::vector<EnvelopeSummary>& records)
{
    Out o;
    const std::string list = Url(c.listName), key = Url(c.languageKey);
    Head(o, c, c.strings.dateTitle);
    o.Write("<p><font face=\"Arial\">[%s]\r\n ", c.strings.dateIndex.c_str());
    o.Write("[<a href=\"%s?Command=GetAuthorIndex&mailinglist=%s&locale=%s\">%s</a>]\r\n", kCgi, list.c_str(),
            key.c_str(), c.strings.authorIndex.c_str());
    o.Write("[<a href=\"%s?Command=GetThreadIndex&mailinglist=%s&locale=%s\">%s</a>] </font></p>\r\n", kCgi,
            list.c_str(), key.c_str(), c.strings.threadIndex.c_str());
    for (const auto& d : dates) {
        o.Write("<p><font face=\"Arial\"><strong>%s</strong></font>\r\n", Escape(d).c_str());
        o.Write("<ul>\r\n");
        for (const auto& e : records) {
            if (e.seq != 0) continue;
            if (strncasecmp(Date16(e, c).c_str(), d.c_str(), 16) != 0) continue;
            const std::string subject = e.subject.empty() ? Escape(c.strings.noSubject) : Entities(e.subject);
            const std::string author = Author(e, c, true);
            if (!subject.empty())
                o.Write(
                    "<li><a href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=ByDate&locale=%s\">%s</a> - %s "
                    "</li>\r\n",
                    kCgi, list.c_str(), static_cast<long>(static_cast<int32_t>(e.id)), key.c_str(), subject.c_str(),
                    author.c_str());
            else
                o.Write(
                    "<li>&nbsp;- <a "
                    "href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=ByDate&locale=%s\">%s</a> </li>\r\n",
                    kCgi, list.c_str(), static_cast<long>(static_cast<int32_t>(e.id)), key.c_str(), author.c_str());
        }
        o.Write("</ul>\r\n");
    }
    End(o, c, "date.htm");
    return o.text;
}

}  // namespace oracle

// The index pages: the fast renderer against the plain passes of the oracle on generated
// archives, and the archive manager's listings and page files on real relations (locales,
// atomic replacement, failures that keep the old pages).
#include <gtest/gtest.h>

#include <strings.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <regex>

#include "dlarchive/dlarchive.h"
#include "index_pages/page_render.h"
#include "support/archive_home.h"
#include "text/html_entities.h"

// Sizing with snprintf(nullptr, 0, ...) first is exactly what the warning misreads.
#pragma GCC diagnostic ignored "-Wformat-truncation"

// The oracle: a plain rendering of the index pages, pass after pass over the records as the
// pages were first described (one walk of the relation per thread, author or date group,
// every text compared in place), with the rules that make every message appear. The fast
// renderer must produce the same bytes.
namespace oracle {

using dlarchive::pages::EnvelopeSummary;
using dlarchive::pages::PageContext;

struct Listings {
    std::vector<std::string> authors, dates, threads;
};

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
    for (char ch : t)
        o += ch == '&' ? "&amp;" : ch == '<' ? "&lt;" : ch == '>' ? "&gt;" : ch == '"' ? "&quot;" : std::string(1, ch);
    return o;
}

std::string Url(const std::string& t)
{
    std::string o;
    char hex[4];
    for (unsigned char ch : t) {
        std::snprintf(hex, sizeof hex, "%%%02X", ch);
        o += isalnum(ch) || strchr("-._~@", ch) ? std::string(1, static_cast<char>(ch)) : std::string(hex);
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
    for (const auto& e : records) {
        if (e.seq != 0) continue;
        const std::string s = Subject(e, c);
        if (strncasecmp(s.c_str(), "re:", 3) != 0) l.threads.push_back(s);
        // Each author and date once, as first met, without regard to case.
        for (auto [v, t] : {std::pair{&l.authors, Author(e, c, false)}, std::pair{&l.dates, Date16(e, c)}})
            if (std::none_of(v->begin(), v->end(),
                             [&t](const std::string& x) { return !strcasecmp(x.c_str(), t.c_str()); }))
                v->push_back(t);
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
        line(*roots[t], false);
        written.push_back(roots[t]);
        for (const auto& e : records) {
            if (e.seq != 0 || rootOfReply(e) != roots[t]) continue;
            o.Write("<ul>\r\n");
            line(e, false);
            o.Write("</ul>\r\n");
            written.push_back(&e);
        }
    }
    std::vector<std::pair<const EnvelopeSummary*, bool>> rest;  // and whether printed
    for (const auto& e : records) {
        if (e.seq != 0) continue;
        bool done = false;
        for (const auto* w : written) done = done || w == &e;
        if (!done) rest.push_back({&e, false});
    }
    for (auto& [n, printed] : rest) {
        if (printed) continue;
        line(*n, false);
        for (auto& [m, nested] : rest) {
            if (strcasecmp(Subject(*m, c).c_str(), Subject(*n, c).c_str()) == 0 && m->id > n->id) {
                line(*m, true);
                nested = true;
            }
        }
    }
    o.Write("</ul>\r\n");
    End(o, c, "thread.htm");
    return o.text;
}

// The author page (groups of messages whose author text is equal without regard to case,
// encapsulated envelopes included) or the date page (messages whose first 16 date characters
// are); each line links the subject and names the other.
std::string GroupPage(const PageContext& c, const std::vector<std::string>& groups,
                      const std::vector<EnvelopeSummary>& records, bool byAuthor)
{
    Out o;
    const std::string list = Url(c.listName), key = Url(c.languageKey);
    Head(o, c, byAuthor ? c.strings.authorTitle : c.strings.dateTitle);
    if (byAuthor) {
        o.Write("<p><font face=\"Arial\">");
        o.Write("[<a href=\"%s?Command=GetDateIndex&mailinglist=%s&locale=%s\">%s</a>]\r\n", kCgi, list.c_str(),
                key.c_str(), c.strings.dateIndex.c_str());
        o.Write("[%s]\r\n", c.strings.authorIndex.c_str());
        o.Write("[<a href=\"%s?Command=GetThreadIndex&mailinglist=%s&locale=%s\">%s</a>]\r\n", kCgi, list.c_str(),
                key.c_str(), c.strings.threadIndex.c_str());
        o.Write("</font></p>\r\n");
    } else {
        o.Write("<p><font face=\"Arial\">[%s]\r\n ", c.strings.dateIndex.c_str());
        o.Write("[<a href=\"%s?Command=GetAuthorIndex&mailinglist=%s&locale=%s\">%s</a>]\r\n", kCgi, list.c_str(),
                key.c_str(), c.strings.authorIndex.c_str());
        o.Write("[<a href=\"%s?Command=GetThreadIndex&mailinglist=%s&locale=%s\">%s</a>] </font></p>\r\n", kCgi,
                list.c_str(), key.c_str(), c.strings.threadIndex.c_str());
    }
    const char* sort = byAuthor ? "ByAuthor" : "ByDate";
    for (const auto& g : groups) {
        o.Write("<p><font face=\"Arial\"><strong>%s</strong></font>\r\n", (byAuthor ? Entities(g) : Escape(g)).c_str());
        o.Write("<ul>\r\n");
        for (const auto& e : records) {
            if (byAuthor ? strcasecmp(Author(e, c, false).c_str(), g.c_str()) != 0
                         : e.seq != 0 || strncasecmp(Date16(e, c).c_str(), g.c_str(), 16) != 0)
                continue;
            const std::string subject = e.subject.empty() ? Escape(c.strings.noSubject) : Entities(e.subject);
            const std::string other = byAuthor ? Escape(DateWhole(e, c)) : Author(e, c, true);
            const long id = static_cast<int32_t>(e.id);
            if (!subject.empty())
                o.Write(
                    "<li><a href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=%s&locale=%s\">%s</a> - %s "
                    "</li>\r\n",
                    kCgi, list.c_str(), id, sort, key.c_str(), subject.c_str(), other.c_str());
            else
                o.Write(
                    "<li>&nbsp;- <a href=\"%s?Command=ShowMessage&mailinglist=%s&nId=%ld&sort=%s&locale=%s\">%s</a> "
                    "</li>\r\n",
                    kCgi, list.c_str(), id, sort, key.c_str(), other.c_str());
        }
        o.Write("</ul>\r\n");
    }
    End(o, c, byAuthor ? "author.htm" : "date.htm");
    return o.text;
}

}  // namespace oracle

using namespace dlarchive::pages;

namespace {

const std::string kDate = "Mon, 1 Oct 2001 09:00:00 +0000";
const std::vector<std::string> kPages = {"en-us-author.html", "en-us-date.html", "en-us-thread.html",
                                         "de-de-author.html", "de-de-date.html", "de-de-thread.html"};

PageContext Context(const std::string& list = "sales")
{
    return {list,
            "en-us",
            {"Help", "By date", "By author", "By thread", "(no subject)", "Archive by author", "(unknown author)",
             "(no date)", "Archive by date", "Archive by thread"}};
}

struct Pages {
    std::string thread, author, date;
};

// The three pages of the fast renderer, after checking listings and pages against the oracle.
Pages ExpectSamePages(const PageContext& c, const std::vector<EnvelopeSummary>& records)
{
    const Listings fast = BuildListings(records, c.strings);
    const oracle::Listings plain = oracle::SortRecords(records, c);
    EXPECT_EQ(fast.authors, plain.authors);
    EXPECT_EQ(fast.dates, plain.dates);
    EXPECT_EQ(fast.threads, plain.threads);
    const Pages p{RenderThreadPage(c, fast.threads, records), RenderAuthorPage(c, fast.authors, records),
                  RenderDatePage(c, fast.dates, records)};
    EXPECT_EQ(p.thread, oracle::ThreadPage(c, plain.threads, records));
    EXPECT_EQ(p.author, oracle::GroupPage(c, plain.authors, records, true));
    EXPECT_EQ(p.date, oracle::GroupPage(c, plain.dates, records, false));
    return p;
}

// How often each message number is linked from a page.
std::map<uint32_t, int> LinkedIds(const std::string& page)
{
    std::map<uint32_t, int> ids;
    const std::regex link("nId=(-?[0-9]+)&");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), link); it != std::sregex_iterator(); ++it)
        ++ids[static_cast<uint32_t>(std::stol((*it)[1].str()))];
    return ids;
}

// Random archives with everything that trips the listings: reply prefixes in every case,
// repeated and case-variant subjects, replies before their roots, missing texts, names
// with references and refused sequences, markup in every text, encapsulated envelopes.
std::vector<EnvelopeSummary> RandomArchive(std::mt19937& rng, bool repliesOnly)
{
    const auto topics = testenv::Lines("Agenda|agenda|Budget|<script>\"x\" & more||genda", "|");
    const auto prefixes = testenv::Lines("|Re: |RE: |re: |re:|Re:|Fwd: |Aw: ", "|");
    const auto names = testenv::Lines("Ann Lee|ann lee||Euro \xE2\x82\xAC Fan|J\xC3\xBCrgen|<b>", "|");
    const auto dates = testenv::Lines(kDate +
                                          "|Mon, 1 Oct 2001 17:30:00 +0000|mon, 1 oct 2001 18:00:00 +0000|"
                                          "Mon, 01 Oct 2001 09:00||Tue, 2 Oct 2001 08:00:00 +0000|<2 Oct> & \"x\"",
                                      "|");
    const auto pick = [&](const auto& v) { return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)]; };
    std::vector<EnvelopeSummary> records;
    uint32_t id = 0;
    for (int i = std::uniform_int_distribution<int>(0, 40)(rng); i > 0; --i) {
        id += std::uniform_int_distribution<uint32_t>(1, 3)(rng);
        const std::string prefix = repliesOnly ? "Re: " : pick(prefixes), topic = pick(topics);
        const bool hasFrom = rng() % 8 != 0;
        records.push_back({id, 0, topic.empty() && prefix.empty() ? "" : prefix + topic, pick(dates), pick(names),
                           hasFrom ? "user" + std::to_string(rng() % 3) : "",
                           hasFrom && rng() % 10 ? "example.org" : ""});
        if (rng() % 6 == 0)
            records.push_back({id, 1, "Fwd inner " + pick(topics), pick(dates), pick(names), "in", "x.net"});
    }
    return records;
}

}  // namespace

TEST(PageRender, GeneratedArchivesMatchThePlainPassesAndListEveryMessage)
{
    std::mt19937 rng(20261206);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto records = RandomArchive(rng, round % 10 == 9);
        // Markup in the list name is escaped on the pages and percent-encoded in the links.
        PageContext c = Context(round % 4 == 1 ? "Zz09-._~@ & <more>" : "sales");
        if (round % 3 == 0) c.strings.noSubject = "";  // the date becomes the link text
        const Pages p = ExpectSamePages(c, records);
        const std::vector<std::string> none = {"a subject no message has"};  // a caller's own thread list
        EXPECT_EQ(RenderThreadPage(c, none, records), oracle::ThreadPage(c, none, records));
        std::map<uint32_t, int> messages;
        for (const auto& e : records) messages[e.id] += e.seq == 0;
        const auto thread = LinkedIds(p.thread), date = LinkedIds(p.date), author = LinkedIds(p.author);
        for (const auto& [id, count] : messages) {
            // Once on the thread and date pages; on the author page also the encapsulated
            // envelopes, which link to the same message.
            EXPECT_EQ(thread.count(id) ? thread.at(id) : 0, count) << id;
            EXPECT_EQ(date.count(id) ? date.at(id) : 0, count) << id;
            EXPECT_GE(author.count(id) ? author.at(id) : 0, count) << id;
        }
    }
}

namespace {

struct ArchivePages : testenv::SalesList {
    void Archive(uint32_t number, const std::string& content)
    {
        home.WriteMessage("sales", number, content);
        ASSERT_TRUE(manager.AddArchive(archive.c_str(), number)) << number;
    }
    std::string Page(const std::string& name) { return testenv::ReadFile(archive + name); }
    std::map<std::string, std::string> PageBytes()
    {
        std::map<std::string, std::string> bytes;
        for (const std::string& page : kPages) bytes[page] = Page(page);
        return bytes;
    }
    bool NoTemporaries()
    {
        for (const auto& entry : std::filesystem::directory_iterator(archive))
            if (entry.path().filename().string().find(".tmp") != std::string::npos) return false;
        return true;
    }
    // The names of the files renamed into the archive while `run` runs, in order.
    template <typename Run>
    std::vector<std::string> RenamedInto(Run run)
    {
        const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(inotify_add_watch(fd, archive.c_str(), IN_MOVED_TO), 0);
        run();
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[16384];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0) names.emplace_back(event->name);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        close(fd);
        return names;
    }
};

std::vector<std::string> Texts(ms* chain)
{
    std::vector<std::string> texts;
    for (const ms* at = chain; at != nullptr; at = at->next) texts.emplace_back(at->text);
    freeStringChain(chain);
    return texts;
}

}  // namespace

TEST_F(ArchivePages, PagesOfTheRelationsAreThoseOfTheRenderer)
{
    const std::string forward =
        testenv::SimpleMessage("Fwd: Plan", "Bob <bob@example.org>", "Tue, 2 Oct 2001 10:00:00 +0000",
                               "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"o\"\n",
                               "--o\nContent-Type: message/rfc822\n\nFrom: Carol <carol@x.net>\nSubject: Plan\nDate: "
                               "Sun, 30 Sep 2001\n\nt\n--o--\n");
    std::vector<EnvelopeSummary> records = {{1, 0, "Re: Plan", kDate, "Ann Lee", "ann", "example.org"},
                                            {2, 0, "Plan", kDate, "", "bob", "example.net"},
                                            {3, 0, "Minutes", kDate, "ANN LEE", "ann", "example.org"},
                                            {4, 0, "<b>Budget</b> & \"more\"", kDate, "Ann Lee", "ann", "example.org"},
                                            {5, 0, "re: plan", kDate, "Ann Lee", "ann", "example.org"}};
    for (const auto& r : records) {
        const std::string address = r.mailbox + "@" + r.host;
        Archive(r.id,
                testenv::SimpleMessage(r.subject, r.personal.empty() ? address : r.personal + " <" + address + ">"));
    }
    Archive(6, forward);
    records.push_back({6, 0, "Fwd: Plan", "Tue, 2 Oct 2001 10:00:00 +0000", "Bob", "bob", "example.org"});
    records.push_back({6, 1, "Plan", "Sun, 30 Sep 2001", "Carol", "carol", "x.net"});
    const auto order = RenamedInto([&] { manager.GenerateIndexPages("sales"); });
    EXPECT_EQ(order, kPages);  // each page renamed into place, English first
    const Pages p = ExpectSamePages(Context(), records);
    EXPECT_EQ(Page("en-us-thread.html"), p.thread);
    EXPECT_EQ(Page("en-us-author.html"), p.author);
    EXPECT_EQ(Page("en-us-date.html"), p.date);
    for (int i = 3; i < 6; ++i) EXPECT_EQ(LinkedIds(Page(kPages[i])), LinkedIds(Page(kPages[i - 3]))) << kPages[i];

    ms *authors = nullptr, *dates = nullptr, *threads = nullptr;
    Archive(7, "To: sales@lists.example.org\n\nNo sender, date or subject.\n");
    EXPECT_TRUE(manager.SortArchiveRecords("ignored", &authors, &dates, &threads, "de-de"));
    EXPECT_EQ(Texts(authors),
              (std::vector<std::string>{"Ann Lee", "bob@example.net", "Bob", "(unbekannter Absender)"}));
    EXPECT_EQ(Texts(dates), (std::vector<std::string>{"Mon, 1 Oct 2001 ", "Tue, 2 Oct 2001 ", "(kein Datum)"}));
    EXPECT_EQ(Texts(threads),
              (std::vector<std::string>{"Plan", "Minutes", "<b>Budget</b> & \"more\"", "Fwd: Plan", "(kein Betreff)"}));
}

TEST_F(ArchivePages, LocalesOfTheLanguageSelection)
{
    Archive(1, testenv::SimpleMessage("Agenda"));
    const auto write = [&](const std::string& selection) {
        for (const std::string& page : kPages) std::filesystem::remove(archive + page);
        home.config().Write("[DlManager]\nDbPath=" + home.path() + "\n[Config]\nWebAdminDirectory=" + home.path() +
                            "/web\n" + selection);
        return RenamedInto([&] { manager.GenerateIndexPages("sales"); });
    };
    // A selection with fewer than two commas writes the English pages; no section, or an
    // empty one, writes nothing and fails not.
    // Locale names longer than 127 characters are passed over.
    const std::string longest(127, 'x');
    const auto english =
        write("[Language Selection]\nfr-fr=Francais,utf-8\n" + longest +
              "y=English,utf-8,en-us.txt\nen-us=English,utf-8,en-us.txt\n" + longest + "=English,utf-8,en-us.txt\n");
    EXPECT_EQ(english,
              (std::vector<std::string>{kPages[0], kPages[1], kPages[2], kPages[0], kPages[1], kPages[2],
                                        longest + "-author.html", longest + "-date.html", longest + "-thread.html"}));
    EXPECT_FALSE(testenv::Exists(archive + "fr-fr-date.html"));
    EXPECT_TRUE(write("").empty());
    EXPECT_TRUE(write("[Language Selection]\n").empty());
    EXPECT_FALSE(testenv::Exists(archive + "en-us-date.html"));
}

TEST_F(ArchivePages, FailedGenerationKeepsTheOldPages)
{
    const std::string languages = home.path() + "/web/vubo/languages/dlarchives/";
    const auto generate = [&] { return testenv::Thrown([&] { manager.GenerateIndexPages("sales"); }); };
    Archive(1, testenv::SimpleMessage("One"));
    manager.GenerateIndexPages("sales");
    Archive(2, testenv::SimpleMessage("Two"));  // pages written now would list message 2
    // The locales before the one whose language table fails are written.
    const std::string german = testenv::ReadFile(languages + "de-de.txt");
    std::filesystem::remove(languages + "de-de.txt");
    EXPECT_EQ(generate(), std::make_pair(26, std::string("Unable to initialize language table")));
    EXPECT_EQ(manager.GetLastError(), 26);
    for (const std::string& page : kPages) EXPECT_EQ(LinkedIds(Page(page)).count(2), page[0] == 'e' ? 1u : 0u) << page;
    testenv::WriteFile(languages + "de-de.txt", german);
    auto before = PageBytes();
    std::filesystem::remove(archive + "archivebody.db");
    EXPECT_EQ(generate(), std::make_pair(7, std::string("Could not open archive body database")));
    EXPECT_EQ(testenv::Thrown([&] { manager.GenerateThreadPage("sales", nullptr, "en-us"); }).first, 7);
    EXPECT_EQ(PageBytes(), before);
    // A page that cannot take the place of the old one: the pages before it are new, the
    // pages after it old.
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    before = PageBytes();
    Archive(3, testenv::SimpleMessage("Three"));
    std::filesystem::remove(archive + "en-us-date.html");
    testenv::MakeDirs(archive + "en-us-date.html/in-the-way");
    EXPECT_EQ(generate(), std::make_pair(19, std::string("Out of memory.")));
    EXPECT_EQ(LinkedIds(Page("en-us-author.html")).count(3), 1u);
    for (const std::string& page : {kPages[2], kPages[3], kPages[4], kPages[5]})
        EXPECT_EQ(Page(page), before[page]) << page;
    EXPECT_TRUE(NoTemporaries());
}

// Characters on the pages: emoji and Latin-1 headers come out as themselves, references of
// the language strings as the translator wrote them.
TEST_F(ArchivePages, PagesShowTheTextsOwnCharactersAndLanguageStringsAsWritten)
{
    const std::string languages = home.path() + "/web/vubo/languages/dlarchives/de-de.txt";
    std::string de = testenv::ReadFile(languages);
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"(kein Betreff)", "(Betreff &#252;)"},
                                   {"(unbekannter Absender)", "(Absender &#252;)"},
                                   {"(kein Datum)", "(Datum &#252;)"}})
        de.replace(de.find(from), from.size(), to);
    testenv::WriteFile(languages, de);
    const std::string party = "\xF0\x9F\x8E\x89\xF0\x9F\x8E\x89\xF0\x9F\x8E\x89";  // three emoji
    home.WriteMessage("sales", 1, testenv::SimpleMessage("Release " + party + " done", party + " <p@example.org>"));
    home.WriteMessage("sales", 2, testenv::SimpleMessage("Caf\xE9 cr\xE8me \x80", "J\xFCrgen <j@example.org>"));
    home.WriteMessage("sales", 3,
                      testenv::SimpleMessage("Euro \xE2\x82\xAC", "Gr\xC3\xBC\xC3\x9F\xC3\xA9 <g@example.org>"));
    home.WriteMessage("sales", 4, "To: sales@lists.example.org\n\nNo subject, author or date.\n");
    for (uint32_t n = 1; n <= 4; ++n) ASSERT_TRUE(manager.AddArchive(archive.c_str(), n)) << n;
    manager.GenerateIndexPages("sales");
    for (const char* kind : {"thread", "author", "date"}) {
        const std::string page = testenv::ReadFile(archive + "de-de-" + kind + ".html");
        for (const std::string& shown :
             {"Release " + party + " done", party, std::string("Caf\xC3\xA9 cr\xC3\xA8me \xE2\x82\xAC"),
              std::string("J\xC3\xBCrgen"), std::string("Euro &#8364;"), std::string("Gr\xC3\xBC\xC3\x9F\xC3\xA9"),
              std::string("(Betreff &#252;)"), std::string("(Absender &#252;)"), std::string("(Datum &#252;)")})
            EXPECT_NE(page.find(shown), std::string::npos) << kind << ": " << shown;
        EXPECT_EQ(page.find("&amp;#"), std::string::npos) << kind;
        EXPECT_EQ(page.find("&#1998;"), std::string::npos) << kind;
    }
}

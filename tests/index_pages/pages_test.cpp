// The index pages: the fast renderer against the plain passes of the oracle on hand-made
// and generated archives, and the archive manager's listings and page files on real
// relations (locales, atomic replacement, failures that keep the old pages).
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <regex>

#include "dlarchive/dlarchive.h"
#include "index_pages/page_oracle.h"
#include "support/archive_home.h"

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

EnvelopeSummary Message(uint32_t id, const std::string& subject, const std::string& personal = "Ann Lee",
                        const std::string& date = kDate, uint16_t seq = 0)
{
    return {id, seq, subject, date, personal, "ann", "example.org"};
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
    EXPECT_EQ(p.author, oracle::AuthorPage(c, plain.authors, records));
    EXPECT_EQ(p.date, oracle::DatePage(c, plain.dates, records));
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

std::string Line(int id, const std::string& subject, const std::string& tail, const char* sort = "ByThread")
{
    return "<li><a href=\"/vubo/scripts/archivecgi.exe?Command=ShowMessage&mailinglist=sales&nId=" +
           std::to_string(id) + "&sort=" + sort + "&locale=en-us\">" + subject + "</a> - " + tail + " </li>\r\n";
}

// Random archives with everything that trips the listings: reply prefixes in every case,
// repeated and case-variant subjects, replies before their roots, missing texts, names
// with references and refused sequences, encapsulated envelopes.
std::vector<EnvelopeSummary> RandomArchive(std::mt19937& rng, bool repliesOnly)
{
    const std::vector<std::string> topics = {"Agenda", "agenda", "Budget", "Holiday", "Release 2.0", "", "genda"};
    const std::vector<std::string> prefixes = {"", "Re: ", "RE: ", "re: ", "re:", "Re:", "Fwd: ", "Aw: "};
    const std::vector<std::string> names = {"Ann Lee", "ann lee", "", "Euro \xE2\x82\xAC Fan", "J\xC3\xBCrgen", "<b>"};
    const std::vector<std::string> dates = {kDate,
                                            "Mon, 1 Oct 2001 17:30:00 +0000",
                                            "mon, 1 oct 2001 18:00:00 +0000",
                                            "Mon, 01 Oct 2001 09:00",
                                            "",
                                            "Tue, 2 Oct 2001 08:00:00 +0000",
                                            "2 Oct"};
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

TEST(PageRender, ThreadsGroupsAndEscaping)
{
    // Replies nest under the latest root of their subject; "re:Agenda" strips to "genda",
    // no thread, so it is unthreaded with the other reply without a root.
    const auto p = ExpectSamePages(Context(), {Message(1, "Agenda"), Message(2, "Re: Holiday"), Message(3, "re:Agenda"),
                                               Message(4, "RE: agenda", "ann lee"), Message(5, "Re: Holiday", "Bob")});
    const std::string ann = "<em>Ann Lee, </em>" + kDate;
    const auto nested = [](const std::string& line) { return "<ul>" + line.substr(0, line.size() - 2) + "</ul>\r\n"; };
    EXPECT_NE(p.thread.find("<ul>\r\n" + Line(1, "Agenda", ann) + "<ul>\r\n" +
                            Line(4, "RE: agenda", "<em>ann lee, </em>" + kDate) + "</ul>\r\n" +
                            Line(2, "Re: Holiday", ann) + nested(Line(5, "Re: Holiday", "<em>Bob, </em>" + kDate)) +
                            Line(3, "re:Agenda", ann) + "</ul>\r\n"),
              std::string::npos)
        << p.thread;
    EXPECT_NE(p.author.find("<strong>Ann Lee</strong></font>\r\n<ul>\r\n" + Line(1, "Agenda", kDate, "ByAuthor")),
              std::string::npos);
    EXPECT_NE(p.date.find("<strong>Mon, 1 Oct 2001 </strong>"), std::string::npos);
    EXPECT_EQ(p.author.find("<strong>ann lee</strong>"), std::string::npos);  // one group without regard to case
    // Markup in message texts and the list name is escaped on every page, and the list
    // name percent-encoded in every link; a three-byte sequence becomes a reference.
    const auto odd = ExpectSamePages(Context("Zz09-._~@ & <more>"),
                                     {Message(7, "<script>\"x\"", "Euro \xE2\x82\xAC", "<b>Wed</b>")});
    for (const std::string& page : {odd.thread, odd.author, odd.date}) {
        EXPECT_TRUE(page.find("<script>") == std::string::npos && page.find("<b>") == std::string::npos);
        EXPECT_NE(page.find("&lt;script&gt;&quot;x&quot;"), std::string::npos);
        EXPECT_NE(page.find("<font face=\"Arial Black\">Zz09-._~@ &amp; &lt;more&gt;</font>"), std::string::npos);
        EXPECT_EQ(page.find("mailinglist=sales "), std::string::npos);
        const auto count = [&page](const std::string& what) {
            std::size_t n = 0;
            for (std::size_t at = page.find(what); at != std::string::npos; at = page.find(what, at + 1)) ++n;
            return n;
        };
        EXPECT_EQ(count("mailinglist=Zz09-._~@%20%26%20%3Cmore%3E&"), count("mailinglist="));
        EXPECT_GE(count("mailinglist="), 2u);
    }
    EXPECT_NE(odd.author.find("<strong>Euro &#8364;</strong>"), std::string::npos);
}

TEST(PageRender, GeneratedArchivesMatchThePlainPassesAndListEveryMessage)
{
    std::mt19937 rng(20261206);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto records = RandomArchive(rng, round % 10 == 9);
        PageContext c = Context();
        if (round % 3 == 0) c.strings.noSubject = "";  // the date becomes the link text
        const Pages p = ExpectSamePages(c, records);
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
    const std::vector<std::pair<std::string, std::string>> messages = {
        {"Re: Plan", "Ann Lee <ann@example.org>"},
        {"Plan", "bob@example.net"},
        {"Minutes", "ANN LEE <ann@example.org>"},
        {"<b>Budget</b> & \"more\"", "Ann Lee <ann@example.org>"},
        {"re: plan", "Ann Lee <ann@example.org>"}};
    std::vector<EnvelopeSummary> records;
    for (uint32_t n = 1; n <= messages.size(); ++n) {
        Archive(n, testenv::SimpleMessage(messages[n - 1].first, messages[n - 1].second));
        const std::string& from = messages[n - 1].second;
        const bool named = from.find(" <") != std::string::npos;
        const std::string address = named ? from.substr(from.find('<') + 1, from.size() - from.find('<') - 2) : from;
        records.push_back({n, 0, messages[n - 1].first, kDate, named ? from.substr(0, from.find(" <")) : "",
                           address.substr(0, address.find('@')), address.substr(address.find('@') + 1)});
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
    const std::string german = Page("de-de-thread.html");
    EXPECT_NE(german.find("<title>Archiv nach Thema</title>"), std::string::npos);
    EXPECT_NE(german.find("mailinglist=sales&locale=de-de\">Nach Datum</a>"), std::string::npos);
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
    EXPECT_EQ(Page("en-us-thread.html"), ExpectSamePages(Context(), {Message(1, "Agenda")}).thread);
    EXPECT_TRUE(write("").empty());
    EXPECT_TRUE(write("[Language Selection]\n").empty());
    EXPECT_FALSE(testenv::Exists(archive + "en-us-date.html"));
}

TEST_F(ArchivePages, ReadersNeverSeeAPartialPage)
{
    constexpr uint32_t kStart = 20, kMore = 30;
    for (uint32_t n = 1; n <= kStart + kMore; ++n) {
        const std::string message = testenv::SimpleMessage((n % 3 ? "Topic " : "Re: Topic ") + std::to_string(n % 7),
                                                           "W" + std::to_string(n % 5) + " <w@example.org>");
        if (n <= kStart)
            Archive(n, message);
        else
            home.WriteMessage("sales", n, message);
    }
    manager.GenerateIndexPages("sales");
    const pid_t writer = testenv::Spawn([&] {  // each round the pages grow by one message
        CDlArchive own("writer");
        own.SetListName("sales");
        own.GetArchivePath();
        int failures = 0;
        for (uint32_t n = kStart + 1; n <= kStart + kMore; ++n) {
            failures += !own.AddArchive(archive.c_str(), n);
            own.GenerateIndexPages("sales");
        }
        return failures;
    });
    int reads = 0, bad = 0, status = 0;
    for (bool running = true; running;) {
        running = waitpid(writer, &status, WNOHANG) == 0;  // one last round after the writer ended
        for (const std::string& page : kPages) {
            const std::string text = Page(page);
            ++reads;
            bad += !(text.rfind("Content-type: text/html\r\n\r\n", 0) == 0 && text.size() >= 9 &&
                     text.compare(text.size() - 9, 9, "</html>\r\n") == 0);
        }
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_TRUE(NoTemporaries());
    for (const std::string& page : kPages) EXPECT_EQ(LinkedIds(Page(page)).size(), kStart + kMore) << page;
}

TEST_F(ArchivePages, FailedGenerationKeepsTheOldPages)
{
    const std::string languages = home.path() + "/web/vubo/languages/dlarchives/";
    const std::string english = testenv::ReadFile(languages + "en-us.txt");
    const auto generate = [&] { return testenv::Thrown([&] { manager.GenerateIndexPages("sales"); }); };
    Archive(1, testenv::SimpleMessage("One"));
    manager.GenerateIndexPages("sales");
    auto before = PageBytes();
    Archive(2, testenv::SimpleMessage("Two"));  // pages written now would list message 2
    // The language table is opened first: it is what gets reported when both fail.
    std::filesystem::remove(languages + "de-de.txt");
    EXPECT_EQ(generate(), std::make_pair(26, std::string("Unable to initialize language table")));
    EXPECT_EQ(manager.GetLastError(), 26);
    for (const std::string& page : kPages)  // the locales before the failing one are written
        EXPECT_EQ(LinkedIds(Page(page)).count(2), page[0] == 'e' ? 1u : 0u) << page;
    testenv::WriteFile(languages + "de-de.txt", english);
    manager.GenerateIndexPages("sales");
    before = PageBytes();
    Archive(3, testenv::SimpleMessage("Three"));
    std::filesystem::remove(archive + "archiveenv.db");  // a new file: no connection kept for reuse sees it
    testenv::WriteFile(archive + "archiveenv.db", std::string(6000, 'g'));
    EXPECT_EQ(generate(), std::make_pair(1, std::string("Could not open archive envelope database")));
    ms *authors = nullptr, *dates = nullptr, *threads = nullptr;
    EXPECT_EQ(testenv::Thrown([&] { manager.SortArchiveRecords("sales", &authors, &dates, &threads, "en-us"); }).first,
              1);
    EXPECT_TRUE(authors == nullptr && dates == nullptr && threads == nullptr);
    std::filesystem::remove(languages + "en-us.txt");
    EXPECT_EQ(generate().first, 26);
    EXPECT_EQ(testenv::Thrown([&] { manager.GenerateAuthorPage("sales", nullptr, "en-us"); }).first, 26);
    testenv::WriteFile(languages + "en-us.txt", english);
    EXPECT_EQ(PageBytes(), before);
    EXPECT_TRUE(NoTemporaries());
    // A page that cannot take the place of the old one: the pages before it are new, the
    // pages after it old.
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    before = PageBytes();
    Archive(4, testenv::SimpleMessage("Four"));
    std::filesystem::remove(archive + "en-us-date.html");
    testenv::MakeDirs(archive + "en-us-date.html/in-the-way");
    EXPECT_EQ(generate(), std::make_pair(19, std::string("Out of memory.")));
    EXPECT_EQ(LinkedIds(Page("en-us-author.html")).count(4), 1u);
    for (const std::string& page : {kPages[2], kPages[3], kPages[4], kPages[5]})
        EXPECT_EQ(Page(page), before[page]) << page;
    EXPECT_TRUE(NoTemporaries());
    std::filesystem::remove_all(archive + "en-us-date.html");
    manager.GenerateIndexPages("sales");
    before = PageBytes();
    Archive(5, testenv::SimpleMessage("Five"));
    std::filesystem::remove(archive + "archivebody.db");
    EXPECT_EQ(generate(), std::make_pair(7, std::string("Could not open archive body database")));
    EXPECT_EQ(testenv::Thrown([&] { manager.GenerateThreadPage("sales", nullptr, "en-us"); }).first, 7);
    EXPECT_EQ(PageBytes(), before);
}

// The archive manager's listings and index pages on real relations, filled by the intake
// of message files.
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "dlarchive/dlarchive.h"
#include "index_pages/page_expect.h"
#include "support/archive_home.h"

using namespace pageexpect;

namespace {

const std::string kDate = "Mon, 1 Oct 2001 09:00:00 +0000";
const std::vector<std::string> kPages = {"en-us-author.html", "en-us-date.html", "en-us-thread.html",
                                         "de-de-author.html", "de-de-date.html", "de-de-thread.html"};

// Bob forwards a message of Carol's as an attachment.
std::string Forward(const std::string& innerFrom, const std::string& innerSubject, const std::string& innerDate)
{
    return testenv::SimpleMessage("Fwd: " + innerSubject, "Bob <bob@example.org>", "Tue, 2 Oct 2001 10:00:00 +0000",
                                  "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"outer\"\n",
                                  "--outer\nContent-Type: text/plain\n\nSee below.\n"
                                  "--outer\nContent-Type: message/rfc822\n\n"
                                  "From: " +
                                      innerFrom + "\nSubject: " + innerSubject + "\nDate: " + innerDate +
                                      "\n\nThe text.\n--outer--\n");
}

// The three chains of a listing, released with the object.
struct Chains {
    ms* authors = nullptr;
    ms* dates = nullptr;
    ms* threads = nullptr;
    ~Chains()
    {
        freeStringChain(authors);
        freeStringChain(dates);
        freeStringChain(threads);
    }
};

std::vector<std::string> Texts(const ms* chain)
{
    std::vector<std::string> texts;
    for (; chain != nullptr; chain = chain->next) texts.emplace_back(chain->text);
    return texts;
}

// Names of the files a directory holds whose names contain `part`.
std::vector<std::string> FilesContaining(const std::string& dir, const std::string& part)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.find(part) != std::string::npos) names.push_back(name);
    }
    return names;
}

// A nested line of an unthreaded group: the whole line item inside its own list.
std::string NestedThreadLine(int id, const std::string& subject, const std::string& author, const std::string& date)
{
    const std::string line = ThreadLine(id, subject, author, date);
    return "<ul>" + line.substr(0, line.size() - 2) + "</ul>\r\n";
}

struct ArchivePages : testenv::SalesList {
    void Archive(uint32_t number, const std::string& content)
    {
        home.WriteMessage("sales", number, content);
        ASSERT_TRUE(manager.AddArchive(archive.c_str(), number)) << number;
    }

    std::string Page(const std::string& name) { return testenv::ReadFile(archive + name); }

    // The configuration with the given "Language Selection" lines (no section when empty).
    void WriteLanguages(const std::string& selection)
    {
        home.config().Write("[DlManager]\nDbPath=" + home.path() + "\n[Config]\nWebAdminDirectory=" + home.path() +
                            "/web\n" + selection + "[Gateway]\nLogDirectory=" + home.path() + "/log\n");
    }

    // The code and text of the exception a call must throw.
    template <typename Call>
    std::pair<int, std::string> Failure(Call call)
    {
        try {
            call();
        } catch (const CDlArchiveException& e) {
            return {e.GetLastError(), e.GetLastErrorMsg()};
        }
        ADD_FAILURE() << "no exception";
        return {0, ""};
    }

    std::map<std::string, std::string> PageBytes()
    {
        std::map<std::string, std::string> bytes;
        for (const std::string& page : kPages) bytes[page] = Page(page);
        return bytes;
    }
};

// The names of the files renamed into a directory while `run` runs, in order.
template <typename Run>
std::vector<std::string> RenamedInto(const std::string& dir, Run run)
{
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_GE(inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO), 0);
    run();
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0) names.emplace_back(event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    close(fd);
    return names;
}

}  // namespace

TEST_F(ArchivePages, ThreadExampleEndToEnd)
{
    const std::vector<std::string> subjects = {"Agenda", "Re: Agenda", "Budget", "RE: Agenda", "Re: Budget"};
    for (uint32_t n = 1; n <= subjects.size(); ++n) Archive(n, testenv::SimpleMessage(subjects[n - 1]));
    manager.GenerateIndexPages("sales");

    const std::string thread =
        Head("Archive by thread") + kThreadNav + ThreadLine(1, "Agenda", "Ann Lee", kDate) + "<ul>\r\n" +
        ThreadLine(2, "Re: Agenda", "Ann Lee", kDate) + "</ul>\r\n" + "<ul>\r\n" +
        ThreadLine(4, "RE: Agenda", "Ann Lee", kDate) + "</ul>\r\n" + ThreadLine(3, "Budget", "Ann Lee", kDate) +
        "<ul>\r\n" + ThreadLine(5, "Re: Budget", "Ann Lee", kDate) + "</ul>\r\n" + "</ul>\r\n" + Tail("thread.htm");
    EXPECT_EQ(Page("en-us-thread.html"), thread);

    std::string author = Head("Archive by author") + kAuthorNav + Group("Ann Lee");
    std::string date = Head("Archive by date") + kDateNav + Group("Mon, 1 Oct 2001 ");
    for (int n = 1; n <= 5; ++n) {
        author += AuthorLine(n, subjects[n - 1], kDate);
        date += DateLine(n, subjects[n - 1], "Ann Lee");
    }
    EXPECT_EQ(Page("en-us-author.html"), author + "</ul>\r\n" + Tail("author.htm"));
    EXPECT_EQ(Page("en-us-date.html"), date + "</ul>\r\n" + Tail("date.htm"));

    // The German pages: their own texts and keys, the same messages.
    const std::string german = Page("de-de-thread.html");
    EXPECT_NE(german.find("<title>Archiv nach Thema</title>"), std::string::npos);
    EXPECT_NE(german.find("Command=GetDateIndex&mailinglist=sales&locale=de-de\">Nach Datum</a>"), std::string::npos);
    EXPECT_NE(german.find("/vubo/help/dl/de-de/archive/thread.htm"), std::string::npos);
    EXPECT_EQ(LinkedIds(german), LinkedIds(thread));
}

TEST_F(ArchivePages, SortArchiveRecordsFillsTheThreeChains)
{
    {
        // An empty relation.
        Chains c;
        EXPECT_TRUE(manager.SortArchiveRecords("sales", &c.authors, &c.dates, &c.threads, "en-us"));
        EXPECT_EQ(c.authors, nullptr);
        EXPECT_EQ(c.dates, nullptr);
        EXPECT_EQ(c.threads, nullptr);
    }
    Archive(1, testenv::SimpleMessage("Agenda", "Ann Lee <ann@example.org>", kDate));
    Archive(2, testenv::SimpleMessage("Re: Agenda", "ann lee <ann@example.org>", "Mon, 1 Oct 2001 17:30:00 +0000"));
    Archive(3, testenv::SimpleMessage("RE: Agenda", "Ann Lee <ann@example.org>", "Mon, 01 Oct 2001 09:00"));
    Archive(4, testenv::SimpleMessage("Agenda", "bob@example.net", "Tue, 2 Oct 2001 08:00:00 +0000"));
    Archive(5, "To: sales@lists.example.org\n\nNo sender, date or subject.\n");
    // The forwarded message's own envelope (Carol, another day, "Plan") counts nowhere.
    Archive(6, Forward("Carol <carol@example.net>", "Plan", "Sun, 30 Sep 2001 08:00:00 +0000"));
    Archive(7, testenv::SimpleMessage("re:Agenda", "Bob <bob@example.org>", "(no date) given"));

    Chains c;
    EXPECT_TRUE(manager.SortArchiveRecords("ignored", &c.authors, &c.dates, &c.threads, "en-us"));
    EXPECT_EQ(Texts(c.authors), (std::vector<std::string>{"Ann Lee", "bob@example.net", "(unknown author)", "Bob"}));
    EXPECT_EQ(Texts(c.dates), (std::vector<std::string>{"Mon, 1 Oct 2001 ", "Mon, 01 Oct 2001", "Tue, 2 Oct 2001 ",
                                                        "(no date)", "(no date) given"}));
    EXPECT_EQ(Texts(c.threads), (std::vector<std::string>{"Agenda", "Agenda", "(no subject)", "Fwd: Plan"}));

    Chains german;
    EXPECT_TRUE(manager.SortArchiveRecords("sales", &german.authors, &german.dates, &german.threads, "de-de"));
    EXPECT_EQ(Texts(german.authors)[2], "(unbekannter Absender)");
    EXPECT_EQ(Texts(german.dates)[3], "(kein Datum)");
    EXPECT_EQ(Texts(german.threads)[2], "(kein Betreff)");
}

TEST_F(ArchivePages, SixPagesInOrderForEveryLocale)
{
    // An archive without messages still gets every page.
    const auto order = RenamedInto(archive, [&] { manager.GenerateIndexPages("sales"); });
    EXPECT_EQ(order, kPages);
    EXPECT_EQ(Page("en-us-thread.html"), Head("Archive by thread") + kThreadNav + "</ul>\r\n" + Tail("thread.htm"));
    EXPECT_EQ(Page("en-us-author.html"), Head("Archive by author") + kAuthorNav + Tail("author.htm"));
    EXPECT_EQ(Page("en-us-date.html"), Head("Archive by date") + kDateNav + Tail("date.htm"));
    for (const std::string& page : kPages) {
        const std::string text = Page(page);
        EXPECT_EQ(text.rfind("Content-type: text/html\r\n\r\n", 0), 0u) << page;
        EXPECT_EQ(text.find("nId="), std::string::npos) << page;
    }
    EXPECT_NE(Page("de-de-author.html").find("<title>Archiv nach Absender</title>"), std::string::npos);

    // A locale whose selection has fewer than two commas writes the English pages.
    Archive(1, testenv::SimpleMessage("Agenda"));
    for (const std::string& page : kPages) std::filesystem::remove(archive + page);
    WriteLanguages("[Language Selection]\nfr-fr=Francais,utf-8\nen-us=English,utf-8,en-us.txt\n");
    const auto english = RenamedInto(archive, [&] { manager.GenerateIndexPages("sales"); });
    EXPECT_EQ(english, (std::vector<std::string>{"en-us-author.html", "en-us-date.html", "en-us-thread.html",
                                                 "en-us-author.html", "en-us-date.html", "en-us-thread.html"}));
    EXPECT_TRUE(FilesContaining(archive, "fr-fr").empty());
    EXPECT_TRUE(FilesContaining(archive, "de-de").empty());
    EXPECT_EQ(Page("en-us-thread.html"), Head("Archive by thread") + kThreadNav +
                                             ThreadLine(1, "Agenda", "Ann Lee", kDate) + "</ul>\r\n" +
                                             Tail("thread.htm"));

    // No section, or an empty one: nothing written, no failure.
    for (const std::string& selection : {std::string(), std::string("[Language Selection]\n")}) {
        for (const std::string& page : kPages) std::filesystem::remove(archive + page);
        WriteLanguages(selection);
        const auto none = RenamedInto(archive, [&] { manager.GenerateIndexPages("sales"); });
        EXPECT_TRUE(none.empty());
        EXPECT_TRUE(FilesContaining(archive, ".html").empty());
    }
}

TEST_F(ArchivePages, EncapsulatedEnvelopesOnlyOnTheAuthorPage)
{
    Archive(1, testenv::SimpleMessage("Plan", "Carol <carol@example.net>", kDate));
    // Carol's message forwarded by Bob: the attached envelope is Carol's again, of another day.
    const std::string innerDate = "Sun, 30 Sep 2001 08:00:00 +0000";
    Archive(2, Forward("Carol <carol@example.net>", "Plan", innerDate));
    manager.GenerateIndexPages("sales");

    const std::string outerDate = "Tue, 2 Oct 2001 10:00:00 +0000";
    EXPECT_EQ(Page("en-us-author.html"), Head("Archive by author") + kAuthorNav + Group("Carol") +
                                             AuthorLine(1, "Plan", kDate) + AuthorLine(2, "Plan", innerDate) +
                                             "</ul>\r\n" + Group("Bob") + AuthorLine(2, "Fwd: Plan", outerDate) +
                                             "</ul>\r\n" + Tail("author.htm"));
    EXPECT_EQ(Page("en-us-thread.html"),
              Head("Archive by thread") + kThreadNav + ThreadLine(1, "Plan", "Carol", kDate) +
                  ThreadLine(2, "Fwd: Plan", "Bob", outerDate) + "</ul>\r\n" + Tail("thread.htm"));
    EXPECT_EQ(Page("en-us-date.html"), Head("Archive by date") + kDateNav + Group("Mon, 1 Oct 2001 ") +
                                           DateLine(1, "Plan", "Carol") + "</ul>\r\n" + Group("Tue, 2 Oct 2001 ") +
                                           DateLine(2, "Fwd: Plan", "Bob") + "</ul>\r\n" + Tail("date.htm"));
    EXPECT_EQ(Page("de-de-date.html").find("Sun, 30 Sep"), std::string::npos);
    EXPECT_EQ(LinkedIds(Page("de-de-author.html")), (std::map<uint32_t, int>{{1, 1}, {2, 2}}));
}

TEST_F(ArchivePages, ReadersNeverSeeAPartialPage)
{
    constexpr uint32_t kStart = 20, kMore = 30;
    for (uint32_t n = 1; n <= kStart + kMore; ++n) {
        const std::string message =
            testenv::SimpleMessage((n % 3 == 0 ? "Re: Topic " : "Topic ") + std::to_string(n % 7),
                                   "Writer " + std::to_string(n % 5) + " <w" + std::to_string(n % 5) + "@example.org>");
        if (n <= kStart)
            Archive(n, message);
        else
            home.WriteMessage("sales", n, message);
    }
    manager.GenerateIndexPages("sales");

    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        // Each round the pages grow by one message.
        int failures = 0;
        try {
            CDlArchive own("writer");
            own.SetListName("sales");
            own.GetArchivePath();
            for (uint32_t n = kStart + 1; n <= kStart + kMore; ++n) {
                if (!own.AddArchive(archive.c_str(), n)) ++failures;
                own.GenerateIndexPages("sales");
            }
        } catch (const CDlArchiveException&) {
            ++failures;
        }
        _exit(failures == 0 ? 0 : 1);
    }
    int reads = 0, bad = 0, status = 0;
    std::string firstBad;
    for (bool running = true; running;) {
        // One last round after the writer has ended.
        running = waitpid(writer, &status, WNOHANG) == 0;
        for (const std::string& page : kPages) {
            const std::string text = Page(page);
            ++reads;
            const bool whole = text.rfind("Content-type: text/html\r\n\r\n", 0) == 0 && text.size() >= 9 &&
                               text.compare(text.size() - 9, 9, "</html>\r\n") == 0;
            if (!whole && bad++ == 0) firstBad = page + ": " + std::to_string(text.size()) + " bytes";
        }
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(bad, 0) << "of " << reads << " reads; first " << firstBad;
    EXPECT_GT(reads, static_cast<int>(kPages.size()));
    EXPECT_TRUE(FilesContaining(archive, ".tmp").empty());
    for (const std::string& page : kPages) EXPECT_EQ(LinkedIds(Page(page)).size(), kStart + kMore) << page;
}

TEST_F(ArchivePages, FailedGenerationKeepsTheOldPages)
{
    Archive(1, testenv::SimpleMessage("One"));
    Archive(2, testenv::SimpleMessage("Two"));
    manager.GenerateIndexPages("sales");
    auto before = PageBytes();
    // Pages written now would list message 3.
    Archive(3, testenv::SimpleMessage("Three"));
    const auto noTemporaries = [&] { EXPECT_TRUE(FilesContaining(archive, ".tmp").empty()); };

    // A language table that does not open.
    const std::string languages = home.path() + "/web/vubo/languages/dlarchives/";
    const std::string english = testenv::ReadFile(languages + "en-us.txt");
    const std::string german = testenv::ReadFile(languages + "de-de.txt");
    std::filesystem::remove(languages + "en-us.txt");
    EXPECT_EQ(Failure([&] { manager.GenerateIndexPages("sales"); }),
              std::make_pair(26, std::string("Unable to initialize language table")));
    EXPECT_EQ(manager.GetLastError(), 26);
    EXPECT_EQ(PageBytes(), before);
    noTemporaries();
    // The pages of the locales before the failing one are written; those after it stay.
    testenv::WriteFile(languages + "en-us.txt", english);
    std::filesystem::remove(languages + "de-de.txt");
    EXPECT_EQ(Failure([&] { manager.GenerateIndexPages("sales"); }).first, 26);
    for (const std::string& page : kPages) {
        const bool written = page.rfind("en-us", 0) == 0;
        EXPECT_EQ(Page(page) == before[page], !written) << page;
        EXPECT_EQ(LinkedIds(Page(page)).count(3), written ? 1u : 0u) << page;
    }
    noTemporaries();
    testenv::WriteFile(languages + "de-de.txt", german);
    manager.GenerateIndexPages("sales");
    before = PageBytes();
    Archive(4, testenv::SimpleMessage("Four"));

    // An envelope relation that is garbage.
    std::filesystem::remove(archive + "archiveenv.db");
    testenv::WriteFile(archive + "archiveenv.db", std::string(6000, 'g'));
    EXPECT_EQ(Failure([&] { manager.GenerateIndexPages("sales"); }),
              std::make_pair(1, std::string("Could not open archive envelope database")));
    EXPECT_EQ(manager.GetLastError(), 1);
    Chains c;
    EXPECT_EQ(Failure([&] { manager.SortArchiveRecords("sales", &c.authors, &c.dates, &c.threads, "en-us"); }).first,
              1);
    // With the language table failing as well, the table is what gets reported: it is
    // opened before the relations.
    std::filesystem::remove(languages + "en-us.txt");
    EXPECT_EQ(Failure([&] { manager.GenerateIndexPages("sales"); }),
              std::make_pair(26, std::string("Unable to initialize language table")));
    EXPECT_EQ(manager.GetLastError(), 26);
    EXPECT_EQ(Failure([&] { manager.SortArchiveRecords("sales", &c.authors, &c.dates, &c.threads, "en-us"); }).first,
              26);
    EXPECT_EQ(Failure([&] { manager.GenerateAuthorPage("sales", nullptr, "en-us"); }).first, 26);
    testenv::WriteFile(languages + "en-us.txt", english);
    EXPECT_EQ(PageBytes(), before);
    noTemporaries();

    // A page that cannot take the place of the old one: the page before it is new, the
    // pages after it are old.
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    before = PageBytes();
    EXPECT_EQ(LinkedIds(before["de-de-date.html"]).size(), 4u);
    Archive(5, testenv::SimpleMessage("Five"));
    std::filesystem::remove(archive + "en-us-date.html");
    testenv::MakeDirs(archive + "en-us-date.html/in-the-way");
    EXPECT_EQ(Failure([&] { manager.GenerateIndexPages("sales"); }), std::make_pair(19, std::string("Out of memory.")));
    EXPECT_EQ(LinkedIds(Page("en-us-author.html")).count(5), 1u);
    for (const std::string& page : kPages) {
        if (page != "en-us-author.html" && page != "en-us-date.html") {
            EXPECT_EQ(Page(page), before[page]) << page;
        }
    }
    noTemporaries();
    std::filesystem::remove_all(archive + "en-us-date.html");
    manager.GenerateIndexPages("sales");
    before = PageBytes();
    Archive(6, testenv::SimpleMessage("Six"));

    // A body relation that is missing.
    std::filesystem::remove(archive + "archivebody.db");
    EXPECT_EQ(Failure([&] { manager.GenerateIndexPages("sales"); }),
              std::make_pair(7, std::string("Could not open archive body database")));
    EXPECT_EQ(Failure([&] { manager.GenerateThreadPage("sales", nullptr, "en-us"); }).first, 7);
    EXPECT_EQ(Failure([&] { manager.SortArchiveRecords("sales", &c.authors, &c.dates, &c.threads, "en-us"); }).first,
              7);
    EXPECT_EQ(c.authors, nullptr);
    EXPECT_EQ(PageBytes(), before);
    noTemporaries();
}

TEST_F(ArchivePages, RebuildWritesThePagesAgain)
{
    for (uint32_t n = 1; n <= 3; ++n)
        home.WriteMessage("sales", n, testenv::SimpleMessage("Topic " + std::to_string(n)));
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    for (const std::string& page : kPages) std::filesystem::remove(archive + page);
    home.WriteMessage("sales", 4, testenv::SimpleMessage("Topic 4"));
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    for (const std::string& page : kPages)
        EXPECT_EQ(LinkedIds(Page(page)), (std::map<uint32_t, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}})) << page;
    EXPECT_EQ(Page("en-us-thread.html"),
              Head("Archive by thread") + kThreadNav + ThreadLine(1, "Topic 1", "Ann Lee", kDate) +
                  ThreadLine(2, "Topic 2", "Ann Lee", kDate) + ThreadLine(3, "Topic 3", "Ann Lee", kDate) +
                  ThreadLine(4, "Topic 4", "Ann Lee", kDate) + "</ul>\r\n" + Tail("thread.htm"));
}

TEST_F(ArchivePages, EveryMessageIsListedOnEveryPage)
{
    const std::string bob = "Bob <bob@example.org>";
    const std::string lateDate = "mon, 1 oct 2001 18:00:00 +0000";
    const std::string markup = "<b>Budget</b> & \"more\"";
    const std::string escaped = "&lt;b&gt;Budget&lt;/b&gt; &amp; &quot;more&quot;";
    // number, subject, from, date
    const std::vector<std::tuple<int, std::string, std::string, std::string>> messages = {
        {1, "Re: Plan", "Ann Lee <ann@example.org>", kDate},  // a reply before its root
        {2, "Plan", bob, kDate},
        {3, "Minutes", "Ann Lee <ann@example.org>", kDate},         // a subject twice: two roots
        {4, "Minutes", "ANN LEE <ann@example.org>", kDate},         // an author in other case
        {5, "re: plan", "ann lee <ann@example.org>", kDate},        // a reply in other case
        {6, "Re: Minutes", "Ann Lee <ann@example.org>", kDate},     // goes to the latest root before it
        {7, "Re: Holiday", "Ann Lee <ann@example.org>", kDate},     // no root: unthreaded
        {8, "RE: holiday", "Ann Lee <ann@example.org>", kDate},     // unthreaded, grouped with 7
        {9, "Re: minutes", "Ann Lee <ann@example.org>", lateDate},  // a date in other case
        {10, markup, "Ann Lee <ann@example.org>", kDate},
    };
    for (const auto& [n, subject, from, date] : messages) Archive(n, testenv::SimpleMessage(subject, from, date));
    manager.GenerateIndexPages("sales");

    const auto line = [&](int n) {
        const auto& [id, subject, from, date] = messages[n - 1];
        return ThreadLine(id, subject == markup ? escaped : subject, from.substr(0, from.find(" <")), date);
    };
    const auto reply = [&](int n) { return "<ul>\r\n" + line(n) + "</ul>\r\n"; };
    const std::string thread = Head("Archive by thread") + kThreadNav + line(2) + reply(1) + reply(5) + line(3) +
                               line(4) + reply(6) + reply(9) + line(10) + line(7) +
                               NestedThreadLine(8, "RE: holiday", "Ann Lee", kDate) + "</ul>\r\n" + Tail("thread.htm");
    EXPECT_EQ(Page("en-us-thread.html"), thread);

    std::string author = Head("Archive by author") + kAuthorNav + Group("Ann Lee");
    for (const auto& [n, subject, from, date] : messages)
        if (from != bob) author += AuthorLine(n, subject == markup ? escaped : subject, date);
    author += "</ul>\r\n" + Group("Bob") + AuthorLine(2, "Plan", kDate) + "</ul>\r\n" + Tail("author.htm");
    EXPECT_EQ(Page("en-us-author.html"), author);

    std::string date = Head("Archive by date") + kDateNav + Group("Mon, 1 Oct 2001 ");
    for (const auto& [n, subject, from, when] : messages)
        date += DateLine(n, subject == markup ? escaped : subject, from.substr(0, from.find(" <")));
    EXPECT_EQ(Page("en-us-date.html"), date + "</ul>\r\n" + Tail("date.htm"));

    std::map<uint32_t, int> once;
    for (uint32_t n = 1; n <= messages.size(); ++n) once[n] = 1;
    for (const std::string& page : kPages) {
        EXPECT_EQ(LinkedIds(Page(page)), once) << page;
        EXPECT_EQ(Page(page).find("<b>"), std::string::npos) << page;
    }

    // Only replies: the thread chain is empty and every message is unthreaded.
    testenv::ArchiveHome other;
    const std::string replies = other.CreateList("sales");
    CDlArchive own;
    own.SetListName("sales");
    own.GetArchivePath();
    int n = 0;
    for (const char* subject : {"Re: A", "Re: B", "re: a"}) {
        other.WriteMessage("sales", ++n, testenv::SimpleMessage(subject));
        ASSERT_TRUE(own.AddArchive(replies.c_str(), n));
    }
    own.GenerateIndexPages("sales");
    EXPECT_EQ(testenv::ReadFile(replies + "en-us-thread.html"),
              Head("Archive by thread") + kThreadNav + ThreadLine(1, "Re: A", "Ann Lee", kDate) +
                  NestedThreadLine(3, "re: a", "Ann Lee", kDate) + ThreadLine(2, "Re: B", "Ann Lee", kDate) +
                  "</ul>\r\n" + Tail("thread.htm"));
}

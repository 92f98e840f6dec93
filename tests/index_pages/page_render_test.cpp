#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "index_pages/page_expect.h"
#include "index_pages/page_oracle.h"
#include "index_pages/page_render.h"

using namespace dlarchive::pages;
using namespace pageexpect;

namespace {

PageStrings English()
{
    PageStrings s;
    s.help = "Help";
    s.dateIndex = "By date";
    s.authorIndex = "By author";
    s.threadIndex = "By thread";
    s.noSubject = "(no subject)";
    s.authorTitle = "Archive by author";
    s.noAuthor = "(unknown author)";
    s.noDate = "(no date)";
    s.dateTitle = "Archive by date";
    s.threadTitle = "Archive by thread";
    return s;
}

PageContext Context(const std::string& list = "sales")
{
    return PageContext{list, "en-us", English()};
}

EnvelopeSummary Message(uint32_t id, const std::string& subject,
                        const std::string& date = "Mon, 1 Oct 2001 09:00:00 +0000",
                        const std::string& personal = "Ann Lee", const std::string& mailbox = "ann",
                        const std::string& host = "example.org")
{
    return EnvelopeSummary{id, 0, subject, date, personal, mailbox, host};
}

// Every page three ways: the fast renderer, the plain passes, and (where given) by hand.
void ExpectSamePages(const PageContext& c, const std::vector<EnvelopeSummary>& records)
{
    const Listings fast = BuildListings(records, c.strings);
    const oracle::Listings plain = oracle::SortRecords(records, c);
    ASSERT_EQ(fast.authors, plain.authors);
    ASSERT_EQ(fast.dates, plain.dates);
    ASSERT_EQ(fast.threads, plain.threads);
    ASSERT_EQ(RenderThreadPage(c, fast.threads, records), oracle::ThreadPage(c, plain.threads, records));
    ASSERT_EQ(RenderAuthorPage(c, fast.authors, records), oracle::AuthorPage(c, plain.authors, records));
    ASSERT_EQ(RenderDatePage(c, fast.dates, records), oracle::DatePage(c, plain.dates, records));
}

}  // namespace

TEST(ThreadPage, RepliesNestUnderTheirRoots)
{
    const std::string date = "Mon, 1 Oct 2001 09:00:00 +0000";
    const std::vector<EnvelopeSummary> records = {Message(1, "Agenda"), Message(2, "Re: Agenda"), Message(3, "Budget"),
                                                  Message(4, "RE: Agenda"), Message(5, "Re: Budget")};
    const PageContext c = Context();
    const Listings l = BuildListings(records, c.strings);
    EXPECT_EQ(l.threads, (std::vector<std::string>{"Agenda", "Budget"}));
    const std::string expected =
        Head("Archive by thread") + kThreadNav + ThreadLine(1, "Agenda", "Ann Lee", date) + "<ul>\r\n" +
        ThreadLine(2, "Re: Agenda", "Ann Lee", date) + "</ul>\r\n" + "<ul>\r\n" +
        ThreadLine(4, "RE: Agenda", "Ann Lee", date) + "</ul>\r\n" + ThreadLine(3, "Budget", "Ann Lee", date) +
        "<ul>\r\n" + ThreadLine(5, "Re: Budget", "Ann Lee", date) + "</ul>\r\n" + "</ul>\r\n" + Tail("thread.htm");
    EXPECT_EQ(RenderThreadPage(c, l.threads, records), expected);
    ExpectSamePages(c, records);
}

TEST(ThreadPage, UnthreadedRepliesComeAfterTheThreads)
{
    const std::string date = "Mon, 1 Oct 2001 09:00:00 +0000";
    const std::vector<EnvelopeSummary> records = {Message(1, "Agenda"), Message(2, "Re: Holiday"),
                                                  Message(3, "re:Agenda"), Message(4, "Re: Holiday")};
    const PageContext c = Context();
    const Listings l = BuildListings(records, c.strings);
    // "re:Agenda" strips to "genda", which is no thread: it is unthreaded too.
    const std::string nested = "<ul>" + ThreadLine(4, "Re: Holiday", "Ann Lee", date);
    const std::string expected = Head("Archive by thread") + kThreadNav + ThreadLine(1, "Agenda", "Ann Lee", date) +
                                 ThreadLine(2, "Re: Holiday", "Ann Lee", date) + nested.substr(0, nested.size() - 2) +
                                 "</ul>\r\n" + ThreadLine(3, "re:Agenda", "Ann Lee", date) + "</ul>\r\n" +
                                 Tail("thread.htm");
    EXPECT_EQ(RenderThreadPage(c, l.threads, records), expected);
    ExpectSamePages(c, records);
}

TEST(AuthorAndDatePages, GroupsInFirstSeenOrder)
{
    std::vector<EnvelopeSummary> records = {
        Message(1, "Plan", "Fri, 28 Sep 2001 10:00:00 +0200", "Ann Lee", "ann", "example.org"),
        Message(2, "Numbers", "Sat, 29 Sep 2001 08:00:00 +0200", "", "bob", "example.net"),
        Message(3, "Re: Plan", "Fri, 28 Sep 2001 23:59:00 +0200", "ann lee", "ann", "example.org"),
    };
    const PageContext c = Context();
    const Listings l = BuildListings(records, c.strings);
    EXPECT_EQ(l.authors, (std::vector<std::string>{"Ann Lee", "bob@example.net"}));
    EXPECT_EQ(l.dates, (std::vector<std::string>{"Fri, 28 Sep 2001", "Sat, 29 Sep 2001"}));

    const auto authorLine = [](int id, const std::string& subject, const std::string& date) {
        return "<li><a href=\"/vubo/scripts/archivecgi.exe?Command=ShowMessage&mailinglist=sales&nId=" +
               std::to_string(id) + "&sort=ByAuthor&locale=en-us\">" + subject + "</a> - " + date + " </li>\r\n";
    };
    const std::string author = Head("Archive by author") + kAuthorNav +
                               "<p><font face=\"Arial\"><strong>Ann Lee</strong></font>\r\n<ul>\r\n" +
                               authorLine(1, "Plan", records[0].date) + authorLine(3, "Re: Plan", records[2].date) +
                               "</ul>\r\n<p><font face=\"Arial\"><strong>bob@example.net</strong></font>\r\n<ul>\r\n" +
                               authorLine(2, "Numbers", records[1].date) + "</ul>\r\n" + Tail("author.htm");
    EXPECT_EQ(RenderAuthorPage(c, l.authors, records), author);

    const auto dateLine = [](int id, const std::string& subject, const std::string& who) {
        return "<li><a href=\"/vubo/scripts/archivecgi.exe?Command=ShowMessage&mailinglist=sales&nId=" +
               std::to_string(id) + "&sort=ByDate&locale=en-us\">" + subject + "</a> - " + who + " </li>\r\n";
    };
    const std::string date = Head("Archive by date") + kDateNav +
                             "<p><font face=\"Arial\"><strong>Fri, 28 Sep 2001</strong></font>\r\n<ul>\r\n" +
                             dateLine(1, "Plan", "Ann Lee") + dateLine(3, "Re: Plan", "ann lee") +
                             "</ul>\r\n<p><font face=\"Arial\"><strong>Sat, 29 Sep 2001</strong></font>\r\n<ul>\r\n" +
                             dateLine(2, "Numbers", "bob@example.net") + "</ul>\r\n" + Tail("date.htm");
    EXPECT_EQ(RenderDatePage(c, l.dates, records), date);
    ExpectSamePages(c, records);

    // Missing author and date share one group each, under the placeholders.
    records = {Message(1, "", "", "Ann", "", "example.org"), Message(2, "x", "", "", "", "")};
    const Listings missing = BuildListings(records, c.strings);
    EXPECT_EQ(missing.authors, (std::vector<std::string>{"(unknown author)"}));
    EXPECT_EQ(missing.dates, (std::vector<std::string>{"(no date)"}));
    EXPECT_EQ(missing.threads, (std::vector<std::string>{"(no subject)", "x"}));
    ExpectSamePages(c, records);
}

TEST(IndexPages, EmptyArchive)
{
    const PageContext c = Context();
    EXPECT_EQ(RenderThreadPage(c, {}, {}), Head("Archive by thread") + kThreadNav + "</ul>\r\n" + Tail("thread.htm"));
    EXPECT_EQ(RenderAuthorPage(c, {}, {}), Head("Archive by author") + kAuthorNav + Tail("author.htm"));
    EXPECT_EQ(RenderDatePage(c, {}, {}), Head("Archive by date") + kDateNav + Tail("date.htm"));
}

TEST(IndexPages, CharacterReferencesAndEscaping)
{
    const PageContext c = Context();
    // The euro sign becomes a reference; a two-byte sequence (ü) is refused by the
    // conversion and written as it stands.
    std::vector<EnvelopeSummary> records = {
        Message(1, "Price", "Tue, 2 Oct 2001 09:00:00 +0000", "Euro \xE2\x82\xAC Fan"),
        Message(2,
                "Gr\xC3\xBC\xC3\x9F"
                "e",
                "Tue, 2 Oct 2001 10:00:00 +0000", "J\xC3\xBCrgen")};
    const Listings l = BuildListings(records, c.strings);
    const std::string thread = RenderThreadPage(c, l.threads, records);
    EXPECT_NE(thread.find("<em>Euro &#8364; Fan, </em>"), std::string::npos);
    EXPECT_NE(thread.find(">Gr\xC3\xBC\xC3\x9F"
                          "e</a> - <em>J\xC3\xBCrgen, </em>"),
              std::string::npos);
    EXPECT_NE(RenderAuthorPage(c, l.authors, records).find("<strong>Euro &#8364; Fan</strong>"), std::string::npos);
    ExpectSamePages(c, records);

    // Markup in message texts is escaped on all three pages; so is the list name, and it is
    // percent-encoded in every link.
    const std::string nasty = "<script>alert(1)</script> & \"x\"";
    const std::string escaped = "&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;x&quot;";
    records = {Message(7, nasty, "<b>Wed</b>, 3 Oct 2001", nasty, "evil", "example.org")};
    const PageContext odd = Context("sales & <more> list");
    const Listings m = BuildListings(records, odd.strings);
    for (const std::string& page : {RenderThreadPage(odd, m.threads, records),
                                    RenderAuthorPage(odd, m.authors, records), RenderDatePage(odd, m.dates, records)}) {
        EXPECT_EQ(page.find("<script>"), std::string::npos);
        EXPECT_EQ(page.find("<b>"), std::string::npos);
        EXPECT_NE(page.find(escaped), std::string::npos);
        EXPECT_NE(page.find("<font face=\"Arial Black\">sales &amp; &lt;more&gt; list</font>"), std::string::npos);
        EXPECT_EQ(page.find("mailinglist=sales "), std::string::npos);
        const std::regex link("mailinglist=([^&\"]*)");
        int links = 0;
        for (auto it = std::sregex_iterator(page.begin(), page.end(), link); it != std::sregex_iterator(); ++it) {
            EXPECT_EQ((*it)[1].str(), "sales%20%26%20%3Cmore%3E%20list");
            ++links;
        }
        EXPECT_GE(links, 3);
    }
    ExpectSamePages(odd, records);
}

namespace {

// Random archives with everything that trips the listings: reply prefixes in every case,
// repeated and case-variant subjects, replies before their roots, missing texts,
// personal names with references and rejected sequences, encapsulated envelopes.
std::vector<EnvelopeSummary> RandomArchive(std::mt19937& rng, bool repliesOnly)
{
    const std::vector<std::string> topics = {"Agenda", "agenda", "Budget", "Holiday", "Release 2.0", "", "genda"};
    const std::vector<std::string> prefixes = {"", "Re: ", "RE: ", "re: ", "re:", "Re:", "Fwd: ", "Aw: "};
    const std::vector<std::string> names = {"Ann Lee", "ann lee", "", "Euro \xE2\x82\xAC Fan", "J\xC3\xBCrgen", "Bob"};
    const std::vector<std::string> dates = {"Mon, 1 Oct 2001 09:00:00 +0000",
                                            "Mon, 1 Oct 2001 17:30:00 +0000",
                                            "mon, 1 oct 2001 18:00:00 +0000",
                                            "Mon, 01 Oct 2001 09:00",
                                            "",
                                            "Tue, 2 Oct 2001 08:00:00 +0000",
                                            "2 Oct"};
    std::vector<EnvelopeSummary> records;
    const int count = std::uniform_int_distribution<int>(0, 40)(rng);
    uint32_t id = 0;
    for (int i = 0; i < count; ++i) {
        id += std::uniform_int_distribution<uint32_t>(1, 3)(rng);
        const auto pick = [&](const auto& v) { return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)]; };
        std::string prefix = pick(prefixes);
        if (repliesOnly) prefix = "Re: ";
        const std::string subject = (pick(topics).empty() && prefix.empty()) ? "" : prefix + pick(topics);
        const bool hasFrom = rng() % 8 != 0;
        EnvelopeSummary e{id,
                          0,
                          subject,
                          pick(dates),
                          pick(names),
                          hasFrom ? "user" + std::to_string(rng() % 3) : "",
                          hasFrom && rng() % 10 ? "example.org" : ""};
        records.push_back(e);
        if (rng() % 6 == 0) {  // a forwarded message with its own envelope
            EnvelopeSummary inner{id, 1, "Fwd inner " + pick(topics), pick(dates), pick(names), "inner", "example.net"};
            records.push_back(inner);
        }
    }
    return records;
}

}  // namespace

TEST(IndexPages, GeneratedArchivesMatchThePlainPassesAndListEveryMessage)
{
    std::mt19937 rng(20261206);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto records = RandomArchive(rng, round % 10 == 9);
        PageContext c = Context();
        if (round % 3 == 0) c.strings.noSubject = "";  // the date becomes the link text
        ExpectSamePages(c, records);
        const Listings l = BuildListings(records, c.strings);
        std::map<uint32_t, int> messages;
        for (const auto& e : records) messages[e.id] += e.seq == 0;
        const auto thread = LinkedIds(RenderThreadPage(c, l.threads, records));
        const auto date = LinkedIds(RenderDatePage(c, l.dates, records));
        const auto author = LinkedIds(RenderAuthorPage(c, l.authors, records));
        for (const auto& [id, count] : messages) {
            // Every message exactly once on the thread and date pages; on the author page
            // also its encapsulated envelopes, which link to the same message.
            EXPECT_EQ(thread.count(id) ? thread.at(id) : 0, count) << id;
            EXPECT_EQ(date.count(id) ? date.at(id) : 0, count) << id;
            EXPECT_GE(author.count(id) ? author.at(id) : 0, count) << id;
        }
    }
}

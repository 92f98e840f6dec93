// Navigation and search on small archives written for each case: the thread, author and date
// walks, the criteria and the date grammar, the order and form of the results, and what
// missing, damaged or hostile input gives.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <utility>

#include "dlarchive/dlarchive.h"
#include "support/archive_home.h"

namespace {

using testenv::SimpleMessage;

struct Search : testenv::SalesList {
    void Add(uint32_t number, const std::string& message)
    {
        home.WriteMessage("sales", number, message);
        ASSERT_TRUE(manager.AddArchive(archive.c_str(), number)) << number;
    }
    // "found|author|date|subject" of a neighbour, or "" when nothing was written.
    std::string Neighbour(bool previous, uint32_t current, const std::string& key, int sort,
                          const char* locale = "en-us")
    {
        uint32_t found = 0;
        char author[260] = {}, date[64] = {}, subject[260] = {};
        (manager.*(previous ? &CDlArchive::GetPreviousArchiveMsg : &CDlArchive::GetNextArchiveMsg))(
            current, key.c_str(), sort, found, author, date, subject, locale);
        if (found == 0 && !*author && !*date && !*subject) return "";
        return std::to_string(found) + "|" + author + "|" + date + "|" + subject;
    }
    // The numbers found ("5,12"), or with `texts` the results ("5|author|date|subject,..."),
    // after checking that the four chains go in step behind the element each held before.
    std::string Find(int criterion, const std::string& text, bool ignoreCase, bool partial,
                     const char* locale = "en-us", bool texts = false)
    {
        struct Chains {
            ms* c[4] = {};
            ~Chains()
            {
                for (ms* chain : c) freeStringChain(chain);
            }
        } chains;
        ms** c = chains.c;
        for (int k = 0; k < 4; ++k) appendString(&c[k], "held");
        manager.SearchArchiveMessages(&c[0], &c[1], &c[2], &c[3], text.c_str(), ignoreCase ? "" : nullptr,
                                      static_cast<SearchCriterion>(criterion), partial, locale);
        std::string found;
        bool first = true;
        for (ms *i = c[0], *a = c[1], *d = c[2], *s = c[3]; i || a || d || s;
             i = i->next, a = a->next, d = d->next, s = s->next) {
            if (!i || !a || !d || !s) {
                found = "out of step";
                break;
            }
            for (const ms* e : {i, a, d, s})
                if (first && std::strcmp(e->text, "held") != 0) found = "lost";
            if (std::exchange(first, false)) continue;
            found.append(found.empty() ? "" : ",").append(i->text);
            if (texts) found.append("|").append(a->text).append("|").append(d->text).append("|").append(s->text);
        }
        return found;
    }

    // The code and text a search fails with, or "ok".
    std::string Failure(const char* locale = "en-us")
    {
        const auto [code, text] = testenv::Thrown([&] { Find(0, "x", false, false, locale); });
        if (code == 0) return "ok";
        EXPECT_EQ(manager.GetLastError(), code);
        return std::to_string(code) + " " + text;
    }
};

std::string WithInner(const std::string& outer, const std::string& innerHeaders)
{
    return outer.substr(0, outer.find("\n\n") + 1) +
           "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\nSee below.\n--b\n"
           "Content-Type: message/rfc822\n\n" +
           innerHeaders + "\nInner.\n--b--\n";
}

}  // namespace

TEST_F(Search, NavigationByThreadAuthorAndDate)
{
    const std::string fri = "Fri, 28 Sep 2001 14:05:10 +0200", sat = "Sat, 29 Sep 2001 08:00:00 +0200";
    Add(10, SimpleMessage("Agenda", "Ann Lee <ann@example.org>", fri));
    Add(11, SimpleMessage("Re: Agenda", "ann lee <ann@example.org>", fri));
    Add(12, "From: Ann Lee <ann@example.org>\nSubject: Budget\n\nNo date.\n");
    Add(13, SimpleMessage("Re: Agenda", "Ann Lee <ann@example.org>", sat));
    Add(14, WithInner(SimpleMessage("Minutes", "<bob@x.org>", sat),
                      "From: Carol <carol@x.org>\nSubject: Re: Budget\nDate: " + fri + "\n"));
    Add(15, "Subject: Late\n\nNo author, no date.\n");
    const struct {
        bool previous;
        uint32_t current;
        const char* key;
        int sort;
        const char* expected;
    } cases[] = {
        {false, 10, "Agenda", 2, "11|ann lee|Fri, 28 Sep 2001|Re: Agenda"},
        {false, 11, "Re: Agenda", 2, "13|Ann Lee|Sat, 29 Sep 2001|Re: Agenda"},
        {true, 13, "Re: Agenda", 2, "11|ann lee|Fri, 28 Sep 2001|Re: Agenda"},
        {true, 11, "Re: Agenda", 2, "10|Ann Lee|Fri, 28 Sep 2001|Agenda"},
        {true, 10, "Agenda", 2, ""},
        {false, 13, "Re: Agenda", 2, ""},
        {false, 5, "Agenda", 2, "11|ann lee|Fri, 28 Sep 2001|Re: Agenda"},  // no message 5
        {true, 99, "Re: Agenda", 2, "13|Ann Lee|Sat, 29 Sep 2001|Re: Agenda"},
        {false, 12, "Budget", 2, "14|Carol|Fri, 28 Sep 2001|Re: Budget"},  // the message inside 14
        {true, 14, "Re: Budget", 2, "12|Ann Lee|(no date)|Budget"},
        {false, 10, "Ann Lee", 0, "12|Ann Lee|(no date)|Budget"},
        {true, 12, "Ann Lee", 0, "10|Ann Lee|Fri, 28 Sep 2001|Agenda"},
        {false, 10, "ann lee", 0, "11|ann lee|Fri, 28 Sep 2001|Re: Agenda"},
        {true, 11, "ann lee", 0, ""},
        {false, 13, "bob@x.org", 0, "14|bob@x.org|Sat, 29 Sep 2001|Minutes"},
        {false, 14, "(unknown author)", 0, "15|(unknown author)|(no date)|Late"},
        {false, 10, "Fri, 28 Sep 2001", 1, "11|ann lee|Fri, 28 Sep 2001|Re: Agenda"},
        {false, 11, "Fri, 28 Sep 2001", 1, "14|Carol|Fri, 28 Sep 2001|Re: Budget"},
        {true, 13, "fri, 28 Sep 2001", 1, ""},
        {false, 10, "(no date)", 1, "12|Ann Lee|(no date)|Budget"},
        {true, 15, "(no date)", 1, "12|Ann Lee|(no date)|Budget"},
        {false, 10, "Agenda", 3, ""},
        {true, 13, "Re: Agenda", -1, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Neighbour(c.previous, c.current, c.key, c.sort), c.expected)
            << c.previous << " " << c.current << " " << c.key << " " << c.sort;
}

TEST_F(Search, CriteriaAndResults)
{
    Add(40, "Subject: \n\nNo author, an empty subject, no date.\n");
    Add(12, SimpleMessage("Re: Meeting", "John Smith <smith@ex.com>", "Tue, 3 Apr 2001 10:00:00 +0200"));
    Add(5, SimpleMessage("Meeting", "Bob <bob@x.org>, Carol <smith@ex.com>", "Fri, 13 Apr 2001 09:00:00 +0200"));
    Add(7, SimpleMessage("Budget", "smith@ex.com", "Mon, 15 Oct 2000 10:00:00 +0000"));
    Add(41, WithInner("From: <ann@example.org>\nDate: Wed, 1 Aug 2001 10:00:00 +0000\n\n",
                      "From: smith@ex.com\nSubject: Re: Meeting\nDate: Tue, 3 Apr 2001 10:00:00 +0200\n"));
    const std::string unknown = "\xE4\xBD\x9C\xE8\x80\x85\xE4\xB8\x8D\xE6\x98\x8E";  // the UTF-8 of zh.txt's 127
    const struct {
        int criterion;
        std::string text;
        bool ignoreCase, partial;
        const char* expected;
        const char* locale = "en-us";
    } cases[] = {
        {0, "smith", true, false, "7,12"},
        {0, "smi", true, false, "12"},  // only in the personal name
        {0, "smi", true, true, "7,12"},
        {0, "Smith", false, false, "12"},
        {0, "SMITH", false, true, ""},
        {0, "ex.com", false, false, "7,12"},
        {0, "ex.co", false, false, ""},
        {0, "smith@ex.com", false, false, "7,12"},  // the second From address of 5 is never read
        {0, "SMITH@EX.COM", true, false, "7,12"},
        {0, "SMITH@EX.COM", false, true, ""},
        {0, "smith@ex", true, true, ""},
        {0, "none", false, false, "40"},
        {0, "(UNKNOWN author)", false, false, "40"},
        {0, "&#20316;&#32773;&#19981;&#26126;", false, false, "40", "zh-cn"},
        {0, unknown, false, false, "40", "zh-cn"},
        {0, unknown, false, false, "", "en-us"},
        {2, "re:", true, true, "12"},
        {2, "re:", true, false, "12"},
        {2, "re:", false, true, ""},
        {2, "re:", false, false, ""},
        {2, "Re: Meeting", false, false, "12"},
        {2, "meeting", true, false, "5,12"},
        {2, "meeting", false, false, ""},
        {2, "", false, true, "5,7,12"},
        {2, "", false, false, ""},
        {2, "NONE", false, false, "40,41"},
        {2, "(no subject)", true, true, "40,41"},
        {1, "April 3, 2001", false, false, "5,12"},
        {1, "2001", false, false, "5,12,41"},
        {1, "none", false, false, "40"},
        {1, "(NO DATE)", false, false, "40"},
        {1, "15 2001", false, false, "7"},
        {1, "Aug", false, false, "41"},
        {1, ",, ,", false, false, ""},
        {3, "smith", true, true, ""},
    };
    home.WriteIni("Y", "[Language Selection]\nzh-cn=Chinese,utf-8,zh.txt\n");
    std::string zh;
    for (int k = 1; k <= 128; ++k)
        zh += std::to_string(k) + (k == 127 ? " &#20316;&#32773;&#19981;&#26126;\n" : " s\n");
    testenv::WriteFile(home.path() + "/web/vubo/languages/dlarchives/zh.txt", zh);
    for (const auto& c : cases)
        EXPECT_EQ(Find(c.criterion, c.text, c.ignoreCase, c.partial, c.locale), c.expected)
            << c.criterion << " [" << c.text << "] " << c.ignoreCase << c.partial;

    EXPECT_EQ(Find(2, "re", true, true, "en-us", true), "12|John Smith|Tue, 3 Apr 2001 |Re: Meeting");
    EXPECT_EQ(Find(1, "none", false, false, "de-de", true), "40|(unbekannter Absender)|(kein Datum)|(kein Betreff)");
    EXPECT_EQ(Find(0, "bob", true, false, "en-us", true), "5|Bob|Fri, 13 Apr 2001|Meeting");
}

TEST_F(Search, DateInputGrammar)
{
    const std::string longInput(2000, 'x');
    const struct {
        std::string input, pattern;
    } cases[] = {
        {"April 3, 2001", "3 Apr 2001"},
        {"2001", "2001"},
        {"none", "None"},
        {"NoNe", "None"},
        {"(NO date)", "(no date)"},
        {"15 2001", "15"},
        {" ,15 2001", " ,15"},
        {"apr 2001", "Apr 2001"},
        {"3 APRIL", "3 Apr"},
        {"Sept", "Sep"},
        {"ap 3", "ap"},
        {"", ""},
        {",, ,", ",, ,"},
        {"-5 jun 1999", "-5 Jun 1999"},
        {"32 2001 500", "2001"},
        {"5, 1000", "5"},
        {"1 2 Mar 3 Dec", "3 Dec"},
        {"2001 1999 x", "1999"},
        {longInput, std::string(1023, 'x')},
        {"99999999999", "2147483647"},
    };
    for (const auto& c : cases) {
        char output[1024];
        std::memset(output, 'z', sizeof output);
        manager.ParseDateInput(c.input.c_str(), output, "en-us");
        EXPECT_EQ(std::string(output, strnlen(output, sizeof output)), c.pattern) << c.input;
    }
}

TEST_F(Search, MissingDamagedAndHostileInput)
{
    Add(1, SimpleMessage("Agenda"));
    Add(2, SimpleMessage("Re: Agenda"));
    Add(3, WithInner(SimpleMessage("Fwd"), "From: Ann Lee <ann@example.org>\nSubject: Agenda\n"));
    // Texts of no length, of 5,000 characters and of raw bytes give their result, never more.
    for (const std::string& text : {std::string(5000, 'a'), std::string("\xff\xfe\x80\x01 Re", 7), std::string()})
        for (int criterion = 0; criterion < 3; ++criterion)
            for (int mode = 0; mode < 4; ++mode)
                EXPECT_EQ(Find(criterion, text, mode & 1, mode & 2),
                          text.empty() && !(criterion == 2 && mode == 0) ? "1,2,3" : "")
                    << criterion << " " << mode << " " << text.size();
    EXPECT_EQ(Neighbour(false, 1, std::string(5000, 'x'), 2), "");
    EXPECT_EQ(Neighbour(false, 0, "", 1), "");

    // A locale whose language file is missing.
    home.WriteIni("Y", "[Language Selection]\nfr-fr=French,utf-8,missing.txt\n");
    EXPECT_EQ(Failure("fr-fr"), "26 Unable to initialize language table");
    EXPECT_EQ(Neighbour(false, 1, "Agenda", 2, "fr-fr"), "");
    char output[1024] = "kept";
    manager.ParseDateInput("2001", output, "fr-fr");
    EXPECT_STREQ(output, "kept");
    EXPECT_EQ(Neighbour(false, 1, "Agenda", 2), "2|Ann Lee|Mon, 1 Oct 2001 |Re: Agenda");

    // A record whose checksum no longer agrees: repaired and reported, or reported.
    for (const char* autoRebuild : {"Y", "N"}) {
        home.WriteIni(autoRebuild);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((archive + "archiveenv.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE records SET crc = crc + 1 WHERE id = 2", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        diamondBase::ReleaseIdle();
        EXPECT_EQ(Failure(), *autoRebuild == 'Y' ? "18 Archive envelope database was rebuilt."
                                                 : "20 Error in archive envelope database")
            << autoRebuild;
        if (*autoRebuild != 'Y') continue;
        EXPECT_EQ(Find(2, "agenda", true, false), "1,2");
        EXPECT_EQ(Neighbour(true, 2, "Re: Agenda", 2), "1|Ann Lee|Mon, 1 Oct 2001 |Agenda");
    }
    EXPECT_THROW(Neighbour(true, 3, "Re: Agenda", 2), CDlArchiveException);

    // Relations that are missing or not relations: the search says which, the navigation is silent.
    for (const char* relation : {"archivebody.db", "archiveenv.db"}) {
        for (const char* content : {"garbage", ""}) {
            diamondBase::ReleaseIdle();
            if (*content)
                testenv::WriteFile(archive + relation, content);
            else
                std::remove((archive + relation).c_str());
            EXPECT_EQ(Failure(), std::strcmp(relation, "archiveenv.db") == 0 ? "1 Cannot open archive envelope database"
                                                                             : "7 Cannot open archive body database");
        }
    }
    EXPECT_EQ(Neighbour(false, 1, "Agenda", 2), "");
}

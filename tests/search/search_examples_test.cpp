// Navigation and search on small archives written for each case, for what the generated
// archives of the oracle never hold: the bounds of the date grammar, the form of the results,
// and what missing, damaged or hostile input gives.
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
    // Date inputs past the bounds (cut to the buffer, numbers past the range of an int) or empty.
    for (const auto& [input, pattern] :
         {std::pair{std::string(2000, 'x'), std::string(1023, 'x')},
          std::pair{std::string("99999999999"), std::string("2147483647")}, std::pair{std::string(), std::string()}}) {
        char output[1024];
        std::memset(output, 'z', sizeof output);
        manager.ParseDateInput(input.c_str(), output, "en-us");
        EXPECT_EQ(std::string(output, strnlen(output, sizeof output)), pattern);
    }
    EXPECT_EQ(Neighbour(true, 3, "Re: Agenda", -1), "");
    // The texts of the results; a message without author, date and subject shows the placeholders.
    EXPECT_EQ(Find(2, "re", true, true, "en-us", true), "2|Ann Lee|Mon, 1 Oct 2001 |Re: Agenda");
    Add(4, "Subject: \n\nNo author, an empty subject, no date.\n");
    EXPECT_EQ(Find(1, "none", false, false, "de-de", true), "4|(unbekannter Absender)|(kein Datum)|(kein Betreff)");

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

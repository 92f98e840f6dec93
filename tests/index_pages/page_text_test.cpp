// Characters on the pages: emoji and Latin-1 headers come out as themselves, references of
// the language strings as the translator wrote them.
#include <gtest/gtest.h>

#include "dlarchive/dlarchive.h"
#include "record_store/convert_utf8.h"
#include "support/archive_home.h"

namespace {
struct PageTexts : testenv::SalesList {};
}  // namespace

TEST_F(PageTexts, PagesShowTheTextsOwnCharactersAndLanguageStringsAsWritten)
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

TEST(StoredTexts, Utf8IsTakenAsItIsAndAnythingElseAsWindows1252)
{
    // Stored texts keep UTF-8 as it is; anything else (overlong, surrogate, past U+10FFFF, cut
    // short, a bad follower) is read as windows-1252.
    const auto check = [](const std::string& text, bool utf8) {
        EXPECT_EQ(dlarchive::IsUtf8(text), utf8) << testing::PrintToString(text);
        const std::string stored = dlarchive::HeaderTextToUtf8(text.c_str());
        EXPECT_EQ(stored, utf8 ? text : dlarchive::Windows1252ToUtf8(text));
        EXPECT_TRUE(dlarchive::IsUtf8(stored));
    };
    for (const char* text : {"abc \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\x89", "\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xE0\xA0\x80"})
        check(text, true);
    for (const char* text :
         {"\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
          "\xF5\x80\x80\x80", "\xC3", "\xE2\x82", "\x80", "\xC3\x28", "\xE2\x82\x28"})
        check(text, false);
    EXPECT_EQ(dlarchive::Windows1252ToUtf8("\x80\x81\x8A\x9F\xA0\xE9\xFF"),
              "\xE2\x82\xAC\xC2\x81\xC5\xA0\xC5\xB8\xC2\xA0\xC3\xA9\xC3\xBF");
}

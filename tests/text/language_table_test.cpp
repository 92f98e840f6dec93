#include <gtest/gtest.h>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "platform/config.h"
#include "support/test_env.h"
#include "text/language_table.h"

namespace {

// A web administration directory with the archive's language directory and a kelmo.ini
// whose "Language Selection" lines are given by the test.
class LanguageEnv {
public:
    explicit LanguageEnv(const std::string& selectionLines) : m_dir(m_web / "vubo/languages/dlarchives")
    {
        testenv::MakeDirs(m_dir);
        m_config.Write("[Config]\nWebAdminDirectory=" + m_web.path() + "\n[Language Selection]\n" + selectionLines);
    }
    const std::string& web() const { return m_web.path(); }
    std::string File(const std::string& name) const { return m_dir + "/" + name; }
    std::string Write(const std::string& name, const std::string& content) const
    {
        testenv::WriteFile(File(name), content);
        return File(name);
    }

private:
    testenv::TempDir m_web;
    testenv::Config m_config;
    std::string m_dir;
};

void SetModificationTime(const std::string& path, time_t seconds, long nanoseconds = 0)
{
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::vector<uint32_t> IndexEntries(const std::string& path)
{
    const std::string bytes = testenv::ReadFile(path);
    std::vector<uint32_t> entries;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + i);
        entries.push_back(b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24));
    }
    return entries;
}

constexpr time_t kPast = 1'000'000'000;

bool Opens(const char* locale, LanguageModule module = LanguageModuleDlArchives)
{
    LanguageTable table;
    return table.Open(locale, module);
}

// Opens `locale` and expects exactly `strings` as its numbers 1, 2, ..., nothing after them.
void ExpectStrings(const char* locale, const std::vector<std::string>& strings)
{
    LanguageTable table;
    ASSERT_TRUE(table.Open(locale, LanguageModuleDlArchives)) << locale;
    EXPECT_EQ(table.GetCount(), static_cast<int>(strings.size())) << locale;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        EXPECT_EQ(table.GetString(static_cast<int>(i) + 1), strings[i]) << locale << " " << i + 1;
    }
    EXPECT_STREQ(table.GetString(static_cast<int>(strings.size()) + 1), "") << locale;
}

void ExpectResolved(const char* locale, const std::string& key, const std::string& charset)
{
    std::string gotKey;
    std::string gotCharset;
    ResolveLanguageSelection(locale, gotKey, gotCharset);
    EXPECT_EQ(gotKey, key) << (locale ? locale : "(null)");
    EXPECT_EQ(gotCharset, charset) << (locale ? locale : "(null)");
}

}  // namespace

TEST(LanguageTable, SelectionValueNeedsTwoCommas)
{
    LanguageEnv env(
        "one=English,t.txt\n"
        "none=t.txt\n"
        "two=English,utf-8,t.txt\n"
        "many=English,iso-8859-15,x,y.txt\n");
    env.Write("t.txt", "1 text\n");
    env.Write("x,y.txt", "1 with comma\n");

    // With one comma the text after it would name an existing file, yet the value is refused.
    LanguageTable one;
    EXPECT_FALSE(one.Open("one", LanguageModuleDlArchives));
    EXPECT_STREQ(one.GetString(1), "");
    EXPECT_FALSE(Opens("none"));
    EXPECT_FALSE(Opens("missing"));

    for (const char* locale : {"one", "none", "missing", "", static_cast<const char*>(nullptr)})
        ExpectResolved(locale, "en-us", "iso-8859-1");
    ExpectResolved("two", "two", "utf-8");
    // The resolved charset runs to the last comma; the table's stops at the second one and
    // the file name keeps its own comma.
    ExpectResolved("many", "many", "iso-8859-15,x");

    LanguageTable two;
    ASSERT_TRUE(two.Open("two", LanguageModuleDlArchives));
    EXPECT_STREQ(two.GetLanguageKey(), "two");
    EXPECT_STREQ(two.GetCharset(), "utf-8");
    EXPECT_STREQ(two.GetString(1), "text");
    LanguageTable many;
    ASSERT_TRUE(many.Open("many", LanguageModuleDlArchives));
    EXPECT_STREQ(many.GetCharset(), "iso-8859-15");
    EXPECT_STREQ(many.GetString(1), "with comma");

    // Caller buffers: cut to fit, always terminated, and the result says so.
    char keyBuffer[4];
    char charsetBuffer[6];
    std::memset(keyBuffer, 'X', sizeof keyBuffer);
    std::memset(charsetBuffer, 'X', sizeof charsetBuffer);
    EXPECT_FALSE(ResolveLanguageSelection("many", keyBuffer, sizeof keyBuffer, charsetBuffer, sizeof charsetBuffer));
    EXPECT_STREQ(keyBuffer, "man");
    EXPECT_STREQ(charsetBuffer, "iso-8");
    char bigKey[128];
    char bigCharset[129];
    EXPECT_TRUE(ResolveLanguageSelection("two", bigKey, sizeof bigKey, bigCharset, sizeof bigCharset));
    EXPECT_STREQ(bigKey, "two");
    EXPECT_STREQ(bigCharset, "utf-8");
    EXPECT_TRUE(ResolveLanguageSelection("none", nullptr, 0, bigCharset, sizeof bigCharset));
    EXPECT_STREQ(bigCharset, "iso-8859-1");
}

TEST(LanguageTable, LongKeysValuesAndPathsStayBounded)
{
    const std::string longKey(200, 'k');
    const std::string charset128(128, 'c');
    // The second comma lies beyond the 255 characters that the resolution reads, but within
    // the 1023 that the table reads.
    const std::string farComma = "x,cs" + std::string(260, 'a') + ",t.txt";
    LanguageEnv env(longKey +
                    "=English,utf-8,t.txt\n"
                    "cs128=English," +
                    charset128 +
                    ",t.txt\n"
                    "cs129=English," +
                    charset128 +
                    "c,t.txt\n"
                    "far=" +
                    farComma +
                    "\n"
                    "nofile=English,utf-8,\n"
                    "longname=English,utf-8," +
                    std::string(300, 'n') + "\n");
    env.Write("t.txt", "1 text\n");

    LanguageTable keyed;
    ASSERT_TRUE(keyed.Open(longKey.c_str(), LanguageModuleDlArchives));
    EXPECT_EQ(std::string(keyed.GetLanguageKey()), longKey.substr(0, 127));
    EXPECT_STREQ(keyed.GetString(1), "text");

    LanguageTable fits;
    ASSERT_TRUE(fits.Open("cs128", LanguageModuleDlArchives));
    EXPECT_EQ(std::string(fits.GetCharset()), charset128);
    EXPECT_FALSE(Opens("cs129"));
    ExpectResolved("far", "en-us", "iso-8859-1");

    // An empty file name names the directory, which is no language file; a path beyond 260
    // bytes is refused.
    EXPECT_FALSE(Opens("nofile"));
    EXPECT_FALSE(Opens("longname"));
}

TEST(LanguageTable, ThreeLineFileAndItsIndex)
{
    LanguageEnv env("en-us=English,utf-8,t.txt\n");
    const std::string path = env.Write("t.txt", "1 Hello\r\n\n2 World\n");

    LanguageTable table;
    ASSERT_TRUE(table.Open("en-us", LanguageModuleDlArchives));
    EXPECT_EQ(table.GetCount(), 2);
    EXPECT_STREQ(table.GetString(1), "Hello");
    EXPECT_STREQ(table.GetString(2), "World");
    EXPECT_STREQ(table.GetString(0), "");
    EXPECT_STREQ(table.GetString(3), "");
    EXPECT_STREQ(table.GetString(-1), "");
    EXPECT_STREQ(table.GetString(INT32_MIN), "");
    EXPECT_STREQ(table.GetString(INT32_MAX), "");
    // Results are the table's own and read again on every call.
    EXPECT_STREQ(table.GetString(1), "Hello");

    // Text offsets of both strings, then the file size, as 32-bit little-endian words.
    const std::string expected("\x02\0\0\0\x0c\0\0\0\x12\0\0\0", 12);
    EXPECT_EQ(testenv::ReadFile(path + ".idx"), expected);

    table.Close();
    EXPECT_FALSE(table.IsOpened());
    EXPECT_STREQ(table.GetString(1), "");
}

TEST(LanguageTable, NumbersAndTextStarts)
{
    LanguageEnv env("en-us=English,utf-8,t.txt\n");
    env.Write("t.txt",
              "01 leading zero\n"
              "+2  two spaces\n"
              "\t3 a line starting with a tab is skipped\n"
              "003x ignored up to the blank\n"
              " \n"
              "4\n"
              "5\r\n"
              "6 six\n"
              "007 seven\r\n"
              "8 last line\r");

    // Only the first blank separates; numbered lines without a blank have no text; the last
    // line has no line feed: it is returned whole, its carriage return dropped.
    ExpectStrings("en-us",
                  {"leading zero", " two spaces", "ignored up to the blank", "", "", "six", "seven", "last line"});
}

TEST(LanguageTable, LastLineWithoutLineEndAndEmptyFile)
{
    LanguageEnv env("a=English,utf-8,a.txt\nb=English,utf-8,b.txt\nc=English,utf-8,c.txt\n");
    env.Write("a.txt", "1 first\n2 the last line, whole");
    env.Write("b.txt", "");
    env.Write("c.txt", "1 first\n2");

    ExpectStrings("a", {"first", "the last line, whole"});
    // An empty language file has an index of one word (its size, 0) and no strings.
    ExpectStrings("b", {});
    EXPECT_EQ(IndexEntries(env.File("b.txt.idx")), std::vector<uint32_t>({0}));
    // A final numbered line without blank or line end points at the end of the file.
    ExpectStrings("c", {"first", ""});
}

TEST(LanguageTable, WrongNumberKeepsPartialIndex)
{
    LanguageEnv env("en-us=English,utf-8,t.txt\n");
    const std::string path = env.Write("t.txt", "1 one\n2 two\n4 four\n5 five\n");
    SetModificationTime(path, kPast);

    EXPECT_FALSE(Opens("en-us"));
    // The entries of the two good lines remain, without the end-of-file entry.
    EXPECT_EQ(IndexEntries(path + ".idx"), std::vector<uint32_t>({2, 8}));

    // The partial index is newer than the unchanged file, so it is used as it is.
    ExpectStrings("en-us", {"one"});
}

TEST(LanguageTable, ReindexOnlyWhenLanguageFileIsNewer)
{
    LanguageEnv env("en-us=English,utf-8,t.txt\n");
    const std::string path = env.Write("t.txt", "1 old\n");
    const std::string index = path + ".idx";
    ExpectStrings("en-us", {"old"});
    EXPECT_EQ(IndexEntries(index), std::vector<uint32_t>({2, 6}));

    env.Write("t.txt", "1 x\n2 y\n");
    // Same time to the nanosecond: the old index stays and knows one string only.
    SetModificationTime(path, kPast, 500);
    SetModificationTime(index, kPast, 500);
    ExpectStrings("en-us", {"x"});
    EXPECT_EQ(IndexEntries(index), std::vector<uint32_t>({2, 6}));

    // An older language file does not trigger a rebuild either.
    SetModificationTime(path, kPast - 10);
    ExpectStrings("en-us", {"x"});

    // One nanosecond later is later.
    SetModificationTime(path, kPast, 501);
    ExpectStrings("en-us", {"x", "y"});
    EXPECT_EQ(IndexEntries(index), std::vector<uint32_t>({2, 6, 8}));
}

TEST(LanguageTable, LongLinesAreReadInPieces)
{
    const std::string as(1021, 'a');  // with "1 " the first piece is exactly 1023 bytes
    LanguageEnv env(
        "split=E,utf-8,split.txt\n"
        "blank=E,utf-8,blank.txt\n"
        "broken=E,utf-8,broken.txt\n"
        "nospace=E,utf-8,nospace.txt\n");
    // The rest of the line is a numbered line of its own.
    env.Write("split.txt", "1 " + as + "2 rest\n3 three\n");
    // The rest begins with a blank, so it is skipped.
    env.Write("blank.txt", "1 " + as + " tail\n2 next\n");
    // The rest begins with text that is no number.
    env.Write("broken.txt", "1 " + as + "aaa\n2 next\n");
    // A numbered first piece without a blank.
    env.Write("nospace.txt", "1 a\n2" + std::string(1022, 'b') + " rest of the line\n3 c\n");

    // A string reads up to its line feed, so the first one is the whole physical line.
    ExpectStrings("split", {as + "2 rest", "rest", "three"});
    ExpectStrings("blank", {as + " tail", "next"});
    EXPECT_FALSE(Opens("broken"));
    // No text start within the first piece: the string is what follows that piece on the
    // same line, never the next line.
    ExpectStrings("nospace", {"a", " rest of the line", "c"});
}

TEST(LanguageTable, OpenFailures)
{
    LanguageEnv env(
        "en-us=English,utf-8,t.txt\n"
        "gone=English,utf-8,gone.txt\n"
        "empty=English,utf-8,e.txt\n");
    env.Write("t.txt", "1 archive\n");
    testenv::MakeDirs(env.web() + "/vubo/languages/wmc");
    testenv::WriteFile(env.web() + "/vubo/languages/wmc/t.txt", "1 console\n");

    for (int module : {0, 7, -1, 1000}) EXPECT_FALSE(Opens("en-us", static_cast<LanguageModule>(module))) << module;
    // Each module reads its own subdirectory.
    LanguageTable wmc;
    ASSERT_TRUE(wmc.Open("en-us", LanguageModuleWmc));
    EXPECT_STREQ(wmc.GetString(1), "console");
    EXPECT_FALSE(Opens("en-us", LanguageModuleLdap));

    EXPECT_FALSE(Opens("gone"));
    EXPECT_FALSE(testenv::Exists(env.File("gone.txt.idx")));

    // An empty index newer than its file cannot be read in one read of its size.
    const std::string path = env.Write("e.txt", "1 one\n");
    SetModificationTime(path, kPast);
    testenv::WriteFile(path + ".idx", "");
    LanguageTable empty;
    EXPECT_FALSE(empty.Open("empty", LanguageModuleDlArchives));
    EXPECT_STREQ(empty.GetString(1), "");

    // Without a web administration directory the file is looked up below "/vubo", in vain.
    testenv::Config bare("[Language Selection]\nen-us=English,utf-8,t.txt\n");
    EXPECT_FALSE(Opens("en-us"));
}

TEST(LanguageTable, BuildIndexWritesEntriesDirectly)
{
    testenv::TempDir dir;
    const std::string language = dir / "l.txt";
    testenv::WriteFile(language, "\n1 a\r\n  \n2 bc\n");
    EXPECT_TRUE(LanguageTable::BuildIndex(language.c_str(), (dir / "l.idx").c_str()));
    EXPECT_EQ(IndexEntries(dir / "l.idx"), std::vector<uint32_t>({3, 11, 14}));
    EXPECT_FALSE(LanguageTable::BuildIndex((dir / "none.txt").c_str(), (dir / "n.idx").c_str()));
    EXPECT_FALSE(testenv::Exists(dir / "n.idx"));
    EXPECT_FALSE(LanguageTable::BuildIndex(language.c_str(), (dir / "no/such/dir.idx").c_str()));
}

TEST(LanguageTable, ShippedLanguageFiles)
{
    // The selection values come from the shipped example configuration, the files from the
    // repository, copied so that their indexes are written elsewhere.
    const std::string source = DLARCHIVE_SOURCE_DIR;
    const dlarchive::platform::IniFile example(source + "/data/kelmo.ini.example");
    const std::string enUs = example.Get("Language Selection", "en-us", "", 1023);
    const std::string deDe = example.Get("Language Selection", "de-de", "", 1023);
    ASSERT_FALSE(enUs.empty());
    ASSERT_FALSE(deDe.empty());
    LanguageEnv env("en-us=" + enUs + "\nde-de=" + deDe + "\n");
    const std::string shipped = source + "/data/web/vubo/languages/dlarchives/";
    for (const char* name : {"en-us.txt", "de-de.txt"}) std::filesystem::copy_file(shipped + name, env.File(name));

    const int used[] = {94, 110, 111, 112, 122, 126, 127, 128, 129, 130};
    const std::pair<const char*, const char*> helpTexts[] = {{"en-us", "Help"}, {"de-de", "Hilfe"}};
    for (const auto& [locale, help] : helpTexts) {
        SCOPED_TRACE(locale);
        std::string key;
        std::string charset;
        ResolveLanguageSelection(locale, key, charset);
        EXPECT_EQ(key, locale);
        EXPECT_FALSE(charset.empty());

        LanguageTable table;
        ASSERT_TRUE(table.Open(key.c_str(), LanguageModuleDlArchives));
        EXPECT_EQ(table.GetCount(), 130);
        EXPECT_EQ(IndexEntries(env.File(std::string(locale) + ".txt.idx")).size(), 131u);
        for (int n = 1; n <= 130; ++n) EXPECT_STRNE(table.GetString(n), "") << n;
        EXPECT_STREQ(table.GetString(131), "");
        EXPECT_STREQ(table.GetString(94), help);
        for (int n : used) {
            const std::string text = table.GetString(n);
            EXPECT_NE(text, "-") << n;
            EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << n;
        }
        // A subject-less message must not pass for a reply when the threads are built.
        EXPECT_NE(strncasecmp(table.GetString(122), "re:", 3), 0);
        // The three placeholders must differ from one another: the search tells them apart.
        const std::string noSubject = table.GetString(122);
        const std::string noAuthor = table.GetString(127);
        const std::string noDate = table.GetString(128);
        EXPECT_NE(noSubject, noAuthor);
        EXPECT_NE(noAuthor, noDate);
        EXPECT_NE(noSubject, noDate);
    }
}

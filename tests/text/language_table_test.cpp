// Language files and their indexes: numbered lines, the selection values of the
// configuration, rebuilding the index only for a newer file, indexes that do not fit their
// file, and builders in several processes at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_env.h"
#include "text/language_table.h"

namespace {

std::vector<uint32_t> IndexEntries(const std::string& path)
{
    const std::string bytes = testenv::ReadFile(path);
    std::vector<uint32_t> entries;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + i);
        entries.push_back(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
    }
    return entries;
}

std::vector<std::string> Strings(const char* locale)
{
    LanguageTable table;
    if (!table.Open(locale, LanguageModuleDlArchives)) return {"(not opened)"};
    std::vector<std::string> strings;
    for (int n = 1; n <= table.GetCount(); ++n) strings.emplace_back(table.GetString(n));
    for (int n : {0, -1, table.GetCount() + 1, INT32_MIN, INT32_MAX}) EXPECT_STREQ(table.GetString(n), "") << n;
    return strings;
}

// Sets both times of `path` to `seconds` and `nanoseconds` past the epoch.
void Touch(const std::string& path, time_t seconds, long nanoseconds = 0)
{
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A web folder whose language files the configuration selects.
struct Languages : testing::Test {
    testenv::TempDir web;
    std::string dir = web / "vubo/languages/dlarchives/";
    testenv::Config config;
    void SetUp() override { testenv::MakeDirs(dir); }
    void Select(const std::string& selection)
    {
        config.Write("[Config]\nWebAdminDirectory=" + web.path() + "\n[Language Selection]\n" + selection + "\n");
    }
};

}  // namespace

TEST_F(Languages, FilesIndexesAndSelections)
{
    const std::string as(1021, 'a');  // with "1 " a first piece of exactly 1023 bytes
    // {file, strings, index entries (empty: not checked)}.
    const struct {
        std::string file;
        std::vector<std::string> strings;
        std::vector<uint32_t> index;
    } cases[] = {{"1 Hello\r\n\n2 World\n", {"Hello", "World"}, {2, 12, 18}},
                 {"", {}, {0}},
                 {"1 one\n2 two\n4 four\n", {"(not opened)"}, {2, 8}},  // a wrong number keeps a partial index
                 {"1 " + as + "2 rest\n3 three\n", {as + "2 rest", "rest", "three"}, {}},
                 {"1 " + as + " tail\n2 next\n", {as + " tail", "next"}, {}},
                 {"1 " + as + "aaa\n2 next\n", {"(not opened)"}, {}},
                 {"1 a\n2" + std::string(1022, 'b') + " rest\n3 c\n", {"a", " rest", "c"}, {}}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string locale = "l" + std::to_string(n), file = "t" + std::to_string(n++) + ".txt";
        testenv::WriteFile(dir + file, c.file);
        Select(locale + "=E,utf-8," + file);
        EXPECT_EQ(Strings(locale.c_str()), c.strings) << c.file.substr(0, 30);
        if (!c.index.empty()) {
            EXPECT_EQ(IndexEntries(dir + file + ".idx"), c.index) << c.file.substr(0, 30);
        }
    }
    // The index is built again only when the language file is newer, to the nanosecond.
    std::remove((dir + "t6.txt.idx").c_str());
    testenv::WriteFile(dir + "t6.txt", "1 old\n");
    EXPECT_EQ(Strings("l6"), (std::vector<std::string>{"old"}));
    testenv::WriteFile(dir + "t6.txt", "1 x\n2 y\n");
    Touch(dir + "t6.txt", 1'000'000'000, 500);
    Touch(dir + "t6.txt.idx", 1'000'000'000, 500);
    EXPECT_EQ(Strings("l6"), (std::vector<std::string>{"x"}));
    Touch(dir + "t6.txt", 1'000'000'000, 501);
    EXPECT_EQ(Strings("l6"), (std::vector<std::string>{"x", "y"}));
    EXPECT_FALSE(LanguageTable::BuildIndex((dir + "none.txt").c_str(), (dir + "n.idx").c_str()));
    EXPECT_FALSE(testenv::Exists(dir + "n.idx"));
    // A selection needs two commas; the key and charset fall back to English then. A path
    // that does not fit its buffer is refused, not cut.
    testenv::WriteFile(dir + "x,y.txt", "1 with comma\n");
    Select("one=English,t0.txt\nmany=E,iso-8859-15,x,y.txt\nlong=E,utf-8," + std::string(240, 'f'));
    for (const char* locale : {"one", "long"}) EXPECT_EQ(Strings(locale), (std::vector<std::string>{"(not opened)"}));
    LanguageTable many;
    ASSERT_TRUE(many.Open("many", LanguageModuleDlArchives));
    EXPECT_STREQ(many.GetCharset(), "iso-8859-15");
    EXPECT_STREQ(many.GetString(1), "with comma");
    EXPECT_FALSE(many.Open("many", LanguageModuleLdap));
    std::string key, charset;
    for (const char* locale : {"one", "missing", static_cast<const char*>(nullptr)}) {
        ResolveLanguageSelection(locale, key, charset);
        EXPECT_TRUE(key == "en-us" && charset == "iso-8859-1") << key << charset;
    }
    ResolveLanguageSelection("many", key, charset);
    EXPECT_TRUE(key == "many" && charset == "iso-8859-15,x") << charset;
}

TEST_F(Languages, EmptyDamagedAndConcurrentIndexesAreRebuilt)
{
    Select("xx=X,utf-8,x.txt");
    const std::string file = dir + "x.txt", index = file + ".idx";
    std::string content;
    for (int n = 1; n <= 3000; ++n) content += std::to_string(n) + " text " + std::to_string(n) + "\n";
    testenv::WriteFile(file, content);
    const auto opensWhole = [] {
        LanguageTable t;
        return t.Open("xx", LanguageModuleDlArchives) && t.GetCount() == 3000 &&
               std::string(t.GetString(2999)) == "text 2999";
    };
    // Left empty by a full disk, cut inside an entry, an offset past the file, offsets falling,
    // entries missing at the end: each newer than the file, each built afresh.
    const std::string entry2("\x02\0\0\0", 4), entry9("\x09\0\0\0", 4);
    for (const std::string& bad : {std::string(), entry2.substr(0, 3), entry2 + std::string("\xff\xff\xff\x7f", 4),
                                   entry9 + entry2, entry2 + entry9 + entry9}) {
        testenv::WriteFile(index, bad);
        Touch(file, 1'000'000'000);
        Touch(index, 1'000'000'100);
        EXPECT_TRUE(opensWhole()) << bad.size();
        EXPECT_EQ(testenv::ReadFile(index).size(), 3001u * 4);
    }

    // Processes that each make the file newer and open it: every open finds a whole index.
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c)
        children.push_back(testenv::Spawn([&, c] {
            int failures = 0;
            for (int i = 0; i < 60; ++i) {
                if ((i + c) % 2 == 0) ::utimensat(AT_FDCWD, file.c_str(), nullptr, 0);
                failures += !opensWhole();
            }
            return failures;
        }));
    for (const pid_t pid : children) EXPECT_EQ(testenv::Wait(pid), 0);
    // No temporary file is left beside the index.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);

    // Where no index can take its place beside the file (here a directory in the way; for a
    // reader, a folder it may not write), a private index serves, and none is left behind.
    testenv::TempDir temp;  // the test's own process: TMPDIR is its own to set
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    std::filesystem::remove(index);
    testenv::MakeDirs(index + "/in-the-way");
    EXPECT_TRUE(opensWhole());
    EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
}

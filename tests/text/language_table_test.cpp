// Language files and their indexes: numbered lines, the selection values of the
// configuration, rebuilding the index only for a newer file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "robustness/hostile_support.h"
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

}  // namespace

TEST(LanguageTable, FilesIndexesAndSelections)
{
    testenv::TempDir web;
    const std::string dir = web / "vubo/languages/dlarchives/";
    testenv::MakeDirs(dir);
    testenv::Config config("[Config]\nWebAdminDirectory=" + web.path() + "\n[Language Selection]\n" +
                           "one=English,t0.txt\nmany=English,iso-8859-15,x,y.txt\n");
    const std::string as(1021, 'a');  // with "1 " a first piece of exactly 1023 bytes
    // {file, strings, index entries (empty: not checked)}.
    const struct {
        std::string file;
        std::vector<std::string> strings;
        std::vector<uint32_t> index;
    } cases[] = {{"1 Hello\r\n\n2 World\n", {"Hello", "World"}, {2, 12, 18}},
                 {"01 zero\n+2  two\n\t3 tab: skipped\n003x up to the blank\n \n4\n5\r\n6 six\n007 seven\r\n8 last\r",
                  {"zero", " two", "up to the blank", "", "", "six", "seven", "last"},
                  {}},
                 {"1 first\n2 whole, no line end", {"first", "whole, no line end"}, {}},
                 {"", {}, {0}},
                 {"1 first\n2", {"first", ""}, {}},
                 {"1 one\n2 two\n4 four\n", {"(not opened)"}, {2, 8}},  // a wrong number keeps a partial index
                 {"1 " + as + "2 rest\n3 three\n", {as + "2 rest", "rest", "three"}, {}},
                 {"1 " + as + " tail\n2 next\n", {as + " tail", "next"}, {}},
                 {"1 " + as + "aaa\n2 next\n", {"(not opened)"}, {}},
                 {"1 a\n2" + std::string(1022, 'b') + " rest\n3 c\n", {"a", " rest", "c"}, {}}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string locale = "l" + std::to_string(n), file = "t" + std::to_string(n++) + ".txt";
        testenv::WriteFile(dir + file, c.file);
        config.Write("[Config]\nWebAdminDirectory=" + web.path() + "\n[Language Selection]\n" + locale + "=E,utf-8," +
                     file + "\n");
        EXPECT_EQ(Strings(locale.c_str()), c.strings) << c.file.substr(0, 30);
        if (!c.index.empty()) {
            EXPECT_EQ(IndexEntries(dir + file + ".idx"), c.index) << c.file.substr(0, 30);
        }
    }
    // The index is built again only when the language file is newer, to the nanosecond.
    const auto touch = [](const std::string& path, long nanoseconds) {
        const struct timespec times[2] = {{1'000'000'000, nanoseconds}, {1'000'000'000, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    std::remove((dir + "t9.txt.idx").c_str());
    testenv::WriteFile(dir + "t9.txt", "1 old\n");
    EXPECT_EQ(Strings("l9"), (std::vector<std::string>{"old"}));
    testenv::WriteFile(dir + "t9.txt", "1 x\n2 y\n");
    touch(dir + "t9.txt", 500);
    touch(dir + "t9.txt.idx", 500);
    EXPECT_EQ(Strings("l9"), (std::vector<std::string>{"x"}));
    touch(dir + "t9.txt", 501);
    EXPECT_EQ(Strings("l9"), (std::vector<std::string>{"x", "y"}));
    EXPECT_FALSE(LanguageTable::BuildIndex((dir + "none.txt").c_str(), (dir + "n.idx").c_str()));
    EXPECT_FALSE(testenv::Exists(dir + "n.idx"));
    // A selection needs two commas; the key and charset fall back to English then.
    testenv::WriteFile(dir + "x,y.txt", "1 with comma\n");
    config.Write("[Config]\nWebAdminDirectory=" + web.path() +
                 "\n[Language Selection]\none=English,t0.txt\nmany=E,iso-8859-15,x,y.txt\n");
    EXPECT_EQ(Strings("one"), (std::vector<std::string>{"(not opened)"}));
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
    char shortKey[4], shortCharset[6];
    EXPECT_FALSE(ResolveLanguageSelection("many", shortKey, sizeof shortKey, shortCharset, sizeof shortCharset));
    EXPECT_STREQ(shortKey, "man");
    EXPECT_STREQ(shortCharset, "iso-8");
    // A damaged index newer than its file (offsets backwards, beyond the file, near 4 GB, a
    // size not a multiple of four): strings come back empty or cut, never from outside.
    hostile::Rng rng(0x7e0007);
    config.Write("[Config]\nWebAdminDirectory=" + web.path() + "\n[Language Selection]\ndmg=E,utf-8,t0.txt\n");
    const std::string content = "1 one\n2 two\n3 three\n";
    int opened = 0;
    for (int trial = 0; trial < 60; ++trial) {
        testenv::WriteFile(dir + "t0.txt", content);
        std::string index;
        for (uint32_t e = rng.Below(12); e > 0; --e) {
            const uint32_t kind = rng.Below(4), value = kind == 0 ? rng.Below(static_cast<uint32_t>(content.size() + 1))
                                                        : kind == 1
                                                            ? static_cast<uint32_t>(content.size()) + rng.Below(64)
                                                        : kind == 2 ? static_cast<uint32_t>(rng.Next()) % (1u << 20)
                                                                    : UINT32_MAX - rng.Below(4096);
            for (int b = 0; b < 4; ++b) index += static_cast<char>(value >> (8 * b));
        }
        testenv::WriteFile(dir + "t0.txt.idx", index + rng.Bytes(rng.Below(4)));
        touch(dir + "t0.txt", 0);
        touch(dir + "t0.txt.idx", 100);
        LanguageTable table;
        if (!table.Open("dmg", LanguageModuleDlArchives)) continue;
        ++opened;
        for (int32_t n = -1; n <= table.GetCount() + 1; ++n) {
            const std::string text = table.GetString(n);
            EXPECT_TRUE(text.size() <= content.size() && text.find('\n') == std::string::npos) << trial << " " << n;
        }
    }
    EXPECT_GT(opened, 20);
}

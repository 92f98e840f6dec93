#include <gtest/gtest.h>

#include "platform/config.h"
#include "support/test_env.h"

using dlarchive::platform::GetProfileSectionKeys;
using dlarchive::platform::GetProfileString;

TEST(Config, LookupRulesOfTheProfileReader)
{
    testenv::Config config(
        "; a comment\r\n"
        "# another comment\n"
        "[DlManager]\n"
        "DbPath =  /srv/dlmgr  \n"
        "dbpath=/second/occurrence\n"
        "Quoted = \"  with blanks  \"\n"
        "Single='x'\n"
        "Mismatched=\"abc'\n"
        "Empty=\n"
        "NoEquals line\n"
        "[ DLMANAGER ]\n"
        "Later=from the repeated section\n"
        "DbPath=/third\n"
        "[Other]\n"
        "Key=a=b\n");
    // Sections and keys compare without regard to case; the first occurrence wins.
    EXPECT_EQ(GetProfileString("dlmanager", "DBPATH", "d", 259), "/srv/dlmgr");
    EXPECT_EQ(GetProfileString("DLManager", "DbPath", "d", 259), "/srv/dlmgr");
    // One pair of matching quotes goes, the blanks inside stay.
    EXPECT_EQ(GetProfileString("DlManager", "Quoted", "d", 259), "  with blanks  ");
    EXPECT_EQ(GetProfileString("DlManager", "Single", "d", 259), "x");
    EXPECT_EQ(GetProfileString("DlManager", "Mismatched", "d", 259), "\"abc'");
    // A present but empty value is empty, not the default.
    EXPECT_EQ(GetProfileString("DlManager", "Empty", "d", 259), "");
    EXPECT_EQ(GetProfileString("DlManager", "NoEquals line", "d", 259), "d");
    EXPECT_EQ(GetProfileString("DlManager", "Later", "d", 259), "from the repeated section");
    // The value is everything after the first "=".
    EXPECT_EQ(GetProfileString("Other", "Key", "d", 259), "a=b");
    // Missing section and key give the default.
    EXPECT_EQ(GetProfileString("Nowhere", "Key", "fallback", 259), "fallback");
    EXPECT_EQ(GetProfileString("Other", "Missing", "", 259), "");
    // Comments are not keys.
    EXPECT_EQ(GetProfileString("", "; a comment", "d", 259), "d");
}

TEST(Config, MissingFileIsAnEmptyConfiguration)
{
    testenv::Config config;
    std::remove(config.ini().c_str());
    EXPECT_EQ(GetProfileString("DlManager", "DbPath", "default", 259), "default");
    EXPECT_TRUE(GetProfileSectionKeys("Language Selection").empty());
}

TEST(Config, SectionKeysInFileOrder)
{
    testenv::Config config(
        "[Language Selection]\n"
        "en-us=1,utf-8,en.txt\n"
        "de-de=2,utf-8,de.txt\n"
        "[Other]\n"
        "fr-fr=x\n"
        "[language selection]\n"
        "EN-US=duplicate\n"
        "ja-jp=3,utf-8,ja.txt\n");
    const auto keys = GetProfileSectionKeys("LANGUAGE SELECTION");
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0], "en-us");
    EXPECT_EQ(keys[1], "de-de");
    EXPECT_EQ(keys[2], "ja-jp");
    EXPECT_TRUE(GetProfileSectionKeys("Missing").empty());
}

TEST(Config, ValuesAreCutAtTheirLimitAndLongLinesReadWhole)
{
    const std::string longValue(3000, 'v');
    testenv::Config config("[A]\nLong=" + longValue + "\nAfter=still read\n");
    EXPECT_EQ(GetProfileString("A", "Long", "", 259), longValue.substr(0, 259));
    EXPECT_EQ(GetProfileString("A", "Long", "", 2047), longValue.substr(0, 2047));
    // The rest of the long line is not taken for a line of its own.
    EXPECT_EQ(GetProfileString("A", "After", "", 259), "still read");
    EXPECT_EQ(GetProfileString("A", "Missing", longValue, 10), "vvvvvvvvvv");

    CIniSetting ini("kelmo.ini");
    const char* first = ini.GetValue("A", "After", "");
    const char* second = ini.GetValue("A", "Missing", "default");
    for (int i = 0; i < 100; ++i) ini.GetValue("A", "After", "");
    // Earlier results stay valid while the object lives.
    EXPECT_STREQ(first, "still read");
    EXPECT_STREQ(second, "default");
    EXPECT_EQ(std::string(ini.GetValue("A", "Long", "")).size(), CIniSetting::kMaxValue);
}

TEST(Config, ServerOptionsHaveDefaults)
{
    testenv::Config config("[Options]\nPostmaster=admin@example.org\n");
    ::setenv("TMPDIR", "/var/tmp", 1);
    CQRNIniSetting options;
    EXPECT_STREQ(options.GetPostmaster(), "admin@example.org");
    EXPECT_STREQ(options.GetTempDir(), "/var/tmp");
    EXPECT_STREQ(options.GetSmtpServer(), "smtp://127.0.0.1:25");
    config.Write("");
    ::unsetenv("TMPDIR");
    CQRNIniSetting defaults;
    EXPECT_STREQ(defaults.GetPostmaster(), "postmaster@localhost");
    EXPECT_STREQ(defaults.GetTempDir(), "/tmp");
}

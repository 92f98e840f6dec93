// The platform layer: configuration, log and files (password keys: the remote access file).
#include <gtest/gtest.h>

#include <regex>

#include "dlarchive/dlarchive.h"
#include "platform/config.h"
#include "platform/file_util.h"
#include "support/test_env.h"

using dlarchive::platform::GetProfileString;

TEST(Config, LookupRulesOfTheProfileReader)
{
    testenv::Config config(
        "; c\r\n[DlManager]\nDbPath =  /srv/dlmgr  \ndbpath=/second\nQuoted = \"  in  \"\nSingle='x'\n"
        "Mismatched=\"abc'\nEmpty=\nNoEquals line\n[ DLMANAGER ]\nLater=repeated\n[Other]\nKey=a=b\n"
        "[Language Selection]\nen-us=1\nde-de=2\n[language selection]\nEN-US=dup\nja-jp=3\n[A]\nLong=" +
        std::string(3000, 'v') + "\nAfter=still read\n");
    // {section, key, expected}: case-blind names, the first occurrence, one pair of quotes
    // off, everything after the first "=", the default only when the key is missing.
    const char* const rows[][3] = {{"dlmanager", "DBPATH", "/srv/dlmgr"},
                                   {"DlManager", "Quoted", "  in  "},
                                   {"DlManager", "Mismatched", "\"abc'"},
                                   {"DlManager", "NoEquals line", "d"},
                                   {"DlManager", "Later", "repeated"},
                                   {"Other", "Key", "a=b"},
                                   {"Nowhere", "Key", "d"},
                                   {"A", "After", "still read"}};
    for (const auto& row : rows) EXPECT_EQ(GetProfileString(row[0], row[1], "d", 259), row[2]) << row[1];
    EXPECT_EQ(GetProfileString("A", "Long", "", 259), std::string(259, 'v'));
    EXPECT_EQ(dlarchive::platform::GetProfileSectionKeys("LANGUAGE SELECTION"),
              (std::vector<std::string>{"en-us", "de-de", "ja-jp"}));
    CIniSetting ini("kelmo.ini");
    const char* first = ini.GetValue("A", "After", "");
    for (int i = 0; i < 100; ++i) ini.GetValue("A", "Missing", "other");
    EXPECT_STREQ(first, "still read");  // earlier results stay valid while the object lives
    EXPECT_EQ(std::string(ini.GetValue("A", "Long", "")).size(), CIniSetting::kMaxValue);
    std::remove(config.ini().c_str());
    EXPECT_EQ(GetProfileString("DlManager", "DbPath", "default", 259), "default");
    ::unsetenv("TMPDIR");
    EXPECT_STREQ(CQRNIniSetting().GetPostmaster(), "postmaster@localhost");
    EXPECT_STREQ(CQRNIniSetting().GetTempDir(), "/tmp");
}

TEST(Logging, LevelsAndLineEnds)
{
    testenv::TempDir logs;
    testenv::Config config("[Gateway]\nLogDirectory=" + logs / "new" + "\nLogLevel=5\n");
    CLogging owner("DL Manager Archive");
    owner.PrintLogMessage(5, "Processing archive message ID <%X>", 3000u);
    owner.PrintLog(6, "above level 5: dropped");
    owner.PrintLog(1, "an error\nspread over\r\nlines");
    LogMessage(1, "MsgStore", "from the log writer");
    EXPECT_EQ(std::regex_replace(testenv::ReadFile(logs / "new/kelmo.log"),
                                 std::regex(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )"), "$1"),
              "5 DL Manager Archive: Processing archive message ID <BB8>\n"
              "1 DL Manager Archive: an error spread over  lines\n"
              "1 MsgStore: from the log writer\n");
}

// Reading a message file (copying and listing: the rebuild and the report mail).
TEST(FileUtil, ReadAndDelimiters)
{
    testenv::TempDir dir;
    CFileUtil files("DL Manager Archive");
    const std::string content = std::string("Subject: x\r\n\r\nbody\0after a zero", 30);
    testenv::WriteFile(dir / "1.msg", content);
    testenv::MakeDirs(dir / "2.msg");
    char* buffer = nullptr;
    uint32_t length = 99;
    files.Read((dir / "1.msg").c_str(), buffer, length);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(buffer, length + 1), content + '\0');
    delete[] buffer;
    EXPECT_THROW(files.Read((dir / "2.msg").c_str(), buffer, length), CFileUtilException);
    EXPECT_TRUE(CDirUtil::IsDelimiterExist("/srv/a/"));
    for (const char* path : {"/srv/a", "C:\\A\\", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(CDirUtil::IsDelimiterExist(path));
}

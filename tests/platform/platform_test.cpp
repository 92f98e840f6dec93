// The platform layer: configuration, log, files, password keys, and the library as a user
// sees it (exported names, installed headers and pkg-config).
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <regex>

#include "dlarchive/dlarchive.h"
#include "platform/config.h"
#include "platform/file_util.h"
#include "platform/hash_key.h"
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
                                   {"DlManager", "Single", "x"},
                                   {"DlManager", "Mismatched", "\"abc'"},
                                   {"DlManager", "Empty", ""},
                                   {"DlManager", "NoEquals line", "d"},
                                   {"DlManager", "Later", "repeated"},
                                   {"Other", "Key", "a=b"},
                                   {"Nowhere", "Key", "d"},
                                   {"", "; c", "d"},
                                   {"A", "After", "still read"}};
    for (const auto& row : rows) EXPECT_EQ(GetProfileString(row[0], row[1], "d", 259), row[2]) << row[1];
    EXPECT_EQ(GetProfileString("A", "Long", "", 259), std::string(259, 'v'));
    EXPECT_EQ(GetProfileString("A", "Missing", std::string(30, 'v'), 10), std::string(10, 'v'));
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

TEST(Logging, LevelsLineEndsAndWholeLinesFromSeveralProcesses)
{
    testenv::TempDir logs;
    testenv::Config config("[Gateway]\nLogDirectory=" + logs / "new" + "\nLogLevel=5\n");
    CLogging owner("DL Manager Archive");
    owner.PrintLogMessage(5, "Processing archive message ID <%X>", 3000u);
    owner.PrintLog(6, "above level 5: dropped");
    owner.PrintLog(1, "an error\nspread over\r\nlines");
    owner.SetLastErrorMsg("the last error");
    owner.PrintLog("DL Mgr Archive", 1);
    LogMessage(1, "MsgStore", "from the log writer");
    EXPECT_EQ(std::regex_replace(testenv::ReadFile(logs / "new/kelmo.log"),
                                 std::regex(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )"), "$1"),
              "5 DL Manager Archive: Processing archive message ID <BB8>\n"
              "1 DL Manager Archive: an error spread over  lines\n1 DL Mgr Archive: the last error\n"
              "1 MsgStore: from the log writer\n");
    config.Write("[Gateway]\nLogDirectory=" + logs.path() + "\n");  // default level 6
    std::vector<pid_t> children;
    for (int p = 0; p < 4; ++p)
        children.push_back(testenv::Spawn([p] {
            CLogging writer(("writer" + std::to_string(p)).c_str());
            for (int i = 0; i < 300; ++i)
                writer.PrintLogMessage(i % 2 ? 6 : 7, "%d %s end", i, std::string(700, 'x').c_str());
            return 0;
        }));
    for (pid_t pid : children) EXPECT_EQ(testenv::Wait(pid), 0);
    const auto all = testenv::Lines(testenv::ReadFile(logs / "kelmo.log"));
    ASSERT_EQ(all.size(), 600u);
    for (const auto& line : all)
        ASSERT_TRUE(std::regex_match(line, std::regex(R"(\S+ \S+ 6 writer\d: \d+ x{700} end)")));
    config.Write("");
    testing::internal::CaptureStderr();
    owner.PrintLog(1, "to the console");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("1 DL Manager Archive: to the console\n"), std::string::npos);
}

TEST(FileUtil, ReadCopyAndList)
{
    testenv::TempDir dir, target;
    CFileUtil files("DL Manager Archive");
    const std::string content = std::string("Subject: x\r\n\r\nbody\0after a zero", 30);
    for (const char* name : {"archiveenv.db", "ARCHIVEBODY.DB", "other.db", "A.MSG", ".hidden.msg", "empty.msg"})
        testenv::WriteFile(dir / name, name == std::string("empty.msg") ? "" : name);
    testenv::WriteFile(dir / "1.msg", content);
    testenv::MakeDirs(dir / "2.msg");
    char* buffer = nullptr;
    uint32_t length = 99;
    files.Read((dir / "1.msg").c_str(), buffer, length);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(buffer, length + 1), content + '\0');
    delete[] buffer;
    for (const char* name : {"empty.msg", "missing.msg"}) {
        files.Read((dir / name).c_str(), buffer, length);
        EXPECT_TRUE(buffer == nullptr && length == 0) << name;
    }
    EXPECT_TRUE(files.IsExist((dir / "empty.msg").c_str()) && !files.IsExist((dir / "missing.msg").c_str()));
    EXPECT_THROW(files.Read((dir / "2.msg").c_str(), buffer, length), CFileUtilException);
    // Copies matching names case-blind, over what is there unless told to keep it.
    const auto copy = [&](const std::string& to, const char* pattern, bool keep, bool needOne) {
        files.CopyFiles(dir.path().c_str(), to.c_str(), pattern, keep, needOne);
        return testenv::ReadFile(target / "archiveenv.db") + testenv::ReadFile(target / "ARCHIVEBODY.DB");
    };
    testenv::WriteFile(target / "archiveenv.db", "old");
    EXPECT_EQ(copy(target.path(), "archive*.*", false, false), "archiveenv.dbARCHIVEBODY.DB");
    EXPECT_FALSE(testenv::Exists(target / "other.db"));
    testenv::WriteFile(target / "archiveenv.db", "kept");
    EXPECT_EQ(copy(target.path(), "archive*.*", true, false), "keptARCHIVEBODY.DB");
    EXPECT_NO_THROW(copy(target.path(), "none*", false, false));
    EXPECT_THROW(copy(target.path(), "none*", false, true), CFileUtilException);
    EXPECT_THROW(copy(target / "no", "arch*", false, false), CFileUtilException);
    EXPECT_EQ(CDirUtil().List(dir.path().c_str(), "*.msg"), (std::vector<std::string>{"1.msg", "A.MSG", "empty.msg"}));
    EXPECT_TRUE(CDirUtil::IsDelimiterExist("/srv/a/"));
    for (const char* path : {"/srv/a", "C:\\A\\", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(CDirUtil::IsDelimiterExist(path));
}

TEST(HashKey, KeysVerifyAgainstTheirPasswordOnly)
{
    CHashKey first, second;
    ASSERT_TRUE(first.Hash("s3cret") && second.Hash("s3cret"));
    const std::string key = first.GetKey();
    EXPECT_EQ(key.rfind("$y$", 0), 0u);
    EXPECT_NE(key, second.GetKey());  // a fresh setting per key
    EXPECT_TRUE(CHashKey::Verify("s3cret", key.c_str()) && CHashKey::Verify("s3cret", second.GetKey()));
    for (const char* wrong : {"s3cre", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(CHashKey::Verify(wrong, key.c_str()));
    for (const char* other : {"ab01FAX.bQRSU", "$y$", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(CHashKey::Verify("s3cret", other));
}

// The shared library exports the system's names and nothing of its platform layer.
TEST(Library, ExportsOnlyItsInterface)
{
    void* handle = dlopen(DLARCHIVE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_NE(dlsym(handle, "mm_dlog"), nullptr);  // c-client's callbacks
    dlclose(handle);
    const auto r = testenv::Run("nm -D --defined-only -C " + testenv::Quote(DLARCHIVE_LIBRARY));
    for (const char* name :
         {"CDlArchive::GetArchivePath()", "CDlArchiveException::CDlArchiveException(int, char const*)",
          "LogMessage(int, char const*, char const*)", "appendString"})
        EXPECT_NE(r.out.find(name), std::string::npos) << name;
    for (const char* name : {"dlarchive::platform::", "CFileUtil::", "CHashKey::"})
        EXPECT_EQ(r.out.find(name), std::string::npos) << name;
}

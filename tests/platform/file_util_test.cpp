#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/file_util.h"
#include "support/test_env.h"

TEST(FileUtil, ReadsWholeFilesAndReportsMissingOnesAsEmpty)
{
    testenv::TempDir dir;
    CFileUtil files("DL Manager Archive");
    std::string content = "Subject: x\r\n\r\nbody";
    content.push_back('\0');
    content += "after a zero byte";
    testenv::WriteFile(dir / "1.msg", content);
    testenv::WriteFile(dir / "empty.msg", "");

    char* buffer = nullptr;
    uint32_t length = 99;
    files.Read((dir / "1.msg").c_str(), buffer, length);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(buffer, length), content);
    EXPECT_EQ(buffer[length], '\0');
    delete[] buffer;

    for (const char* name : {"empty.msg", "missing.msg"}) {
        files.Read((dir / name).c_str(), buffer, length);
        EXPECT_EQ(buffer, nullptr) << name;
        EXPECT_EQ(length, 0u) << name;
    }
    EXPECT_TRUE(files.IsExist((dir / "empty.msg").c_str()));
    EXPECT_FALSE(files.IsExist((dir / "missing.msg").c_str()));
    EXPECT_FALSE(files.IsExist(""));

    // A directory where a file is expected cannot be read: the reader says why.
    testenv::MakeDirs(dir / "2.msg");
    try {
        files.Read((dir / "2.msg").c_str(), buffer, length);
        FAIL() << "no exception";
    } catch (const CFileUtilException& e) {
        EXPECT_NE(std::string(e.GetLastErrorMsg()).find("2.msg"), std::string::npos);
    }
}

TEST(FileUtil, CopyFilesByWildcard)
{
    testenv::TempDir source, target;
    testenv::WriteFile(source / "archiveenv.db", "env template");
    testenv::WriteFile(source / "ARCHIVEBODY.DB", "body template");
    testenv::WriteFile(source / "other.db", "not copied");
    testenv::WriteFile(target / "archiveenv.db", "old content");
    testenv::WriteFile(target / "1.msg", "message stays");

    CFileUtil files("DL Manager Archive");
    files.CopyFiles(source.path().c_str(), target.path().c_str(), "archive*.*", false, false);
    EXPECT_EQ(testenv::ReadFile(target / "archiveenv.db"), "env template");
    EXPECT_EQ(testenv::ReadFile(target / "ARCHIVEBODY.DB"), "body template");
    EXPECT_FALSE(testenv::Exists(target / "other.db"));
    EXPECT_EQ(testenv::ReadFile(target / "1.msg"), "message stays");

    // Keeping existing files, and refusing an empty match when asked to.
    testenv::WriteFile(target / "archiveenv.db", "kept");
    files.CopyFiles(source.path().c_str(), target.path().c_str(), "archive*.*", true, false);
    EXPECT_EQ(testenv::ReadFile(target / "archiveenv.db"), "kept");
    EXPECT_NO_THROW(files.CopyFiles(source.path().c_str(), target.path().c_str(), "none*.*", false, false));
    EXPECT_THROW(files.CopyFiles(source.path().c_str(), target.path().c_str(), "none*.*", false, true),
                 CFileUtilException);
    EXPECT_THROW(files.CopyFiles((source / "missing").c_str(), target.path().c_str(), "*", false, false),
                 CFileUtilException);
    // A target directory that cannot take the files.
    EXPECT_THROW(files.CopyFiles(source.path().c_str(), (target / "missing").c_str(), "archive*.*", false, false),
                 CFileUtilException);
}

TEST(FileUtil, DelimiterAndListing)
{
    EXPECT_TRUE(CDirUtil::IsDelimiterExist("/srv/dlmgr/sales/archive/"));
    EXPECT_FALSE(CDirUtil::IsDelimiterExist("/srv/dlmgr/sales/archive"));
    EXPECT_FALSE(CDirUtil::IsDelimiterExist("C:\\DLMGR\\"));
    EXPECT_FALSE(CDirUtil::IsDelimiterExist(""));
    EXPECT_FALSE(CDirUtil::IsDelimiterExist(nullptr));

    testenv::TempDir dir;
    for (const char* name : {"b.msg", "A.MSG", "3.msg", "notes.txt", ".hidden.msg"})
        testenv::WriteFile(dir / name, "x");
    testenv::MakeDirs(dir / "4.msg");
    const auto names = CDirUtil().List(dir.path().c_str(), "*.msg");
    EXPECT_EQ(names, (std::vector<std::string>{"3.msg", "A.MSG", "b.msg"}));
}

#include <gtest/gtest.h>

#include "dlarchive/dlarchive.h"
#include "support/test_env.h"

namespace {

CDlArchive ArchiveFor(const char* list)
{
    CDlArchive archive("test");
    EXPECT_TRUE(archive.SetListName(list));
    archive.GetArchivePath();
    return archive;
}

}  // namespace

TEST(ArchivePath, TrailingDelimiterAndMissingHome)
{
    testenv::Config config("[DlManager]\nDbPath=/srv/dlmgr/\n");
    EXPECT_STREQ(ArchiveFor("sales").GetArchivePathText(), "/srv/dlmgr/sales/archive/");
    config.Write("[DlManager]\nDbPath=/srv/dlmgr\n");
    EXPECT_STREQ(ArchiveFor("sales").GetArchivePathText(), "/srv/dlmgr/sales/archive/");
    // Only one trailing delimiter is removed.
    config.Write("[DlManager]\nDbPath=/srv/dlmgr//\n");
    EXPECT_STREQ(ArchiveFor("sales").GetArchivePathText(), "/srv/dlmgr//sales/archive/");
    config.Write("");
    CDlArchive archive = ArchiveFor("sales");
    EXPECT_STREQ(archive.GetArchivePathText(), "/sales/archive/");
    EXPECT_EQ(archive.GetDlHomeDir(), "/var/lib/dlmgr");
    config.Write("[dlmanager]\ndbpath=/home/of/templates/\n");
    EXPECT_EQ(archive.GetDlHomeDir(), "/home/of/templates/");
}

TEST(ArchivePath, NamesThatDoNotFitFailSoundly)
{
    testenv::Config config("[DlManager]\nDbPath=/srv\n");
    CDlArchive archive;
    EXPECT_TRUE(archive.SetListName(std::string(259, 'l').c_str()));
    EXPECT_FALSE(archive.SetListName(std::string(260, 'l').c_str()));
    EXPECT_EQ(std::string(archive.GetListName()).size(), 259u);
    // "/srv/" + 259 + "/archive/" is longer than 259 characters: no archive path.
    archive.GetArchivePath();
    EXPECT_STREQ(archive.GetArchivePathText(), "");
    EXPECT_NE(archive.GetLastError(), 0);

    // The longest list name that still fits: 259 = 5 + n + 9.
    const std::string fits(259 - 14, 'n');
    ASSERT_TRUE(archive.SetListName(fits.c_str()));
    archive.GetArchivePath();
    EXPECT_EQ(std::string(archive.GetArchivePathText()), "/srv/" + fits + "/archive/");
    ASSERT_TRUE(archive.SetListName((fits + "n").c_str()));
    archive.GetArchivePath();
    EXPECT_STREQ(archive.GetArchivePathText(), "");

    // A home directory that is itself too long.
    config.Write("[DlManager]\nDbPath=/" + std::string(400, 'h') + "\n");
    ASSERT_TRUE(archive.SetListName("sales"));
    archive.GetArchivePath();
    EXPECT_STREQ(archive.GetArchivePathText(), "");
}

TEST(ArchiveConfig, AutoRebuildValues)
{
    testenv::Config config;
    const auto on = [](const std::string& v) { return v == "Y" || v == "y"; };
    for (const auto& [value, expected] :
         std::vector<std::pair<std::string, bool>>{{"y", true}, {"Y", true}, {"N", false}, {"yes", false}}) {
        config.Write("[DlManager]\nAuthoRebuild=" + value + "\n");
        EXPECT_EQ(on(CDlArchive().IsAutoRebuild()), expected) << value;
        EXPECT_EQ(CDlArchive().IsAutoRebuild(), value);
    }
    // "AutoRebuild" (without the h) is another key.
    config.Write("[DlManager]\nAutoRebuild=N\n");
    EXPECT_EQ(CDlArchive().IsAutoRebuild(), "Y");
}

TEST(ArchiveConfig, MessageNumbersFromFileNames)
{
    EXPECT_EQ(CDlArchive::GetId("ff"), 255u);
    EXPECT_EQ(CDlArchive::GetId("12.34.msg"), 18u);
    EXPECT_EQ(CDlArchive::GetId("bb8.msg"), 3000u);
    EXPECT_EQ(CDlArchive::GetId("3e8.msg"), 1000u);
    EXPECT_EQ(CDlArchive::GetId("1a2b.msg"), 6699u);
    // Upper-case letters count as 0.
    EXPECT_EQ(CDlArchive::GetId("1A2B.msg"), 4128u);
    EXPECT_EQ(CDlArchive::GetId("ffffffff.msg"), 4294967295u);
    EXPECT_EQ(CDlArchive::GetId("0.msg"), 0u);
    EXPECT_EQ(CDlArchive::GetId(""), 0u);
    EXPECT_EQ(CDlArchive::GetId(nullptr), 0u);
    // More than eight significant digits do not fit: the largest number, never a wrap.
    EXPECT_EQ(CDlArchive::GetId("123456789.msg"), 4294967295u);
    EXPECT_EQ(CDlArchive::GetId(std::string(400, 'f').c_str()), 4294967295u);
    // Leading zeros are not significant.
    EXPECT_EQ(CDlArchive::GetId("00000000ff.msg"), 255u);
}

namespace {
// The result mappings are the archive manager's own; a subclass reaches them.
struct Mapper : CDlArchive {
    using CDlArchive::GetArchiveBodyDbRet;
    using CDlArchive::GetArchiveEnvDbRet;
};

struct Row {
    int result;
    int envCode;
    const char* envText;  // null: no exception
    int bodyCode;
    const char* bodyText;
};
}  // namespace

TEST(ArchiveResults, EveryRowOfBothMappings)
{
    const Row rows[] = {
        {0, 1, nullptr, 1, nullptr},
        {3, 3, "Archive envelope ID not found in archive envelope database", 9,
         "Archive body ID not found in message body database"},
        {4, 6, "Archive envelope database not in range", 12, "Archive body database not in range"},
        {9, 2, nullptr, 8, nullptr},
        {11, 1, "Could not open archive envelope database", 7, "Could not open archive body database"},
        {14, 4, "Archive envelope database is currently in use", 10, "Archive body database is currently in use"},
        {17, 5, "Archive envelope ID not found in archive envelope database", 11,
         "Archive body ID not found in message body database"},
        {18, 19, "No memory", 19, "No memory"},
        {22, 18, "Archive envelope database was rebuilt.", 18, "Archive body database rebuilt"},
        {13, 20, "Error in archive envelope database", 20, "Error in archive  database"},
        {-1, 20, "Error in archive envelope database", 20, "Error in archive  database"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("result " + std::to_string(row.result));
        Mapper env;
        env.SetLastError(77);
        if (row.envText == nullptr) {
            EXPECT_NO_THROW(env.GetArchiveEnvDbRet(row.result));
        } else {
            try {
                env.GetArchiveEnvDbRet(row.result);
                ADD_FAILURE() << "no exception";
            } catch (const CDlArchiveException& e) {
                EXPECT_EQ(e.GetLastError(), row.envCode);
                EXPECT_STREQ(e.GetLastErrorMsg(), row.envText);
            }
        }
        EXPECT_EQ(env.GetLastError(), row.envCode);

        Mapper body;
        // Result 11 keeps the code the caller set when the body relation failed to open.
        body.SetLastError(7);
        if (row.bodyText == nullptr) {
            EXPECT_NO_THROW(body.GetArchiveBodyDbRet(row.result));
        } else {
            try {
                body.GetArchiveBodyDbRet(row.result);
                ADD_FAILURE() << "no exception";
            } catch (const CLogging& e) {  // a catcher of the base class catches it too
                EXPECT_EQ(e.GetLastError(), row.bodyCode);
                EXPECT_STREQ(e.GetLastErrorMsg(), row.bodyText);
            }
        }
        EXPECT_EQ(body.GetLastError(), row.bodyCode);
    }
    Mapper other;
    other.SetLastError(42);
    try {
        other.GetArchiveBodyDbRet(11);
    } catch (const CDlArchiveException& e) {
        EXPECT_EQ(e.GetLastError(), 42);
    }
}

TEST(ArchiveObject, ConstructionCopyAndException)
{
    testenv::Config config("[DlManager]\nDbPath=/srv\n");
    CDlArchive fresh;
    EXPECT_STREQ(fresh.GetListName(), "");
    EXPECT_STREQ(fresh.GetArchivePathText(), "");
    EXPECT_EQ(fresh.GetBufferLen(), 0u);
    EXPECT_EQ(fresh.GetHdrSize(), 0u);
    EXPECT_STREQ(fresh.GetModuleName(), "DL Archive");
    EXPECT_STREQ(CDlArchive("DL Manager").GetModuleName(), "DL Manager");

    CDlArchive original = ArchiveFor("sales");
    original.SetLastError(17);
    original.SetLastErrorMsg("Archive file not found or empty");
    CDlArchive copy(original);
    EXPECT_STREQ(copy.GetListName(), "sales");
    EXPECT_STREQ(copy.GetArchivePathText(), "/srv/sales/archive/");
    EXPECT_EQ(copy.GetLastError(), 17);
    EXPECT_STREQ(copy.GetLastErrorMsg(), "Archive file not found or empty");
    CDlArchive assigned = ArchiveFor("other");
    assigned = original;
    EXPECT_STREQ(assigned.GetArchivePathText(), "/srv/sales/archive/");
    EXPECT_EQ(assigned.GetBufferLen(), 0u);

    const CDlArchiveException e(26, "Unable to initialize language table");
    EXPECT_EQ(e.GetLastError(), 26);
    EXPECT_STREQ(e.GetLastErrorMsg(), "Unable to initialize language table");
    const CDlArchiveException longText(19, std::string(2000, 'x').c_str());
    EXPECT_EQ(std::string(longText.GetLastErrorMsg()).size(), 512u);
}

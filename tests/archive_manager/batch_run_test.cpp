// The batch run over the lists of a real slapd: the three cases of relation and message files,
// the archive option, a failed directory load, and a page failure that ends the run.
#include <gtest/gtest.h>

#include <filesystem>

#include "dlarchive/dlarchive.h"
#include "support/archive_home.h"
#include "support/slapd_server.h"

namespace {

// What a list's archive directory holds: relations, pages, both or neither.
std::string State(const testenv::ArchiveHome& home, const std::string& list)
{
    const std::string archive = home.ArchivePath(list);
    return std::string(testenv::Exists(archive + "archiveenv.db") ? "R" : "-") +
           (testenv::Exists(archive + "en-us-thread.html") ? "P" : "-");
}

}  // namespace

TEST(BatchRun, ArchivesEveryListByItsFilesAndStopsAtAPageFailure)
{
    const testenv::Slapd& slapd = testenv::Slapd::Get();
    testenv::ArchiveHome home("N");
    const std::vector<std::string> lists = {"both", "norel", "nomsg", "off", "empty"};
    std::string ldif;
    for (const std::string& list : lists)
        ldif += testenv::ListEntry(list, "mail: " + list + "\narchive: " + (list == "off" ? "0" : "1") + "\n");
    slapd.Reset(ldif);
    home.CreateList("both"), home.CreateList("norel", false), home.CreateList("nomsg");
    home.CreateList("off", false), home.CreateList("empty", false);
    for (const char* list : {"both", "norel", "off"}) home.WriteMessage(list, 1, testenv::SimpleMessage(list));
    const auto states = [&] {
        std::string s;
        for (const std::string& list : lists) s += State(home, list) + " ";
        return s;
    };
    CDlArchive manager("DL Manager");
    home.WriteIni("N", slapd.Ini("wrong"));
    manager.StartArchive();
    EXPECT_EQ(states(), "R- -- R- -- -- ");
    EXPECT_STREQ(manager.GetListName(), "");

    home.WriteIni("N", slapd.Ini());
    manager.StartArchive();
    EXPECT_EQ(states(), "RP RP R- -- -- ");
    EXPECT_STREQ(manager.GetListName(), "empty");
    EXPECT_EQ(manager.GetArchivePathText(), home.ArchivePath("empty"));

    // Damaged relations with automatic rebuild off end the run at that list's pages.
    testenv::WriteFile(home.ArchivePath("nomsg") + "archiveenv.db", "not a database");
    home.WriteMessage("nomsg", 1, testenv::SimpleMessage("x"));
    std::filesystem::remove(home.ArchivePath("both") + "en-us-thread.html");
    std::filesystem::remove(home.ArchivePath("norel") + "en-us-thread.html");
    slapd.Reset(testenv::ListEntry("n", "mail: nomsg\n") + testenv::ListEntry("b", "mail: both\n") + ldif);
    EXPECT_NE(testenv::Thrown([&] { manager.StartArchive(); }).first, 0);
    EXPECT_EQ(states(), "R- R- R- -- -- ");
    EXPECT_STREQ(manager.GetListName(), "nomsg");
}

// The tool's next, prev and search commands on a list whose name and texts hold blanks,
// quotes and non-ASCII characters.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "dlarchive/dlarchive.h"
#include "support/archive_home.h"

namespace {

using nlohmann::json;

TEST(SearchCli, NeighboursAndSearchAsJson)
{
    testenv::ArchiveHome home;
    const std::string list = "Ventes \"d'\xC3\xA9t\xC3\xA9\" 2001";
    const std::string dir = home.CreateList(list);
    CDlArchive a;
    ASSERT_TRUE(a.SetListName(list.c_str()));
    a.GetArchivePath();
    const std::string from = "=?utf-8?q?Zo=C3=AB_=22Q=22_M=C3=BCller?= <zoe@ex.org>";
    const std::string subjects[] = {"Caf\xC3\xA9 \"menu\"", "Re: Caf\xC3\xA9 \"menu\"", "Other",
                                    "Re: Caf\xC3\xA9 \"menu\""};
    for (uint32_t n = 1; n <= 4; ++n) {
        home.WriteMessage(list, n, testenv::SimpleMessage(subjects[n - 1], n == 3 ? "bob@x.org" : from));
        ASSERT_TRUE(a.AddArchive(dir.c_str(), n));
    }
    const auto run = [&](const std::string& args) {
        return testenv::Run(testenv::Quote(DLARCHIVE_CLI) + " --config " + testenv::Quote(home.config().dir()) + " " +
                            args + " 2>&1");
    };
    const std::string l = testenv::Quote(list);
    const json zoe2 = {{"number", 2},
                       {"author", "Zo\xC3\xAB \"Q\" M\xC3\xBCller"},
                       {"date", "Mon, 1 Oct 2001 "},
                       {"subject", subjects[1]}};
    auto r = run("next " + l + " 1 --sort thread");
    EXPECT_EQ(json::parse(r.out), zoe2);
    r = run("prev " + l + " 1 --sort thread");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "dlarchive: no previous message of 1 in thread order\n");
    r = run("search " + l + " " + testenv::Quote("re: caf\xC3\xA9 \"") + " --by subject --ignore-case --partial");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(json::parse(r.out)[0], zoe2);
    EXPECT_EQ(json::parse(r.out).size(), 2u);
    for (const char* bad : {"next x 1", "prev x 1 --sort size", "search x y --by colour", "search x y --by date --z"}) {
        r = run(bad);
        EXPECT_EQ(r.status, 2) << bad;
    }
    r = run("search nolist x --by subject");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "dlarchive: error 1: Cannot open archive envelope database\n");
}

}  // namespace

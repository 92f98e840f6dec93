// The command-line tool as a real process on a DL manager home of the test's own (the child
// finds it through $KELMO_CONFIG_DIR): usage, error lines, the message commands, next and search.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/archive_home.h"

namespace {

struct Cli : testing::Test {
    testenv::ArchiveHome home;
    testenv::RunResult Dlarchive(const std::string& args)
    {
        return testenv::Run(testenv::Quote(DLARCHIVE_CLI) + " " + args);
    }
    std::string Subject(const std::string& number)
    {
        const auto r = Dlarchive("show sales " + number);
        return r.status == 0 ? nlohmann::json::parse(r.out)["envelope"]["subject"].get<std::string>() : r.err;
    }
};

}  // namespace

TEST_F(Cli, UsageAndErrorLines)
{
    EXPECT_EQ(Dlarchive("path sales").out, home.path() + "/sales/archive/\n");
    {
        testenv::Config other("[DlManager]\nDbPath=/elsewhere/\n");  // --config overrides the environment
        EXPECT_EQ(Dlarchive("--config " + testenv::Quote(home.config().dir()) + " path sales").out,
                  home.path() + "/sales/archive/\n");
    }
    for (const char* bad :
         {"", "no-such-command", "path", "path a b", "--bogus help", "remote-add x", "add sales 4 12x", "add sales 0x",
          "add sales -1", "add sales 4294967296", "import sales", "init --bogus"}) {
        const auto r = Dlarchive(bad);
        EXPECT_TRUE(r.status == 2 && r.out.empty() && r.err.find("usage: dlarchive") != std::string::npos) << bad;
    }
    EXPECT_EQ(Dlarchive("path " + std::string(300, 'x')).err.rfind("dlarchive: error ", 0), 0u);
}

TEST_F(Cli, InitAddImportAndShow)
{
    testenv::TempDir other;
    EXPECT_EQ(Dlarchive("init").status, 1);  // the templates exist: nothing replaced without --force
    ASSERT_EQ(Dlarchive("init --force").status, 0);
    home.CreateList("sales");
    home.WriteMessage("sales", 0x1a, testenv::SimpleMessage("Twenty-six"));
    home.WriteMessage("sales", 7, "Subject: cut off");
    home.WriteMessage("sales", 3, testenv::SimpleMessage("Three"));
    auto r = Dlarchive("add sales 5 0x1a 0x7 3.msg");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "dlarchive: not archived: 5: error 17: Archive file not found or empty\n"
              "dlarchive: not archived: 0x7: error 13: Message header is invalid\n");
    EXPECT_EQ(Subject("26"), "Twenty-six");
    EXPECT_EQ(Subject("0x3"), "Three");
    EXPECT_EQ(Subject("7"), "dlarchive: error 3: Archive envelope ID not found in archive envelope database\n");
    // An mboxrd file: "From " lines frame the messages, quoted ones lose one ">"; the
    // files take the numbers after the highest.
    const std::string first = "From: a@b.org\nSubject: Quoting\n\n>From here.\n", second = "Subject: Two\r\n\r\nx\r\n";
    testenv::WriteFile(other / "in.mbox", "From a@b Mon Oct  1 09:00:00 2001\n" + first.substr(0, 32) + ">" +
                                              first.substr(32) + "\nFrom x\n" + second + "\n");
    r = Dlarchive("import sales " + testenv::Quote(other / "in.mbox"));
    EXPECT_EQ(r.out, "imported 2 messages into sales (0 not archived)\n") << r.err;
    EXPECT_EQ(testenv::ReadFile(home.ArchivePath("sales") + "1b.msg"), first);
    EXPECT_EQ(testenv::ReadFile(home.ArchivePath("sales") + "1c.msg"), second);
    EXPECT_EQ(Subject("28"), "Two");
    EXPECT_EQ(nlohmann::json::parse(Dlarchive("next sales 3 --sort date").out)["number"], 26);
    r = Dlarchive("search sales TWO --by subject --ignore-case");
    EXPECT_EQ(nlohmann::json::parse(r.out).size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["subject"], "Two");
    for (const char* bad : {"prev sales 1 --sort size", "search sales y --by colour"})
        EXPECT_EQ(Dlarchive(bad).status, 2);
}

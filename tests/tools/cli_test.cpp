#include <gtest/gtest.h>

#include "platform/hash_key.h"
#include "support/test_env.h"

namespace {

struct Cli : testing::Test {
    testenv::TempDir home;
    testenv::Config config{"[DlManager]\nDbPath=" + home.path() + "\n"};

    testenv::RunResult Dlarchive(const std::string& args)
    {
        return testenv::Run(testenv::Quote(DLARCHIVE_CLI) + " " + args);
    }
};

}  // namespace

TEST_F(Cli, HelpPathAndUsageErrors)
{
    auto r = Dlarchive("help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("remote-add LIST ENTRY"), std::string::npos);

    r = Dlarchive("path sales");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, home.path() + "/sales/archive/\n");

    // --config overrides the environment.
    testenv::Config other("[DlManager]\nDbPath=/elsewhere/\n");
    r = Dlarchive("--config " + testenv::Quote(config.dir()) + " path sales");
    EXPECT_EQ(r.out, home.path() + "/sales/archive/\n");
    r = Dlarchive("path sales");
    EXPECT_EQ(r.out, "/elsewhere/sales/archive/\n");

    for (const char* bad : {"", "no-such-command", "path", "path a b", "--bogus help", "remote-add x"}) {
        r = Dlarchive(bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("usage: dlarchive"), std::string::npos) << bad;
        EXPECT_EQ(r.out, "") << bad;
    }
}

TEST_F(Cli, FailuresGiveTheErrorLine)
{
    auto r = Dlarchive("path " + std::string(300, 'x'));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("dlarchive: error ", 0), 0u);

    testenv::MakeDirs(home / "sales/archive");
    r = Dlarchive("remote-add sales ann@example.org");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: error 23: Password not found.\n");
    // The line end the tool adds is the only token of an empty entry: it is taken for the
    // address, so the password is what is missing.
    r = Dlarchive("remote-add sales ''");
    EXPECT_EQ(r.err, "dlarchive: error 23: Password not found.\n");
    r = Dlarchive("remote-add missing ann@example.org,pw");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: error 19: Out of memory\n");

    // The tool supplies the entry's line end: the whole password is hashed.
    r = Dlarchive("remote-add sales 'ann@example.org, secret'");
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = testenv::Lines(testenv::ReadFile(home / "sales/archive/remote.txt"), "\r\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(CHashKey::Verify("secret", lines[0].substr(lines[0].find(';') + 1).c_str()));
}

// The tool on inputs that never end, special files and hostile entries.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>

#include "support/archive_home.h"
#include "support/test_env.h"

using testenv::Quote;

namespace {

struct HardeningCli : testing::Test {
    testenv::ArchiveHome home;
    std::string dir = home.CreateList("sales");

    // `timeout` turns a blocked command into a failure instead of a hung test.
    testenv::RunResult Dlarchive(const std::string& args, const std::string& input = "/dev/null")
    {
        return testenv::Run("timeout 60 " + Quote(DLARCHIVE_CLI) + " " + args + " < " + Quote(input));
    }
    // The names of the archive directory that are not relations.
    std::vector<std::string> Files()
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() != ".db" && e.path().filename() != "remote.txt")
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST_F(HardeningCli, SpecialFilesAndEndlessInputsNeitherBlockNorGrow)
{
    ASSERT_EQ(::mkfifo((dir + "5.msg").c_str(), 0600), 0);
    auto r = Dlarchive("add sales 5");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: 5: error 16: Not a regular file " + dir + "5.msg\n");
    ASSERT_EQ(::unlink((dir + "5.msg").c_str()), 0);

    r = Dlarchive("import sales /dev/zero");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: /dev/zero message 1: larger than 64 MiB\n");
    EXPECT_EQ(r.out, "imported 0 messages into sales (1 not archived)\n");
    EXPECT_EQ(Files(), std::vector<std::string>{});

    // In an mbox, the message past the bound is refused and the import goes on.
    testenv::TempDir in;
    const std::string small = testenv::SimpleMessage("Small");
    testenv::WriteFile(in / "big.mbox", "From a\n" + small + "\nFrom b\nSubject: big\n\n" +
                                            std::string((64 << 20) - 20, 'x') + "\nFrom c\n" + small + "\n");
    r = Dlarchive("import sales " + Quote(in / "big.mbox"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: " + in / "big.mbox" + " message 2: larger than 64 MiB\n");
    EXPECT_EQ(r.out, "imported 2 messages into sales (1 not archived)\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"1.msg", "2.msg"}));
    EXPECT_EQ(testenv::ReadFile(dir + "2.msg"), small);
}

TEST_F(HardeningCli, AnEmptyMboxEntryLeavesNoFileAndTheRebuildGoesOn)
{
    testenv::TempDir in;
    const std::string one = testenv::SimpleMessage("One"), two = testenv::SimpleMessage("Two");
    testenv::WriteFile(in / "gap.mbox", "From a\n" + one + "\nFrom b\nFrom c\n\nFrom d\n" + two + "\n");
    auto r = Dlarchive("import sales " + Quote(in / "gap.mbox"));
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string name = in / "gap.mbox";
    EXPECT_EQ(r.err, "dlarchive: passed over: " + name + " message 2: empty\ndlarchive: passed over: " + name +
                         " message 3: empty\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"1.msg", "2.msg"}));
    EXPECT_EQ(testenv::ReadFile(dir + "2.msg"), two);
    r = Dlarchive("rebuild sales");
    EXPECT_EQ(r.status, 0) << r.err;
}

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <regex>

#include "dlarchive/logging.h"
#include "support/test_env.h"

TEST(Logging, LinesLandInKelmoLogWithLevelFilter)
{
    testenv::TempDir logs;
    const std::string logDir = logs / "not-yet-there";
    testenv::Config config("[Gateway]\nLogDirectory=" + logDir + "\nLogLevel=5\n");

    CLogging owner("DL Manager Archive");
    owner.PrintLogMessage(5, "Processing archive message ID <%X>", 3000u);
    owner.PrintLog(6, "information is above level 5 and dropped");
    owner.PrintLog(1, "an error\nspread over\r\nlines");
    owner.SetLastErrorMsg("the last error");
    owner.PrintLog("DL Mgr Archive", 1);
    owner.PrintLog(1, "%s and %d", "format", 7);
    owner.PrintLogEx(1, "ex %s", "form");
    LogMessage(1, "MsgStore", "from the log writer");

    const auto lines = testenv::Lines(testenv::ReadFile(logDir + "/kelmo.log"));
    ASSERT_EQ(lines.size(), 6u);
    const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} .*)");
    for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
    EXPECT_EQ(lines[0].substr(20), "5 DL Manager Archive: Processing archive message ID <BB8>");
    EXPECT_EQ(lines[1].substr(20), "1 DL Manager Archive: an error spread over  lines");
    EXPECT_EQ(lines[2].substr(20), "1 DL Mgr Archive: the last error");
    EXPECT_EQ(lines[3].substr(20), "1 DL Manager Archive: format and 7");
    EXPECT_EQ(lines[4].substr(20), "1 DL Manager Archive: ex form");
    EXPECT_EQ(lines[5].substr(20), "1 MsgStore: from the log writer");
}

TEST(Logging, DefaultLevelIsSixAndNoDirectoryMeansStandardError)
{
    testenv::TempDir logs;
    testenv::Config config("[Gateway]\nLogDirectory=" + logs.path() + "\n");
    CLogging owner("M");
    owner.PrintLogEx("information");  // level 6
    owner.PrintLog(7, "debugging");
    EXPECT_EQ(testenv::Lines(testenv::ReadFile(logs / "kelmo.log")).size(), 1u);

    config.Write("");
    testing::internal::CaptureStderr();
    owner.PrintLog(1, "to the console");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("1 M: to the console\n"), std::string::npos);
}

TEST(Logging, SeveralProcessesWriteWholeLines)
{
    testenv::TempDir logs;
    testenv::Config config("[Gateway]\nLogDirectory=" + logs.path() + "\n");
    constexpr int kProcesses = 4, kLines = 300;
    const std::string payload(700, 'x');
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CLogging writer(("writer" + std::to_string(p)).c_str());
            for (int i = 0; i < kLines; ++i) writer.PrintLogMessage(1, "%d %s end", i, payload.c_str());
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto lines = testenv::Lines(testenv::ReadFile(logs / "kelmo.log"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kProcesses * kLines));
    const std::regex whole(R"(^\S+ \S+ 1 writer\d: \d+ x{700} end$)");
    for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
}

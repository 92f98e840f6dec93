#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/mbox.h"
#include "support/test_env.h"

namespace {

std::vector<std::string> Split(const std::string& text)
{
    cli::MboxSplitter splitter(text);
    std::vector<std::string> messages;
    std::string message;
    while (splitter.Next(message)) messages.push_back(message);
    EXPECT_EQ(splitter.Count(), messages.size());
    return messages;
}

std::vector<std::string> ReadAll(const std::string& path)
{
    cli::MessageFileReader reader(path);
    std::vector<std::string> messages;
    std::string message;
    while (reader.Next(message)) messages.push_back(message);
    EXPECT_EQ(reader.Count(), messages.size());
    return messages;
}

std::set<std::string> MsgFiles(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

}  // namespace

TEST(Mbox, SplitsOnlyAtFromLinesAndKeepsEveryOtherByte)
{
    const std::string mbox =
        "From alice@example.org Mon Jan  1 00:00:00 2024\n"
        "From: Alice <alice@example.org>\n"
        "Subject: one\n"
        "\n"
        "Sent From my phone\n"
        " From the margin\n"
        ">From quoted once\n"
        ">>From quoted twice\n"
        "> From not a quote of a separator\n"
        ">Fromage\n"
        "From the start\n"  // an unquoted body line in an mboxo file still splits
        "tail\n"
        "\n"
        "From bob@example.org Tue Jan  2 00:00:00 2024\n"
        "From: Bob\n"
        "\n"
        "no trailing newline";
    const auto messages = Split(mbox);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0],
              "From: Alice <alice@example.org>\n"
              "Subject: one\n"
              "\n"
              "Sent From my phone\n"
              " From the margin\n"
              "From quoted once\n"
              ">From quoted twice\n"
              "> From not a quote of a separator\n"
              ">Fromage");
    EXPECT_EQ(messages[1], "tail\n");
    EXPECT_EQ(messages[2], "From: Bob\n\nno trailing newline");
}

TEST(Mbox, MboxrdQuotingCrlfAndEmptyMessages)
{
    // An mboxrd writer quotes a body line "From the start" as ">From the start".
    const std::string crlf =
        "From a@x Mon Jan  1 00:00:00 2024\r\n"
        "Subject: crlf\r\n"
        "\r\n"
        ">From the start\r\n"
        "\r\n"
        "\r\n"  // the message ends with an empty line of its own
        "From b@x Mon Jan  1 00:00:00 2024\r\n"
        "From c@x Mon Jan  1 00:00:00 2024\r\n"
        "\r\n"
        "From d@x Mon Jan  1 00:00:00 2024\r\n"
        "Subject: last\r\n"
        "\r\n"
        "bare CR stays\r";
    const auto messages = Split(crlf);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "Subject: crlf\r\n\r\nFrom the start\r\n\r\n");
    EXPECT_EQ(messages[1], "");  // two separator lines in a row
    EXPECT_EQ(messages[2], "");  // only the framing line end between two separators
    EXPECT_EQ(messages[3], "Subject: last\r\n\r\nbare CR stays\r");

    // Exactly one line end is framing: LF-only file with several blank lines at the end.
    const auto lf = Split("From x\nA: b\n\nbody\n\n\nFrom y\nC: d\n\n");
    ASSERT_EQ(lf.size(), 2u);
    EXPECT_EQ(lf[0], "A: b\n\nbody\n\n");
    EXPECT_EQ(lf[1], "C: d\n");

    // A separator line that is the last thing in the file holds an empty message.
    const auto tail = Split("From x\nA: b\n\nFrom y");
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(tail[0], "A: b\n");
    EXPECT_EQ(tail[1], "");

    // Binary bytes and NULs pass through; "From" needs the space and the exact case.
    const char binary[] = "From z\nX: \0\xff\n\nFrom:x\nfrom y\nFROM q\n";
    const auto bin = Split(std::string(binary, sizeof binary - 1));
    ASSERT_EQ(bin.size(), 1u);
    const char expected[] = "X: \0\xff\n\nFrom:x\nfrom y\nFROM q";
    EXPECT_EQ(bin[0], std::string(expected, sizeof expected - 1));
}

TEST(Mbox, FilesAreMboxOrOneMessageTakenWhole)
{
    testenv::TempDir dir;
    EXPECT_TRUE(cli::IsMbox("From x\n"));
    EXPECT_FALSE(cli::IsMbox("From: x\n"));
    EXPECT_FALSE(cli::IsMbox(" From x\n"));
    EXPECT_FALSE(cli::IsMbox(""));

    // A single message: every byte, even lines that would be separators in an mbox.
    const std::string single = "From: a@example.org\r\nSubject: s\r\n\r\n>From x\nFrom y\n\n";
    testenv::WriteFile(dir / "one.eml", single);
    cli::MessageFileReader one(dir / "one.eml");
    EXPECT_FALSE(one.IsMbox());
    EXPECT_EQ(ReadAll(dir / "one.eml"), std::vector<std::string>{single});

    testenv::WriteFile(dir / "empty", "");
    EXPECT_TRUE(ReadAll(dir / "empty").empty());

    testenv::WriteFile(dir / "box", "From a\nS: 1\n\nx\n\nFrom b\nS: 2\n\ny\n");
    cli::MessageFileReader box(dir / "box");
    EXPECT_TRUE(box.IsMbox());
    EXPECT_EQ(ReadAll(dir / "box"), (std::vector<std::string>{"S: 1\n\nx\n", "S: 2\n\ny"}));

    // Something that cannot be mapped (a pipe) is read instead.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        static const char text[] = "From a\nS: 1\n\nFrom b\nS: 2\n";
        const int fd = ::open((dir / "fifo").c_str(), O_WRONLY);
        const bool ok = fd >= 0 && ::write(fd, text, sizeof text - 1) == sizeof text - 1;
        ::_exit(ok ? 0 : 1);
    }
    EXPECT_EQ(ReadAll(dir / "fifo"), (std::vector<std::string>{"S: 1\n", "S: 2"}));
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_THROW(cli::MessageFileReader(dir / "missing"), std::system_error);
}

TEST(Mbox, NextMessageNumberFollowsTheHighestMessageFile)
{
    testenv::TempDir dir;
    EXPECT_EQ(cli::NextMessageNumber(dir.path()), 1u);
    for (const char* name : {"1.msg", "a.msg", "FF.MSG", "12.msg", "notes.txt"}) testenv::WriteFile(dir / name, "x");
    // Upper-case letters count as 0 in the archive's reading, so FF.MSG is number 0; 12.msg
    // (18) is the highest; notes.txt is no message file.
    EXPECT_EQ(cli::NextMessageNumber(dir.path()), 0x13u);
    testenv::WriteFile(dir / "fff.txt", "x");
    EXPECT_EQ(cli::NextMessageNumber(dir.path()), 0x13u);
    testenv::WriteFile(dir / "1f.Msg", "x");  // ".msg" in any case is a message file
    EXPECT_EQ(cli::NextMessageNumber(dir.path() + "/"), 0x20u);

    testenv::WriteFile(dir / "ffffffff.msg", "x");
    EXPECT_THROW(cli::NextMessageNumber(dir.path()), std::overflow_error);
    EXPECT_THROW(cli::NextMessageNumber(dir / "missing"), std::system_error);
}

TEST(Mbox, WritesNeverReplaceAnExistingFile)
{
    testenv::TempDir dir;
    EXPECT_EQ(cli::MessageFileName(0xBB8), "bb8.msg");
    testenv::WriteFile(dir / "5.msg", "old five");
    testenv::WriteFile(dir / "6.msg", "old six");

    EXPECT_EQ(cli::WriteMessageFile(dir.path(), "first", 4), 4u);
    EXPECT_EQ(cli::WriteMessageFile(dir.path(), std::string("new\0bytes\r\n", 11), 5, false), 7u);
    EXPECT_EQ(cli::WriteMessageFile(dir.path(), "", 0), 1u);
    EXPECT_EQ(testenv::ReadFile(dir / "4.msg"), "first");
    EXPECT_EQ(testenv::ReadFile(dir / "5.msg"), "old five");
    EXPECT_EQ(testenv::ReadFile(dir / "6.msg"), "old six");
    EXPECT_EQ(testenv::ReadFile(dir / "7.msg"), std::string("new\0bytes\r\n", 11));
    EXPECT_EQ(testenv::ReadFile(dir / "1.msg"), "");
    // No temporary file is left behind.
    EXPECT_EQ(MsgFiles(dir.path()), (std::set<std::string>{"1.msg", "4.msg", "5.msg", "6.msg", "7.msg"}));

    testenv::WriteFile(dir / "ffffffff.msg", "last");
    EXPECT_THROW(cli::WriteMessageFile(dir.path(), "x", 0xFFFFFFFF), std::overflow_error);
    EXPECT_EQ(testenv::ReadFile(dir / "ffffffff.msg"), "last");
    EXPECT_THROW(cli::WriteMessageFile(dir / "missing", "x", 1), std::system_error);
    EXPECT_EQ(MsgFiles(dir.path()).size(), 6u);
}

TEST(Mbox, TwoImportersNeverTakeTheSameNumber)
{
    testenv::TempDir dir;
    constexpr int kPerProcess = 50;
    std::vector<pid_t> children;
    for (int process = 0; process < 2; ++process) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            try {
                // Each message asks the directory afresh, as independent importers do, so both
                // processes keep aiming at the same next number.
                for (int i = 0; i < kPerProcess; ++i) {
                    const std::string text =
                        "process " + std::to_string(process) + " message " + std::to_string(i) + "\n";
                    cli::WriteMessageFile(dir.path(), text, cli::NextMessageNumber(dir.path()), false);
                }
            } catch (...) {
                failures = 1;
            }
            ::_exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const auto names = MsgFiles(dir.path());
    ASSERT_EQ(names.size(), 2u * kPerProcess);
    std::set<std::string> contents;
    for (uint32_t n = 1; n <= 2 * kPerProcess; ++n) {
        const std::string name = cli::MessageFileName(n);
        ASSERT_TRUE(names.count(name)) << name;
        contents.insert(testenv::ReadFile(dir / name));
    }
    // Every message arrived whole and none replaced another.
    ASSERT_EQ(contents.size(), 2u * kPerProcess);
    for (int process = 0; process < 2; ++process)
        for (int i = 0; i < kPerProcess; ++i)
            EXPECT_TRUE(contents.count("process " + std::to_string(process) + " message " + std::to_string(i) + "\n"));
}

TEST(Mbox, LargeFileReadsBackExactly)
{
    // Large enough that the reader gives mapped memory back several times while counting and
    // while splitting; every message must still come out exactly.
    testenv::TempDir dir;
    std::string mbox;
    std::vector<std::string> expected;
    const std::string filler(1000, 'x');
    for (int i = 0; mbox.size() < (std::size_t{40} << 20); ++i) {
        std::string message = "Subject: " + std::to_string(i) + "\r\n\r\n";
        for (int line = 0; line < 20; ++line)
            message += std::to_string(i * 20 + line) + filler.substr(0, (i + line) % 997) + "\r\n";
        expected.push_back(message);
        mbox += "From sender Mon Jan  1 00:00:00 2024\r\n" + message + "\r\n";
    }
    testenv::WriteFile(dir / "big.mbox", mbox);
    mbox.clear();

    cli::MessageFileReader reader(dir / "big.mbox");
    EXPECT_EQ(reader.Count(), expected.size());
    std::string message;
    std::size_t n = 0;
    while (reader.Next(message)) {
        ASSERT_LT(n, expected.size());
        ASSERT_EQ(message, expected[n]) << "message " << n;
        ++n;
    }
    EXPECT_EQ(n, expected.size());
    EXPECT_EQ(reader.Count(), expected.size());  // counting again after the end
}

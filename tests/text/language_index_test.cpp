// Language indexes that do not fit their file, and builders in several processes at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

#include "support/test_env.h"
#include "text/language_table.h"

TEST(LanguageIndex, EmptyDamagedAndConcurrentIndexesAreRebuilt)
{
    testenv::TempDir web;
    const std::string dir = web / "vubo/languages/dlarchives";
    testenv::MakeDirs(dir);
    const testenv::Config config("[Config]\nWebAdminDirectory=" + web.path() +
                                 "\n[Language Selection]\nxx=X,utf-8,x.txt\n");
    const std::string file = dir + "/x.txt", index = file + ".idx";
    std::string content;
    for (int n = 1; n <= 3000; ++n) content += std::to_string(n) + " text " + std::to_string(n) + "\n";
    testenv::WriteFile(file, content);
    const auto opensWhole = [] {
        LanguageTable t;
        return t.Open("xx", LanguageModuleDlArchives) && t.GetCount() == 3000 &&
               std::string(t.GetString(2999)) == "text 2999";
    };
    const auto setTime = [](const std::string& path, time_t seconds) {
        const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    // Left empty by a full disk, cut inside an entry, an offset past the file, offsets falling,
    // entries missing at the end: each newer than the file, each built afresh.
    const std::string entry2("\x02\0\0\0", 4), entry9("\x09\0\0\0", 4);
    for (const std::string& bad : {std::string(), entry2.substr(0, 3), entry2 + std::string("\xff\xff\xff\x7f", 4),
                                   entry9 + entry2, entry2 + entry9 + entry9}) {
        testenv::WriteFile(index, bad);
        setTime(file, 1'000'000'000);
        setTime(index, 1'000'000'100);
        EXPECT_TRUE(opensWhole()) << bad.size();
        EXPECT_EQ(testenv::ReadFile(index).size(), 3001u * 4);
    }

    // Processes that each make the file newer and open it: every open finds a whole index.
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < 60; ++i) {
                if ((i + c) % 2 == 0) ::utimensat(AT_FDCWD, file.c_str(), nullptr, 0);
                failures += !opensWhole();
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // No temporary file is left beside the index.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);

    // Where no index can take its place beside the file (here a directory in the way; for a
    // reader, a folder it may not write), a private index serves, and none is left behind.
    testenv::TempDir temp;
    const char* set = std::getenv("TMPDIR");
    const std::string previous = set != nullptr ? set : "";
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    std::filesystem::remove(index);
    testenv::MakeDirs(index + "/in-the-way");
    EXPECT_TRUE(opensWhole());
    EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
    set != nullptr ? ::setenv("TMPDIR", previous.c_str(), 1) : ::unsetenv("TMPDIR");
}

// The navigation's index answers as the walk does, and never from a relation that changed
// since it was built: another process adds a message, another rebuilds the relations.
#include <gtest/gtest.h>

#include <cstdio>

#include "search/navigation_index.h"
#include "support/archive_home.h"

namespace {

const char* const kSubjects[] = {"Plan", "Re: Plan", "RE: Plan", "Budget", "Re: Budget", "Re: Re: Plan", "Re:Plan"};
const char *const kAuthors[] = {"Ann Lee <ann@x.org>", "Bob <bob@x.org>", "cy@x.org"}, *const kNames[] = {"Ann Lee",
                                                                                                          "Bob",
                                                                                                          "cy@x.org"};

struct NavigationIndex : testenv::SalesList {
    uint32_t count = 0;
    static std::string Date(uint32_t n) { return "Mon, " + std::to_string(1 + n / 4 % 3) + " Oct 2001 09:00:00 +0000"; }
    void Add(uint32_t n, bool otherProcess)
    {
        home.WriteMessage("sales", n, testenv::SimpleMessage(kSubjects[n * 3 % 7], kAuthors[n / 2 % 3], Date(n)));
        if (!otherProcess) ASSERT_TRUE(manager.AddArchive(archive.c_str(), n));
        if (otherProcess) Cli("add sales " + std::to_string(n));
    }
    void Cli(const std::string& args)
    {
        const std::string config = testenv::Quote(home.config().dir());
        EXPECT_EQ(testenv::Run(testenv::Quote(DLARCHIVE_CLI) + " --config " + config + " " + args).status, 0) << args;
    }
    // Every neighbour of every number (and one past each end) in each order, walked or indexed.
    std::string Answers(uint32_t walkBeforeIndex)
    {
        dlarchive::search::g_walkBeforeIndex = walkBeforeIndex;
        std::string out = "\n";
        for (uint32_t n = 0; n <= count + 1; ++n)
            for (int sort = 0; sort < 3; ++sort)
                for (bool previous : {true, false}) {
                    const std::string key = sort == 0   ? kNames[n / 2 % 3]
                                            : sort == 1 ? Date(n).substr(0, 16)
                                                        : kSubjects[n * 3 % 7];
                    uint32_t found = 0;
                    char a[260] = {}, d[64] = {}, s[260] = {};
                    (manager.*(previous ? &CDlArchive::GetPreviousArchiveMsg : &CDlArchive::GetNextArchiveMsg))(
                        n, key.c_str(), sort, found, a, d, s, "en-us");
                    out += std::to_string(found) + "|" + a + "|" + d + "|" + s + "\n";
                }
        return out;
    }
};

TEST_F(NavigationIndex, AnswersAsTheWalkAndNeverFromAChangedRelation)
{
    for (count = 1; count <= 40; ++count) Add(count, false);
    count = 40;
    const std::string walked = Answers(UINT32_MAX);
    EXPECT_EQ(Answers(0), walked);
    EXPECT_GE(dlarchive::search::NavigationIndexEntries(), 3u * count);
    Add(++count, true);
    EXPECT_EQ(Answers(0), Answers(UINT32_MAX));
    EXPECT_NE(Answers(0).find("\n41|"), std::string::npos);
    ASSERT_EQ(std::remove((archive + "1.msg").c_str()), 0);
    Cli("rebuild sales");
    EXPECT_EQ(Answers(0), Answers(UINT32_MAX));
    EXPECT_EQ(Answers(0).find("\n1|"), std::string::npos);
}

}  // namespace

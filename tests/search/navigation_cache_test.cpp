// The navigation's index answers as the walk does, and never from a relation that changed
// since it was built: another process adds a message, another rebuilds the relations.
#include <gtest/gtest.h>

#include <cstdio>

#include "search/navigation_index.h"
#include "support/archive_home.h"

namespace {

const char* const kSubjects[] = {"Plan", "Re: Plan", "RE: Plan", "Budget", "Re: Budget", "Re: Re: Plan", "Re:Plan"};
const char* const kAuthors[][2] = {
    {"Ann Lee <ann@x.org>", "Ann Lee"}, {"Bob <bob@x.org>", "Bob"}, {"cy@x.org", "cy@x.org"}};

struct NavigationIndex : testenv::SalesList {
    static std::string Date(uint32_t n) { return "Mon, " + std::to_string(1 + n / 4 % 3) + " Oct 2001 09:00:00 +0000"; }
    void Write(uint32_t n)
    {
        home.WriteMessage("sales", n, testenv::SimpleMessage(kSubjects[n * 3 % 7], kAuthors[n / 2 % 3][0], Date(n)));
    }
    void Cli(const std::string& args)  // in a process of its own
    {
        const std::string config = testenv::Quote(home.config().dir());
        EXPECT_EQ(testenv::Run(testenv::Quote(DLARCHIVE_CLI) + " --config " + config + " " + args).status, 0) << args;
    }
    // Every neighbour of every number up to 42 in each order, walked or indexed.
    std::string Answers(uint32_t walkBeforeIndex)
    {
        dlarchive::search::g_walkBeforeIndex = walkBeforeIndex;
        std::string out = "\n";
        for (uint32_t n = 0; n <= 42; ++n) {
            const std::string keys[] = {kAuthors[n / 2 % 3][1], Date(n).substr(0, 16), kSubjects[n * 3 % 7]};
            for (int sort = 0; sort < 6; ++sort) {  // previous and next in each order
                uint32_t found = 0;
                char a[260] = {}, d[64] = {}, s[260] = {};
                (manager.*(sort % 2 ? &CDlArchive::GetPreviousArchiveMsg : &CDlArchive::GetNextArchiveMsg))(
                    n, keys[sort / 2].c_str(), sort / 2, found, a, d, s, "en-us");
                out += std::to_string(found) + "|" + a + "|" + d + "|" + s + "\n";
            }
        }
        return out;
    }
};

TEST_F(NavigationIndex, AnswersAsTheWalkAndNeverFromAChangedRelation)
{
    for (uint32_t n = 1; n <= 40; ++n) ASSERT_TRUE((Write(n), manager.AddArchive(archive.c_str(), n)));
    EXPECT_EQ(Answers(0), Answers(UINT32_MAX));
    EXPECT_GE(dlarchive::search::NavigationIndexEntries(), 120u);  // three groups of each message at least
    Write(41), Cli("add sales 41");
    EXPECT_EQ(Answers(0), Answers(UINT32_MAX));
    EXPECT_NE(Answers(0).find("\n41|"), std::string::npos);
    ASSERT_EQ(std::remove((archive + "1.msg").c_str()), 0);
    Cli("rebuild sales");
    EXPECT_EQ(Answers(0), Answers(UINT32_MAX));
    EXPECT_EQ(Answers(0).find("\n1|"), std::string::npos);
}

}  // namespace

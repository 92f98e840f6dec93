#include <gtest/gtest.h>

#include <cstring>

#include "dlarchive/dlarchive.h"
#include "platform/cclient.h"
#include "platform/cclient_records.h"
#include "support/archive_home.h"

namespace {

struct DisplayTexts : testing::Test {
    testenv::ArchiveHome home;
    CDlArchive archive;
    mail_envelope* env = dlarchive::cclient::NewEnvelope();
    char buffer[CDlArchive::kDisplayTextSize];

    void TearDown() override { dlarchive::cclient::FreeEnvelope(&env); }

    void SetFrom(const char* personal, const char* mailbox, const char* host)
    {
        dlarchive::cclient::FreeAddress(&env->from);
        env->from = dlarchive::cclient::NewAddress();
        env->from->personal = dlarchive::cclient::CopyString(personal);
        env->from->mailbox = dlarchive::cclient::CopyString(mailbox);
        env->from->host = dlarchive::cclient::CopyString(host);
    }

    std::string Author(const char* locale = "en-us")
    {
        std::memset(buffer, 0, sizeof buffer);
        archive.GetAuthorOfMessage(env, buffer, locale);
        return buffer;
    }
    std::string Date(const char* locale = "en-us")
    {
        std::memset(buffer, 0, sizeof buffer);
        archive.GetDateOfMessage(env, buffer, locale);
        return buffer;
    }
    std::string Subject(const char* locale = "en-us")
    {
        std::memset(buffer, 0, sizeof buffer);
        archive.GetSubjectOfMessage(env, buffer, locale);
        return buffer;
    }
};

}  // namespace

TEST_F(DisplayTexts, AuthorFromTheFirstAddress)
{
    EXPECT_EQ(Author(), "(unknown author)");
    EXPECT_EQ(Author("de-de"), "(unbekannter Absender)");
    SetFrom("Ann Lee", "ann", "example.org");
    EXPECT_EQ(Author(), "Ann Lee");
    SetFrom(nullptr, "ann", "example.org");
    EXPECT_EQ(Author(), " ann@example.org");
    SetFrom("", "ann", "example.org");
    EXPECT_EQ(Author(), " ann@example.org");
    // A personal name does not help when the host or mailbox is missing.
    SetFrom("Ann Lee", "ann", "");
    EXPECT_EQ(Author(), "(unknown author)");
    SetFrom("Ann Lee", nullptr, "example.org");
    EXPECT_EQ(Author(), "(unknown author)");
    // Only the first address counts.
    SetFrom(nullptr, nullptr, nullptr);
    env->from->next = dlarchive::cclient::NewAddress();
    env->from->next->mailbox = dlarchive::cclient::CopyString("bob");
    env->from->next->host = dlarchive::cclient::CopyString("example.org");
    EXPECT_EQ(Author(), "(unknown author)");
    // Long texts are cut to the buffer, always terminated.
    const std::string longName(5000, 'n');
    SetFrom(longName.c_str(), "ann", "example.org");
    EXPECT_EQ(Author(), longName.substr(0, 1023));
    SetFrom(nullptr, std::string(3000, 'm').c_str(), "example.org");
    EXPECT_EQ(Author().size(), 1023u);
}

TEST_F(DisplayTexts, DateAndSubject)
{
    EXPECT_EQ(Date(), "(no date)");
    EXPECT_EQ(Subject(), "(no subject)");
    EXPECT_EQ(Subject("de-de"), "(kein Betreff)");
    env->date = reinterpret_cast<unsigned char*>(dlarchive::cclient::CopyString("Fri, 28 Sep 2001 14:05:10 +0200"));
    EXPECT_EQ(Date(), "Fri, 28 Sep 2001");
    dlarchive::cclient::ReleaseString(reinterpret_cast<char**>(&env->date));
    env->date = reinterpret_cast<unsigned char*>(dlarchive::cclient::CopyString("28 Sep 2001"));
    EXPECT_EQ(Date(), "28 Sep 2001");
    env->subject = dlarchive::cclient::CopyString(std::string(2000, 's').c_str());
    EXPECT_EQ(Subject(), std::string(1023, 's'));
    dlarchive::cclient::ReleaseString(&env->subject);
    env->subject = dlarchive::cclient::CopyString("");
    EXPECT_EQ(Subject(), "(no subject)");
}

TEST_F(DisplayTexts, LocalesAndUnopenableTables)
{
    // A locale whose selection has fewer than two commas uses en-us.
    home.WriteIni("Y", "[Language Selection]\nfr-fr=Francais\n");
    EXPECT_EQ(Subject("fr-fr"), "(no subject)");
    EXPECT_EQ(Subject("xx-yy"), "(no subject)");
    // A table that does not open leaves the buffer as the caller filled it.
    home.WriteIni("Y", "[Language Selection]\nja-jp=Japanese,utf-8,missing.txt\n");
    std::remove((home.path() + "/web/vubo/languages/dlarchives/en-us.txt").c_str());
    env->subject = dlarchive::cclient::CopyString("Present");
    std::memset(buffer, 'k', sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    archive.GetSubjectOfMessage(env, buffer, "en-us");
    EXPECT_EQ(std::string(buffer), std::string(1023, 'k'));
    archive.GetAuthorOfMessage(env, buffer, "ja-jp");
    EXPECT_EQ(std::string(buffer), std::string(1023, 'k'));
}

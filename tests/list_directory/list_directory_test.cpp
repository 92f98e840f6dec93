// The mailing-list directory against a real slapd: records, walk, digest schedule files,
// load failures; NextDigestTime on the calendar of a zone with daylight saving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "dlarchive/list_directory.h"
#include "list_directory/ldap_settings.h"
#include "platform/ldap_client.h"
#include "support/slapd_server.h"
#include "support/test_env.h"

namespace {

// Every field of a record in one line.
std::string Summary(const MailingListRecord& r)
{
    char head[160];
    std::snprintf(head, sizeof head, "%s m%d a%d %d:%d s%d f%d i%d d%d %d%d%d%d ", r.name.c_str(), r.mode, r.archive,
                  r.digestHour, r.digestMinute, r.digestSizeLimit, r.frequency, r.invalidPostingAction, r.whichDay,
                  r.useMimeDigest, r.autoSubscription, r.postingAllowed, r.removeReturnReceipt);
    std::string s = head;
    for (const auto* text : {&r.subscribeTextPath, &r.unsubscribeTextPath, &r.welcomeTextPath, &r.disclaimerTextPath,
                             &r.disclaimerHtmlPath, &r.spareText})
        s += *text ? ((*text)->size() > 20 ? std::to_string((*text)->size()) + "B" : **text) : "-";
    for (const auto* members : {&r.immediateMembers, &r.digestMembers})
        for (const ListMemberEntry& m : *members)
            s.append(" ").append(std::to_string(m.delivery)).append(m.blocked ? "B" : "").append(m.address);
    return s + " #" + std::to_string(r.immediateMemberCount) + std::to_string(r.digestMemberCount);
}

std::string Local(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M %a", &tm);
    return text;
}

}  // namespace

TEST(ListDirectory, RecordsWalkAndScheduleFilesFromTheServer)
{
    const testenv::Slapd& slapd = testenv::Slapd::Get();
    const std::string accents = "\xc3\xa9t\xc3\xa9";
    slapd.Reset(testenv::ReadFile(DLARCHIVE_SOURCE_DIR "/tests/data/ldap/lists.ldif"));
    testenv::TempDir home;
    for (const char* list : {"alpha", "beta"}) testenv::MakeDirs(home / (std::string(list) + "/digest"));
    testenv::WriteFile(home / "beta/digest/digest.dt", "keep");
    testenv::Config config("[DlManager]\nDbPath=" + home.path() + "/\n" + slapd.Ini());

    MailingListDirectory directory;
    EXPECT_EQ(directory.First(), nullptr);
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(directory.Load());
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(directory.IsConnected());
    const std::vector<std::string> expected = {
        "alpha m0 a0 0:0 s0 f1 i3 d7 1011 ------ 0Bann@x.org 1bob@x.org #11",
        "beta m1 a1 7:30 s102400 f1 i2 d1 1011 /s2----- #00", "gamma m0 a1 0:0 s0 f0 i3 d1 1011 ------ #00",
        "../delta m0 a1 0:0 s2147483647 f2 i3 d31 0100 -" + accents + "3000B--- 0B 1" + accents + " #11"};
    ASSERT_EQ(directory.GetCount(), 4);
    std::vector<std::string> walked;
    for (const char* name = directory.First(); name != nullptr; name = directory.Next()) walked.push_back(name);
    EXPECT_EQ(directory.Next(), nullptr);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Summary(directory.GetRecords()[i]), expected[i]);
        EXPECT_EQ(walked[i], directory.GetRecords()[i].name);
    }
    EXPECT_EQ(directory.FindArchiveFlag("ALPHA"), 0);
    EXPECT_EQ(directory.FindArchiveFlag("Beta"), 1);
    EXPECT_EQ(directory.FindArchiveFlag("other"), -1);
    // Alpha's file is new and holds its next Sunday 0:00; beta's is untouched; gamma has no
    // digest folder, and delta's name does not lead out of the home.
    const std::string alpha = testenv::ReadFile(home / "alpha/digest/digest.dt");
    EXPECT_TRUE(alpha == std::to_string(NextDigestTime(before, 0, 0, 1, 7, 7)) ||
                alpha == std::to_string(NextDigestTime(after, 0, 0, 1, 7, 7)))
        << alpha;
    EXPECT_EQ(testenv::ReadFile(home / "beta/digest/digest.dt"), "keep");
    EXPECT_FALSE(CreateDigestSchedule(directory.GetRecords()[1], after));
    EXPECT_FALSE(testenv::Exists(home / "gamma"));
    for (const char* name : {"../delta", "a\\b", "a/b", "..", ".", "", "a\tb"}) EXPECT_EQ(DigestSchedulePath(name), "");
    EXPECT_EQ(DigestSchedulePath("a b"), home.path() + "/a b/digest/digest.dt");
    const std::string fits(259 - home.path().size() - 18, 'n');  // a path of 259 characters, then 260
    EXPECT_EQ(DigestSchedulePath(fits).size(), 259u);
    EXPECT_EQ(DigestSchedulePath(fits + "n"), "");
    directory.Free();
    EXPECT_EQ(directory.First(), nullptr);
}

TEST(ListDirectory, LoadFailuresEndWithoutRecordsAndWithoutHanging)
{
    const testenv::Slapd& slapd = testenv::Slapd::Get();
    slapd.Reset("");
    // A server that accepts connections and never answers.
    const auto [silent, silentPort] = testenv::SilentServer();
    const std::string silentUrl = "ldap://127.0.0.1:" + std::to_string(silentPort);
    const struct {
        std::string ini;
        bool loaded;
    } cases[] = {{slapd.Ini("wrong"), false},
                 {slapd.Ini("", silentUrl), false},
                 {slapd.Ini("", "ldap://127.0.0.1:1"), false},
                 {slapd.Ini("", "no host"), false},
                 {"[Ldap]\nHostName=" + slapd.ldapiUrl + "\n", true},
                 {slapd.Ini(), true}};
    testenv::Config config;
    for (const auto& c : cases) {
        config.Write(c.ini);
        MailingListDirectory directory;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(directory.Load(), c.loaded) << c.ini;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(directory.IsConnected(), c.loaded);
        EXPECT_EQ(directory.First(), nullptr);
        EXPECT_EQ(directory.FindArchiveFlag("any"), -1);
    }
    ::close(silent);
    for (const auto& [port, number] : std::vector<std::pair<std::string, int>>{
             {"", 389}, {"abc", 389}, {"0", 389}, {"3890", 3890}, {"12x", 12}, {"-5", -1}, {"70000", -1}})
        EXPECT_EQ(dlarchive::directory::LdapPortNumber(port), number) << port;
    // clang-format off
    for (const auto& [host, port, url] : std::vector<std::tuple<std::string, int, std::string>>{{"::1", 389,
             "ldap://[::1]:389"}, {"LDAPS://a", 0, "LDAPS://a"}, {"xdap://h", 389, ""}, {"h", 0, ""}, {"h", 65536, ""}})
        EXPECT_EQ(dlarchive::platform::LdapClient::ServerUrl(host, port), url) << host << port;
    // clang-format on
}

TEST(NextDigestTime, LocalCalendarAcrossMonthsLeapYearsAndDaylightSaving)
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const auto at = [](const std::string& text) {
        std::tm tm{};
        strptime(text.c_str(), "%Y-%m-%d %H", &tm);
        tm.tm_isdst = -1;
        return std::mktime(&tm);
    };
    // "now (local), frequency, which day, expected delivery (local)"; 2024-04-10 is a Wednesday.
    const char* const cases[] = {"2024-04-10 12,0,1,2024-04-10 07:30 Wed",  "2024-04-10 12,1,3,2024-04-10 07:30 Wed",
                                 "2024-04-10 12,1,5,2024-04-12 07:30 Fri",  "2024-04-10 12,1,1,2024-04-15 07:30 Mon",
                                 "2024-04-10 12,1,7,2024-04-14 07:30 Sun",  "2024-04-14 12,1,7,2024-04-21 07:30 Sun",
                                 "2024-04-10 12,2,31,2024-04-30 07:30 Tue", "2024-04-10 12,2,5,2024-04-05 07:30 Fri",
                                 "2024-02-01 09,2,31,2024-02-29 07:30 Thu", "2023-02-01 09,2,30,2023-02-28 07:30 Tue",
                                 "2100-02-01 09,2,31,2100-02-28 07:30 Sun", "2000-02-01 09,2,31,2000-02-29 07:30 Tue",
                                 "2024-03-30 12,1,7,2024-03-31 07:30 Sun",  "2024-10-01 12,2,31,2024-10-31 07:30 Thu",
                                 "2024-04-10 12,9,1,2024-04-10 12:00 Wed"};
    for (const std::string c : cases) {
        const auto f = testenv::Lines(c, ",");
        EXPECT_EQ(Local(NextDigestTime(at(f[0]), 7, 30, std::stoi(f[1]), std::stoi(f[2]), std::stoi(f[2]))), f[3]);
    }
    // Saturday noon CET to Sunday 7:30 CEST is 18.5 hours, not 19.5.
    EXPECT_EQ(NextDigestTime(at("2024-03-30 12"), 7, 30, 1, 7, 7) - at("2024-03-30 12"), 66600);
}

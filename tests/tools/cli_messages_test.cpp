// The message commands of the tool, run as the real binary on a DL manager home of the
// test's own (the child process finds it through $KELMO_CONFIG_DIR).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/archive_home.h"
#include "support/test_env.h"

using nlohmann::json;
using testenv::Quote;

namespace {

struct CliMessages : testing::Test {
    testenv::ArchiveHome home;

    testenv::RunResult Dlarchive(const std::string& args) { return testenv::Run(Quote(DLARCHIVE_CLI) + " " + args); }

    // "show" of a stored message, parsed; fails the test when the command does.
    json Show(const std::string& list, const std::string& number, const std::string& options = "")
    {
        const auto r = Dlarchive("show " + list + " " + number + (options.empty() ? "" : " " + options));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        if (r.status != 0) return json();
        return json::parse(r.out);
    }

    bool Stored(const std::string& list, const std::string& number)
    {
        const auto r = Dlarchive("show " + list + " " + number);
        if (r.status == 0) return true;
        EXPECT_EQ(r.err, "dlarchive: error 3: Archive envelope ID not found in archive envelope database\n");
        return false;
    }

    std::vector<std::string> MessageFiles(const std::string& list)
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(home.ArchivePath(list))) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".msg") == 0) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

const std::string kForward =
    "From: Bob <bob@example.org>\n"
    "To: sales@lists.example.org\n"
    "Subject: Fwd: Plan\n"
    "Date: Tue, 2 Oct 2001 10:00:00 +0000\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "--outer\n"
    "Content-Type: text/plain\n"
    "\n"
    "See below.\n"
    "--outer\n"
    "Content-Type: message/rfc822\n"
    "\n"
    "From: Carol <carol@example.net>\n"
    "Subject: Plan\n"
    "Date: Mon, 1 Oct 2001 08:00:00 +0000\n"
    "\n"
    "The plan.\n"
    "--outer--\n";

}  // namespace

TEST_F(CliMessages, AddTakesEveryNumberFormAndReportsWhatWasNotArchived)
{
    home.CreateList("sales");
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    home.WriteMessage("sales", 0x1a, testenv::SimpleMessage("Twenty-six"));
    home.WriteMessage("sales", 0x2b, testenv::SimpleMessage("Forty-three"));
    auto r = Dlarchive("add sales 1 0x1a 2b.msg");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Show("sales", "1")["envelope"]["subject"], "One");
    EXPECT_EQ(Show("sales", "26")["envelope"]["subject"], "Twenty-six");
    EXPECT_EQ(Show("sales", "0x2B")["envelope"]["subject"], "Forty-three");
    // Stored again: not a failure.
    r = Dlarchive("add sales 0X1A 1.msg");
    EXPECT_EQ(r.status, 0) << r.err;

    // A missing file and a message without header stop neither the message after them nor
    // each other; each is reported as the user named it.
    home.WriteMessage("sales", 7, "Subject: cut off");
    home.WriteMessage("sales", 3, testenv::SimpleMessage("Three"));
    r = Dlarchive("add sales 5 0x7 3");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "dlarchive: not archived: 5: error 17: Archive file not found or empty\n"
              "dlarchive: not archived: 0x7: error 13: Message header is invalid\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Show("sales", "3")["envelope"]["subject"], "Three");
    EXPECT_FALSE(Stored("sales", "7"));

    // A list whose relations are missing archives nothing.
    home.CreateList("bare", false);
    home.WriteMessage("bare", 1, testenv::SimpleMessage("Bare"));
    r = Dlarchive("add bare 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: 1: error 0: Archive relations not found\n");

    // A malformed number is a usage error before anything is archived.
    home.WriteMessage("sales", 4, testenv::SimpleMessage("Four"));
    for (const char* bad : {"4 12x", "4 0x", "4 -1", "4 +1", "4 4294967296", "4 0xg", "4 ''"}) {
        r = Dlarchive(std::string("add sales ") + bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("usage: dlarchive add LIST NUMBER..."), std::string::npos) << bad;
    }
    EXPECT_FALSE(Stored("sales", "4"));
    for (const char* bad : {"add", "add sales"}) EXPECT_EQ(Dlarchive(bad).status, 2) << bad;
    EXPECT_EQ(Dlarchive("add sales 4").status, 0);
}

TEST_F(CliMessages, ImportWritesTheNextFreeNumbersAndKeepsEveryByte)
{
    home.CreateList("sales");
    home.WriteMessage("sales", 1, testenv::SimpleMessage("Existing one"));
    home.WriteMessage("sales", 0x1f, testenv::SimpleMessage("Existing thirty-one"));

    // Two messages as an mboxrd writer frames them: a "From " line before each, body lines
    // that begin with (quoted) "From " quoted once more, and an empty line after each.
    const std::string first =
        "From: Ann Lee <ann@example.org>\n"
        "Subject: Quoting\n"
        "Date: Mon, 1 Oct 2001 09:00:00 +0000\n"
        "\n"
        "From the start of a line.\n"
        ">From an earlier quote.\n"
        "Not From here.\n";
    const std::string firstQuoted =
        "From: Ann Lee <ann@example.org>\n"
        "Subject: Quoting\n"
        "Date: Mon, 1 Oct 2001 09:00:00 +0000\n"
        "\n"
        ">From the start of a line.\n"
        ">>From an earlier quote.\n"
        "Not From here.\n";
    const std::string second =
        "From: Bob <bob@example.org>\r\n"
        "Subject: Line ends\r\n"
        "Date: Tue, 2 Oct 2001 10:00:00 +0000\r\n"
        "\r\n"
        "One.\r\n"
        "\r\n"
        "Three, with a bare CR\r in it.\r\n";
    const std::string mbox = "From ann@example.org Mon Oct  1 09:00:00 2001\n" + firstQuoted + "\n" +
                             "From bob@example.org Tue Oct  2 10:00:00 2001\r\n" + second + "\r\n";
    testenv::TempDir inputs;
    testenv::WriteFile(inputs / "in.mbox", mbox);
    // A single message, with bytes that mean nothing to the mbox rules.
    const std::string single = kForward + "\n>From the end\n";
    testenv::WriteFile(inputs / "single.eml", single);

    auto r = Dlarchive("import sales " + Quote(inputs / "in.mbox") + " " + Quote(inputs / "single.eml"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "imported 3 messages into sales (0 not archived)\n");
    EXPECT_EQ(MessageFiles("sales"), (std::vector<std::string>{"1.msg", "1f.msg", "20.msg", "21.msg", "22.msg"}));
    const std::string dir = home.ArchivePath("sales");
    EXPECT_EQ(testenv::ReadFile(dir + "20.msg"), first);
    EXPECT_EQ(testenv::ReadFile(dir + "21.msg"), second);
    EXPECT_EQ(testenv::ReadFile(dir + "22.msg"), single);
    const json one = Show("sales", "0x20");
    EXPECT_EQ(one["envelope"]["subject"], "Quoting");
    EXPECT_EQ(one["size"], first.size());
    const json two = Show("sales", "21.msg");
    EXPECT_EQ(two["envelope"]["subject"], "Line ends");
    EXPECT_EQ(two["size"], second.size());
    EXPECT_EQ(Show("sales", "34")["envelope"]["subject"], "Fwd: Plan");
    // The files that were there are not archived by an import into a list with relations.
    EXPECT_FALSE(Stored("sales", "1"));

    // Again: above the new highest number.
    r = Dlarchive("import sales " + Quote(inputs / "single.eml"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(testenv::Exists(dir + "23.msg"));

    // A list without archive directory gets one with relations; a list without relations
    // gets them, holding its earlier message files too.
    r = Dlarchive("import fresh " + Quote(inputs / "in.mbox"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(MessageFiles("fresh"), (std::vector<std::string>{"1.msg", "2.msg"}));
    EXPECT_TRUE(testenv::Exists(home.ArchivePath("fresh") + "archiveenv.db"));
    EXPECT_EQ(Show("fresh", "2")["envelope"]["subject"], "Line ends");
    home.CreateList("bare", false);
    home.WriteMessage("bare", 1, testenv::SimpleMessage("Before"));
    r = Dlarchive("import bare " + Quote(inputs / "single.eml"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Show("bare", "1")["envelope"]["subject"], "Before");
    EXPECT_EQ(Show("bare", "2")["envelope"]["subject"], "Fwd: Plan");

    // A message that does not parse is written, reported and counted; the others go on.
    testenv::WriteFile(inputs / "bad.mbox", "From x\nSubject: no end of header\nFrom y\nSubject: fine\n\nok\n");
    r = Dlarchive("import sales " + Quote(inputs / "bad.mbox"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: not archived: 24.msg: error 13: Message header is invalid\n");
    EXPECT_EQ(r.out, "imported 2 messages into sales (1 not archived)\n");
    EXPECT_EQ(Show("sales", "0x25")["envelope"]["subject"], "fine");

    // A file that cannot be read is a failure; missing arguments are usage errors.
    r = Dlarchive("import sales " + Quote(inputs / "missing.mbox"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("dlarchive: error ", 0), 0u) << r.err;
    EXPECT_FALSE(testenv::Exists(dir + "26.msg"));
    for (const char* bad : {"import", "import sales"}) {
        r = Dlarchive(bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("usage: dlarchive import LIST FILE..."), std::string::npos) << bad;
    }
}

TEST_F(CliMessages, ShowPrintsTheStoredRecordsAsJson)
{
    home.CreateList("sales");
    const std::string encoded =
        "From: =?utf-8?b?SsO8cmdlbiBNw7xsbGVy?= <juergen@example.de>\n"
        "Subject: =?iso-8859-1?q?Gr=FC=DFe_aus_K=F6ln?=\n"
        "Date: Mon, 1 Oct 2001 09:00:00 +0000\n"
        "\n"
        "Hallo.\n";
    home.WriteMessage("sales", 1, encoded);
    home.WriteMessage("sales", 2, kForward);
    ASSERT_EQ(Dlarchive("add sales 1 2").status, 0);

    const json one = Show("sales", "1");
    EXPECT_EQ(one["id"], 1);
    EXPECT_EQ(one["seq"], 0);
    EXPECT_EQ(one["size"], encoded.size());
    EXPECT_EQ(one["header_size"], encoded.find("\n\n") + 2);
    EXPECT_EQ(one["envelope"]["subject"],
              "Gr\xC3\xBC\xC3\x9F"
              "e aus K\xC3\xB6ln");
    EXPECT_EQ(one["envelope"]["date"], "Mon, 1 Oct 2001 09:00:00 +0000");
    ASSERT_EQ(one["envelope"]["from"].size(), 1u);
    EXPECT_EQ(one["envelope"]["from"][0]["personal"], "J\xC3\xBCrgen M\xC3\xBCller");
    EXPECT_EQ(one["envelope"]["from"][0]["mailbox"], "juergen");
    EXPECT_EQ(one["envelope"]["from"][0]["host"], "example.de");
    EXPECT_EQ(one["body"]["subtype"], "PLAIN");

    // The forwarding message: a multipart whose second part holds the encapsulated message.
    const json two = Show("sales", "2");
    EXPECT_EQ(two["envelope"]["subject"], "Fwd: Plan");
    const json& body = two["body"];
    EXPECT_EQ(body["type"], 1);  // multipart
    EXPECT_EQ(body["subtype"], "MIXED");
    ASSERT_EQ(body["parts"].size(), 2u);
    EXPECT_EQ(body["parts"][0]["subtype"], "PLAIN");
    EXPECT_EQ(body["parts"][1]["type"], 2);  // message
    EXPECT_EQ(body["parts"][1]["subtype"], "RFC822");
    EXPECT_EQ(body["parts"][1]["message"]["envelope"]["subject"], "Plan");
    // --seq reads the record of the encapsulated message directly.
    const json inner = Show("sales", "2", "--seq 1");
    EXPECT_EQ(inner["id"], 2);
    EXPECT_EQ(inner["seq"], 1);
    EXPECT_EQ(inner["envelope"]["subject"], "Plan");
    EXPECT_EQ(inner["envelope"]["date"], "Mon, 1 Oct 2001 08:00:00 +0000");
    ASSERT_EQ(inner["envelope"]["from"].size(), 1u);
    EXPECT_EQ(inner["envelope"]["from"][0]["mailbox"], "carol");
    EXPECT_EQ(inner["body"]["subtype"], "PLAIN");
    EXPECT_EQ(Show("sales", "2", "--seq 0")["envelope"], two["envelope"]);

    for (const char* missing : {"show sales 3", "show sales 2 --seq 2", "show sales 1 --seq 0x7f"}) {
        const auto r = Dlarchive(missing);
        EXPECT_EQ(r.status, 1) << missing;
        EXPECT_EQ(r.err, "dlarchive: error 3: Archive envelope ID not found in archive envelope database\n") << missing;
        EXPECT_EQ(r.out, "") << missing;
    }
    for (const char* bad : {"show", "show sales", "show sales x", "show sales 1 --seq", "show sales 1 --seq 128",
                            "show sales 1 --seq -1", "show sales 1 --bogus", "show sales 1 2"}) {
        const auto r = Dlarchive(bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("usage: dlarchive show LIST NUMBER [--seq N]"), std::string::npos) << bad;
        EXPECT_EQ(r.out, "") << bad;
    }
}

TEST_F(CliMessages, TextsWithLocalizedPlaceholders)
{
    home.CreateList("sales");
    home.WriteMessage("sales", 1,
                      testenv::SimpleMessage("=?utf-8?q?Gr=C3=BC=C3=9Fe?=", "=?utf-8?q?J=C3=BCrgen?= <j@example.de>",
                                             "Fri, 28 Sep 2001 14:05:10 +0200"));
    home.WriteMessage("sales", 2, "X-Note: nothing the texts use\n\nBody.\n");
    home.WriteMessage("sales", 3, testenv::SimpleMessage("Plain", "ann@example.org"));
    ASSERT_EQ(Dlarchive("add sales 1 2 3").status, 0);

    const auto texts = [&](const std::string& args) {
        const auto r = Dlarchive("texts sales " + args);
        EXPECT_EQ(r.status, 0) << args << ": " << r.err;
        return r.status == 0 ? json::parse(r.out) : json();
    };
    const json present = {{"author", "J\xC3\xBCrgen"},
                          {"date", "Fri, 28 Sep 2001"},
                          {"subject",
                           "Gr\xC3\xBC\xC3\x9F"
                           "e"}};
    EXPECT_EQ(texts("1"), present);
    EXPECT_EQ(texts("1 --locale de-de"), present);
    EXPECT_EQ(texts("2"), (json{{"author", "(unknown author)"}, {"date", "(no date)"}, {"subject", "(no subject)"}}));
    EXPECT_EQ(texts("0x2 --locale en-us"), texts("2"));
    EXPECT_EQ(texts("2.msg --locale de-de"),
              (json{{"author", "(unbekannter Absender)"}, {"date", "(kein Datum)"}, {"subject", "(kein Betreff)"}}));
    // A locale without a selection of its own gets the English texts.
    EXPECT_EQ(texts("2 --locale fr-fr")["subject"], "(no subject)");
    EXPECT_EQ(texts("3")["author"], " ann@example.org");

    auto r = Dlarchive("texts sales 9");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: error 3: Archive envelope ID not found in archive envelope database\n");
    for (const char* bad : {"texts", "texts sales", "texts sales 1 --locale", "texts sales 1 de-de", "texts sales z"}) {
        r = Dlarchive(bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("usage: dlarchive texts LIST NUMBER [--locale L]"), std::string::npos) << bad;
    }
}

TEST_F(CliMessages, ReloadRebuildAndPages)
{
    const std::string dir = home.CreateList("sales");
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    home.WriteMessage("sales", 2, testenv::SimpleMessage("Two"));
    ASSERT_EQ(Dlarchive("add sales 1").status, 0);

    // The reload stores every message file afresh: one that was added but whose file is
    // gone is gone from the relations too.
    auto r = Dlarchive("reload sales");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Stored("sales", "2"));
    std::filesystem::remove(dir + "1.msg");
    ASSERT_EQ(Dlarchive("reload sales").status, 0);
    EXPECT_FALSE(Stored("sales", "1"));
    EXPECT_TRUE(Stored("sales", "2"));

    // pages writes the six pages of the two configured languages.
    const std::vector<std::string> pages = {"en-us-author.html", "en-us-date.html", "en-us-thread.html",
                                            "de-de-author.html", "de-de-date.html", "de-de-thread.html"};
    for (const std::string& page : pages) EXPECT_FALSE(testenv::Exists(dir + page)) << page;
    r = Dlarchive("pages sales");
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& page : pages) {
        ASSERT_TRUE(testenv::Exists(dir + page)) << page;
        EXPECT_NE(testenv::ReadFile(dir + page).find("&nId=2&"), std::string::npos) << page;
    }

    // rebuild stores the files and writes the pages anew.
    home.WriteMessage("sales", 3, testenv::SimpleMessage("Three"));
    for (const std::string& page : pages) std::filesystem::remove(dir + page);
    r = Dlarchive("rebuild sales");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Stored("sales", "3"));
    for (const std::string& page : pages)
        EXPECT_NE(testenv::ReadFile(dir + page).find("&nId=3&"), std::string::npos) << page;

    // An empty message file stops it with the error line; the files after it are not stored.
    home.WriteMessage("sales", 1, "");
    r = Dlarchive("rebuild sales");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: error 17: Archive file not found or empty\n");
    EXPECT_FALSE(Stored("sales", "2"));
    // A reload stops at the same file; the library stays silent, the tool says what stopped it.
    r = Dlarchive("reload sales");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: error 17: Archive file not found or empty\n");

    // Failures: pages without relations; names that do not fit.
    home.CreateList("bare", false);
    r = Dlarchive("pages bare");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dlarchive: error 1: Could not open archive envelope database\n");
    const std::string tooLong(300, 'x');
    for (const char* command : {"reload ", "rebuild ", "pages "}) {
        r = Dlarchive(command + tooLong);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err.rfind("dlarchive: error ", 0), 0u) << command << r.err;
    }
    for (const char* bad : {"reload", "reload sales x", "rebuild", "rebuild sales x", "pages", "pages sales x"}) {
        r = Dlarchive(bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("usage: dlarchive "), std::string::npos) << bad;
    }
}

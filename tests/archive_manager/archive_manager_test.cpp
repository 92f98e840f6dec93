// The archive manager: paths and configuration, the result mappings, the intake and its
// failures, rebuilds, real-process concurrency, the remote access file, display texts.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "dlarchive/dlarchive.h"
#include "platform/cclient.h"
#include "platform/hash_key.h"
#include "support/archive_home.h"

namespace cc = dlarchive::cclient;
using testenv::Thrown;

namespace {

using Intake = testenv::SalesList;

// The result mappings are the archive manager's own; a subclass reaches them.
struct Mapper : CDlArchive {
    using CDlArchive::GetArchiveBodyDbRet;
    using CDlArchive::GetArchiveEnvDbRet;
};

}  // namespace

TEST(ArchiveConfig, PathsMessageNumbersAndRebuildSetting)
{
    testenv::Config config;
    // {DbPath, list, archive path}: one trailing delimiter goes; no home gives "/"; paths
    // that would not fit 259 characters are empty.
    const std::string fits(259 - 14, 'n');
    // clang-format off
    const std::vector<std::array<std::string, 3>> paths = {{"/srv/dlmgr/", "sales", "/srv/dlmgr/sales/archive/"},
        {"/srv/dlmgr", "sales", "/srv/dlmgr/sales/archive/"}, {"/srv/dlmgr//", "sales", "/srv/dlmgr//sales/archive/"},
        {"", "sales", "/sales/archive/"}, {"/srv", fits, "/srv/" + fits + "/archive/"}, {"/srv", fits + "n", ""},
        {"/" + std::string(400, 'h'), "s", ""}};
    // clang-format on
    for (const auto& [home, list, path] : paths) {
        config.Write(home.empty() ? "" : "[DlManager]\nDbPath=" + home + "\n");
        CDlArchive archive;
        ASSERT_TRUE(archive.SetListName(list.c_str()));
        archive.GetArchivePath();
        EXPECT_EQ(std::string(archive.GetArchivePathText()), path) << home;
        if (path.empty()) {
            EXPECT_NE(archive.GetLastError(), 0);
        }
    }
    CDlArchive archive;
    EXPECT_FALSE(archive.SetListName(std::string(260, 'l').c_str()));
    config.Write("");
    EXPECT_EQ(archive.GetDlHomeDir(), "/var/lib/dlmgr");
    for (const auto& [value, expected] : std::vector<std::pair<std::string, std::string>>{
             {"AuthoRebuild=y", "y"}, {"AuthoRebuild=N", "N"}, {"AuthoRebuild=yes", "yes"}, {"AutoRebuild=N", "Y"}}) {
        config.Write("[DlManager]\n" + value + "\n");
        EXPECT_EQ(CDlArchive().IsAutoRebuild(), expected) << value;
    }
    // Hexadecimal names: lower-case digits, at most the largest number, never a wrap.
    // clang-format off
    const std::pair<const char*, uint32_t> ids[] = {{"ff", 255}, {"12.34.msg", 18}, {"bb8.msg", 3000},
        {"1A2B.msg", 4128}, {"ffffffff.msg", 4294967295u}, {"", 0}, {"123456789.msg", 4294967295u}, {"00000000ff.msg", 255}};
    // clang-format on
    for (const auto& [name, id] : ids) EXPECT_EQ(CDlArchive::GetId(name), id) << name;
    EXPECT_EQ(CDlArchive::GetId(nullptr), 0u);
    EXPECT_EQ(std::string(CDlArchiveException(19, std::string(2000, 'x').c_str()).GetLastErrorMsg()).size(), 512u);
}

TEST(ArchiveResults, EveryRowOfBothMappings)
{
    // {store result, envelope code and text, body code and text}; null: no exception.
    const struct {
        int result, envCode;
        const char* envText;
        int bodyCode;
        const char* bodyText;
    } rows[] = {
        {0, 1, nullptr, 1, nullptr},
        {3, 3, "Archive envelope ID not found in archive envelope database", 9,
         "Archive body ID not found in message body database"},
        {4, 6, "Archive envelope database not in range", 12, "Archive body database not in range"},
        {9, 2, nullptr, 8, nullptr},
        {11, 1, "Could not open archive envelope database", 7, "Could not open archive body database"},
        {14, 4, "Archive envelope database is currently in use", 10, "Archive body database is currently in use"},
        {17, 5, "Archive envelope ID not found in archive envelope database", 11,
         "Archive body ID not found in message body database"},
        {18, 19, "No memory", 19, "No memory"},
        {22, 18, "Archive envelope database was rebuilt.", 18, "Archive body database rebuilt"},
        {13, 20, "Error in archive envelope database", 20, "Error in archive  database"},
        {-1, 20, "Error in archive envelope database", 20, "Error in archive  database"}};
    for (const auto& row : rows) {
        Mapper env, body;
        env.SetLastError(77);
        body.SetLastError(7);  // 11 keeps the code the caller set when the body failed to open
        EXPECT_EQ(Thrown([&] { env.GetArchiveEnvDbRet(row.result); }),
                  std::make_pair(row.envText ? row.envCode : 0, std::string(row.envText ? row.envText : "")));
        EXPECT_EQ(env.GetLastError(), row.envCode) << row.result;
        EXPECT_EQ(Thrown([&] { body.GetArchiveBodyDbRet(row.result); }),
                  std::make_pair(row.bodyText ? row.bodyCode : 0, std::string(row.bodyText ? row.bodyText : "")));
        EXPECT_EQ(body.GetLastError(), row.bodyCode) << row.result;
    }
    Mapper other;
    other.SetLastError(42);
    EXPECT_EQ(Thrown([&] { other.GetArchiveBodyDbRet(11); }).first, 42);
}

TEST(HeaderSize, EndsAtTheFirstEmptyLine)
{
    testenv::TempDir dir;
    // clang-format off
    const std::pair<const char*, uint32_t> cases[] = {{"A: b\nC: d\n\nbody\n\nmore", 11}, {"A: b\r\nC: d\r\n\r\nbody", 14},
        {"A: b\r\n\r\rbody\n", 13}, {"A: b\n\r\r\nbody", 8}, {"A: b\nC: d\n", 10}, {"A: b\nC: d\n\r\r", 12},
        {"A: b\nC: d", 0}, {"\n\nbody", 2}, {"x", 0}};
    // clang-format on
    for (const auto& [content, size] : cases) {
        testenv::WriteFile(dir / "m", content);
        CDlArchive archive;
        ASSERT_TRUE(archive.InitBuffer((dir / "m").c_str()));
        archive.InitHdrSize();
        archive.DeinitBuffer();
        EXPECT_EQ(archive.GetHdrSize(), size) << content;
        EXPECT_EQ(archive.GetBufferLen(), 0u);
    }
}

TEST_F(Intake, FailuresRebuildsAndRecursion)
{
    home.WriteMessage("sales", 3000, testenv::SimpleMessage("Three thousand"));
    manager.SetLastError(0);
    ASSERT_TRUE(manager.AddArchive(archive.c_str(), 3000));
    EXPECT_EQ(manager.GetLastError(), 1);
    ASSERT_TRUE(manager.AddArchive(archive.c_str(), 3000));
    EXPECT_EQ(manager.GetLastError(), 8);  // stored twice: the duplicate code
    EXPECT_EQ(Add(1), std::make_pair(17, std::string("Archive file not found or empty")));
    home.WriteMessage("sales", 2, "");
    EXPECT_EQ(Add(2).first, 17);
    home.WriteMessage("sales", 4, "Subject: cut off");
    EXPECT_FALSE(manager.AddArchive(archive.c_str(), 4));
    EXPECT_EQ(manager.GetLastError(), 13);
    std::string parts;
    for (int i = 0; i < 1100; ++i) parts += "--b\n\npart\n";
    home.WriteMessage("sales", 5,
                      testenv::SimpleMessage("Many", "a@b.org", "", "Content-Type: multipart/mixed; boundary=b\n",
                                             parts + "--b--\n"));
    EXPECT_FALSE(manager.AddArchive(archive.c_str(), 5));
    EXPECT_EQ(manager.GetLastError(), 15);
    EXPECT_EQ(Stored().size(), 1u);
    // A body relation that does not open: rebuilt from every file (18) with the rebuild on,
    // the files that do not parse passed over; 7 with it off.
    std::remove((archive + "2.msg").c_str());
    home.WriteMessage("sales", 6, testenv::SimpleMessage("Six"));
    testenv::WriteFile(archive + "archivebody.db", "not a database at all, just garbage bytes");
    EXPECT_EQ(Add(6), std::make_pair(18, std::string("Archive Database was rebuild")));
    EXPECT_EQ(Stored().size(), 2u);
    EXPECT_TRUE(testenv::Exists(archive + "de-de-date.html"));
    home.WriteIni("N");
    testenv::WriteFile(archive + "archivebody.db", "garbage");
    EXPECT_EQ(Add(6), std::make_pair(7, std::string("Could not open archive body database")));
    // Without a body template a rebuild cannot repair, and must not start again inside.
    home.WriteIni("Y");
    std::remove((home.path() + "/archivebody.db").c_str());
    EXPECT_EQ(Add(6).first, 7);
    EXPECT_FALSE(RebuildArchiveDb("sales"));
}

// Retrieval over a relation that does not open: rebuilt (18) or reported (1, 7).
TEST_F(Intake, RetrievalOverDamage)
{
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    const auto get = [&](const char* relation) {
        std::remove((archive + relation + ".db").c_str());  // a new file: no kept connection sees it
        testenv::WriteFile(archive + relation + ".db", std::string(5000, '\x5a'));
        return Read(1, std::string(relation) == "archivebody");
    };
    EXPECT_EQ(get("archiveenv"), std::make_pair(18, std::string("Archive envelope database was rebuild")));
    EXPECT_EQ(get("archivebody"), std::make_pair(18, std::string("Archive body database was rebuild")));
    EXPECT_EQ(Read(1, true).first, 0);
    home.WriteIni("N");
    EXPECT_EQ(get("archiveenv"), std::make_pair(1, std::string("Could not open archive envelope database")));
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(get("archivebody"), std::make_pair(7, std::string("Could not open archive body database")));
    EXPECT_TRUE(manager.CheckArchiveDatabase() && manager.CheckArchiveMessages());
    std::remove((archive + "1.msg").c_str());
    EXPECT_FALSE(manager.CheckArchiveMessages());
    EXPECT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(Stored().size(), 0u);
}

TEST(NoArchivePath, NothingTouchesTheCurrentDirectory)
{
    testenv::ArchiveHome home;
    testenv::TempDir cwd;
    ASSERT_EQ(diaRel::Create(cwd.path().c_str(), "archiveenv"), db_ok);
    testenv::WriteFile(cwd / "1.msg", testenv::SimpleMessage("One"));
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    CDlArchive archive;  // no list name, no archive path
    archive.GetArchivePath();
    EXPECT_FALSE(archive.CheckArchiveDatabase());
    EXPECT_FALSE(archive.CheckArchiveMessages());
    EXPECT_FALSE(archive.AddArchive("", 1));
    mail_envelope* env = nullptr;
    uint32_t size = 0, header = 0;
    EXPECT_EQ(Thrown([&] { archive.GetArchiveEnv(1, 0, env, size, header); }).first, 1);
    cc::FreeEnvelope(&env);
    EXPECT_NE(Thrown([&] { archive.GenerateIndexPages(""); }).first, 0);
    char entry[] = "ann@example.org abc\r\n";
    EXPECT_NE(Thrown([&] { archive.UpdateRemoteFile(entry); }).first, 0);
    EXPECT_EQ(diaRel::Create("", "archivebody"), db_notopened);
    EXPECT_EQ(testenv::Run("ls -A").out, "1.msg\narchiveenv.db\n");
    ASSERT_EQ(chdir(previous), 0);
}

TEST_F(Intake, RemoteFileLinesAndFailures)
{
    const auto update = [&](std::string entry) { return Thrown([&] { manager.UpdateRemoteFile(entry.data()); }); };
    const auto keyOf = [&](std::size_t line) {
        const auto lines = testenv::Lines(testenv::ReadFile(archive + "remote.txt"), "\r\n");
        return line < lines.size() ? lines[line] : std::string();
    };
    // Entries that name no member or password, or would not make one line, take no line.
    const std::string none = "Member's email not found.", invalid = "Member's email is invalid.",
                      noPassword = "Password not found.", empty = "Password is empty.";
    // clang-format off
    const std::pair<std::string, std::string> refused[] = {{"", none}, {" , ,\t", none},
        {"ann;x@example.org pw\r\n", invalid}, {"ann@example.org\r\nbob@example.org pw\r\n", invalid},
        {"ann@example.org\rx pw\r\n", invalid}, {"ann\x01@example.org pw\r\n", invalid},
        {"ann@example.org\r\n", noPassword},
        {"ann@example.org x", noPassword} /* too short for the line end */, {"a@b.org " + std::string(262, 'p'), noPassword},
        {"ann@example.org \r\n", empty}, {"ann@example.org,pw", empty}};
    // clang-format on
    for (const auto& [entry, text] : refused)
        EXPECT_EQ(update(entry), std::make_pair(text[0] == 'M' ? 22 : 23, text)) << entry;
    EXPECT_EQ(testenv::ReadFile(archive + "remote.txt"), "");
    // Blanks and commas in any run separate; the line end goes; without it the password
    // loses its last two characters.
    const std::pair<std::string, std::string> entries[] = {
        {" ,ann@example.org ,, other\r\n trailing", "other"},
        {"bob@example.org abc", "a"},
        {"c@example.org " + std::string(259, 'p') + "\r\n", std::string(259, 'p')}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(update(entries[i].first).first, 0);
        const std::string line = keyOf(i);
        const std::string key = line.substr(line.find(';') + 1);
        EXPECT_TRUE(CHashKey::Verify(entries[i].second.c_str(), key.c_str()) && key.starts_with("$y$")) << line;
        EXPECT_FALSE(CHashKey::Verify((entries[i].second + "x").c_str(), key.c_str())) << line;
    }
    EXPECT_EQ(keyOf(0).substr(0, keyOf(0).find(';')), "ann@example.org");
    // Four processes writing at once: every line whole, none lost.
    std::vector<pid_t> children;
    for (int p = 0; p < 4; ++p)
        children.push_back(testenv::Spawn([&, p] {
            int bad = 0;
            for (int i = 0; i < 6; ++i) bad += update(std::to_string(p * 6 + i) + "m@x.org pw\r\n").first != 0;
            return bad;
        }));
    for (pid_t pid : children) EXPECT_EQ(testenv::Wait(pid), 0);
    std::set<std::string> members;
    for (std::size_t i = 3; i < 28; ++i)
        if (const std::string line = keyOf(i); CHashKey::Verify("pw", line.substr(line.find(';') + 1).c_str()))
            members.insert(line.substr(0, line.find(';')));
    EXPECT_EQ(members.size(), 24u);
}

TEST(DisplayTexts, AuthorDateAndSubject)
{
    testenv::ArchiveHome home;
    CDlArchive archive;
    mail_envelope* env = cc::NewEnvelope();
    char buffer[CDlArchive::kDisplayTextSize];
    const auto text = [&](auto member, const char* locale = "en-us") {
        std::memset(buffer, 0, sizeof buffer);
        (archive.*member)(env, buffer, locale);
        return std::string(buffer);
    };
    const auto from = [&](const char* personal, const std::string& mailbox, const char* host) {
        cc::FreeAddress(&env->from);
        env->from = cc::NewAddress();
        env->from->personal = cc::CopyString(personal);
        env->from->mailbox = mailbox.empty() ? nullptr : cc::CopyString(mailbox.c_str());
        env->from->host = cc::CopyString(host);
        return text(&CDlArchive::GetAuthorOfMessage);
    };
    EXPECT_EQ(text(&CDlArchive::GetAuthorOfMessage, "de-de"), "(unbekannter Absender)");
    EXPECT_EQ(from("Ann Lee", "ann", "example.org"), "Ann Lee");
    EXPECT_EQ(from(nullptr, "ann", "example.org"), " ann@example.org");
    EXPECT_EQ(from("Ann Lee", "ann", ""), "(unknown author)");
    EXPECT_EQ(from(std::string(5000, 'n').c_str(), "ann", "example.org"), std::string(1023, 'n'));
    env->subject = cc::CopyString("s");
    // A table that does not open leaves the buffer as the caller filled it.
    std::remove((home.path() + "/web/vubo/languages/dlarchives/en-us.txt").c_str());
    std::memset(buffer, 'k', sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    archive.GetSubjectOfMessage(env, buffer, "en-us");
    EXPECT_EQ(std::string(buffer), std::string(1023, 'k'));
    cc::FreeEnvelope(&env);
}

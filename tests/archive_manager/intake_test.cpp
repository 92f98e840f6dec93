#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "dlarchive/dlarchive.h"
#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "platform/cclient.h"
#include "platform/cclient_records.h"
#include "support/archive_home.h"

namespace {

struct Intake : testenv::SalesList {
    // The exception of an intake that must throw.
    CDlArchiveException AddExpectingThrow(uint32_t number)
    {
        try {
            manager.AddArchive(archive.c_str(), number);
        } catch (const CDlArchiveException& e) {
            return e;
        }
        ADD_FAILURE() << "no exception for message " << number;
        return CDlArchiveException(-1, "");
    }

    std::string Log() { return testenv::ReadFile(home.path() + "/log/kelmo.log"); }

    int StoredMessages()
    {
        diamondBase base;
        archiveenv env(base, archive.c_str());
        int count = 0;
        env.begin(0);
        for (env.first(); env.status() == db_ok; env.next()) count += env.key().seq == 0;
        return count;
    }
};

uint32_t HeaderSizeOf(const std::string& content)
{
    testenv::TempDir dir;
    testenv::WriteFile(dir / "m", content);
    CDlArchive archive;
    if (!archive.InitBuffer((dir / "m").c_str())) return UINT32_MAX;
    archive.InitHdrSize();
    const uint32_t size = archive.GetHdrSize();
    archive.DeinitBuffer();
    EXPECT_EQ(archive.GetBufferLen(), 0u);
    EXPECT_EQ(archive.GetHdrSize(), size);  // the header size stays
    return size;
}

}  // namespace

TEST(HeaderSize, EndsAtTheFirstEmptyLine)
{
    EXPECT_EQ(HeaderSizeOf("A: b\nC: d\n\nbody\n\nmore"), 11u);
    EXPECT_EQ(HeaderSizeOf("A: b\r\nC: d\r\n\r\nbody"), 14u);
    // Carriage returns between the two line feeds do not break the empty line.
    // Carriage returns alone do not end a line: this is all header, ending in a line feed.
    EXPECT_EQ(HeaderSizeOf("A: b\r\n\r\rbody\n"), 13u);
    EXPECT_EQ(HeaderSizeOf("A: b\n\r\r\nbody"), 8u);
    EXPECT_EQ(HeaderSizeOf("A: b\r\n\r\nbody"), 8u);
    // All header: ends in a line feed (and maybe carriage returns).
    EXPECT_EQ(HeaderSizeOf("A: b\nC: d\n"), 10u);
    EXPECT_EQ(HeaderSizeOf("A: b\nC: d\n\r\r"), 12u);
    // No final line feed: no header part.
    EXPECT_EQ(HeaderSizeOf("A: b\nC: d"), 0u);
    // An empty header: a line feed, then a line feed.
    EXPECT_EQ(HeaderSizeOf("\n\nbody"), 2u);
    EXPECT_EQ(HeaderSizeOf("x"), 0u);
}

TEST_F(Intake, StoresMessageNumbersFromFileNames)
{
    home.WriteMessage("sales", 3000, testenv::SimpleMessage("Three thousand"));
    EXPECT_TRUE(testenv::Exists(archive + "bb8.msg"));
    manager.SetLastError(0);
    ASSERT_TRUE(manager.AddArchive(archive.c_str(), 3000));
    EXPECT_EQ(manager.GetLastError(), 1);  // the code every successful record operation leaves
    EXPECT_EQ(manager.GetBufferLen(), 0u);
    mail_envelope* env = nullptr;
    uint32_t size = 0, header = 0;
    manager.GetArchiveEnv(3000, 0, env, size, header);
    ASSERT_NE(env, nullptr);
    EXPECT_STREQ(env->subject, "Three thousand");
    EXPECT_EQ(size, testenv::ReadFile(archive + "bb8.msg").size());
    EXPECT_GT(header, 0u);
    dlarchive::cclient::FreeEnvelope(&env);
    EXPECT_NE(Log().find("5 DL Manager: Processing archive message ID <BB8>"), std::string::npos);
}

TEST_F(Intake, EveryRowOfTheFailureTable)
{
    // Relation files missing: false, nothing set, nothing logged.
    {
        testenv::ArchiveHome bare;
        const std::string bareArchive = bare.CreateList("bare", false);
        bare.WriteMessage("bare", 1, testenv::SimpleMessage("x"));
        CDlArchive other;
        other.SetListName("bare");
        other.GetArchivePath();
        other.SetLastError(99);
        EXPECT_FALSE(other.AddArchive(bareArchive.c_str(), 1));
        EXPECT_EQ(other.GetLastError(), 99);
        EXPECT_FALSE(testenv::Exists(bare.path() + "/log/kelmo.log"));
    }
    // Missing and empty message files.
    auto e = AddExpectingThrow(1);
    EXPECT_EQ(e.GetLastError(), 17);
    EXPECT_STREQ(e.GetLastErrorMsg(), "Archive file not found or empty");
    EXPECT_EQ(manager.GetLastError(), 17);
    home.WriteMessage("sales", 2, "");
    EXPECT_EQ(AddExpectingThrow(2).GetLastError(), 17);
    EXPECT_NE(Log().find("1 DL Manager: Archive file not found or empty"), std::string::npos);
    // A file that cannot be read: the reader's text.
    testenv::MakeDirs(archive + "3.msg");
    e = AddExpectingThrow(3);
    EXPECT_EQ(e.GetLastError(), 16);
    EXPECT_NE(std::string(e.GetLastErrorMsg()).find("3.msg"), std::string::npos);
    // No empty line and no final line feed.
    home.WriteMessage("sales", 4, "Subject: cut off");
    EXPECT_FALSE(manager.AddArchive(archive.c_str(), 4));
    EXPECT_EQ(manager.GetLastError(), 13);
    EXPECT_STREQ(manager.GetLastErrorMsg(), "Message header is invalid");
    EXPECT_NE(Log().find("1 DL Manager: Message header is invalid"), std::string::npos);
    // Stored twice: true, with the duplicate codes left.
    home.WriteMessage("sales", 5, testenv::SimpleMessage("Twice"));
    ASSERT_TRUE(manager.AddArchive(archive.c_str(), 5));
    ASSERT_TRUE(manager.AddArchive(archive.c_str(), 5));
    EXPECT_EQ(manager.GetLastError(), 8);
    EXPECT_EQ(StoredMessages(), 1);
}

TEST_F(Intake, UnopenableBodyRelationRebuildsOrFails)
{
    home.WriteMessage("sales", 1, testenv::SimpleMessage("First"));
    home.WriteMessage("sales", 2, testenv::SimpleMessage("Second"));
    testenv::WriteFile(archive + "archivebody.db", "this is not a database at all, just garbage bytes");
    // Automatic rebuild on: the relations are rebuilt from all files, the intake reports 18.
    auto e = AddExpectingThrow(2);
    EXPECT_EQ(e.GetLastError(), 18);
    EXPECT_STREQ(e.GetLastErrorMsg(), "Archive Database was rebuild");
    EXPECT_EQ(StoredMessages(), 2);
    EXPECT_TRUE(testenv::Exists(archive + "en-us-thread.html"));
    EXPECT_TRUE(testenv::Exists(archive + "de-de-date.html"));
    // Off: code 7.
    home.WriteIni("N");
    testenv::WriteFile(archive + "archivebody.db", "garbage again");
    e = AddExpectingThrow(1);
    EXPECT_EQ(e.GetLastError(), 7);
    EXPECT_STREQ(e.GetLastErrorMsg(), "Could not open archive body database");
}

TEST_F(Intake, ReloadAndRebuild)
{
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    home.WriteMessage("sales", 2, "Subject: does not parse");  // no header part
    home.WriteMessage("sales", 3, testenv::SimpleMessage("Three"));
    EXPECT_TRUE(manager.CheckArchiveDatabase());
    EXPECT_TRUE(manager.CheckArchiveMessages());
    EXPECT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(StoredMessages(), 2);
    for (const char* page : {"en-us-author.html", "en-us-date.html", "en-us-thread.html", "de-de-author.html",
                             "de-de-date.html", "de-de-thread.html"})
        EXPECT_TRUE(testenv::Exists(archive + page)) << page;
    // The reload starts afresh: nothing doubles.
    manager.ProcessArchivedMessages("sales");
    EXPECT_EQ(StoredMessages(), 2);

    // An empty message file stops the rebuild; what comes after it is not stored.
    home.WriteMessage("sales", 2, "");
    EXPECT_FALSE(RebuildArchiveDb("sales"));
    EXPECT_EQ(StoredMessages(), 1);
    manager.ProcessArchivedMessages("sales");  // stops silently
    EXPECT_EQ(StoredMessages(), 1);

    // Without message files: empty relations, pages, true.
    for (const char* name : {"1.msg", "2.msg", "3.msg"}) std::remove((archive + name).c_str());
    EXPECT_FALSE(manager.CheckArchiveMessages());
    std::remove((archive + "en-us-thread.html").c_str());
    EXPECT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(StoredMessages(), 0);
    EXPECT_TRUE(testenv::Exists(archive + "en-us-thread.html"));
    EXPECT_FALSE(RebuildArchiveDb(std::string(300, 'x').c_str()));
}

TEST_F(Intake, MissingOrGarbageRelationsAreRebuiltOnRetrieval)
{
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    ASSERT_TRUE(manager.AddArchive(archive.c_str(), 1));
    mail_envelope* env = nullptr;
    mail_bodystruct* body = nullptr;
    uint32_t size = 0, header = 0;
    const auto codeOf = [&](auto call) {
        try {
            call();
        } catch (const CDlArchiveException& e) {
            return std::make_pair(e.GetLastError(), std::string(e.GetLastErrorMsg()));
        }
        return std::make_pair(0, std::string());
    };
    for (const bool garbage : {false, true}) {
        SCOPED_TRACE(garbage ? "garbage" : "missing");
        const auto damage = [&](const char* relation) {
            const std::string file = archive + relation + ".db";
            if (garbage)
                testenv::WriteFile(file, std::string(5000, '\x5a'));
            else
                std::remove(file.c_str());
        };
        home.WriteIni("Y");
        damage("archiveenv");
        EXPECT_EQ(codeOf([&] { manager.GetArchiveEnv(1, 0, env, size, header); }),
                  std::make_pair(18, std::string("Archive envelope database was rebuild")));
        damage("archivebody");
        EXPECT_EQ(codeOf([&] { manager.GetArchiveBody(1, 0, body, size, header); }),
                  std::make_pair(18, std::string("Archive body database was rebuild")));
        // After the rebuild the request succeeds.
        EXPECT_EQ(codeOf([&] { manager.GetArchiveBody(1, 0, body, size, header); }).first, 0);
        dlarchive::cclient::FreeBody(&body);

        home.WriteIni("N");
        damage("archiveenv");
        EXPECT_EQ(codeOf([&] { manager.GetArchiveEnv(1, 0, env, size, header); }),
                  std::make_pair(1, std::string("Could not open archive envelope database")));
        EXPECT_EQ(codeOf([&] { manager.GetArchiveBody(1, 0, body, size, header); }),
                  std::make_pair(1, std::string("Could not open archive envelope database")));
        ASSERT_TRUE(RebuildArchiveDb("sales"));
        damage("archivebody");
        // Off: the record operation runs on the closed relation and code 7 stays.
        EXPECT_EQ(codeOf([&] { manager.GetArchiveBody(1, 0, body, size, header); }),
                  std::make_pair(7, std::string("Could not open archive body database")));
        ASSERT_TRUE(RebuildArchiveDb("sales"));
    }
}

TEST_F(Intake, NoRebuildRecursion)
{
    // The home has no template for the body relation: a rebuild cannot repair it, and the
    // intake inside the rebuild must not start another rebuild.
    std::remove((home.path() + "/archivebody.db").c_str());
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    testenv::WriteFile(archive + "archivebody.db", "garbage");
    auto e = AddExpectingThrow(1);
    EXPECT_EQ(e.GetLastError(), 7);
    EXPECT_FALSE(RebuildArchiveDb("sales"));
}

TEST_F(Intake, ConcurrentWritersAndReaders)
{
    diamondBase::SetLockTimeout(20000);
    constexpr uint32_t kMessages = 60;
    for (uint32_t n = 1; n <= kMessages; ++n)
        home.WriteMessage(
            "sales", n,
            testenv::SimpleMessage(
                "Message " + std::to_string(n), "Ann Lee <ann@example.org>", "Mon, 1 Oct 2001 09:00:00 +0000",
                "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n",
                "--b\nContent-Type: text/plain\n\none\n--b\nContent-Type: text/plain\n\ntwo\n--b--\n"));
    std::vector<pid_t> children;
    for (int w = 0; w < 3; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Every writer archives every message, in its own order: each is stored once.
            CDlArchive own;
            own.SetListName("sales");
            own.GetArchivePath();
            int failures = 0;
            for (uint32_t i = 0; i < kMessages; ++i) {
                const uint32_t n = 1 + (i * (w + 1) * 7) % kMessages;
                try {
                    if (!own.AddArchive(archive.c_str(), n)) ++failures;
                } catch (const CDlArchiveException&) {
                    ++failures;
                }
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (int r = 0; r < 2; ++r) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CDlArchive own;
            own.SetListName("sales");
            own.GetArchivePath();
            int bad = 0;
            for (int i = 0; i < 200; ++i) {
                mail_envelope* env = nullptr;
                uint32_t size = 0, header = 0;
                try {
                    own.GetArchiveEnv(1 + i % kMessages, 0, env, size, header);
                    if (env == nullptr || env->subject == nullptr) ++bad;
                } catch (const CDlArchiveException& e) {
                    if (e.GetLastError() != 3) ++bad;  // not stored yet is fine; anything else is not
                }
                dlarchive::cclient::FreeEnvelope(&env);
            }
            _exit(bad == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(StoredMessages(), static_cast<int>(kMessages));
    for (uint32_t n = 1; n <= kMessages; ++n) {
        mail_bodystruct* body = nullptr;
        uint32_t size = 0, header = 0;
        manager.GetArchiveBody(n, 0, body, size, header);
        ASSERT_NE(body, nullptr);
        ASSERT_NE(body->nested.part, nullptr);
        ASSERT_NE(body->nested.part->next, nullptr);
        EXPECT_EQ(body->nested.part->next->next, nullptr);
        dlarchive::cclient::FreeBody(&body);
    }
}

TEST_F(Intake, LockedRelationSurfacesAsInUse)
{
    diamondBase::SetLockTimeout(200);
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        diamondBase base;
        archiveenv env(base, archive.c_str());
        env.lock(false, -1);
        char c = 'x';
        (void)!write(ready[1], &c, 1);
        usleep(1500 * 1000);
        env.unlock();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const auto e = AddExpectingThrow(1);
    EXPECT_EQ(e.GetLastError(), 4);
    EXPECT_STREQ(e.GetLastErrorMsg(), "Archive envelope database is currently in use");
    int status = 0;
    waitpid(holder, &status, 0);
    // Once the holder is done, the same intake goes through.
    EXPECT_TRUE(manager.AddArchive(archive.c_str(), 1));
}

TEST(NoArchivePath, NothingTouchesTheCurrentDirectory)
{
    testenv::ArchiveHome home;
    testenv::TempDir cwd;
    // Relations and pages in the current directory would be picked up by an empty path.
    ASSERT_EQ(diaRel::Create(cwd.path().c_str(), "archiveenv"), db_ok);
    ASSERT_EQ(diaRel::Create(cwd.path().c_str(), "archivebody"), db_ok);
    testenv::WriteFile(cwd / "1.msg", testenv::SimpleMessage("One"));
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);

    CDlArchive archive;  // no list name, no archive path
    archive.GetArchivePath();
    EXPECT_STREQ(archive.GetArchivePathText(), "");
    EXPECT_FALSE(archive.CheckArchiveDatabase());
    EXPECT_FALSE(archive.CheckArchiveMessages());
    EXPECT_FALSE(archive.AddArchive("", 1));
    mail_envelope* env = nullptr;
    uint32_t size = 0, header = 0;
    try {
        archive.GetArchiveEnv(1, 0, env, size, header);
        ADD_FAILURE() << "no exception";
    } catch (const CDlArchiveException& e) {
        EXPECT_EQ(e.GetLastError(), 1);
    }
    dlarchive::cclient::FreeEnvelope(&env);
    EXPECT_THROW(archive.GenerateIndexPages(""), CDlArchiveException);
    EXPECT_EQ(diaRel::Create("", "archiveenv"), db_notopened);
    const auto r = testenv::Run("ls -A " + testenv::Quote(cwd.path()));
    EXPECT_EQ(r.out, "1.msg\narchivebody.db\narchiveenv.db\n");
    {
        diamondBase base;
        archiveenv envelopes(base, cwd.path().c_str());
        envelopes.begin(0);
        envelopes.first();
        EXPECT_EQ(envelopes.status(), db_eof);  // still empty
    }
    ASSERT_EQ(chdir(previous), 0);
}

TEST_F(Intake, OversizedMessageIsSkippedByTheRebuild)
{
    std::string parts;
    for (int i = 0; i < 1100; ++i) parts += "--b\nContent-Type: text/plain\n\npart\n";
    home.WriteMessage("sales", 1, testenv::SimpleMessage("One"));
    home.WriteMessage(
        "sales", 2,
        testenv::SimpleMessage("Too many parts", "Ann Lee <ann@example.org>", "Mon, 1 Oct 2001 09:00:00 +0000",
                               "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n", parts + "--b--\n"));
    home.WriteMessage("sales", 3, testenv::SimpleMessage("Three"));
    // Refused like a body that does not parse: reported, nothing stored, the file stays.
    EXPECT_FALSE(manager.AddArchive(archive.c_str(), 2));
    EXPECT_EQ(manager.GetLastError(), 15);
    EXPECT_EQ(StoredMessages(), 0);
    EXPECT_TRUE(testenv::Exists(archive + "2.msg"));
    // The rebuild passes over it and stores the others.
    EXPECT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(StoredMessages(), 2);
}

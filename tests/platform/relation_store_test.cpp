// The relation store on real SQLite files, with real processes for the concurrency cases.
#include <gtest/gtest.h>

#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "support/test_env.h"

namespace {

using Key = std::pair<uint32_t, uint16_t>;

// Runs `body` in a child process; its result is the child's exit status. The child never
// returns into the test (no destructors of the parent's objects run twice).
pid_t Spawn(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 100;
        try {
            status = body();
        } catch (...) {
            status = 101;
        }
        ::_exit(status);
    }
    return pid;
}

int Wait(pid_t pid)
{
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A one-byte signal between processes.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fd), 0); }
    ~Pipe()
    {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void send() const { EXPECT_EQ(::write(fd[1], "x", 1), 1); }
    // False when nothing came within 20 seconds (the other side failed).
    bool receive() const
    {
        struct pollfd p = {fd[0], POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1) return false;
        char c;
        return ::read(fd[0], &c, 1) == 1;
    }
};

std::vector<Key> Walk(archiveenv& env)
{
    std::vector<Key> keys;
    env.begin(0);
    for (env.first(); env.status() == db_ok; env.next()) keys.emplace_back(env.key().id, env.key().seq);
    return keys;
}

dbError PutEnv(archiveenv& env, uint32_t id, uint16_t seq, const char* subject = "s")
{
    env.clear();
    env.setKey({id, seq});
    env.subject.cpy(subject);
    return env.put();
}

struct Store : ::testing::Test {
    testenv::TempDir dir;
    void SetUp() override
    {
        diamondBase::SetLockTimeout(5000);
        ASSERT_EQ(diaRel::Create(dir.path().c_str(), "archiveenv"), db_ok);
        ASSERT_EQ(diaRel::Create(dir.path().c_str(), "archivebody"), db_ok);
    }
    std::string envFile() const { return dir / "archiveenv.db"; }
    // An empty relation in its own directory below `dir`, for ReplaceWithTemplate; its file.
    std::string MakeTemplate(const std::string& name = "home") const
    {
        const std::string templ = dir / name;
        testenv::MakeDirs(templ);
        EXPECT_EQ(diaRel::Create(templ.c_str(), "archiveenv"), db_ok);
        return templ + "/archiveenv.db";
    }
    dbError Replace(const std::string& templateFile) const
    {
        return diaRel::ReplaceWithTemplate(templateFile.c_str(), dir.path().c_str(), "archiveenv");
    }
};

// Makes `path` a new SQLite database by running `sql`.
void MakeDatabase(const std::string& path, const char* sql)
{
    ::unlink(path.c_str());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

}  // namespace

TEST_F(Store, WalkFollowsUnsignedKeyOrderAndBasicResults)
{
    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    ASSERT_EQ(env.status(), db_ok);

    // An empty relation: the walk ends at once, get finds nothing, del has nothing to delete.
    EXPECT_EQ(env.begin(0), db_ok);
    EXPECT_EQ(env.first(), db_eof);
    EXPECT_NE(env.status(), db_ok);
    env.setKey({1, 0});
    EXPECT_EQ(env.get(0), db_notfound);
    EXPECT_EQ(env.del(), db_notfound);
    EXPECT_EQ(env.begin(1), db_range);

    std::set<Key> expected = {{5, 65535},           {6, 0},           {0, 0},
                              {0xffffffffu, 65535}, {0x80000000u, 1}, {0x7fffffffu, 0x8000}};
    std::mt19937 random(42);
    while (expected.size() < 3000)
        expected.emplace(random() % 4 == 0 ? random() : random() % 64,
                         static_cast<uint16_t>(random() % 4 == 0 ? random() : random() % 4));
    std::vector<Key> shuffled(expected.begin(), expected.end());
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    ASSERT_EQ(env.lock(false, -1), db_ok);
    for (const Key& k : shuffled) ASSERT_EQ(PutEnv(env, k.first, k.second), db_ok);
    ASSERT_EQ(env.unlock(), db_ok);

    const std::vector<Key> walked = Walk(env);
    EXPECT_EQ(walked, std::vector<Key>(expected.begin(), expected.end()));
    EXPECT_EQ(env.status(), db_eof);
    const auto five = std::find(walked.begin(), walked.end(), Key{5, 65535});
    ASSERT_NE(five, walked.end());
    EXPECT_EQ(*(five + 1), (Key{6, 0}));

    // A duplicate key, whatever the rest of the record.
    EXPECT_EQ(PutEnv(env, 5, 65535, "other"), db_dup);
    env.setKey({5, 65535});
    ASSERT_EQ(env.get(0), db_ok);
    EXPECT_STREQ(env.subject.text(), "s");
    EXPECT_EQ(env.get(1), db_range);

    // del removes the record last read; a second del has nothing to remove.
    EXPECT_EQ(env.del(), db_ok);
    EXPECT_EQ(env.del(), db_notfound);
    EXPECT_EQ(env.get(0), db_notfound);
    // A get that finds nothing leaves an empty record holding the key asked for, with the
    // text fields pointing at the empty text.
    EXPECT_EQ(env.key().id, 5u);
    EXPECT_EQ(env.key().seq, 65535);
    ASSERT_NE(env.subject.data(), nullptr);
    EXPECT_EQ(env.subject.length(), 0u);
    EXPECT_STREQ(env.date.text(), "");
    EXPECT_EQ(env.fromMailbox.data(), nullptr);

    // Deleting every other record during a walk keeps the walk going in order.
    std::vector<Key> kept;
    bool drop = true;
    env.begin(0);
    for (env.first(); env.status() == db_ok; env.next()) {
        if (drop) {
            ASSERT_EQ(env.del(), db_ok);
        } else {
            kept.emplace_back(env.key().id, env.key().seq);
        }
        drop = !drop;
    }
    EXPECT_EQ(env.status(), db_eof);
    EXPECT_EQ(Walk(env), kept);
    EXPECT_EQ(kept.size(), (expected.size() - 1) / 2);
}

TEST_F(Store, LockAndUnlockInOneProcess)
{
    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    EXPECT_EQ(env.unlock(), db_unlocked);
    ASSERT_EQ(env.lock(false, -1), db_ok);
    ASSERT_EQ(env.lock(false, -1), db_ok);  // nested
    EXPECT_EQ(PutEnv(env, 1, 0), db_ok);
    EXPECT_EQ(PutEnv(env, 1, 0), db_dup);  // a failing put leaves the transaction alive
    EXPECT_EQ(PutEnv(env, 2, 0), db_ok);
    EXPECT_EQ(env.unlock(), db_ok);
    {
        // Still inside the outer lock: another connection sees nothing yet.
        diamondBase other;
        archiveenv reader(other, dir.path().c_str());
        EXPECT_TRUE(Walk(reader).empty());
    }
    EXPECT_EQ(env.unlock(), db_ok);
    EXPECT_EQ(env.unlock(), db_unlocked);
    diamondBase other;
    archiveenv reader(other, dir.path().c_str());
    EXPECT_EQ(Walk(reader), (std::vector<Key>{{1, 0}, {2, 0}}));
    EXPECT_EQ(base.relationCount(), 1);
}

TEST_F(Store, ExclusiveLockAcrossProcessesIsBoundedAndCommitsAtUnlock)
{
    Pipe locked, release;
    const pid_t holder = Spawn([&] {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        if (env.lock(false, -1) != db_ok) return 1;
        if (PutEnv(env, 7, 0) != db_ok) return 2;
        locked.send();
        release.receive();
        return env.unlock() == db_ok ? 0 : 3;
    });
    ASSERT_TRUE(locked.receive());

    diamondBase::SetLockTimeout(150);
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        ASSERT_EQ(env.status(), db_ok);
        EXPECT_EQ(env.lock(false, -1), db_locked);
        EXPECT_EQ(PutEnv(env, 8, 0), db_locked);
        // Readers are not held up and do not see the uncommitted record.
        env.setKey({7, 0});
        EXPECT_EQ(env.get(0), db_notfound);
        // Replacing the relation needs it too.
        EXPECT_EQ(Replace(MakeTemplate("template")), db_locked);
    }
    release.send();
    EXPECT_EQ(Wait(holder), 0);

    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    env.setKey({7, 0});
    EXPECT_EQ(env.get(0), db_ok);
    EXPECT_STREQ(env.subject.text(), "s");
    EXPECT_EQ(PutEnv(env, 8, 0), db_ok);
}

TEST_F(Store, ConcurrentWritersLoseNothingAndReadersSeeCommits)
{
    constexpr int kPerWriter = 400;
    Pipe start;
    std::vector<pid_t> writers;
    for (uint32_t w = 0; w < 2; ++w) {
        writers.push_back(Spawn([&, w] {
            start.receive();
            diamondBase base;
            for (int i = 0; i < kPerWriter; ++i) {
                // A relation per record, as the intake opens them per message.
                archiveenv env(base, dir.path().c_str());
                if (env.status() != db_ok) return 1;
                if (PutEnv(env, static_cast<uint32_t>(i * 2 + w), 0) != db_ok) return 2;
            }
            return 0;
        }));
    }
    // A reader walking while the writers run sees a growing, ordered, duplicate-free set.
    start.send();
    start.send();
    std::size_t lastCount = 0;
    for (int round = 0; round < 20; ++round) {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        const std::vector<Key> keys = Walk(env);
        EXPECT_TRUE(env.status() == db_eof);
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
        EXPECT_GE(keys.size(), lastCount);
        lastCount = keys.size();
    }
    for (pid_t pid : writers) EXPECT_EQ(Wait(pid), 0);
    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    const std::vector<Key> keys = Walk(env);
    ASSERT_EQ(keys.size(), 2u * kPerWriter);
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i], (Key{static_cast<uint32_t>(i), 0}));
}

TEST_F(Store, OpeningNeverCreatesAndRejectsWhatIsNotARelation)
{
    testenv::TempDir other;
    diamondBase base;
    {
        archiveenv env(base, other.path().c_str());
        EXPECT_EQ(env.status(), db_notopened);
        EXPECT_FALSE(env.isOpen());
        EXPECT_EQ(env.get(0), db_notopened);
        EXPECT_EQ(env.put(), db_notopened);
        EXPECT_EQ(env.first(), db_notopened);
        EXPECT_EQ(env.lock(false, -1), db_notopened);
        EXPECT_EQ(env.flush(), db_notopened);
    }
    EXPECT_FALSE(testenv::Exists(other / "archiveenv.db"));
    EXPECT_FALSE(testenv::Exists(other / "archiveenv.db-wal"));

    const std::string good = testenv::ReadFile(envFile());
    ASSERT_GT(good.size(), 4096u);
    auto opensNot = [&](const std::string& content, const char* what) {
        diamondBase::ReleaseIdle();
        testenv::WriteFile(other / "archiveenv.db", content);
        archiveenv env(base, other.path().c_str());
        EXPECT_NE(env.status(), db_ok) << what;
        EXPECT_EQ(env.status(), db_corrupt) << what;
        EXPECT_EQ(env.get(0), db_notopened) << what;  // not open: every operation says so
    };
    opensNot("", "0 bytes");
    opensNot(std::string(8192, 'g'), "garbage");
    opensNot(good.substr(0, 60), "truncated inside the header");
    std::string foreignHeader = good;
    foreignHeader[70] ^= 0x55;  // application id
    opensNot(foreignHeader, "another program's header");

    // A database of another program.
    MakeDatabase(other / "archiveenv.db", "CREATE TABLE records(x); INSERT INTO records VALUES(1)");
    {
        archiveenv env(base, other.path().c_str());
        EXPECT_EQ(env.status(), db_corrupt);
    }
    // Our header but no tables: opens, fails on use.
    MakeDatabase(other / "archiveenv.db",
                 "PRAGMA application_id=1145848146; PRAGMA user_version=1; CREATE TABLE other(x)");
    {
        archiveenv env(base, other.path().c_str());
        env.setKey({1, 0});
        EXPECT_EQ(env.get(0), db_corrupt);
        EXPECT_EQ(env.put(), db_corrupt);
        EXPECT_EQ(env.first(), db_corrupt);
        EXPECT_EQ(env.status(), db_corrupt);
    }
    // The other relation's file under this relation's name.
    diamondBase::ReleaseIdle();
    testenv::WriteFile(other / "archiveenv.db", testenv::ReadFile(dir / "archivebody.db"));
    {
        archiveenv env(base, other.path().c_str());
        EXPECT_EQ(env.status(), db_ok);
        EXPECT_EQ(env.first(), db_corrupt);
        EXPECT_EQ(env.put(), db_corrupt);
    }
}

TEST_F(Store, DamagedContentGives22NeverWrongData)
{
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        for (uint32_t id = 1; id <= 300; ++id) {
            env.clear();
            env.setKey({id, 0});
            env.subject.cpy(("MARKER-" + std::to_string(id) + "-" + std::string(200, 'q')).c_str());
            ASSERT_EQ(env.put(), db_ok);
        }
    }
    // Closed (also the connection kept for reuse): the WAL is folded into the file. Change
    // one byte of record 150's subject.
    diamondBase::ReleaseIdle();
    std::string bytes = testenv::ReadFile(envFile());
    const auto at = bytes.find("MARKER-150-");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 20] = 'Q';
    testenv::WriteFile(envFile(), bytes);
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        ASSERT_EQ(env.status(), db_ok);
        env.setKey({150, 0});
        EXPECT_EQ(env.get(0), db_corrupt);
        EXPECT_EQ(env.subject.length(), 0u);  // nothing of the damaged record is handed out
        env.setKey({149, 0});
        EXPECT_EQ(env.get(0), db_ok);
        std::size_t read = 0;
        env.begin(0);
        for (env.first(); env.status() == db_ok; env.next()) ++read;
        EXPECT_EQ(env.status(), db_corrupt);
        EXPECT_EQ(read, 149u);
    }
    // Truncated to two pages: SQLite finds the tree damaged.
    diamondBase::ReleaseIdle();
    bytes = testenv::ReadFile(envFile());
    testenv::WriteFile(envFile(), bytes.substr(0, 8192));
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        std::size_t read = 0;
        env.begin(0);
        for (env.first(); env.status() == db_ok; env.next()) ++read;
        EXPECT_EQ(env.status(), db_corrupt);
        EXPECT_LT(read, 300u);
        env.setKey({300, 0});
        const dbError got = env.get(0);
        EXPECT_TRUE(got == db_corrupt || got == db_notfound) << got;
    }
}

TEST_F(Store, ReplaceWithTemplateWhileAnotherProcessHasTheRelationOpen)
{
    const std::string templFile = MakeTemplate();
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        for (uint32_t id = 1; id <= 50; ++id) ASSERT_EQ(PutEnv(env, id, 0), db_ok);
    }
    // This process used the relation before forking the user (its connection would be kept
    // for reuse, were it not closed before the fork).
    Pipe opened, replaced;
    const pid_t user = Spawn([&] {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        env.setKey({10, 0});
        if (env.get(0) != db_ok) return 1;
        // Stop in the middle of a walk, holding its read snapshot.
        env.begin(0);
        if (env.first() != db_ok || env.next() != db_ok) return 2;
        opened.send();
        replaced.receive();
        // The snapshot ends at flush: the relation is now empty and valid.
        env.flush();
        env.setKey({10, 0});
        const dbError afterReplace = env.get(0);
        if (afterReplace != db_notfound) return 30 + afterReplace;
        if (env.first() != db_eof) return 4;
        if (PutEnv(env, 99, 0) != db_ok) return 5;
        return 0;
    });
    ASSERT_TRUE(opened.receive());
    EXPECT_EQ(Replace(templFile), db_ok);
    replaced.send();
    EXPECT_EQ(Wait(user), 0);
    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    EXPECT_EQ(Walk(env), (std::vector<Key>{{99, 0}}));
    // The template itself is untouched.
    archiveenv t(base, (dir / "home").c_str());
    EXPECT_TRUE(Walk(t).empty());
}

TEST_F(Store, ReplaceWithTemplateRepairsDamagedAndMissingFilesWithoutStaleWal)
{
    const std::string templFile = MakeTemplate();

    // A process dies with committed records still in the WAL.
    const pid_t writer = Spawn([&] {
        diamondBase base;
        auto* env = new archiveenv(base, dir.path().c_str());
        for (uint32_t id = 1; id <= 20; ++id)
            if (PutEnv(*env, id, 0) != db_ok) return 1;
        ::_exit(0);  // no close: no checkpoint, the WAL stays
    });
    ASSERT_EQ(Wait(writer), 0);
    ASSERT_TRUE(testenv::Exists(envFile() + "-wal"));
    const std::string wal = testenv::ReadFile(envFile() + "-wal");
    ASSERT_GT(wal.size(), 32u);

    // Another process opens the relation and has not read yet; then the file is damaged.
    Pipe ready, done;
    const pid_t user = Spawn([&] {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        if (env.status() != db_ok) return 2;
        ready.send();
        done.receive();
        env.setKey({1, 0});
        return env.get(0) == db_notfound ? 0 : 1;
    });
    ASSERT_TRUE(ready.receive());
    testenv::WriteFile(envFile(), std::string(4096 * 3, '\x5a'));
    EXPECT_EQ(Replace(templFile), db_ok);
    done.send();
    EXPECT_EQ(Wait(user), 0);
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        ASSERT_EQ(env.status(), db_ok);
        EXPECT_TRUE(Walk(env).empty());
        EXPECT_EQ(env.status(), db_eof);
        EXPECT_EQ(PutEnv(env, 1, 0), db_ok);
    }

    // Missing file with a stale WAL of a former file beside it.
    ::unlink(envFile().c_str());
    testenv::WriteFile(envFile() + "-wal", wal);
    EXPECT_EQ(Replace(templFile), db_ok);
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        ASSERT_EQ(env.status(), db_ok);
        EXPECT_TRUE(Walk(env).empty());
        EXPECT_EQ(env.status(), db_eof);
    }

    // Every kind of damage, and a foreign database, becomes an empty relation.
    for (const std::string& content : {std::string(), std::string(100, '\0'), std::string(10000, 'z'),
                                       testenv::ReadFile(templFile).substr(0, 5000)}) {
        diamondBase::ReleaseIdle();  // files are overwritten only when no one has them open
        testenv::WriteFile(envFile(), content);
        EXPECT_EQ(Replace(templFile), db_ok);
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        ASSERT_EQ(env.status(), db_ok);
        EXPECT_EQ(env.first(), db_eof);
    }

    // A template that is not a relation of that name is refused and the target kept.
    EXPECT_EQ(Replace(dir / "archivebody.db"), db_corrupt);
    EXPECT_EQ(Replace(dir / "nothing.db"), db_notopened);
}

TEST_F(Store, CreateRefusesToOverwriteUnlessAsked)
{
    diamondBase base;
    {
        archiveenv env(base, dir.path().c_str());
        ASSERT_EQ(PutEnv(env, 1, 0), db_ok);
    }
    EXPECT_EQ(diaRel::Create(dir.path().c_str(), "archiveenv"), db_dup);
    {
        archiveenv env(base, dir.path().c_str());
        EXPECT_EQ(Walk(env).size(), 1u);
    }
    EXPECT_EQ(diaRel::Create(dir.path().c_str(), "archiveenv", true), db_ok);
    archiveenv env(base, dir.path().c_str());
    EXPECT_TRUE(Walk(env).empty());
    EXPECT_EQ(diaRel::Create((dir / "missing/dir").c_str(), "archiveenv"), db_notopened);
    // No temporary files are left behind.
    std::size_t files = 0;
    for (const char* name : {"archiveenv.db", "archivebody.db"}) files += testenv::Exists(dir / name);
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(testenv::Run("ls " + testenv::Quote(dir.path()) + " | grep -c tmp").out, "0\n");
}

TEST(DbData, ValuesCopyAppendAndTerminate)
{
    dbData bytes(dbData::kBytes);
    EXPECT_EQ(bytes.data(), nullptr);
    EXPECT_EQ(bytes.length(), 0u);
    const char raw[] = {'a', '\0', 'b'};
    dbData copy(raw, 3);
    EXPECT_EQ(copy.length(), 3u);
    EXPECT_EQ(std::memcmp(copy.data(), raw, 3), 0);
    EXPECT_EQ(copy.data()[3], 0);  // the hidden terminator

    dbData text(dbData::kText);
    EXPECT_EQ(text.cpy("abc"), db_ok);
    EXPECT_EQ(text.length(), 4u);  // with its terminating zero
    EXPECT_EQ(text.cat("de"), db_ok);
    EXPECT_EQ(text.length(), 7u);
    EXPECT_EQ(std::memcmp(text.data(), "abc\0de\0", 7), 0);
    EXPECT_EQ(text.cat(copy), db_ok);
    EXPECT_EQ(text.length(), 10u);
    EXPECT_EQ(text.cat(text), db_ok);  // appending itself
    EXPECT_EQ(text.length(), 20u);
    EXPECT_EQ(std::memcmp(text.data() + 10, "abc\0de\0a\0b", 10), 0);
    EXPECT_EQ(text.cpy(static_cast<const char*>(nullptr)), db_ok);
    EXPECT_EQ(text.data(), nullptr);
    EXPECT_EQ(text.cpy(""), db_ok);
    EXPECT_EQ(text.length(), 1u);

    dbData created(dbData::kBytes);
    EXPECT_EQ(created.createDbData(text), db_ok);
    EXPECT_EQ(created.kind(), dbData::kText);
    EXPECT_EQ(bytes.cpy(text), db_ok);
    EXPECT_EQ(bytes.kind(), dbData::kBytes);
    bytes.clr();
    EXPECT_EQ(bytes.data(), nullptr);

    dbString s("hello");
    EXPECT_EQ(s.kind(), dbData::kText);
    EXPECT_STREQ(s.text(), "hello");
    dbString empty;
    EXPECT_EQ(empty.data(), nullptr);
    empty.settleText();
    ASSERT_NE(empty.data(), nullptr);
    EXPECT_STREQ(empty.text(), "");
    dbData fromEmpty(empty);
    EXPECT_STREQ(fromEmpty.text(), "");
    EXPECT_EQ(fromEmpty.cat("x"), db_ok);
    EXPECT_STREQ(fromEmpty.text(), "x");
    EXPECT_STREQ(empty.text(), "");
}

TEST(InitCommand, CreatesTemplatesAndReplacesThemOnlyWhenForced)
{
    testenv::TempDir root;
    const std::string home = root / "dlmgr/home";
    testenv::Config config("[DlManager]\nDbPath=" + home + "\n");
    const std::string cli = std::string(DLARCHIVE_CLI) + " --config " + testenv::Quote(config.dir());

    testenv::RunResult run = testenv::Run(cli + " init");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, home + "/archiveenv.db\n" + home + "/archivebody.db\n");
    {
        diamondBase base;
        archiveenv env(base, home.c_str());
        archivebody body(base, home.c_str());
        ASSERT_EQ(env.status(), db_ok);
        ASSERT_EQ(body.status(), db_ok);
        EXPECT_EQ(env.first(), db_eof);
        EXPECT_EQ(body.first(), db_eof);
        EXPECT_EQ(PutEnv(env, 1, 0), db_ok);
    }

    // Without --force nothing is overwritten.
    run = testenv::Run(cli + " init");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("already exists"), std::string::npos) << run.err;
    {
        diamondBase base;
        archiveenv env(base, home.c_str());
        EXPECT_EQ(Walk(env).size(), 1u);
    }
    // A missing one of the two is not created either: the refusal touches nothing.
    ::unlink((home + "/archivebody.db").c_str());
    EXPECT_EQ(testenv::Run(cli + " init").status, 1);
    EXPECT_FALSE(testenv::Exists(home + "/archivebody.db"));

    run = testenv::Run(cli + " init --force");
    ASSERT_EQ(run.status, 0) << run.err;
    {
        diamondBase base;
        archiveenv env(base, home.c_str());
        archivebody body(base, home.c_str());
        EXPECT_TRUE(Walk(env).empty());
        EXPECT_EQ(body.status(), db_ok);
    }
    EXPECT_EQ(testenv::Run(cli + " init --bogus").status, 2);

    // A home directory that cannot be created is a failure.
    testenv::WriteFile(root / "file", "x");
    config.Write("[DlManager]\nDbPath=" + (root / "file/home") + "\n");
    run = testenv::Run(cli + " init");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot create directory"), std::string::npos) << run.err;
}

TEST_F(Store, DamagedFileIsRepairedOnlyOnceNoProcessHasItOpen)
{
    const std::string templFile = MakeTemplate();
    diamondBase::ReleaseIdle();

    Pipe opened, release, sawDamage;
    const pid_t user = Spawn([&] {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        env.setKey({1, 0});
        if (env.get(0) != db_notfound) return 1;
        opened.send();
        release.receive();
        // The first page was overwritten behind SQLite's back: this connection answers from
        // the pages it has validated before (the relation as it was) or with a clean error.
        const dbError got = env.get(0);
        if (got != db_notfound && got != db_corrupt && got != db_notopened) return 10 + got;
        sawDamage.send();
        return 0;
    });
    ASSERT_TRUE(opened.receive());
    // Damage the first page in place while the user keeps its connection.
    std::string bytes = testenv::ReadFile(envFile());
    std::fill(bytes.begin(), bytes.begin() + 100, 'X');
    testenv::WriteFile(envFile(), bytes);

    // The user's open connection holds the file: the repair waits, then gives up cleanly.
    diamondBase::SetLockTimeout(150);
    EXPECT_EQ(Replace(templFile), db_locked);
    EXPECT_EQ(testenv::ReadFile(envFile()).substr(0, 100), std::string(100, 'X'));
    release.send();
    ASSERT_TRUE(sawDamage.receive());
    EXPECT_EQ(Wait(user), 0);

    // Once it is gone, the same call empties the file in place and copies the template in.
    EXPECT_EQ(Replace(templFile), db_ok);
    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    ASSERT_EQ(env.status(), db_ok);
    EXPECT_EQ(env.first(), db_eof);
    EXPECT_EQ(PutEnv(env, 3, 0), db_ok);
    EXPECT_EQ(Walk(env), (std::vector<Key>{{3, 0}}));
}

// The relation store on real SQLite files, with real processes for the concurrency cases.
#include <gtest/gtest.h>

#include <poll.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <set>

#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "support/test_env.h"

namespace {

using Key = std::pair<uint32_t, uint16_t>;

// A one-byte signal between processes; receive is false after 20 seconds without one.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fd), 0); }
    ~Pipe() { ::close(fd[0]), ::close(fd[1]); }
    void send() const { EXPECT_EQ(::write(fd[1], "x", 1), 1); }
    bool receive() const
    {
        struct pollfd p = {fd[0], POLLIN, 0};
        char c;
        return ::poll(&p, 1, 20000) == 1 && ::read(fd[0], &c, 1) == 1;
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
        testenv::MakeDirs(dir / "home");
        ASSERT_EQ(diaRel::Create((dir / "home").c_str(), "archiveenv"), db_ok);
    }
    std::string envFile() const { return dir / "archiveenv.db"; }
    dbError Replace(const std::string& templateFile = "") const
    {
        const std::string t = templateFile.empty() ? dir / "home/archiveenv.db" : templateFile;
        return diaRel::ReplaceWithTemplate(t.c_str(), dir.path().c_str(), "archiveenv");
    }
};

}  // namespace

TEST_F(Store, WalkFollowsUnsignedKeyOrderAndBasicResults)
{
    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    EXPECT_EQ(env.first(), db_eof);
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
    EXPECT_EQ(PutEnv(env, 5, 65535, "other"), db_dup);  // a failing put leaves the transaction alive
    ASSERT_EQ(env.lock(false, -1), db_ok);              // nested
    ASSERT_EQ(env.unlock(), db_ok);
    {
        diamondBase other;  // still inside the outer lock: another connection sees nothing
        archiveenv reader(other, dir.path().c_str());
        EXPECT_TRUE(Walk(reader).empty());
    }
    ASSERT_EQ(env.unlock(), db_ok);
    EXPECT_EQ(env.unlock(), db_unlocked);
    EXPECT_EQ(Walk(env), std::vector<Key>(expected.begin(), expected.end()));
    EXPECT_EQ(env.status(), db_eof);
    env.begin(0);  // a new walk starts over, wherever the last one stopped
    ASSERT_EQ(env.next(), db_ok);
    EXPECT_EQ(env.key().id, 0u);
    env.setKey({5, 65535});
    ASSERT_EQ(env.get(0), db_ok);
    EXPECT_STREQ(env.subject.text(), "s");
    EXPECT_EQ(env.del(), db_ok);  // the record last read
    EXPECT_EQ(env.del(), db_notfound);
    EXPECT_EQ(env.get(0), db_notfound);
    // A get that finds nothing leaves an empty record with the key asked for.
    EXPECT_TRUE(env.key().id == 5 && env.key().seq == 65535 && env.subject.length() == 0);
    EXPECT_STREQ(env.date.text(), "");
    EXPECT_EQ(env.fromMailbox.data(), nullptr);
    std::vector<Key> kept;  // deleting every other record during a walk keeps it in order
    bool drop = true;
    env.begin(0);
    for (env.first(); env.status() == db_ok; env.next(), drop = !drop)
        if (drop)
            ASSERT_EQ(env.del(), db_ok);
        else
            kept.emplace_back(env.key().id, env.key().seq);
    EXPECT_EQ(Walk(env), kept);
    EXPECT_EQ(kept.size(), (expected.size() - 1) / 2);
    EXPECT_EQ(diaRel::Create(dir.path().c_str(), "archiveenv"), db_dup);  // never over a relation
    EXPECT_EQ(diaRel::Create((dir / "missing/dir").c_str(), "archiveenv"), db_notopened);
}

TEST_F(Store, WritersOfSeveralProcessesLockBoundedAndLoseNothing)
{
    Pipe locked, release;
    const pid_t holder = testenv::Spawn([&] {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        if (env.lock(false, -1) != db_ok || PutEnv(env, 7, 0) != db_ok) return 1;
        locked.send();
        release.receive();
        return env.unlock() == db_ok ? 0 : 3;
    });
    ASSERT_TRUE(locked.receive());
    diamondBase::SetLockTimeout(150);
    diamondBase base;
    auto env = std::make_unique<archiveenv>(base, dir.path().c_str());
    EXPECT_EQ(env->lock(false, -1), db_locked);
    EXPECT_EQ(PutEnv(*env, 8, 0), db_locked);
    env->setKey({7, 0});
    EXPECT_EQ(env->get(0), db_notfound);  // readers are not held up and see no uncommitted record
    EXPECT_EQ(Replace(), db_locked);
    release.send();
    EXPECT_EQ(testenv::Wait(holder), 0);
    EXPECT_EQ(PutEnv(*env, 8, 0), db_ok);  // a lock that timed out leaves the connection usable
    env.reset();
    diamondBase::SetLockTimeout(5000);
    Pipe start;
    std::vector<pid_t> writers;
    for (uint32_t w = 0; w < 2; ++w)
        writers.push_back(testenv::Spawn([&, w] {
            start.receive();
            diamondBase base;
            for (uint32_t i = 0; i < 400; ++i) {
                archiveenv env(base, dir.path().c_str());  // a relation per record, as the intake
                if (PutEnv(env, 100 + i * 2 + w, 0) != db_ok) return 2;
            }
            return 0;
        }));
    start.send(), start.send();
    std::size_t lastCount = 0;
    for (int round = 0; round < 20; ++round) {  // a growing, ordered, duplicate-free set
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        const std::vector<Key> keys = Walk(env);
        EXPECT_EQ(env.status(), db_eof);
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()) &&
                    std::adjacent_find(keys.begin(), keys.end()) == keys.end());
        EXPECT_GE(keys.size(), lastCount);
        lastCount = keys.size();
    }
    for (pid_t pid : writers) EXPECT_EQ(testenv::Wait(pid), 0);
    archiveenv all(base, dir.path().c_str());
    const std::vector<Key> keys = Walk(all);
    ASSERT_EQ(keys.size(), 802u);
    for (std::size_t i = 2; i < keys.size(); ++i) EXPECT_EQ(keys[i], (Key{static_cast<uint32_t>(98 + i), 0}));
}

TEST_F(Store, OpeningNeverCreatesAndRejectsWhatIsNotARelation)
{
    testenv::TempDir other;
    diamondBase base;
    {
        archiveenv env(base, other.path().c_str());
        EXPECT_EQ(env.status(), db_notopened);
        for (dbError result : {env.get(0), env.put(), env.first(), env.lock(false, -1), env.flush()})
            EXPECT_EQ(result, db_notopened);
    }
    EXPECT_FALSE(testenv::Exists(other / "archiveenv.db"));
    const std::string good = testenv::ReadFile(envFile());
    std::string foreign = good;
    foreign[70] ^= 0x55;  // the application id
    const auto database = [&](const char* sql) {
        ::unlink((other / "archiveenv.db").c_str());
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open((other / "archiveenv.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    // {file content (empty: made by `sql`), sql, status after opening, result of a walk}
    const struct {
        std::string content;
        const char* sql;
        dbError opened, walked;
    } cases[] = {
        {"", nullptr, db_corrupt, db_notopened},
        {std::string(8192, 'g'), nullptr, db_corrupt, db_notopened},
        {good.substr(0, 60), nullptr, db_corrupt, db_notopened},
        {foreign, nullptr, db_corrupt, db_notopened},
        {testenv::ReadFile(dir / "archivebody.db"), nullptr, db_ok, db_corrupt},
        {"", "CREATE TABLE records(x); INSERT INTO records VALUES(1)", db_corrupt, db_notopened},
        {"", "PRAGMA application_id=1145848146; PRAGMA user_version=1; CREATE TABLE other(x)", db_ok, db_corrupt}};
    for (const auto& c : cases) {
        diamondBase::ReleaseIdle();
        if (c.sql != nullptr)
            database(c.sql);
        else
            testenv::WriteFile(other / "archiveenv.db", c.content);
        archiveenv env(base, other.path().c_str());
        EXPECT_EQ(env.status(), c.opened) << c.content.size();
        EXPECT_EQ(env.first(), c.walked) << c.content.size();
        EXPECT_EQ(env.put(), c.walked) << c.content.size();
    }
}

TEST_F(Store, ReplaceWithTemplateWhileOtherProcessesUseTheRelation)
{
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        for (uint32_t id = 1; id <= 50; ++id) ASSERT_EQ(PutEnv(env, id, 0), db_ok);
    }
    Pipe opened, replaced;
    const pid_t user = testenv::Spawn([&] {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        env.begin(0);  // stopped in the middle of a walk, holding its snapshot
        if (env.first() != db_ok || env.next() != db_ok) return 2;
        opened.send();
        replaced.receive();
        env.flush();  // the snapshot ends: the relation is now empty and valid
        env.setKey({10, 0});
        if (env.get(0) != db_notfound || env.first() != db_eof) return 3;
        return PutEnv(env, 99, 0) == db_ok ? 0 : 5;
    });
    ASSERT_TRUE(opened.receive());
    EXPECT_EQ(Replace(), db_ok);
    replaced.send();
    EXPECT_EQ(testenv::Wait(user), 0);
    {
        diamondBase base;
        archiveenv env(base, dir.path().c_str());
        EXPECT_EQ(Walk(env), (std::vector<Key>{{99, 0}}));
        archiveenv t(base, (dir / "home").c_str());
        EXPECT_TRUE(Walk(t).empty());  // the template itself is untouched
    }
    diamondBase::ReleaseIdle();
    // A file damaged while another process has it open is repaired only once it is closed;
    // a stale WAL of a former file is not replayed into the new one (a process died with
    // committed records in it); every kind of damage becomes an empty relation.
    Pipe ready, release;
    const pid_t holder = testenv::Spawn([&] {
        diamondBase own;
        archiveenv e(own, dir.path().c_str());
        e.setKey({99, 0});
        if (e.get(0) != db_ok) return 1;
        ready.send();
        release.receive();
        const dbError got = e.get(0);
        return got == db_ok || got == db_notfound || got == db_corrupt || got == db_notopened ? 0 : 10 + got;
    });
    ASSERT_TRUE(ready.receive());
    std::string bytes = testenv::ReadFile(envFile());
    std::fill(bytes.begin(), bytes.begin() + 100, 'X');
    testenv::WriteFile(envFile(), bytes);
    diamondBase::SetLockTimeout(150);
    EXPECT_EQ(Replace(), db_ok);  // a process that only reads never holds the replacement up
    EXPECT_EQ(testenv::ReadFile(envFile()).substr(0, 16), std::string("SQLite format 3\0", 16));
    release.send();
    EXPECT_EQ(testenv::Wait(holder), 0);
    EXPECT_EQ(Replace(), db_ok);
    const pid_t writer = testenv::Spawn([&] {
        diamondBase own;
        auto* leaked = new archiveenv(own, dir.path().c_str());
        for (uint32_t id = 1; id <= 20; ++id) PutEnv(*leaked, id, 0);
        ::_exit(0);  // no close: no checkpoint, the WAL stays
        return 0;
    });
    ASSERT_EQ(testenv::Wait(writer), 0);
    const std::string wal = testenv::ReadFile(envFile() + "-wal");
    ASSERT_GT(wal.size(), 32u);
    ::unlink(envFile().c_str());
    testenv::WriteFile(envFile() + "-wal", wal);
    for (const std::string& content : {std::string("-"), std::string(), std::string(100, '\0'), std::string(10000, 'z'),
                                       testenv::ReadFile(dir / "home/archiveenv.db").substr(0, 5000)}) {
        diamondBase::ReleaseIdle();
        if (content != "-") testenv::WriteFile(envFile(), content);
        EXPECT_EQ(Replace(), db_ok) << content.size();
        diamondBase base;
        archiveenv e(base, dir.path().c_str());
        EXPECT_EQ(e.first(), db_eof) << content.size();
        EXPECT_EQ(PutEnv(e, 3, 0), db_ok);
    }
    const std::string templ = dir / "home/archiveenv.db";  // the arguments are refused, not the template
    for (const auto& [t, d, n] : std::vector<std::array<const char*, 3>>{{nullptr, dir.path().c_str(), "archiveenv"},
                                                                         {templ.c_str(), "", "archiveenv"},
                                                                         {templ.c_str(), dir.path().c_str(), ""}})
        EXPECT_EQ(diaRel::ReplaceWithTemplate(t, d, n), db_notopened);
    EXPECT_EQ(Replace(dir / "archivebody.db"), db_corrupt);  // a template of another name
    EXPECT_EQ(Replace(dir / "nothing.db"), db_notopened);
}

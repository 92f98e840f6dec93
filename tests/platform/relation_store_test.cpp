// The relation store on real SQLite files, with real processes for the concurrency cases.
#include <gtest/gtest.h>

#include <poll.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/relation_store_internal.h"
#include "support/test_env.h"

namespace {

using Key = std::pair<uint32_t, uint16_t>;
using Ids = std::vector<uint32_t>;

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

// The ids of the relation in `dir`, read by a connection of its own.
Ids WalkIds(const std::string& dir)
{
    diamondBase base;
    archiveenv env(base, dir.c_str());
    Ids ids;
    for (const Key& key : Walk(env)) ids.push_back(key.first);
    return ids;
}

dbError PutEnv(archiveenv& env, uint32_t id, uint16_t seq = 0, const std::string& subject = "s")
{
    env.clear();
    env.setKey({id, seq});
    env.subject.cpy(subject.c_str());
    return env.put();
}

dbError PutAll(const std::string& dir, const Ids& ids)
{
    diamondBase base;
    archiveenv env(base, dir.c_str());
    for (uint32_t id : ids)
        if (dbError rc = PutEnv(env, id, 0, "subject " + std::to_string(id)); rc != db_ok) return rc;
    return db_ok;
}

struct Store : ::testing::Test {
    testenv::TempDir root;
    std::string dir = root / "archive", home = root / "home", file = dir + "/archiveenv.db";
    std::string templ = home + "/archiveenv.db";
    void SetUp() override
    {
        diamondBase::SetLockTimeout(5000);
        testenv::MakeDirs(dir), testenv::MakeDirs(home);
        ASSERT_EQ(diaRel::Create(dir.c_str(), "archiveenv"), db_ok);
        ASSERT_EQ(diaRel::Create(dir.c_str(), "archivebody"), db_ok);
        ASSERT_EQ(diaRel::Create(home.c_str(), "archiveenv"), db_ok);
    }
    // The relation holding 1, 2, 3, all in its file (no WAL).
    void Reset()
    {
        ASSERT_EQ(diaRel::Create(dir.c_str(), "archiveenv", true), db_ok);
        ASSERT_EQ(PutAll(dir, {1, 2, 3}), db_ok);
        diamondBase::ReleaseIdle();
    }
    dbError Replace(const std::string& source = "") const
    {
        return diaRel::ReplaceWithTemplate((source.empty() ? templ : source).c_str(), dir.c_str(), "archiveenv");
    }
};

}  // namespace

TEST_F(Store, WalkFollowsUnsignedKeyOrderAndBasicResults)
{
    diamondBase base;
    archiveenv env(base, dir.c_str());
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
    EXPECT_TRUE(WalkIds(dir).empty());  // still inside the outer lock: another connection sees nothing
    ASSERT_EQ(env.unlock(), db_ok);
    EXPECT_EQ(env.unlock(), db_unlocked);
    EXPECT_EQ(Walk(env), std::vector<Key>(expected.begin(), expected.end()));
    EXPECT_EQ(env.status(), db_eof);
    env.setKey({5, 65535});
    ASSERT_EQ(env.get(0), db_ok);
    EXPECT_STREQ(env.subject.text(), "s");
    EXPECT_EQ(env.del(), db_ok);  // the record last read
    EXPECT_EQ(env.del(), db_notfound);
    EXPECT_EQ(env.get(0), db_notfound);
    // A get that finds nothing leaves an empty record with the key asked for.
    EXPECT_TRUE(env.key().id == 5 && env.key().seq == 65535 && env.subject.length() == 0);
    EXPECT_TRUE(std::string(env.date.text()).empty() && env.fromMailbox.data() == nullptr);
    const std::vector<Key> kept = Walk(env);
    EXPECT_EQ(kept.size(), expected.size() - 1);
    // A walk from a key reads what lies beyond it, upwards or downwards, across a flush too.
    const Key middle = kept[kept.size() / 2];
    for (const bool down : {false, true}) {
        std::vector<Key> seen;
        ASSERT_EQ(down ? env.seekBefore(middle.first, middle.second) : env.seekAfter(middle.first, middle.second),
                  db_ok);
        for (env.next(); env.status() == db_ok; env.next())
            if (seen.emplace_back(env.key().id, env.key().seq); seen.size() == 3) env.flush();
        const auto at = std::lower_bound(kept.begin(), kept.end(), middle);
        EXPECT_EQ(seen, down ? std::vector<Key>(std::make_reverse_iterator(at), kept.rend())
                             : std::vector<Key>(at + 1, kept.end()));
    }
    EXPECT_EQ(diaRel::Create(dir.c_str(), "archiveenv"), db_dup);  // never over a relation
    EXPECT_EQ(diaRel::Create((dir + "/missing/dir").c_str(), "archiveenv"), db_notopened);
}

TEST_F(Store, LocksOfAnotherProcessHoldWritersUpForABoundedTime)
{
    Pipe locked, release;
    const pid_t holder = testenv::Spawn([&] {
        diamondBase base;
        archiveenv env(base, dir.c_str());
        if (env.lock(false, -1) != db_ok || PutEnv(env, 7) != db_ok) return 1;
        locked.send();
        release.receive();
        return env.unlock() == db_ok ? 0 : 3;
    });
    ASSERT_TRUE(locked.receive());
    diamondBase::SetLockTimeout(150);
    diamondBase base;
    auto env = std::make_unique<archiveenv>(base, dir.c_str());
    EXPECT_EQ(env->lock(false, -1), db_locked);
    EXPECT_EQ(PutEnv(*env, 8), db_locked);
    env->setKey({7, 0});
    EXPECT_EQ(env->get(0), db_notfound);  // readers are not held up and see no uncommitted record
    EXPECT_EQ(Replace(), db_locked);
    release.send();
    EXPECT_EQ(testenv::Wait(holder), 0);
    EXPECT_EQ(PutEnv(*env, 8), db_ok);  // a lock that timed out leaves the connection usable
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
    std::string foreign = testenv::ReadFile(file);
    foreign[70] ^= 0x55;  // the application id
    // {file, status after opening, result of a walk and of a put}
    const std::tuple<std::string, dbError, dbError> cases[] = {
        {foreign, db_corrupt, db_notopened}, {testenv::ReadFile(dir + "/archivebody.db"), db_ok, db_corrupt}};
    for (const auto& [content, opened, walked] : cases) {
        diamondBase::ReleaseIdle();
        testenv::WriteFile(other / "archiveenv.db", content);
        archiveenv env(base, other.path().c_str());
        EXPECT_TRUE(env.status() == opened && env.first() == walked && env.put() == walked) << opened;
    }
}

// A stale WAL of a former file (its process died with records in it) is not replayed into the
// new one; every kind of damage becomes an empty relation; the template stays untouched.
TEST_F(Store, ReplacementOverStaleWalAndDamage)
{
    const pid_t writer = testenv::Spawn([&] {
        diamondBase own;
        auto* leaked = new archiveenv(own, dir.c_str());
        for (uint32_t id = 1; id <= 20; ++id) PutEnv(*leaked, id);
        ::_exit(0);  // no close: no checkpoint, the WAL stays
        return 0;
    });
    ASSERT_EQ(testenv::Wait(writer), 0);
    const std::string wal = testenv::ReadFile(file + "-wal");
    ASSERT_GT(wal.size(), 32u);
    ::unlink(file.c_str());
    testenv::WriteFile(file + "-wal", wal);
    for (const std::string& content : {std::string("-"), std::string(), std::string(100, '\0'), std::string(10000, 'z'),
                                       testenv::ReadFile(templ).substr(0, 5000)}) {
        diamondBase::ReleaseIdle();
        if (content != "-") testenv::WriteFile(file, content);
        EXPECT_EQ(Replace(), db_ok) << content.size();
        diamondBase base;
        archiveenv e(base, dir.c_str());
        EXPECT_EQ(e.first(), db_eof) << content.size();
        EXPECT_EQ(PutEnv(e, 3), db_ok);
    }
    EXPECT_TRUE(WalkIds(home).empty());
    EXPECT_EQ(diaRel::ReplaceWithTemplate(nullptr, dir.c_str(), "archiveenv"), db_notopened);
}

// Another process keeps its connection idle (pooled) after a read, and one keeps an object in
// use; the relation is damaged and replaced by its template, in place (record damage) or by a
// new file (header damage). The replacement neither waits nor fails; the idle process's next
// object sees the new content, and the object opened on the old file never writes into the
// new one, nor does the old file's closing connection take the new file's WAL with it.
TEST_F(Store, IdleConnectionsOfAnotherProcessNeverHoldUpAReplacement)
{
    for (const bool header : {true, false}) {
        SCOPED_TRACE(header ? "header damaged" : "record damaged");
        Reset();
        Pipe ready, replaced;
        const pid_t child = testenv::Spawn([&] {
            diamondBase base;
            const Ids before = WalkIds(dir);  // its connection is now idle in the pool
            archiveenv active(base, dir.c_str());
            if (before != Ids{1, 2, 3} || PutEnv(active, 4) != db_ok) return 1;
            ready.send();
            replaced.receive();
            PutEnv(active, 9);  // through the connection opened before the replacement
            if (WalkIds(dir) != (header ? Ids{100} : Ids{9, 100})) return 2;
            diamondBase other;
            archiveenv fresh(other, dir.c_str());
            return PutEnv(fresh, 101) == db_ok ? 0 : 3;
        });
        ASSERT_TRUE(ready.receive());
        std::string bytes = testenv::ReadFile(file);
        bytes[header ? 0 : bytes.rfind("subject 2") + 8] ^= 0x20;
        testenv::WriteFile(file, bytes);
        ASSERT_EQ(::chmod(file.c_str(), 0604), 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Replace(), db_ok);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        ASSERT_EQ(PutAll(dir, {100}), db_ok);  // in the new file's WAL, kept by our pool
        replaced.send();
        EXPECT_EQ(testenv::Wait(child), 0);
        struct stat st;
        EXPECT_TRUE(::stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0604);
        diamondBase::ReleaseIdle();
        // Replaced in place, the file is the one the object in use had open.
        EXPECT_EQ(WalkIds(dir), header ? Ids({100, 101}) : Ids({9, 100, 101}));
    }
}

// Templates are checked before anything is replaced; a bad one, a link or a FIFO replaces nothing.
TEST_F(Store, TemplatesAreCheckedAndLinksAndFifosAreNoRelations)
{
    ::alarm(60);  // a FIFO must never block
    Reset();
    const std::string good = testenv::ReadFile(templ);
    auto make = [&](const std::string& name, const std::string& bytes) {
        testenv::WriteFile(home + "/" + name, bytes);
        return home + "/" + name;
    };
    std::string foreign = good, damaged = good;
    foreign[70] ^= 1;                // application id
    damaged[2 * 4096 + 0] = '\x55';  // page type of a tree page
    const std::string full = root / "full";
    testenv::MakeDirs(full);
    ASSERT_EQ(diaRel::Create(full.c_str(), "archiveenv"), db_ok);
    ASSERT_EQ(PutAll(full, {7}), db_ok);
    diamondBase::ReleaseIdle();
    const std::string fifo = home + "/fifo.db", link = home + "/link.db";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(templ.c_str(), link.c_str()), 0);
    const std::string walBeside = make("wal.db", good);
    testenv::WriteFile(walBeside + "-wal", std::string(4128, 'w'));
    const std::pair<std::string, int> cases[] = {{templ, 0},
                                                 {home + "/missing.db", 11},
                                                 {link, 11},
                                                 {fifo, 11},
                                                 {make("garbage.db", std::string(8192, 'g')), 22},
                                                 {make("empty.db", ""), 22},
                                                 {make("foreign.db", foreign), 22},
                                                 {make("damaged.db", damaged), 22},
                                                 {make("cut.db", good.substr(0, good.size() - 4096)), 22},
                                                 {dir + "/archivebody.db", 22},
                                                 {walBeside, 22},
                                                 {full + "/archiveenv.db", 9}};
    const std::string before = testenv::ReadFile(file);
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(diaRel::CheckTemplate(path.c_str(), "archiveenv"), expected) << diaRel::LastDamage();
        if (expected == 0) continue;
        EXPECT_EQ(Replace(path), expected);
        EXPECT_EQ(testenv::ReadFile(file), before);
    }
    EXPECT_EQ(diaRel::CheckTemplate(templ.c_str(), "archivebody"), db_corrupt);
    EXPECT_NE(std::string(diaRel::LastDamage()).find("meta data"), std::string::npos);
    ::alarm(0);
}

// Every damage found in a record says which check fired on which record of which file. Each
// case changes record 2 behind the store's back, most of them with a checksum that agrees.
TEST_F(Store, DamageCarriesItsReason)
{
    struct Row {
        sqlite3_int64 id;
        std::string fixed, fields;
    };
    const std::pair<std::string, std::function<void(Row&)>> cases[] = {
        {"checksum mismatch", nullptr},
        {"key out of range", [](Row& r) { r.id = int64_t{1} << 32; }},
        {"fixed record of 148 bytes, 149 expected", [](Row& r) { r.fixed.pop_back(); }},
        {"field encoding ends before field 3", [](Row& r) { r.fields.resize(12); }},
        {"field 0 of 1000 bytes overruns the record", [](Row& r) { r.fields.replace(0, 2, "\xe8\x03"); }},
        {"field 0 of 0 bytes, its reference slot says 5", [](Row& r) { r.fixed[8] = 5; }},
        {"the fixed record holds another key", [](Row& r) { r.fixed[0] ^= 1; }},
    };
    const auto blob = [](sqlite3_stmt* st, int column) {
        return std::string(static_cast<const char*>(sqlite3_column_blob(st, column)), sqlite3_column_bytes(st, column));
    };
    for (const auto& [reason, change] : cases) {
        Reset();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT fixed, fields FROM records WHERE id=2", -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        Row row{2, blob(st, 0), blob(st, 1)};
        sqlite3_finalize(st);
        if (change) change(row);
        const int64_t crc = dlarchive::relstore::RecordChecksum(static_cast<uint32_t>(row.id), 0, row.fixed.data(),
                                                                row.fixed.size(), row.fields.data(), row.fields.size());
        sqlite3_prepare_v2(db, "UPDATE records SET id=?1, fixed=?2, fields=?3, crc=?4 WHERE id=2", -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, row.id);
        sqlite3_bind_blob(st, 2, row.fixed.data(), static_cast<int>(row.fixed.size()), SQLITE_STATIC);
        sqlite3_bind_blob(st, 3, row.fields.data(), static_cast<int>(row.fields.size()), SQLITE_STATIC);
        sqlite3_bind_int64(st, 4, change ? crc : crc ^ 1);
        ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
        sqlite3_close(db);
        EXPECT_EQ(WalkIds(dir).size(), row.id == 2 ? 1u : 2u);
        EXPECT_EQ(diaRel::LastDamage(), file + ": record (" + std::to_string(row.id) + ", 0): " + reason);
    }
    diamondBase::ReleaseIdle();
    testenv::WriteFile(file, std::string(8192, 'g'));
    diamondBase base;
    archiveenv env(base, dir.c_str());
    EXPECT_EQ(env.status(), db_corrupt);
    EXPECT_EQ(diaRel::LastDamage(), file + ": not an SQLite database");
}

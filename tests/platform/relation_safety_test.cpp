// Safety of the relation store's files: replacement while other processes keep connections,
// template checks, failed replacements, links and FIFOs, and the reasons of damage.
#include <gtest/gtest.h>

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/relation_store_internal.h"
#include "support/test_env.h"

namespace {

using Keys = std::vector<uint32_t>;

// Runs `body` in a child process; returns its exit status.
int InChild(const std::function<int()>& body, pid_t* running = nullptr)
{
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    if (running != nullptr) {
        *running = pid;
        return 0;
    }
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Join(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Signal {
    int fd[2];
    Signal() { EXPECT_EQ(::pipe(fd), 0); }
    ~Signal() { ::close(fd[0]), ::close(fd[1]); }
    void send() const { (void)!::write(fd[1], "x", 1); }
    bool wait() const
    {
        struct pollfd p = {fd[0], POLLIN, 0};
        char c;
        return ::poll(&p, 1, 20000) == 1 && ::read(fd[0], &c, 1) == 1;
    }
};

Keys Walk(const std::string& dir)
{
    diamondBase base;
    archiveenv env(base, dir.c_str());
    Keys keys;
    for (env.first(); env.status() == db_ok; env.next()) keys.push_back(env.key().id);
    return keys;
}

dbError Put(archiveenv& env, uint32_t id)
{
    env.clear();
    env.setKey({id, 0});
    env.subject.cpy(("subject " + std::to_string(id)).c_str());
    return env.put();
}

dbError PutAll(const std::string& dir, const Keys& ids)
{
    diamondBase base;
    archiveenv env(base, dir.c_str());
    for (uint32_t id : ids)
        if (dbError rc = Put(env, id); rc != db_ok) return rc;
    return db_ok;
}

struct Safety : ::testing::Test {
    testenv::TempDir root;
    std::string dir = root / "archive", home = root / "home", file = dir + "/archiveenv.db";
    std::string templ = home + "/archiveenv.db";
    void SetUp() override
    {
        diamondBase::SetLockTimeout(4000);
        testenv::MakeDirs(dir);
        testenv::MakeDirs(home);
        ASSERT_EQ(diaRel::Create(home.c_str(), "archiveenv"), db_ok);
        Reset();
    }
    // The relation holding 1, 2, 3, all in its file (no WAL).
    void Reset()
    {
        ASSERT_EQ(diaRel::Create(dir.c_str(), "archiveenv", true), db_ok);
        ASSERT_EQ(PutAll(dir, {1, 2, 3}), db_ok);
        diamondBase::ReleaseIdle();
    }
    dbError Replace(const std::string& source) const
    {
        return diaRel::ReplaceWithTemplate(source.c_str(), dir.c_str(), "archiveenv");
    }
};

}  // namespace

// Another process keeps its connection idle (pooled) after a read, and one keeps an object in
// use; the relation is damaged and replaced by its template, in place (record damage) or by a
// new file (header damage). The replacement neither waits nor fails; the idle process's next
// object sees the new content, and the object opened on the old file never writes into the
// new one, nor does the old file's closing connection take the new file's WAL with it.
TEST_F(Safety, IdleConnectionsOfAnotherProcessNeverHoldUpAReplacement)
{
    for (const bool header : {true, false}) {
        SCOPED_TRACE(header ? "header damaged" : "record damaged");
        Reset();
        Signal ready, replaced, done;
        pid_t child;
        InChild(
            [&] {
                diamondBase base;
                Keys before = Walk(dir);  // its connection is now idle in the pool
                archiveenv active(base, dir.c_str());
                if (before != Keys{1, 2, 3} || Put(active, 4) != db_ok) return 1;
                ready.send();
                replaced.wait();
                Put(active, 9);  // through the connection opened before the replacement
                if (Walk(dir) != (header ? Keys{100} : Keys{9, 100})) return 2;
                diamondBase other;
                archiveenv fresh(other, dir.c_str());
                return Put(fresh, 101) == db_ok ? 0 : 3;
            },
            &child);
        ASSERT_TRUE(ready.wait());
        std::string bytes = testenv::ReadFile(file);
        bytes[header ? 0 : bytes.rfind("subject 2") + 8] ^= 0x20;
        testenv::WriteFile(file, bytes);
        ASSERT_EQ(::chmod(file.c_str(), 0604), 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Replace(templ), db_ok);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        ASSERT_EQ(PutAll(dir, {100}), db_ok);  // in the new file's WAL, kept by our pool
        replaced.send();
        EXPECT_EQ(Join(child), 0);
        struct stat st;
        EXPECT_TRUE(::stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0604);
        diamondBase::ReleaseIdle();
        // Replaced in place, the file is the one the object in use had open.
        EXPECT_EQ(Walk(dir), header ? Keys({100, 101}) : Keys({9, 100, 101}));
    }
}

// Templates are checked before anything is replaced; a bad one replaces nothing.
TEST_F(Safety, TemplatesAreCheckedBeforeAnythingIsReplaced)
{
    ::alarm(60);  // a FIFO must never block
    const std::string good = testenv::ReadFile(templ);
    auto make = [&](const std::string& name, const std::string& bytes) {
        testenv::WriteFile(home + "/" + name, bytes);
        return home + "/" + name;
    };
    std::string foreign = good, damaged = good;
    foreign[70] ^= 1;                // application id
    damaged[2 * 4096 + 0] = '\x55';  // page type of a tree page
    const std::string other = root / "other", full = root / "full";
    testenv::MakeDirs(other), testenv::MakeDirs(full);
    ASSERT_EQ(diaRel::Create(other.c_str(), "archivebody"), db_ok);
    ASSERT_EQ(diaRel::Create(full.c_str(), "archiveenv"), db_ok);
    ASSERT_EQ(PutAll(full, {7}), db_ok);
    diamondBase::ReleaseIdle();
    const std::string fifo = home + "/fifo.db", link = home + "/link.db";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(templ.c_str(), link.c_str()), 0);
    const std::string walBeside = make("wal.db", good);
    testenv::WriteFile(walBeside + "-wal", std::string(4128, 'w'));
    const std::vector<std::pair<std::string, int>> cases = {
        {templ, 0},
        {home + "/missing.db", 11},
        {link, 11},
        {fifo, 11},
        {make("garbage.db", std::string(8192, 'g')), 22},
        {make("empty.db", ""), 22},
        {make("foreign.db", foreign), 22},
        {make("damaged.db", damaged), 22},
        {make("cut.db", good.substr(0, good.size() - 4096)), 22},
        {other + "/archivebody.db", 22},
        {walBeside, 22},
        {full + "/archiveenv.db", 9},
    };
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

// A replacement that cannot finish leaves the old file as it was, whether it would have
// overwritten the file in place (a sound relation) or replaced it (a damaged one): in a
// process whose files may not grow past 4 KiB, and (as root only) in a directory the
// process may not write, whose files it may.
TEST_F(Safety, FailedReplacementLeavesTheOldFile)
{
    const passwd* nobody = ::getpwnam("nobody");
    for (const bool readOnlyDirectory : {false, true}) {
        if (readOnlyDirectory && (::geteuid() != 0 || nobody == nullptr)) continue;
        for (const bool sound : {true, false}) {
            SCOPED_TRACE(std::string(readOnlyDirectory ? "directory not writable, " : "file size limit, ") +
                         (sound ? "sound relation" : "damaged relation"));
            Reset();
            if (!sound) testenv::WriteFile(file, std::string(3 * 4096, 'Z'));
            const std::string before = testenv::ReadFile(file);
            if (readOnlyDirectory) {
                ASSERT_EQ(::chmod(root.path().c_str(), 0755) | ::chown(file.c_str(), nobody->pw_uid, 0), 0);
                ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
            }
            const int result = InChild([&] {
                const struct rlimit limit = {4096, 4096};
                ::signal(SIGXFSZ, SIG_IGN);
                if (readOnlyDirectory ? ::setgid(nobody->pw_gid) || ::setuid(nobody->pw_uid)
                                      : ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                    return 100;
                return static_cast<int>(Replace(templ));
            });
            ::chmod(dir.c_str(), 0755);
            EXPECT_EQ(result, db_notopened);
            EXPECT_EQ(testenv::ReadFile(file), before);
            EXPECT_EQ(testenv::Run("ls -A " + testenv::Quote(dir) + " | grep -vc ^archiveenv.db").out, "0\n");
            if (sound) {
                EXPECT_EQ(Walk(dir), (Keys{1, 2, 3}));
            }
        }
    }
}

// Relation files are regular files: a link or FIFO in their place is never followed nor opened
// (so it never blocks), and a replacement puts a regular file in its place, leaving what a
// link pointed at alone.
TEST_F(Safety, LinksAndFifosAreNoRelations)
{
    ::alarm(60);
    const std::string elsewhere = root / "elsewhere.db";
    ASSERT_EQ(::rename(file.c_str(), elsewhere.c_str()), 0);
    const std::string kept = testenv::ReadFile(elsewhere);
    for (const bool fifo : {false, true}) {
        ASSERT_EQ(fifo ? ::mkfifo(file.c_str(), 0600) : ::symlink(elsewhere.c_str(), file.c_str()), 0);
        {
            diamondBase base;
            archiveenv env(base, dir.c_str());
            EXPECT_EQ(env.status(), db_notopened);
        }
        EXPECT_EQ(Replace(templ), db_ok);
        struct stat st;
        EXPECT_TRUE(::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode));
        EXPECT_TRUE(Walk(dir).empty());
        EXPECT_EQ(testenv::ReadFile(elsewhere), kept);
        diamondBase::ReleaseIdle();
        ::unlink(file.c_str());
    }
    ::alarm(0);
}

// Every damage found in a record says which check fired on which record of which file. Each
// case changes record 2 behind the store's back, most of them with a checksum that agrees.
TEST_F(Safety, DamageCarriesItsReason)
{
    struct Row {
        sqlite3_int64 id, seq;
        std::string fixed, fields;
    };
    const std::vector<std::pair<std::string, std::function<void(Row&)>>> cases = {
        {"checksum mismatch", nullptr},
        {"key out of range", [](Row& r) { r.id = int64_t{1} << 32; }},
        {"fixed record of 148 bytes, 149 expected", [](Row& r) { r.fixed.pop_back(); }},
        {"field encoding ends before field 3", [](Row& r) { r.fields.resize(12); }},
        {"field 0 of 1000 bytes overruns the record", [](Row& r) { r.fields.replace(0, 2, "\xe8\x03"); }},
        {"field 0 of 0 bytes, its reference slot says 5", [](Row& r) { r.fixed[8] = 5; }},
        {"2 bytes after the last field", [](Row& r) { r.fields += "xy"; }},
        {"the fixed record holds another key", [](Row& r) { r.fixed[0] ^= 1; }},
    };
    for (const auto& [reason, change] : cases) {
        Reset();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT fixed, fields FROM records WHERE id=2", -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        Row row{2, 0, std::string(static_cast<const char*>(sqlite3_column_blob(st, 0)), sqlite3_column_bytes(st, 0)),
                std::string(static_cast<const char*>(sqlite3_column_blob(st, 1)), sqlite3_column_bytes(st, 1))};
        sqlite3_finalize(st);
        int64_t crc = dlarchive::relstore::RecordChecksum(2, 0, row.fixed.data(), row.fixed.size(), row.fields.data(),
                                                          row.fields.size());
        if (change) {
            change(row);
            crc = dlarchive::relstore::RecordChecksum(static_cast<uint32_t>(row.id), 0, row.fixed.data(),
                                                      row.fixed.size(), row.fields.data(), row.fields.size());
        }
        sqlite3_prepare_v2(db, "UPDATE records SET id=?1, fixed=?2, fields=?3, crc=?4 WHERE id=2", -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, row.id);
        sqlite3_bind_blob(st, 2, row.fixed.data(), static_cast<int>(row.fixed.size()), SQLITE_STATIC);
        sqlite3_bind_blob(st, 3, row.fields.data(), static_cast<int>(row.fields.size()), SQLITE_STATIC);
        sqlite3_bind_int64(st, 4, change ? crc : crc ^ 1);
        ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
        sqlite3_close(db);
        EXPECT_EQ(Walk(dir).size(), row.id == 2 ? 1u : 2u);
        EXPECT_EQ(diaRel::LastDamage(), file + ": record (" + std::to_string(row.id) + ", 0): " + reason);
    }
    diamondBase::ReleaseIdle();
    testenv::WriteFile(file, std::string(8192, 'g'));
    diamondBase base;
    archiveenv env(base, dir.c_str());
    EXPECT_EQ(env.status(), db_corrupt);
    EXPECT_EQ(diaRel::LastDamage(), file + ": not an SQLite database");
}

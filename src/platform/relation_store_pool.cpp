// SQLite connections of the relation store: opening them, their results, and the pool of
// idle connections kept for reuse; diamondBase.
#include <pthread.h>
#include <algorithm>
#include <new>

#include "platform/relation_store_internal.h"

namespace dlarchive::relstore {

std::atomic<int> g_lockTimeoutMs{5000};

dbError MapResult(int rc)
{
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return db_ok;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return db_locked;
        case SQLITE_NOMEM:
            return db_nomem;
        case SQLITE_CONSTRAINT:
            return (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE) ? db_dup : db_corrupt;
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return db_notopened;
        default:
            // SQLITE_CORRUPT, SQLITE_NOTADB, SQLITE_IOERR, SQLITE_FULL, SQLITE_ERROR (a schema
            // that is not ours), SQLITE_FORMAT ...: the relation cannot be trusted or used.
            return db_corrupt;
    }
}

dbError SqliteResult(sqlite3* db, int rc, const std::string& path)
{
    const dbError result = MapResult(rc);
    if (result == db_corrupt)
        NoteDamage(path + ": SQLite: " + sqlite3_errstr(rc) + " (" + (db != nullptr ? sqlite3_errmsg(db) : "") + ")");
    return result;
}

bool IsBusy(int rc)
{
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

int Exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

sqlite3* OpenDatabase(const std::string& path, int flags, int* rc)
{
    sqlite3* db = nullptr;
    *rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (*rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, g_lockTimeoutMs.load());
    return db;
}

Connection::~Connection()
{
    for (Statement* st : {&get, &insert, &remove, &walkAll, &walkFrom, &walkBefore, &beginLock, &commit, &rollback})
        st->finalize();
    sqlite3_close_v2(db);
}

namespace {

// OpenConnection under the swap lock: the name keeps naming the file SQLite opens, so its
// identity is known.
dbError OpenLocked(const std::string& directory, const std::string& path, std::unique_ptr<Connection>& out)
{
    struct stat st;
    if (!IsRegularFile(path, &st)) return db_notopened;
    int rc = SQLITE_OK;
    sqlite3* db = OpenDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, &rc);
    if (db == nullptr) return MapResult(rc) == db_nomem ? db_nomem : db_notopened;
    std::unique_ptr<Connection> connection(new (std::nothrow) Connection);
    if (connection == nullptr) {
        sqlite3_close_v2(db);
        return db_nomem;
    }
    static std::atomic<uint64_t> serials{0};
    connection->serial = ++serials;
    connection->db = db;
    connection->directory = directory;
    connection->path = path;
    connection->device = st.st_dev;
    connection->inode = st.st_ino;
    const dbError header = CheckHeader(db, path);
    if (header != db_ok) return header;  // the connection is closed, not kept
    out = std::move(connection);
    return db_ok;
}

}  // namespace

dbError OpenConnection(const std::string& directory, const std::string& path, std::unique_ptr<Connection>& out)
{
    SwapLock lock(directory, false);
    if (lock.result() != db_ok) return lock.result();
    return OpenLocked(directory, path, out);
}

dbError SetUpConnection(std::unique_ptr<Connection>& connection, const std::string& name)
{
    SwapLock lock(connection->directory, false);
    if (lock.result() != db_ok) return lock.result();
    struct stat st;
    if (!IsRegularFile(connection->path, &st) || st.st_dev != connection->device || st.st_ino != connection->inode) {
        // Replaced since it was opened: this connection has not opened the old file's side
        // files yet, and must not open the new file's. Open the file under the name now.
        std::unique_ptr<Connection> current;
        const dbError opened = OpenLocked(connection->directory, connection->path, current);
        if (opened != db_ok) {
            if (opened != db_locked && opened != db_nomem) connection->broken = opened;
            return opened;
        }
        connection = std::move(current);
    }
    Connection& c = *connection;
    sqlite3* db = c.db;
    std::string stored;
    int rc = Exec(db, "PRAGMA synchronous=NORMAL");
    if (rc == SQLITE_OK) rc = ReadRelationName(db, stored);
    if (rc == SQLITE_OK)
        rc = c.get.prepare(db, "SELECT id, seq, fixed, fields, crc FROM records WHERE id=?1 AND seq=?2");
    if (rc == SQLITE_OK)
        rc = c.insert.prepare(db, "INSERT INTO records(id, seq, fixed, fields, crc) VALUES(?1, ?2, ?3, ?4, ?5)");
    if (rc == SQLITE_OK) rc = c.remove.prepare(db, "DELETE FROM records WHERE id=?1 AND seq=?2");
    if (rc == SQLITE_OK) rc = c.walkAll.prepare(db, "SELECT id, seq, fixed, fields, crc FROM records ORDER BY id, seq");
    if (rc == SQLITE_OK)
        rc = c.walkFrom.prepare(
            db, "SELECT id, seq, fixed, fields, crc FROM records WHERE (id, seq) > (?1, ?2) ORDER BY id, seq");
    if (rc == SQLITE_OK)
        rc = c.walkBefore.prepare(db,
                                  "SELECT id, seq, fixed, fields, crc FROM records WHERE (id, seq) < (?1, ?2) "
                                  "ORDER BY id DESC, seq DESC");
    if (rc == SQLITE_OK) rc = c.beginLock.prepare(db, "BEGIN EXCLUSIVE");
    if (rc == SQLITE_OK) rc = c.commit.prepare(db, "COMMIT");
    if (rc == SQLITE_OK) rc = c.rollback.prepare(db, "ROLLBACK");
    if (rc != SQLITE_OK) {
        const dbError result = SqliteResult(db, rc, c.path);
        // Waiting for a lock or memory may succeed later; anything else will not.
        if (result != db_locked && result != db_nomem) c.broken = result;
        return result;
    }
    if (stored != name) {
        c.broken = NoteDamage(c.path + ": holds the relation '" + stored + "'");
        return c.broken;
    }
    c.ready = true;
    return db_ok;
}

Pool& Pool::Instance()
{
    static Pool pool;
    // SQLite keeps per-process lock state for every file it has open; a child of fork()
    // would inherit it for the kept connections, and its own new connections to those
    // files would then run on locks it does not hold. So nothing is kept across fork().
    static const bool registered = ::pthread_atfork(&Pool::BeforeFork, nullptr, nullptr) == 0;
    (void)registered;
    return pool;
}

std::unique_ptr<Connection> Pool::take(const std::string& path, const struct stat& st)
{
    std::vector<std::unique_ptr<Connection>> closing;
    std::unique_ptr<Connection> found;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        adoptAfterFork();
        sweep(closing);
        for (auto it = m_idle.begin(); it != m_idle.end(); ++it) {
            if ((*it)->path != path) continue;
            if ((*it)->device == st.st_dev && (*it)->inode == st.st_ino) {
                found = std::move(*it);
                m_idle.erase(it);
                break;
            }
        }
        // Connections to a file that was replaced under that name are of no use.
        for (auto it = m_idle.begin(); it != m_idle.end();) {
            if ((*it)->path == path) {
                closing.push_back(std::move(*it));
                it = m_idle.erase(it);
            } else {
                ++it;
            }
        }
    }
    return found;
}

void Pool::give(std::unique_ptr<Connection> connection)
{
    std::vector<std::unique_ptr<Connection>> closing;
    std::lock_guard<std::mutex> guard(m_mutex);
    adoptAfterFork();
    connection->idleSince = std::chrono::steady_clock::now();
    m_idle.push_back(std::move(connection));
    sweep(closing);
    while (m_idle.size() > kMaxIdle) {
        closing.push_back(std::move(m_idle.front()));
        m_idle.erase(m_idle.begin());
    }
}

void Pool::release(const std::string* path)
{
    std::vector<std::unique_ptr<Connection>> closing;
    std::lock_guard<std::mutex> guard(m_mutex);
    adoptAfterFork();
    for (auto it = m_idle.begin(); it != m_idle.end();) {
        if (path == nullptr || (*it)->path == *path) {
            closing.push_back(std::move(*it));
            it = m_idle.erase(it);
        } else {
            ++it;
        }
    }
}

Pool::~Pool()
{
    if (m_pid != ::getpid()) abandon();
}

void Pool::BeforeFork()
{
    Instance().release(nullptr);
}

// A child of fork() must neither use nor close its parent's connections: forget them.
void Pool::adoptAfterFork()
{
    if (m_pid == ::getpid()) return;
    abandon();
    m_pid = ::getpid();
}

std::atomic<int> Pool::s_idleLimitSeconds{5};

void Pool::abandon()
{
    for (auto& connection : m_idle) (void)connection.release();
    m_idle.clear();
}

void Pool::sweep(std::vector<std::unique_ptr<Connection>>& closing)
{
    const auto limit = std::chrono::steady_clock::now() - std::chrono::seconds(s_idleLimitSeconds.load());
    for (auto it = m_idle.begin(); it != m_idle.end();) {
        if ((*it)->idleSince < limit) {
            closing.push_back(std::move(*it));
            it = m_idle.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace dlarchive::relstore

using namespace dlarchive::relstore;

diamondBase::diamondBase() = default;
diamondBase::~diamondBase() = default;

void diamondBase::SetLockTimeout(int milliseconds)
{
    g_lockTimeoutMs = std::max(0, milliseconds);
}

int diamondBase::LockTimeout()
{
    return g_lockTimeoutMs.load();
}

void diamondBase::SetIdleLimit(int seconds)
{
    Pool::s_idleLimitSeconds = std::max(0, seconds);
}

void diamondBase::ReleaseIdle()
{
    Pool::Instance().release(nullptr);
}

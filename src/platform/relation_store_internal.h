#pragma once
// What the parts of the relation store share. The store is split by concern:
//   relation_store_codec.cpp      the byte layout of a stored record and its checks
//   relation_store_files.cpp      relation files: header, meta data, the directory's swap lock
//   relation_store_templates.cpp  new relations, templates and replacement by a template
//   relation_store_pool.cpp       SQLite connections and the idle pool, diamondBase
//   relation_store_data.cpp       dbData, dbString, DIA_object
//   relation_store.cpp            diaRel: an open relation and its record operations
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dlarchive/relation_store.h"

namespace dlarchive::relstore {

constexpr uint32_t kApplicationId = 0x444c4152;  // "DLAR"
constexpr uint32_t kSchemaVersion = 1;
constexpr int kPageSize = 4096;
constexpr std::size_t kMaxName = 259;

// diamondBase::SetLockTimeout, in milliseconds.
extern std::atomic<int> g_lockTimeoutMs;

inline void PutLe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline uint32_t GetBe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

// Keeps the reason of damage just found (diaRel::LastDamage) and answers 22.
dbError NoteDamage(const std::string& reason);

// ---- codec (relation_store_codec.cpp) ------------------------------------------------------

// The checksum stored with a record, over its key, fixed record and field encoding.
int64_t RecordChecksum(uint32_t id, uint16_t seq, const void* fixed, std::size_t fixedLength, const void* fields,
                       std::size_t fieldsLength);

// Appends the field encoding of a record object to `out` and writes each field's length into
// its reference slot; false when memory runs out.
bool EncodeFields(_db_strStruct* table, int count, std::vector<uint8_t>& out);

// A record as a row of the records table holds it.
struct StoredRecord {
    int64_t id = 0;
    int64_t seq = 0;
    const uint8_t* fixed = nullptr;
    std::size_t fixedLength = 0;
    const uint8_t* fields = nullptr;
    std::size_t fieldsLength = 0;
    int64_t crc = 0;
};

// Whether a stored record agrees with itself (key range, checksum, field encoding) and with
// the record object it is read into (fixed record length, the length in every field's slot,
// slots given as offsets into the fixed record). On disagreement `reason` says which check
// failed.
bool CheckRecord(const StoredRecord& record, uint32_t recordLength, const _db_strStruct* table, int count,
                 const uint8_t* fixedBase, std::string& reason);

// ---- relation files (relation_store_files.cpp) --------------------------------------------

// Checks the first 100 bytes of a file (`size` bytes long) as the header of a relation of
// this store; on failure `reason` says why. `wal` is set when the header asks for WAL mode.
bool CheckHeaderBytes(const uint8_t* header, int64_t size, std::string& reason, bool* wal = nullptr);
// The header of an opened database, read through SQLite's own file handle (a second
// descriptor of our own would drop SQLite's POSIX locks when closed): 0, 11 or 22 (reason
// kept for diaRel::LastDamage).
dbError CheckHeader(sqlite3* db, const std::string& path, bool* wal = nullptr);
// The relation name stored in a database's meta table; empty when there is none.
int ReadRelationName(sqlite3* db, std::string& name);
// "." for an empty directory argument.
std::string DirectoryOf(const char* directory);
bool IsRegularFile(const std::string& path, struct stat* st = nullptr);

// The swap lock of a directory (flock on the directory itself): held shared by every opener
// from before SQLite opens a relation file until the connection has opened the file's WAL and
// shared-memory files, which SQLite opens by name; held exclusive by a replacement while it
// puts a new file in place under the relation's name and removes the old file's side files.
// So the database, WAL and shared-memory files of a connection are always of one file, and a
// connection to a replaced file never meets the side files of its successor. Waits up to the
// lock timeout: result() is then 14 (11 when the directory cannot be opened; a directory this
// process may search but not read gives openers no lock and no failure).
class SwapLock {
public:
    SwapLock(const std::string& directory, bool exclusive);
    ~SwapLock();
    SwapLock(const SwapLock&) = delete;
    SwapLock& operator=(const SwapLock&) = delete;
    dbError result() const { return m_result; }

private:
    int m_fd = -1;
    dbError m_result = db_notopened;
};

// ---- SQLite connections (relation_store_pool.cpp) -----------------------------------------

// SQLite result (extended) to the store's result.
dbError MapResult(int rc);
// MapResult, keeping SQLite's reason when the result is 22.
dbError SqliteResult(sqlite3* db, int rc, const std::string& path);
bool IsBusy(int rc);
int Exec(sqlite3* db, const char* sql);
sqlite3* OpenDatabase(const std::string& path, int flags, int* rc);

class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int prepare(sqlite3* db, const char* sql)
    {
        if (m_stmt != nullptr) return SQLITE_OK;
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr);
    }
    sqlite3_stmt* get() const { return m_stmt; }
    void finalize()
    {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// One SQLite connection to a relation file, with the statements prepared on it.
struct Connection {
    sqlite3* db = nullptr;
    std::string directory;
    std::string path;
    dev_t device = 0;  // the file SQLite opened
    ino_t inode = 0;
    uint64_t serial = 0;     // never reused in the process (diaRel::version)
    bool ready = false;      // set up: WAL opened, meta data checked, statements prepared
    dbError broken = db_ok;  // sticky failure found when it was set up
    Statement get, insert, remove, walkAll, walkFrom, walkBefore, beginLock, commit, rollback;
    std::chrono::steady_clock::time_point idleSince;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();
};

// Opens a connection to the relation file `path` of `directory` (never creating it, never
// through a symbolic link, only a regular file), under the directory's swap lock, and checks
// its header: 0, 11, 14, 18 or 22.
dbError OpenConnection(const std::string& directory, const std::string& path, std::unique_ptr<Connection>& out);
// First use of a connection: under the swap lock, opens the file now under its name instead
// should it have been replaced since the connection was opened, then reads the relation's
// meta data (which opens the WAL and shared-memory files) and prepares the statements.
dbError SetUpConnection(std::unique_ptr<Connection>& connection, const std::string& name);

// Connections of this process that no relation object uses at the moment, kept for the next
// object on the same file: opening SQLite's first connection to a file (its WAL index, the
// schema) and closing its last one (a checkpoint with fsync) cost far more than the work of a
// typical unit of work. A kept connection is reused only while its file is still the one
// under the relation's name (device and inode, checked on every reuse), is closed after
// the idle limit (diamondBase::SetIdleLimit) of the process's own store activity without
// use, is closed before the process forks, and is never kept after an error that may mean
// damage. An idle connection never stops another process from replacing the relation: a
// file that cannot be replaced in place is replaced by a new file under the name, and the
// kept connection to the old one is closed at its next reuse (SQLite neither checkpoints
// into nor removes side files by name for a file that has been moved away).
class Pool {
public:
    static constexpr std::size_t kMaxIdle = 16;
    static std::atomic<int> s_idleLimitSeconds;

    static Pool& Instance();

    std::unique_ptr<Connection> take(const std::string& path, const struct stat& st);
    void give(std::unique_ptr<Connection> connection);
    // Closes the idle connections to a file (all of them for null).
    void release(const std::string* path);

    ~Pool();

private:
    Pool() : m_pid(::getpid()) {}
    static void BeforeFork();
    void adoptAfterFork();
    void abandon();
    void sweep(std::vector<std::unique_ptr<Connection>>& closing);

    std::mutex m_mutex;
    pid_t m_pid;
    std::vector<std::unique_ptr<Connection>> m_idle;
};

// ---- keys (relation_store.cpp) ------------------------------------------------------------

// The two numbers of an idxkey buffer (unsigned 32-bit, unsigned 16-bit, host order).
struct KeyNumbers {
    uint32_t id = 0;
    uint16_t seq = 0;
};

}  // namespace dlarchive::relstore

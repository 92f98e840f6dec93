#pragma once
// What the parts of the relation store share. The store is split by concern:
//   relation_store_codec.cpp   record checksums (the byte layout of a stored record)
//   relation_store_files.cpp   relation files: their header and schema, templates, replacement
//   relation_store_pool.cpp    SQLite connections and the idle pool, diamondBase
//   relation_store_data.cpp    dbData, dbString, DIA_object
//   relation_store.cpp         diaRel: opening a relation and the record operations
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

// ---- codec (relation_store_codec.cpp) ------------------------------------------------------

// The checksum stored with a record, over its key, fixed record and field encoding.
int64_t RecordChecksum(uint32_t id, uint16_t seq, const void* fixed, std::size_t fixedLength, const void* fields,
                       std::size_t fieldsLength);

// ---- SQLite connections (relation_store_pool.cpp) -----------------------------------------

// SQLite result (extended) to the store's result.
dbError MapResult(int rc);
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
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    bool ready = false;      // meta data checked and statements prepared
    dbError broken = db_ok;  // sticky failure found when it was first used
    Statement get, insert, remove, walkAll, walkFrom, beginLock, commit, rollback;
    std::chrono::steady_clock::time_point idleSince;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();
};

// Connections of this process that no relation object uses at the moment, kept for the next
// object on the same file: opening SQLite's first connection to a file (its WAL index, the
// schema) and closing its last one (a checkpoint with fsync) cost far more than the work of
// a typical unit of work. A kept connection is reused only for the same file (device and
// inode), is closed after kIdleLimit of the process's own store activity without use, is
// closed before the process forks, and is never kept after an error that may mean damage. An idle connection
// holds SQLite's shared lock on its file, which only the replacement of a file SQLite cannot
// use waits for; ReplaceWithTemplate closes the idle connections of its own process first,
// and diamondBase::ReleaseIdle closes them all.
class Pool {
public:
    static constexpr std::size_t kMaxIdle = 16;
    static constexpr std::chrono::seconds kIdleLimit{5};

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

// ---- relation files (relation_store_files.cpp) --------------------------------------------

// Checks the 100-byte header of an opened database.
dbError CheckHeader(sqlite3* db);
// The relation name stored in a database's meta table; empty when unreadable.
int ReadRelationName(sqlite3* db, std::string& name);
// "." for an empty directory argument.
std::string DirectoryOf(const char* directory);

// ---- keys (relation_store.cpp) ------------------------------------------------------------

// The two numbers of an idxkey buffer (unsigned 32-bit, unsigned 16-bit, host order).
struct KeyNumbers {
    uint32_t id = 0;
    uint16_t seq = 0;
};

}  // namespace dlarchive::relstore

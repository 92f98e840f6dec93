// The relation store on SQLite.
//
// File format of a relation (schema version 1):
//   header     application_id kApplicationId, user_version kSchemaVersion, WAL journal,
//              page size 4096 (so that a template can be copied into any relation);
//   meta       (name TEXT PRIMARY KEY, value TEXT): 'relation' = the relation's name,
//              'format' = the schema version;
//   records    (id, seq, fixed, fields, crc) WITHOUT ROWID, primary key (id, seq):
//              fixed  = the fixed record, exactly recordLength() bytes;
//              fields = for every field of the field table, in order: its length as
//                       4 bytes little-endian, then its bytes;
//              crc    = a 64-bit checksum over key, fixed and fields, because SQLite checks
//                       the structure of its pages but not the bytes of a record.
#include "dlarchive/relation_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_util.h"

namespace {

constexpr uint32_t kApplicationId = 0x444c4152;  // "DLAR"
constexpr uint32_t kSchemaVersion = 1;
constexpr int kPageSize = 4096;
constexpr std::size_t kMaxName = 259;

std::atomic<int> g_lockTimeoutMs{5000};

uint8_t g_emptyText[1] = {0};

// ---- small helpers ------------------------------------------------------------------------

void PutLe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint32_t GetBe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

// Checksum of a record: word-wise multiply-xorshift mixing, fast enough to be taken on every
// read. It guards against damaged bytes, not against deliberate forgery.
class Checksum {
public:
    void add(const void* data, std::size_t length)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        m_total += length;
        while (length >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            mix(w);
            p += 8;
            length -= 8;
        }
        if (length > 0) {
            uint64_t w = 0;
            std::memcpy(&w, p, length);
            mix(w ^ (static_cast<uint64_t>(length) << 56));
        }
    }
    uint64_t value() const
    {
        uint64_t h = m_h ^ m_total;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }

private:
    void mix(uint64_t w)
    {
        m_h ^= w;
        m_h *= 0x9e3779b97f4a7c15ULL;
        m_h ^= m_h >> 29;
    }
    uint64_t m_h = 0x6a09e667f3bcc909ULL;
    uint64_t m_total = 0;
};

int64_t RecordChecksum(uint32_t id, uint16_t seq, const void* fixed, std::size_t fixedLength, const void* fields,
                       std::size_t fieldsLength)
{
    uint8_t key[6];
    PutLe32(key, id);
    key[4] = static_cast<uint8_t>(seq);
    key[5] = static_cast<uint8_t>(seq >> 8);
    Checksum sum;
    sum.add(key, sizeof key);
    sum.add(fixed, fixedLength);
    sum.add(fields, fieldsLength);
    return static_cast<int64_t>(sum.value());
}

// SQLite result (extended) to the store's result.
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

// Checks the 100-byte header of an opened database through SQLite's own file handle (a
// second descriptor of our own would drop SQLite's POSIX locks when closed).
dbError CheckHeader(sqlite3* db)
{
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr)
        return db_notopened;
    sqlite3_int64 size = 0;
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK || size < 100) return db_corrupt;
    uint8_t header[100];
    if (file->pMethods->xRead(file, header, sizeof header, 0) != SQLITE_OK) return db_corrupt;
    if (std::memcmp(header, "SQLite format 3", 16) != 0) return db_corrupt;
    if (GetBe32(header + 68) != kApplicationId || GetBe32(header + 60) != kSchemaVersion) return db_corrupt;
    return db_ok;
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

bool Exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void RemoveSideFiles(const std::string& path)
{
    for (const char* suffix : {"-journal", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

void SyncDirectory(const std::string& directory)
{
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string TempName(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

// Serialises every replacement in a directory, across processes (flock on the directory;
// ordinary users of the relations never take it).
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& directory)
    {
        m_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd < 0) {
            m_result = db_notopened;
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_lockTimeoutMs.load());
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                m_result = db_notopened;
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                m_result = db_locked;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_result = db_ok;
    }
    ~DirectoryLock()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    dbError result() const { return m_result; }

private:
    int m_fd = -1;
    dbError m_result = db_notopened;
};

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

int Exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// The relation name stored in a database's meta table; empty when unreadable.
int ReadRelationName(sqlite3* db, std::string& name)
{
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE name='relation'", -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(st, 0);
            name = text != nullptr ? reinterpret_cast<const char*>(text) : "";
            rc = SQLITE_OK;
        } else if (rc == SQLITE_DONE) {
            name.clear();
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(st);
    return rc;
}

// Writes a new empty relation into a file that does not exist yet.
dbError BuildEmptyRelation(const std::string& path, const char* name)
{
    int rc = SQLITE_OK;
    sqlite3* db = OpenDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &rc);
    if (db == nullptr) return db_notopened;
    const std::string header = "PRAGMA page_size=" + std::to_string(kPageSize) +
                               "; PRAGMA application_id=" + std::to_string(kApplicationId) +
                               "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + "; PRAGMA journal_mode=WAL;";
    rc = Exec(db, header.c_str());
    if (rc == SQLITE_OK)
        rc = Exec(db,
                  "BEGIN;"
                  "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
                  "CREATE TABLE records(id INTEGER NOT NULL, seq INTEGER NOT NULL,"
                  " fixed BLOB NOT NULL, fields BLOB NOT NULL, crc INTEGER NOT NULL,"
                  " PRIMARY KEY(id, seq)) WITHOUT ROWID;");
    if (rc == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        rc = sqlite3_prepare_v2(db, "INSERT INTO meta VALUES('relation', ?1), ('format', ?2)", -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(st, 1, name, -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, std::to_string(kSchemaVersion).c_str(), -1, SQLITE_TRANSIENT);
            rc = sqlite3_step(st);
            if (rc == SQLITE_DONE) rc = SQLITE_OK;
        }
        sqlite3_finalize(st);
    }
    if (rc == SQLITE_OK) rc = Exec(db, "COMMIT");
    // Closing the last connection checkpoints the WAL into the file and removes it.
    const int closeRc = sqlite3_close_v2(db);
    if (rc != SQLITE_OK || closeRc != SQLITE_OK) {
        ::unlink(path.c_str());
        RemoveSideFiles(path);
        return rc == SQLITE_NOMEM ? db_nomem : db_notopened;
    }
    return db_ok;
}

// Copies the whole template database into an opened target through the backup interface:
// one write transaction on the target, so its other users see the old or the new content.
int CopyDatabase(sqlite3* source, sqlite3* target)
{
    sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
    if (backup == nullptr) return sqlite3_extended_errcode(target);
    int rc = sqlite3_backup_step(backup, -1);
    const int finish = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE) rc = finish;
    return rc;
}

bool IsBusy(int rc)
{
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

// The target exists but SQLite cannot write it (not a database, damaged first page ...).
// Under SQLite's own exclusive lock on the file (so that no connection of any process is
// using it: connections in WAL mode keep a shared lock while open), empty it and remove its
// journal and WAL files, then copy the template in. The file keeps its inode, so connections
// opened before see the new content at their next read.
dbError ReplaceUnusable(sqlite3* source, const std::string& target)
{
    int rc = SQLITE_OK;
    sqlite3* db = OpenDatabase(target, SQLITE_OPEN_READWRITE, &rc);
    if (db == nullptr) return MapResult(rc);
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr) {
        sqlite3_close_v2(db);
        return db_notopened;
    }
    const sqlite3_io_methods* io = file->pMethods;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_lockTimeoutMs.load());
    dbError result = db_ok;
    for (int level : {SQLITE_LOCK_SHARED, SQLITE_LOCK_EXCLUSIVE}) {
        for (;;) {
            rc = io->xLock(file, level);
            if (rc == SQLITE_OK) break;
            if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) {
                result = IsBusy(rc) ? db_locked : db_notopened;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (result != db_ok) break;
    }
    if (result == db_ok) {
        if (io->xTruncate(file, 0) != SQLITE_OK || io->xSync(file, SQLITE_SYNC_NORMAL) != SQLITE_OK)
            result = db_notopened;
        else
            RemoveSideFiles(target);
    }
    io->xUnlock(file, SQLITE_LOCK_NONE);
    if (result == db_ok) {
        rc = CopyDatabase(source, db);
        if (rc != SQLITE_OK) result = IsBusy(rc) ? db_locked : MapResult(rc);
    }
    sqlite3_close_v2(db);
    return result;
}

// The target does not exist: build the copy under a temporary name and link it into place.
// Stale journal or WAL files of an earlier file of that name must not be applied to it.
dbError CreateFromTemplate(sqlite3* source, const std::string& target, bool* existed)
{
    *existed = false;
    const std::string temp = TempName(target);
    ::unlink(temp.c_str());
    RemoveSideFiles(temp);
    int rc = SQLITE_OK;
    sqlite3* db = OpenDatabase(temp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &rc);
    if (db == nullptr) return db_notopened;
    rc = CopyDatabase(source, db);
    const int closeRc = sqlite3_close_v2(db);
    dbError result = db_ok;
    if (rc != SQLITE_OK || closeRc != SQLITE_OK) {
        result = rc == SQLITE_NOMEM ? db_nomem : db_notopened;
    } else {
        RemoveSideFiles(target);
        if (::link(temp.c_str(), target.c_str()) != 0) {
            if (errno == EEXIST)
                *existed = true;
            else
                result = db_notopened;
        }
    }
    ::unlink(temp.c_str());
    RemoveSideFiles(temp);
    return result;
}

std::string DirectoryOf(const char* directory)
{
    return (directory == nullptr || *directory == '\0') ? std::string(".") : std::string(directory);
}

dbError ReplaceLocked(sqlite3* source, const std::string& target, bool keepExisting)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!Exists(target)) {
            bool existed = false;
            const dbError result = CreateFromTemplate(source, target, &existed);
            if (!existed) return result;
        }
        if (keepExisting) return db_dup;
        int rc = SQLITE_OK;
        sqlite3* db = OpenDatabase(target, SQLITE_OPEN_READWRITE, &rc);
        if (db == nullptr) {
            if ((rc & 0xff) == SQLITE_CANTOPEN && !Exists(target)) continue;
            return MapResult(rc);
        }
        rc = CopyDatabase(source, db);
        if (rc == SQLITE_OK) {
            // Move the new first page into the file itself, so that openers who check the
            // file's header find the template's.
            sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            sqlite3_close_v2(db);
            return db_ok;
        }
        sqlite3_close_v2(db);
        if (IsBusy(rc)) return db_locked;
        if ((rc & 0xff) == SQLITE_NOMEM) return db_nomem;
        return ReplaceUnusable(source, target);
    }
    return db_notopened;
}

// Opens a template read-only and checks that it is an empty-or-not relation of this store
// named `name`.
sqlite3* OpenTemplate(const std::string& path, const char* name, dbError* result)
{
    int rc = SQLITE_OK;
    if (!Exists(path)) {
        *result = db_notopened;
        return nullptr;
    }
    sqlite3* db = OpenDatabase(path, SQLITE_OPEN_READONLY, &rc);
    if (db == nullptr) {
        *result = MapResult(rc);
        return nullptr;
    }
    *result = CheckHeader(db);
    std::string stored;
    if (*result == db_ok) {
        rc = ReadRelationName(db, stored);
        if (rc != SQLITE_OK)
            *result = IsBusy(rc) ? db_locked : db_corrupt;
        else if (stored != name)
            *result = db_corrupt;
    }
    if (*result != db_ok) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

}  // namespace

// ---- dbData -------------------------------------------------------------------------------

dbData::dbData(uint8_t kind) : m_kind(kind) {}

dbData::dbData(const void* bytes, uint32_t length, uint8_t kind) : m_kind(kind)
{
    if (cpy(bytes, length) != db_ok) throw db_nomem;
}

dbData::dbData(const dbData& other) : m_kind(other.m_kind)
{
    if (other.m_capacity == 0 && other.m_data != nullptr) {
        m_data = other.m_data;  // the shared empty text
        return;
    }
    if (cpy(other.m_data, other.m_length) != db_ok) throw db_nomem;
}

dbData& dbData::operator=(const dbData& other)
{
    if (this != &other && createDbData(other) != db_ok) throw db_nomem;
    return *this;
}

dbData::~dbData()
{
    if (m_capacity > 0) std::free(m_data);
}

dbError dbData::reserve(uint64_t length)
{
    // One byte more than the content: the terminating zero.
    if (length >= UINT32_MAX) return db_nomem;
    if (m_capacity > length) return db_ok;
    uint64_t capacity = std::max<uint64_t>(length + 1, 16);
    if (m_capacity > 0) capacity = std::max<uint64_t>(capacity, uint64_t{m_capacity} * 2);
    capacity = std::min<uint64_t>(capacity, UINT32_MAX);
    auto* bytes = static_cast<uint8_t*>(std::malloc(capacity));
    if (bytes == nullptr) return db_nomem;
    if (m_length > 0) std::memcpy(bytes, m_data, m_length);
    bytes[m_length] = 0;
    if (m_capacity > 0) std::free(m_data);
    m_data = bytes;
    m_capacity = static_cast<uint32_t>(capacity);
    return db_ok;
}

dbError dbData::cpy(const void* bytes, uint32_t length)
{
    if (bytes == nullptr || length == 0) {
        clr();
        return db_ok;
    }
    if (m_capacity > length && (bytes < m_data || bytes >= m_data + m_capacity)) {
        std::memcpy(m_data, bytes, length);
        m_data[length] = 0;
        m_length = length;
        return db_ok;
    }
    // Fresh buffer: the source may lie inside our own bytes.
    auto* fresh = static_cast<uint8_t*>(std::malloc(std::max<uint32_t>(length + 1, 16)));
    if (fresh == nullptr || length == UINT32_MAX) {
        std::free(fresh);
        return db_nomem;
    }
    std::memcpy(fresh, bytes, length);
    fresh[length] = 0;
    if (m_capacity > 0) std::free(m_data);
    m_data = fresh;
    m_length = length;
    m_capacity = std::max<uint32_t>(length + 1, 16);
    return db_ok;
}

dbError dbData::cpy(const dbData& other)
{
    if (this == &other) return db_ok;
    return cpy(other.m_data, other.m_length);
}

dbError dbData::cpy(const char* text)
{
    if (text == nullptr) {
        clr();
        return db_ok;
    }
    const std::size_t length = std::strlen(text) + 1;
    if (length >= UINT32_MAX) return db_nomem;
    return cpy(text, static_cast<uint32_t>(length));
}

dbError dbData::cat(const void* bytes, uint32_t length)
{
    if (bytes == nullptr || length == 0) return db_ok;
    const uint64_t total = uint64_t{m_length} + length;
    if (total >= UINT32_MAX) return db_nomem;
    if (m_capacity <= total) {
        // The source may lie inside our own bytes: keep them alive until copied.
        const bool inside = m_capacity > 0 && bytes >= m_data && bytes < m_data + m_capacity;
        const std::size_t offset = inside ? static_cast<const uint8_t*>(bytes) - m_data : 0;
        if (reserve(total) != db_ok) return db_nomem;
        if (inside) bytes = m_data + offset;
    }
    std::memmove(m_data + m_length, bytes, length);
    m_length = static_cast<uint32_t>(total);
    m_data[m_length] = 0;
    return db_ok;
}

dbError dbData::cat(const dbData& other)
{
    return cat(other.m_data, other.m_length);
}

dbError dbData::cat(const char* text)
{
    if (text == nullptr) return db_ok;
    const std::size_t length = std::strlen(text) + 1;
    if (length >= UINT32_MAX) return db_nomem;
    return cat(text, static_cast<uint32_t>(length));
}

void dbData::clr()
{
    if (m_capacity > 0) std::free(m_data);
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
}

dbError dbData::createDbData(const dbData& other)
{
    if (this == &other) return db_ok;
    if (other.m_capacity == 0) {
        clr();
        m_data = other.m_data;  // null or the shared empty text
        m_kind = other.m_kind;
        return db_ok;
    }
    const dbError result = cpy(other.m_data, other.m_length);
    if (result == db_ok) m_kind = other.m_kind;
    return result;
}

void dbData::settleText()
{
    if (m_kind == kText && m_data == nullptr) m_data = g_emptyText;
}

dbString::dbString(const char* text) : dbData(kText)
{
    if (cpy(text) != db_ok) throw db_nomem;
}

// ---- DIA_object ---------------------------------------------------------------------------

DIA_object::~DIA_object() = default;

dbData* DIA_object::getData(int field)
{
    if (field < 0 || field >= fieldCount()) return nullptr;
    return fieldTable()[field].data;
}

dbError DIA_object::putData(int field, const dbData& value)
{
    dbData* target = getData(field);
    if (target == nullptr) return db_range;
    return target->cpy(value);
}

void DIA_object::startData()
{
    _db_strStruct* table = fieldTable();
    for (int i = 0; i < fieldCount(); ++i)
        if (table[i].data != nullptr) table[i].data->clr();
}

void DIA_object::endData()
{
    _db_strStruct* table = fieldTable();
    for (int i = 0; i < fieldCount(); ++i)
        if (table[i].data != nullptr) table[i].data->settleText();
}

dbData& DIA_object::operator[](int field)
{
    dbData* data = getData(field);
    if (data == nullptr) throw db_range;
    return *data;
}

bool DIA_object::isLessThan(DIA_object& other)
{
    void* key = other.newKey(0);
    if (key == nullptr) throw db_nomem;
    const int order = compareKey(0, key);
    delete[] static_cast<char*>(key);
    return order < 0;
}

bool DIA_object::isEqual(DIA_object& other)
{
    void* key = other.newKey(0);
    if (key == nullptr) throw db_nomem;
    const int order = compareKey(0, key);
    delete[] static_cast<char*>(key);
    return order == 0;
}

// ---- diamondBase --------------------------------------------------------------------------

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

// ---- diaRel -------------------------------------------------------------------------------

namespace {

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
    ~Connection()
    {
        for (Statement* st : {&get, &insert, &remove, &walkAll, &walkFrom, &beginLock, &commit, &rollback})
            st->finalize();
        sqlite3_close_v2(db);
    }
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

    static Pool& Instance()
    {
        static Pool pool;
        // SQLite keeps per-process lock state for every file it has open; a child of fork()
        // would inherit it for the kept connections, and its own new connections to those
        // files would then run on locks it does not hold. So nothing is kept across fork().
        static const bool registered = ::pthread_atfork(&Pool::BeforeFork, nullptr, nullptr) == 0;
        (void)registered;
        return pool;
    }

    std::unique_ptr<Connection> take(const std::string& path, const struct stat& st)
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

    void give(std::unique_ptr<Connection> connection)
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

    // Closes the idle connections to a file (all of them for null).
    void release(const std::string* path)
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

    ~Pool()
    {
        if (m_pid != ::getpid()) abandon();
    }

private:
    Pool() : m_pid(::getpid()) {}
    static void BeforeFork() { Instance().release(nullptr); }

    // A child of fork() must neither use nor close its parent's connections: forget them.
    void adoptAfterFork()
    {
        if (m_pid == ::getpid()) return;
        abandon();
        m_pid = ::getpid();
    }
    void abandon()
    {
        for (auto& connection : m_idle) (void)connection.release();
        m_idle.clear();
    }
    void sweep(std::vector<std::unique_ptr<Connection>>& closing)
    {
        const auto limit = std::chrono::steady_clock::now() - kIdleLimit;
        for (auto it = m_idle.begin(); it != m_idle.end();) {
            if ((*it)->idleSince < limit) {
                closing.push_back(std::move(*it));
                it = m_idle.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex m_mutex;
    pid_t m_pid;
    std::vector<std::unique_ptr<Connection>> m_idle;
};

}  // namespace

struct diaRel::Impl {
    std::unique_ptr<Connection> conn;
    sqlite3* db = nullptr;
    bool checked = false;          // the object's field table was checked
    bool poolable = true;          // false after a result that may mean damage
    sqlite3_stmt* walk = nullptr;  // the walk statement between steps, or null
    bool walkStarted = false;
    bool havePosition = false;  // key of the last record the walk read
    uint32_t positionId = 0;
    uint16_t positionSeq = 0;
    bool haveCurrent = false;  // key of the last record read by get, first or next
    uint32_t currentId = 0;
    uint16_t currentSeq = 0;
    int lockDepth = 0;
    std::vector<uint8_t> fields;  // encoding buffer of put
};

namespace {

// The two numbers of an idxkey buffer (unsigned 32-bit, unsigned 16-bit, host order).
struct KeyNumbers {
    uint32_t id = 0;
    uint16_t seq = 0;
};

// The record object's key 0; false when memory runs out.
bool ObjectKey(DIA_object& object, KeyNumbers& key)
{
    void* buffer = object.newKey(0);
    if (buffer == nullptr) return false;
    std::memcpy(&key.id, buffer, 4);
    std::memcpy(&key.seq, static_cast<char*>(buffer) + 4, 2);
    delete[] static_cast<char*>(buffer);
    return true;
}

void KeyBuffer(const KeyNumbers& key, char (&buffer)[8])
{
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, &key.id, 4);
    std::memcpy(buffer + 4, &key.seq, 2);
}

}  // namespace

std::string diaRel::FilePath(const char* directory, const char* name)
{
    return dlarchive::platform::JoinPath(DirectoryOf(directory), std::string(name != nullptr ? name : "") + ".db");
}

diaRel::diaRel(diamondBase& base, const char* directory, const char* name) : m_base(base)
{
    ++m_base.m_relations;
    // No directory is no relation: an empty path must never mean the current directory.
    if (directory == nullptr || *directory == '\0' || name == nullptr || *name == '\0' || std::strlen(name) > kMaxName)
        return;
    m_name = name;
    m_path = FilePath(directory, name);
    // Opening never creates: a missing file is not handed to SQLite at all.
    struct stat st;
    if (::stat(m_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    std::unique_ptr<Connection> connection = Pool::Instance().take(m_path, st);
    if (connection == nullptr) {
        int rc = SQLITE_OK;
        sqlite3* db = OpenDatabase(m_path, SQLITE_OPEN_READWRITE, &rc);
        if (db == nullptr) {
            m_status = MapResult(rc) == db_nomem ? db_nomem : db_notopened;
            return;
        }
        connection.reset(new (std::nothrow) Connection);
        if (connection == nullptr) {
            sqlite3_close_v2(db);
            m_status = db_nomem;
            return;
        }
        connection->db = db;
        connection->path = m_path;
        // The file SQLite opened: should it have been replaced since the stat, this
        // connection is simply never reused.
        struct stat now;
        if (::stat(m_path.c_str(), &now) == 0) {
            connection->device = now.st_dev;
            connection->inode = now.st_ino == st.st_ino ? now.st_ino : 0;
        }
    } else {
        sqlite3_busy_timeout(connection->db, g_lockTimeoutMs.load());
    }
    const dbError header = CheckHeader(connection->db);
    if (header != db_ok) {
        m_status = header;
        return;  // the connection is closed, not kept
    }
    m_impl = new (std::nothrow) Impl;
    if (m_impl == nullptr) {
        m_status = db_nomem;
        return;
    }
    m_impl->db = connection->db;
    m_impl->conn = std::move(connection);
    m_status = db_ok;
}

diaRel::~diaRel()
{
    if (m_impl != nullptr) {
        resetWalk();
        if (m_impl->lockDepth > 0 && !sqlite3_get_autocommit(m_impl->db)) {
            const int rc = sqlite3_step(m_impl->conn->commit.get());
            sqlite3_reset(m_impl->conn->commit.get());
            if (rc != SQLITE_DONE) {
                Exec(m_impl->db, "ROLLBACK");
                m_impl->poolable = false;
            }
        }
        if (m_impl->poolable && m_impl->conn->broken == db_ok && m_impl->conn->inode != 0 &&
            sqlite3_get_autocommit(m_impl->db))
            Pool::Instance().give(std::move(m_impl->conn));
        delete m_impl;
    }
    --m_base.m_relations;
}

bool diaRel::isOpen() const
{
    return m_impl != nullptr;
}

void diamondBase::ReleaseIdle()
{
    Pool::Instance().release(nullptr);
}

// First use of an open relation: the object's field table, and once per connection the
// connection settings, the relation's meta data and the statements. A mismatch makes every
// later operation fail alike.
dbError diaRel::ready()
{
    if (m_impl == nullptr) return db_notopened;
    Connection& c = *m_impl->conn;
    if (c.broken != db_ok) return c.broken;
    if (!m_impl->checked) {
        bool good = keyLength(0) == 8 && recordLength() > 0 && fieldCount() >= 0;
        auto* fixed = static_cast<uint8_t*>(recordData());
        _db_strStruct* table = fieldTable();
        for (int i = 0; good && i < fieldCount(); ++i)
            good = table[i].data != nullptr && table[i].ref >= fixed && table[i].ref + 4 <= fixed + recordLength();
        if (!good) return db_range;
        m_impl->checked = true;
    }
    if (c.ready) return db_ok;
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
    if (rc == SQLITE_OK) rc = c.beginLock.prepare(db, "BEGIN EXCLUSIVE");
    if (rc == SQLITE_OK) rc = c.commit.prepare(db, "COMMIT");
    if (rc == SQLITE_OK) rc = c.rollback.prepare(db, "ROLLBACK");
    if (rc != SQLITE_OK) {
        const dbError result = MapResult(rc);
        // Waiting for a lock or memory may succeed later; anything else will not.
        if (result != db_locked && result != db_nomem) c.broken = result;
        return result;
    }
    if (stored != m_name) {
        c.broken = db_corrupt;
        return db_corrupt;
    }
    c.ready = true;
    return db_ok;
}

// Results that may mean damage: the connection is closed with the object, not kept.
dbError diaRel::note(dbError result)
{
    if (m_impl != nullptr && result != db_ok && result != db_notfound && result != db_dup && result != db_eof &&
        result != db_locked && result != db_range && result != db_unlocked)
        m_impl->poolable = false;
    return result;
}

void diaRel::resetWalk()
{
    if (m_impl != nullptr && m_impl->walk != nullptr) {
        sqlite3_reset(m_impl->walk);
        m_impl->walk = nullptr;
    }
}

// After a write: an error that ended the transaction ends the lock with it.
dbError diaRel::afterWrite(int rc)
{
    if (m_impl->lockDepth > 0 && sqlite3_get_autocommit(m_impl->db)) m_impl->lockDepth = 0;
    return MapResult(rc);
}

// Fills the object from the current row of a statement (id, seq, fixed, fields, crc), after
// checking everything that can be checked; on any disagreement the object is emptied and
// the result is 22.
dbError diaRel::readRow(void* statement, int)
{
    auto* st = static_cast<sqlite3_stmt*>(statement);
    const uint32_t recordLen = recordLength();
    const int count = fieldCount();
    _db_strStruct* table = fieldTable();
    auto* fixedOut = static_cast<uint8_t*>(recordData());

    const sqlite3_int64 id = sqlite3_column_int64(st, 0);
    const sqlite3_int64 seq = sqlite3_column_int64(st, 1);
    const auto* fixed = static_cast<const uint8_t*>(sqlite3_column_blob(st, 2));
    const int fixedLen = sqlite3_column_bytes(st, 2);
    const auto* fields = static_cast<const uint8_t*>(sqlite3_column_blob(st, 3));
    const std::size_t fieldsLen = static_cast<std::size_t>(sqlite3_column_bytes(st, 3));
    const sqlite3_int64 crc = sqlite3_column_int64(st, 4);
    if (sqlite3_errcode(m_impl->db) == SQLITE_NOMEM) return db_nomem;

    auto corrupt = [&]() {
        std::memset(fixedOut, 0, recordLen);
        startData();
        endData();
        return db_corrupt;
    };
    bool good = id >= 0 && id <= UINT32_MAX && seq >= 0 && seq <= UINT16_MAX && fixed != nullptr &&
                static_cast<uint32_t>(fixedLen) == recordLen && (fields != nullptr || fieldsLen == 0);
    if (good)
        good = RecordChecksum(static_cast<uint32_t>(id), static_cast<uint16_t>(seq), fixed, fixedLen, fields,
                              fieldsLen) == crc;
    // Field lengths: the encoding must be consumed exactly and agree with the slots.
    std::size_t pos = 0;
    for (int i = 0; good && i < count; ++i) {
        if (fieldsLen - pos < 4) {
            good = false;
            break;
        }
        const uint32_t length = GetLe32(fields + pos);
        pos += 4;
        const std::size_t slot = table[i].ref - fixedOut;
        if (length > fieldsLen - pos || GetLe32(fixed + slot) != length) good = false;
        pos += length;
    }
    if (good && pos != fieldsLen) good = false;
    if (!good) return corrupt();

    std::memcpy(fixedOut, fixed, recordLen);
    KeyNumbers key{static_cast<uint32_t>(id), static_cast<uint16_t>(seq)};
    char keyBuffer[8];
    KeyBuffer(key, keyBuffer);
    if (compareKey(0, keyBuffer) != 0) return corrupt();
    startData();
    pos = 0;
    for (int i = 0; i < count; ++i) {
        const uint32_t length = GetLe32(fields + pos);
        pos += 4;
        if (table[i].data->cpy(fields + pos, length) != db_ok) {
            std::memset(fixedOut, 0, recordLen);
            startData();
            endData();
            return db_nomem;
        }
        pos += length;
    }
    endData();
    return db_ok;
}

dbError diaRel::get(int index)
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    if (index != 0) return db_range;
    KeyNumbers key;
    if (!ObjectKey(*this, key)) return db_nomem;
    sqlite3_stmt* st = m_impl->conn->get.get();
    sqlite3_bind_int64(st, 1, key.id);
    sqlite3_bind_int64(st, 2, key.seq);
    const int rc = sqlite3_step(st);
    dbError result;
    m_impl->haveCurrent = false;
    if (rc == SQLITE_ROW) {
        result = readRow(st, 0);
        if (result == db_ok) {
            m_impl->haveCurrent = true;
            m_impl->currentId = key.id;
            m_impl->currentSeq = key.seq;
        }
    } else if (rc == SQLITE_DONE) {
        // Nothing stored: an empty record that keeps the key asked for.
        std::memset(recordData(), 0, recordLength());
        char keyBuffer[8];
        KeyBuffer(key, keyBuffer);
        setKey(0, keyBuffer);
        startData();
        endData();
        result = db_notfound;
    } else {
        result = MapResult(rc);
    }
    sqlite3_reset(st);
    return note(result);
}

dbError diaRel::put()
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    resetWalk();
    KeyNumbers key;
    if (!ObjectKey(*this, key)) return db_nomem;
    auto* fixed = static_cast<uint8_t*>(recordData());
    const uint32_t recordLen = recordLength();
    const int count = fieldCount();
    _db_strStruct* table = fieldTable();
    std::vector<uint8_t>& buffer = m_impl->fields;
    buffer.clear();
    try {
        for (int i = 0; i < count; ++i) {
            const dbData& field = *table[i].data;
            uint8_t length[4];
            PutLe32(length, field.length());
            PutLe32(table[i].ref, field.length());
            buffer.insert(buffer.end(), length, length + 4);
            if (field.length() > 0) buffer.insert(buffer.end(), field.data(), field.data() + field.length());
        }
    } catch (const std::bad_alloc&) {
        return db_nomem;
    }
    if (buffer.size() > INT32_MAX) return db_range;
    const int64_t crc = RecordChecksum(key.id, key.seq, fixed, recordLen, buffer.data(), buffer.size());
    sqlite3_stmt* st = m_impl->conn->insert.get();
    sqlite3_bind_int64(st, 1, key.id);
    sqlite3_bind_int64(st, 2, key.seq);
    sqlite3_bind_blob(st, 3, fixed, static_cast<int>(recordLen), SQLITE_STATIC);
    sqlite3_bind_blob(st, 4, buffer.empty() ? "" : static_cast<const void*>(buffer.data()),
                      static_cast<int>(buffer.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 5, crc);
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return note(afterWrite(rc == SQLITE_DONE ? SQLITE_OK : rc));
}

dbError diaRel::del()
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    if (!m_impl->haveCurrent) return db_notfound;
    resetWalk();
    sqlite3_stmt* st = m_impl->conn->remove.get();
    sqlite3_bind_int64(st, 1, m_impl->currentId);
    sqlite3_bind_int64(st, 2, m_impl->currentSeq);
    const int rc = sqlite3_step(st);
    const int changes = sqlite3_changes(m_impl->db);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) return note(afterWrite(rc));
    m_impl->haveCurrent = false;
    return changes > 0 ? db_ok : db_notfound;
}

dbError diaRel::flush()
{
    if (m_impl == nullptr) return db_notopened;
    resetWalk();
    return db_ok;
}

dbError diaRel::lock(bool, int)
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    if (m_impl->lockDepth > 0) {
        ++m_impl->lockDepth;
        return db_ok;
    }
    resetWalk();
    sqlite3_stmt* st = m_impl->conn->beginLock.get();
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) return note(MapResult(rc));
    m_impl->lockDepth = 1;
    return db_ok;
}

dbError diaRel::unlock()
{
    if (m_impl == nullptr) return db_notopened;
    if (m_impl->lockDepth > 0 && sqlite3_get_autocommit(m_impl->db)) m_impl->lockDepth = 0;
    if (m_impl->lockDepth == 0) return db_unlocked;
    if (--m_impl->lockDepth > 0) return db_ok;
    resetWalk();
    sqlite3_stmt* st = m_impl->conn->commit.get();
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc == SQLITE_DONE) return db_ok;
    if (!sqlite3_get_autocommit(m_impl->db)) {
        sqlite3_step(m_impl->conn->rollback.get());
        sqlite3_reset(m_impl->conn->rollback.get());
    }
    return note(MapResult(rc));
}

dbError diaRel::begin(int index)
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    if (index != 0) return db_range;
    resetWalk();
    m_impl->walkStarted = true;
    m_impl->havePosition = false;
    return db_ok;
}

dbError diaRel::first()
{
    dbError result = ready();
    if (result != db_ok) return m_status = result;
    resetWalk();
    m_impl->walkStarted = true;
    m_impl->havePosition = false;
    m_impl->walk = m_impl->conn->walkAll.get();
    return next();
}

dbError diaRel::next()
{
    dbError result = ready();
    if (result != db_ok) return m_status = result;
    if (m_impl->walk == nullptr) {
        if (!m_impl->havePosition) {
            m_impl->walk = m_impl->conn->walkAll.get();
        } else {
            // Continue after the last record read; the statement of the walk was ended by a
            // write, a lock or a flush in between.
            sqlite3_stmt* st = m_impl->conn->walkFrom.get();
            sqlite3_bind_int64(st, 1, m_impl->positionId);
            sqlite3_bind_int64(st, 2, m_impl->positionSeq);
            m_impl->walk = st;
        }
    }
    m_impl->walkStarted = true;
    sqlite3_stmt* st = m_impl->walk;
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        result = readRow(st, 0);
        if (result == db_ok) {
            m_impl->havePosition = true;
            m_impl->positionId = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
            m_impl->positionSeq = static_cast<uint16_t>(sqlite3_column_int64(st, 1));
            m_impl->haveCurrent = true;
            m_impl->currentId = m_impl->positionId;
            m_impl->currentSeq = m_impl->positionSeq;
            return m_status = db_ok;
        }
    } else if (rc == SQLITE_DONE) {
        result = db_eof;
    } else {
        result = MapResult(rc);
    }
    resetWalk();
    return m_status = note(result);
}

// ---- templates ----------------------------------------------------------------------------

dbError diaRel::Create(const char* directory, const char* name, bool replace)
{
    if (directory == nullptr || *directory == '\0' || name == nullptr || *name == '\0' || std::strlen(name) > kMaxName)
        return db_notopened;
    const std::string dir = DirectoryOf(directory);
    const std::string target = FilePath(directory, name);
    if (!replace && Exists(target)) return db_dup;
    // The new relation is built as a private template next to the target, then put in place
    // as any template is.
    const std::string temp = TempName(target);
    ::unlink(temp.c_str());
    RemoveSideFiles(temp);
    dbError result = BuildEmptyRelation(temp, name);
    if (result == db_ok) {
        dbError opened = db_ok;
        sqlite3* source = OpenTemplate(temp, name, &opened);
        if (source == nullptr) {
            result = opened;
        } else {
            DirectoryLock lock(dir);
            result = lock.result();
            if (result == db_ok) {
                Pool::Instance().release(&target);
                result = ReplaceLocked(source, target, !replace);
                if (result == db_ok) SyncDirectory(dir);
            }
            sqlite3_close_v2(source);
        }
    }
    ::unlink(temp.c_str());
    RemoveSideFiles(temp);
    return result;
}

dbError diaRel::ReplaceWithTemplate(const char* templatePath, const char* directory, const char* name)
{
    if (templatePath == nullptr || name == nullptr || *name == '\0' || directory == nullptr || *directory == '\0' ||
        std::strlen(name) > kMaxName)
        return db_notopened;
    dbError result = db_ok;
    sqlite3* source = OpenTemplate(templatePath, name, &result);
    if (source == nullptr) return result == db_notopened ? db_notopened : result;
    const std::string dir = DirectoryOf(directory);
    {
        DirectoryLock lock(dir);
        result = lock.result();
        if (result == db_ok) {
            const std::string target = FilePath(directory, name);
            Pool::Instance().release(&target);
            result = ReplaceLocked(source, target, false);
            if (result == db_ok) SyncDirectory(dir);
        }
    }
    sqlite3_close_v2(source);
    return result;
}

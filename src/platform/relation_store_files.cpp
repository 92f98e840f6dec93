// Relation files of the relation store: their header and schema, new relations, templates
// and the replacement of a relation by its template.
//
// File format of a relation (schema version 1):
//   header     application_id kApplicationId, user_version kSchemaVersion, WAL journal,
//              page size 4096 (so that a template can be copied into any relation);
//   meta       (name TEXT PRIMARY KEY, value TEXT): 'relation' = the relation's name,
//              'format' = the schema version;
//   records    (id, seq, fixed, fields, crc) WITHOUT ROWID, primary key (id, seq), the
//              records as relation_store_codec.cpp describes them.
#include <fcntl.h>
#include <sys/file.h>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/file_util.h"
#include "platform/relation_store_internal.h"

namespace dlarchive::relstore {

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

std::string DirectoryOf(const char* directory)
{
    return (directory == nullptr || *directory == '\0') ? std::string(".") : std::string(directory);
}

namespace {

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

}  // namespace dlarchive::relstore

using namespace dlarchive::relstore;

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

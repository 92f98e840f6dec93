// New relations, templates, and the replacement of a relation by a template.
//
// A replacement never destroys what was there before the new content is complete, and never
// lets another process's connection (idle in its pool, or in use) meet content it was not
// opened on:
//  - a relation SQLite can still write is overwritten in one SQLite transaction (the backup
//    interface), so its users see the old or the new content and a failure rolls back;
//  - any other file (damaged, foreign, missing, a link or FIFO) is replaced by a new file:
//    the copy is written whole under a temporary name, then renamed over the old name under
//    the directory's exclusive swap lock, and the old file's WAL, shared-memory and journal
//    files are removed in the same step. Connections to the old file keep it (and its side
//    files) until they are closed; SQLite neither checkpoints into nor removes side files by
//    name for a database that has been moved away, and the pool closes such connections at
//    their next reuse. A process's idle connections therefore never hold a replacement up.
#include <fcntl.h>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/relation_store_internal.h"

namespace dlarchive::relstore {
namespace {

// Templates are small: an empty relation is two or three pages.
constexpr int64_t kMaxTemplateSize = 64 * 1024 * 1024;

// Writes the header fields, schema and meta data of an empty relation named `name` into a
// database that has no tables yet.
int BuildEmptyRelation(sqlite3* db, const char* name)
{
    const std::string header = "PRAGMA page_size=" + std::to_string(kPageSize) +
                               "; PRAGMA application_id=" + std::to_string(kApplicationId) +
                               "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
    int rc = Exec(db, header.c_str());
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
    return rc;
}

// An empty relation named `name` in memory (null when memory runs out).
sqlite3* EmptyRelation(const char* name)
{
    int rc = SQLITE_OK;
    sqlite3* db = OpenDatabase(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, &rc);
    if (db != nullptr && BuildEmptyRelation(db, name) != SQLITE_OK) {
        sqlite3_close_v2(db);
        db = nullptr;
    }
    return db;
}

// The rows of a query as one text (columns separated by '|', rows by newlines).
bool QueryText(sqlite3* db, const char* sql, std::string& text)
{
    text.clear();
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return false;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const unsigned char* value = sqlite3_column_text(st, i);
            text += (i > 0 ? "|" : "");
            text += value != nullptr ? reinterpret_cast<const char*>(value) : "NULL";
        }
        text += '\n';
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}

// Reads a template file into a private in-memory database and checks that it is a sound,
// empty relation named `name`. The file is read whole with a descriptor of our own (never
// through a link, never blocking on a FIFO), so SQLite never opens the template itself and
// what is checked is exactly what is copied.
dbError LoadTemplate(const std::string& path, const char* name, sqlite3** out)
{
    *out = nullptr;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return db_notopened;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return db_notopened;
    }
    if (st.st_size > kMaxTemplateSize) {
        ::close(fd);
        return NoteDamage(path + ": template of " + std::to_string(st.st_size) + " bytes");
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    auto* image = static_cast<uint8_t*>(sqlite3_malloc64(size > 0 ? size : 1));
    if (image == nullptr) {
        ::close(fd);
        return db_nomem;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, image + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    std::string reason;
    bool wal = false;
    if (done != size) {
        sqlite3_free(image);
        return db_notopened;
    }
    if (!CheckHeaderBytes(image, static_cast<int64_t>(size), reason, &wal) || !wal ||
        size % static_cast<std::size_t>(kPageSize) != 0) {
        sqlite3_free(image);
        return NoteDamage(path + ": " + (reason.empty() ? "not a WAL relation of whole pages" : reason));
    }
    // Committed content still in a WAL beside the template is not in the image.
    struct stat walStat;
    if (::lstat((path + "-wal").c_str(), &walStat) == 0 && walStat.st_size > 0) {
        sqlite3_free(image);
        return NoteDamage(path + ": template with a write-ahead log of " + std::to_string(walStat.st_size) +
                          " bytes beside it");
    }
    // A deserialized database cannot be in WAL mode; the copy is made a WAL file again.
    image[18] = image[19] = 1;
    int rc = SQLITE_OK;
    sqlite3* db = OpenDatabase(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, &rc);
    if (db == nullptr) {
        sqlite3_free(image);
        return db_nomem;
    }
    rc = sqlite3_deserialize(db, "main", image, static_cast<sqlite3_int64>(size), static_cast<sqlite3_int64>(size),
                             SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY);
    sqlite3* expected = rc == SQLITE_OK ? EmptyRelation(name) : nullptr;
    if (expected == nullptr) {
        sqlite3_close_v2(db);
        return db_nomem;
    }
    const char* schemaSql = "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY type, name";
    const char* metaSql = "SELECT name, value FROM meta ORDER BY name";
    std::string text, want;
    dbError result = db_ok;
    if (!QueryText(db, "PRAGMA page_size", text) || text != std::to_string(kPageSize) + "\n")
        reason = "page size " + text;
    else if (!QueryText(db, "PRAGMA quick_check", text) || text != "ok\n")
        reason = "quick_check: " + text.substr(0, text.find('\n'));
    else if (!QueryText(db, schemaSql, text) || !QueryText(expected, schemaSql, want) || text != want)
        reason = "schema is not that of a relation";
    else if (!QueryText(db, metaSql, text) || !QueryText(expected, metaSql, want) || text != want)
        reason = "meta data is not that of the relation " + std::string(name);
    else if (!QueryText(db, "SELECT 1 FROM records LIMIT 1", text))
        reason = "records unreadable";
    else if (!text.empty())
        result = db_dup;  // a template holds no records
    sqlite3_close_v2(expected);
    if (!reason.empty()) result = NoteDamage(path + ": " + reason);
    if (result != db_ok) {
        sqlite3_close_v2(db);
        return result;
    }
    *out = db;
    return db_ok;
}

// Copies the whole source database into an opened target through the backup interface: one
// write transaction on the target.
int CopyDatabase(sqlite3* source, sqlite3* target)
{
    sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
    if (backup == nullptr) return sqlite3_extended_errcode(target);
    int rc = sqlite3_backup_step(backup, -1);
    const int finish = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE) rc = finish;
    return rc;
}

void RemoveSideFiles(const std::string& path)
{
    for (const char* suffix : {"-journal", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

void RemoveFile(const std::string& path)
{
    ::unlink(path.c_str());
    RemoveSideFiles(path);
}

void SyncDirectory(const std::string& directory)
{
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A private name beside the relation, hidden from directory scans ("archive*.*").
std::string TempName(const std::string& directory, const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    const std::string base = path.substr(path.find_last_of('/') + 1);
    return directory + "/." + base + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

// A relation file SQLite can write, overwritten in one transaction. 11 or 22 when it cannot
// be used that way (the caller then replaces the file).
dbError ReplaceInPlace(sqlite3* source, const std::string& directory, const std::string& target, const char* name)
{
    std::unique_ptr<Connection> connection;
    dbError result = OpenConnection(directory, target, connection);
    bool wal = false;
    if (result == db_ok) result = CheckHeader(connection->db, target, &wal);
    if (result == db_ok && !wal) result = db_corrupt;
    if (result == db_ok) result = SetUpConnection(connection, name);
    if (result != db_ok) return result;
    const int rc = CopyDatabase(source, connection->db);
    if (rc != SQLITE_OK) return IsBusy(rc) ? db_locked : (rc & 0xff) == SQLITE_NOMEM ? db_nomem : db_corrupt;
    // Move the new first page into the file itself, so that openers who check the file's
    // header find the template's.
    sqlite3_wal_checkpoint_v2(connection->db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return db_ok;
}

// Writes the whole source into a new file `temp` as a relation file (WAL mode), synced.
dbError WriteCopy(sqlite3* source, const std::string& temp)
{
    RemoveFile(temp);
    int rc = SQLITE_OK;
    sqlite3* db = OpenDatabase(temp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, &rc);
    if (db == nullptr) return (rc & 0xff) == SQLITE_NOMEM ? db_nomem : db_notopened;
    rc = CopyDatabase(source, db);
    if (rc == SQLITE_OK) rc = Exec(db, "PRAGMA journal_mode=WAL");
    // Closing the only connection checkpoints the WAL into the file (synced) and removes it.
    const int closeRc = sqlite3_close_v2(db);
    if (rc != SQLITE_OK || closeRc != SQLITE_OK) {
        RemoveFile(temp);
        return (rc & 0xff) == SQLITE_NOMEM ? db_nomem : db_notopened;
    }
    return db_ok;
}

// Puts a new file with the source's content under the relation's name: written whole first,
// then renamed into place (linked when `keepExisting`: 9 if a file is there) under the
// exclusive swap lock, which also covers the removal of the old file's side files.
dbError ReplaceByNewFile(sqlite3* source, const std::string& directory, const std::string& target, bool keepExisting)
{
    const std::string temp = TempName(directory, target);
    dbError result = WriteCopy(source, temp);
    if (result != db_ok) return result;
    // The new file keeps the old one's permissions and, where this process may, its owner,
    // so that the processes that used the relation still can (as SQLite does for side files).
    struct stat old;
    if (IsRegularFile(target, &old)) {
        ::chmod(temp.c_str(), old.st_mode & 07777);
        if (::geteuid() == 0) (void)!::chown(temp.c_str(), old.st_uid, old.st_gid);
    }
    {
        SwapLock lock(directory, true);
        result = lock.result();
        if (result == db_ok) {
            const int rc = keepExisting ? ::link(temp.c_str(), target.c_str()) : ::rename(temp.c_str(), target.c_str());
            if (rc == 0)
                RemoveSideFiles(target);
            else
                result = errno == EEXIST && keepExisting ? db_dup : db_notopened;
        }
    }
    RemoveFile(temp);
    if (result == db_ok) SyncDirectory(directory);
    return result;
}

dbError ReplaceRelation(sqlite3* source, const std::string& directory, const std::string& target, const char* name,
                        bool keepExisting)
{
    // This process's idle connections to the old file are of no further use.
    Pool::Instance().release(&target);
    struct stat st;
    const bool exists = ::lstat(target.c_str(), &st) == 0;
    if (exists && keepExisting) return db_dup;
    if (exists && S_ISREG(st.st_mode)) {
        const dbError result = ReplaceInPlace(source, directory, target, name);
        if (result == db_ok || result == db_locked || result == db_nomem) return result;
    }
    return ReplaceByNewFile(source, directory, target, keepExisting);
}

bool ValidArguments(const char* directory, const char* name)
{
    return directory != nullptr && *directory != '\0' && name != nullptr && *name != '\0' &&
           std::strlen(name) <= kMaxName;
}

}  // namespace
}  // namespace dlarchive::relstore

using namespace dlarchive::relstore;

dbError diaRel::Create(const char* directory, const char* name, bool replace)
{
    if (!ValidArguments(directory, name)) return db_notopened;
    sqlite3* source = EmptyRelation(name);
    if (source == nullptr) return db_nomem;
    const dbError result = ReplaceRelation(source, DirectoryOf(directory), FilePath(directory, name), name, !replace);
    sqlite3_close_v2(source);
    return result;
}

dbError diaRel::CheckTemplate(const char* templatePath, const char* name)
{
    if (templatePath == nullptr || !ValidArguments(".", name)) return db_notopened;
    sqlite3* source = nullptr;
    const dbError result = LoadTemplate(templatePath, name, &source);
    sqlite3_close_v2(source);
    return result;
}

dbError diaRel::ReplaceWithTemplate(const char* templatePath, const char* directory, const char* name)
{
    if (templatePath == nullptr || !ValidArguments(directory, name)) return db_notopened;
    sqlite3* source = nullptr;
    dbError result = LoadTemplate(templatePath, name, &source);
    if (result == db_ok)
        result = ReplaceRelation(source, DirectoryOf(directory), FilePath(directory, name), name, false);
    sqlite3_close_v2(source);
    return result;
}

// Relation files of the relation store: what makes a file a relation of this store, and the
// directory's swap lock that keeps openers and replacements apart.
//
// File format of a relation (schema version 1):
//   header     application_id kApplicationId, user_version kSchemaVersion, WAL journal,
//              page size 4096 (so that a template can be copied into any relation);
//   meta       (name TEXT PRIMARY KEY, value TEXT): 'relation' = the relation's name,
//              'format' = the schema version;
//   records    (id, seq, fixed, fields, crc) WITHOUT ROWID, primary key (id, seq), the
//              records as relation_store_codec.cpp describes them.
// The schema itself is written in relation_store_templates.cpp (BuildEmptyRelation).
#include <fcntl.h>
#include <sys/file.h>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/relation_store_internal.h"

namespace dlarchive::relstore {

bool CheckHeaderBytes(const uint8_t* header, int64_t size, std::string& reason, bool* wal)
{
    if (size < 100) {
        reason = "file of " + std::to_string(size) + " bytes, too short for a header";
        return false;
    }
    if (std::memcmp(header, "SQLite format 3", 16) != 0) {
        reason = "not an SQLite database";
        return false;
    }
    if (GetBe32(header + 68) != kApplicationId) {
        reason = "database of another program (application id " + std::to_string(GetBe32(header + 68)) + ")";
        return false;
    }
    if (GetBe32(header + 60) != kSchemaVersion) {
        reason = "schema version " + std::to_string(GetBe32(header + 60)) + ", " + std::to_string(kSchemaVersion) +
                 " expected";
        return false;
    }
    if (wal != nullptr) *wal = header[18] == 2 && header[19] == 2;
    return true;
}

dbError CheckHeader(sqlite3* db, const std::string& path, bool* wal)
{
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr)
        return db_notopened;
    sqlite3_int64 size = 0;
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK) return NoteDamage(path + ": size unreadable");
    uint8_t header[100] = {};
    if (size >= 100 && file->pMethods->xRead(file, header, sizeof header, 0) != SQLITE_OK)
        return NoteDamage(path + ": header unreadable");
    std::string reason;
    if (!CheckHeaderBytes(header, size, reason, wal)) return NoteDamage(path + ": " + reason);
    return db_ok;
}

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

// Relation files are regular files, never followed through a symbolic link: a link, FIFO or
// device in their place is no relation (and a FIFO would block whoever opens it to read).
bool IsRegularFile(const std::string& path, struct stat* st)
{
    struct stat own;
    if (st == nullptr) st = &own;
    return ::lstat(path.c_str(), st) == 0 && S_ISREG(st->st_mode);
}

SwapLock::SwapLock(const std::string& directory, bool exclusive)
{
    m_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) {
        // A directory this process may search but not read: openers go on without the lock
        // (as readers there cannot take part in replacing anyway); replacements cannot.
        if (errno == EACCES && !exclusive) m_result = db_ok;
        return;
    }
    const int operation = exclusive ? LOCK_EX : LOCK_SH;
    if (::flock(m_fd, operation | LOCK_NB) == 0) {
        m_result = db_ok;
        return;
    }
    // Holders keep it for a few system calls (openers) or a rename (replacements).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_lockTimeoutMs.load());
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        if (errno != EWOULDBLOCK && errno != EINTR) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            m_result = db_locked;
            return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
        if (::flock(m_fd, operation | LOCK_NB) == 0) {
            m_result = db_ok;
            return;
        }
    }
}

SwapLock::~SwapLock()
{
    if (m_fd >= 0) ::close(m_fd);
}

}  // namespace dlarchive::relstore

// The relation store on SQLite: diaRel, an open relation and its record operations.
// The other parts are listed in relation_store_internal.h.
#include "dlarchive/relation_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/file_util.h"
#include "platform/relation_store_internal.h"

using namespace dlarchive::relstore;

struct diaRel::Impl {
    std::unique_ptr<Connection> conn;
    sqlite3* db = nullptr;
    bool checked = false;          // the object's field table was checked
    bool poolable = true;          // false after a result that may mean damage
    sqlite3_stmt* walk = nullptr;  // the walk statement between steps, or null
    bool walkStarted = false;
    bool backwards = false;     // the walk goes down in key order (seekBefore)
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

namespace {

// The reason of the last damage the store found in this thread.
thread_local std::string t_lastDamage;

}  // namespace

dbError dlarchive::relstore::NoteDamage(const std::string& reason)
{
    try {
        t_lastDamage = reason;
    } catch (const std::bad_alloc&) {
        t_lastDamage.clear();
    }
    return db_corrupt;
}

const char* diaRel::LastDamage()
{
    return t_lastDamage.c_str();
}

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
    // Opening never creates: a missing file is not handed to SQLite at all, nor anything but
    // a regular file.
    struct stat st;
    if (!IsRegularFile(m_path, &st)) return;
    std::unique_ptr<Connection> connection = Pool::Instance().take(m_path, st);
    if (connection == nullptr) {
        const dbError opened = OpenConnection(DirectoryOf(directory), m_path, connection);
        if (opened != db_ok) {
            m_status = opened;
            return;
        }
    } else {
        sqlite3_busy_timeout(connection->db, g_lockTimeoutMs.load());
        const dbError header = CheckHeader(connection->db, m_path);
        if (header != db_ok) {
            m_status = header;
            return;  // the connection is closed, not kept
        }
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

// First use of an open relation: the object's field table, and once per connection its
// set-up (SetUpConnection). A mismatch makes every later operation fail alike.
dbError diaRel::ready()
{
    if (m_impl == nullptr) return db_notopened;
    if (m_impl->conn->broken != db_ok) return m_impl->conn->broken;
    if (!m_impl->checked) {
        bool good = keyLength(0) == 8 && recordLength() > 0 && fieldCount() >= 0;
        auto* fixed = static_cast<uint8_t*>(recordData());
        _db_strStruct* table = fieldTable();
        for (int i = 0; good && i < fieldCount(); ++i)
            good = table[i].data != nullptr && table[i].ref >= fixed && table[i].ref + 4 <= fixed + recordLength();
        if (!good) return db_range;
        m_impl->checked = true;
    }
    if (m_impl->conn->ready) return db_ok;
    const dbError result = SetUpConnection(m_impl->conn, m_name);
    m_impl->db = m_impl->conn->db;
    return result;
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
    return SqliteResult(m_impl->db, rc, m_path);
}

// Fills the object from the current row of a statement (id, seq, fixed, fields, crc), after
// checking everything that can be checked; on any disagreement the object is emptied and
// the result is 22, its reason kept for LastDamage.
dbError diaRel::readRow(void* statement, int)
{
    auto* st = static_cast<sqlite3_stmt*>(statement);
    const uint32_t recordLen = recordLength();
    const int count = fieldCount();
    _db_strStruct* table = fieldTable();
    auto* fixedOut = static_cast<uint8_t*>(recordData());

    StoredRecord row;
    row.id = sqlite3_column_int64(st, 0);
    row.seq = sqlite3_column_int64(st, 1);
    row.fixed = static_cast<const uint8_t*>(sqlite3_column_blob(st, 2));
    row.fixedLength = static_cast<std::size_t>(sqlite3_column_bytes(st, 2));
    row.fields = static_cast<const uint8_t*>(sqlite3_column_blob(st, 3));
    row.fieldsLength = static_cast<std::size_t>(sqlite3_column_bytes(st, 3));
    row.crc = sqlite3_column_int64(st, 4);
    if (sqlite3_errcode(m_impl->db) == SQLITE_NOMEM) return db_nomem;

    auto empty = [&](dbError result) {
        std::memset(fixedOut, 0, recordLen);
        startData();
        endData();
        return result;
    };
    auto damaged = [&](const std::string& reason) {
        NoteDamage(m_path + ": record (" + std::to_string(row.id) + ", " + std::to_string(row.seq) + "): " + reason);
        return empty(db_corrupt);
    };
    std::string reason;
    if (!CheckRecord(row, recordLen, table, count, fixedOut, reason)) return damaged(reason);

    std::memcpy(fixedOut, row.fixed, recordLen);
    KeyNumbers key{static_cast<uint32_t>(row.id), static_cast<uint16_t>(row.seq)};
    char keyBuffer[8];
    KeyBuffer(key, keyBuffer);
    if (compareKey(0, keyBuffer) != 0) return damaged("the fixed record holds another key");
    // Every field is overwritten, so a walk reuses the buffers of the record before instead of
    // releasing them all first (cpy keeps a buffer that is large enough).
    std::size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        const uint32_t length = GetLe32(row.fields + pos);
        pos += 4;
        if (table[i].data->cpy(row.fields + pos, length) != db_ok) return empty(db_nomem);
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
        result = SqliteResult(m_impl->db, rc, m_path);
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
    if (!EncodeFields(table, count, buffer)) return db_nomem;
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

dbError diaRel::version(Version& out)
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(m_impl->db, "PRAGMA data_version", -1, &st, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    const int64_t dataVersion = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_finalize(st);
    if (rc != SQLITE_ROW) return note(SqliteResult(m_impl->db, rc, m_path));
    const Connection& c = *m_impl->conn;
    out.connection = c.serial, out.device = c.device, out.inode = c.inode;
    out.dataVersion = dataVersion, out.ownChanges = sqlite3_total_changes64(m_impl->db);
    return db_ok;
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
    if (rc != SQLITE_DONE) return note(SqliteResult(m_impl->db, rc, m_path));
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
    return note(SqliteResult(m_impl->db, rc, m_path));
}

dbError diaRel::begin(int index)
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    if (index != 0) return db_range;
    resetWalk();
    m_impl->walkStarted = true;
    m_impl->havePosition = false;
    m_impl->backwards = false;
    return db_ok;
}

dbError diaRel::seek(uint32_t id, uint16_t seq, bool backwards)
{
    const dbError ready = this->ready();
    if (ready != db_ok) return ready;
    resetWalk();
    m_impl->walkStarted = true;
    m_impl->havePosition = true;
    m_impl->positionId = id;
    m_impl->positionSeq = seq;
    m_impl->backwards = backwards;
    return db_ok;
}

dbError diaRel::seekAfter(uint32_t id, uint16_t seq)
{
    return seek(id, seq, false);
}

dbError diaRel::seekBefore(uint32_t id, uint16_t seq)
{
    return seek(id, seq, true);
}

dbError diaRel::first()
{
    dbError result = ready();
    if (result != db_ok) return m_status = result;
    resetWalk();
    m_impl->walkStarted = true;
    m_impl->havePosition = false;
    m_impl->backwards = false;
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
            // Continue after the last record read (or the key sought); the statement of the
            // walk was ended by a write, a lock or a flush in between.
            sqlite3_stmt* st = (m_impl->backwards ? m_impl->conn->walkBefore : m_impl->conn->walkFrom).get();
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
        result = SqliteResult(m_impl->db, rc, m_path);
    }
    resetWalk();
    return m_status = note(result);
}

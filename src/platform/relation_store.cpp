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

#pragma once
// The relation store under the archive relations.
//
// A relation is one SQLite database file "<directory>/<name>.db". Its records are kept in key
// order; each record is a fixed record (one block of recordLength() bytes) plus the variable
// fields that the record object lists in its field table. The files are an index over the
// archive's message files and can always be rebuilt from them, so the store trades
// durability on power loss for speed (WAL, synchronous=NORMAL) but never hands out data it
// cannot vouch for: structural damage reported by SQLite, a record whose checksum, lengths or
// key do not agree, or a file of another relation gives 22 ("Corrupt"), so that the caller
// can rebuild; diaRel::LastDamage() then says which check fired where.
//
// Usage, one unit of work:
//
//     diamondBase base;
//     archiveenv env(base, dir, "archiveenv");     // derives from diaRel
//     if (env.status() != db_ok) ...               // not open: missing, damaged, foreign
//     env.setKey({42, 0});
//     dbError rc = env.get(0);                     // 0, 3 not found, 14 locked, 22 corrupt
//     for (env.begin(0), env.first(); env.status() == db_ok; env.next()) ...
//
// Keys. Key 0 of a relation is the 8-byte key buffer that the record object's newKey(0)
// produces, laid out as an idxkey: an unsigned 32-bit number (bytes 0-3), an unsigned 16-bit
// number (bytes 4-5), both in the machine's byte order, and two bytes of padding. The store keeps the two numbers as
// integer columns, so records come back ordered by the first number, then the second, both unsigned. Every relation of
// this system is keyed that way (idxkey); a record object whose keyLength(0) is not 8 is refused with 4 ("Not in
// range").
//
// Reference slots. Each variable field is represented in the fixed record by a 4-byte slot
// (its _db_strStruct::ref). The store writes the field's length in bytes there,
// little-endian, when it stores the record, and checks it when it reads the record back.
//
// Concurrency. Several processes may use one relation at once. Reads never wait for a
// writer (they see the last committed state). A write (put, del) outside lock() is its own
// transaction; inside lock() ... unlock() the writes form one transaction that other
// processes see at unlock(). A write or lock() that finds another process holding the
// relation waits up to the lock timeout (diamondBase::SetLockTimeout) and then gives 14.
// Relation files are replaced only through diaRel::ReplaceWithTemplate and diaRel::Create,
// which never wait for other processes' idle connections.
// Objects of this header are used by one thread at a time and must not be carried across
// fork().
#include <cstdint>
#include <string>

#include "dlarchive/db_error.h"
#include "dlarchive/export.h"

// A byte value: kind 0 holds bytes, kind 1 a text. length() and data() are the value; data()
// is null while the value is empty, with one exception that readers rely on: after a record
// was read (get, first, next), every kind-1 value and every dbString points at a
// zero-terminated text, the empty text (length 0) when nothing was stored. Bytes that the
// value owns are always followed by one zero byte that length() does not count, so a text
// stored without its terminator still reads as a C string.
//
// Operations that allocate return 18 (db_nomem) when memory runs out and then leave the value
// as it was.
class DLARCHIVE_API dbData {
public:
    enum : uint8_t { kBytes = 0, kText = 1 };

    // An empty value of the kind (0 bytes, 1 text).
    explicit dbData(uint8_t kind = kBytes);
    // A kind-0 value holding a copy of the bytes (nothing for a null pointer or length 0).
    // An allocation failure throws db_nomem.
    dbData(const void* bytes, uint32_t length, uint8_t kind = kBytes);
    dbData(const dbData& other);
    dbData& operator=(const dbData& other);
    virtual ~dbData();

    uint8_t kind() const { return m_kind; }
    uint32_t length() const { return m_length; }
    const uint8_t* data() const { return m_data; }
    // data() as characters: a zero-terminated text whenever data() is not null.
    const char* text() const { return reinterpret_cast<const char*>(m_data); }

    // Replaces the content with that of another value (the kind stays).
    dbError cpy(const dbData& other);
    // Replaces the content with the string and its terminating zero byte (length strlen+1);
    // a null pointer empties the value.
    dbError cpy(const char* text);
    // Replaces the content with the bytes (a null pointer or length 0 empties it).
    dbError cpy(const void* bytes, uint32_t length);
    // Appends the bytes of another value.
    dbError cat(const dbData& other);
    // Appends the string and its terminating zero byte (a null pointer appends nothing).
    dbError cat(const char* text);
    // Appends the bytes.
    dbError cat(const void* bytes, uint32_t length);
    // Empties the value (releases its bytes).
    void clr();
    // Makes this value a copy of another, kind included.
    dbError createDbData(const dbData& other);

    // Store use: an empty kind-1 value then points at the empty text (see above).
    void settleText();

private:
    dbError reserve(uint64_t length);

    uint8_t* m_data = nullptr;
    uint32_t m_length = 0;
    uint32_t m_capacity = 0;  // 0: m_data is null or the shared empty text, not owned
    uint8_t m_kind = kBytes;
};

// A text field: a kind-1 dbData.
class DLARCHIVE_API dbString : public dbData {
public:
    dbString() : dbData(kText) {}
    explicit dbString(const char* text);
};

// One entry per variable field of a record object: the field's 4-byte reference slot in
// the fixed record and the field object.
struct _db_strStruct {
    uint8_t* ref = nullptr;
    dbData* data = nullptr;
};

// Base of record objects: the interface through which the store reads and fills a record.
// Record classes implement the pure operations; the others are the store's own and work
// from the field table.
class DLARCHIVE_API DIA_object {
public:
    // The fixed record (recordLength() bytes).
    virtual void* recordData() = 0;
    // The field object at an index of the field table; null outside the table.
    virtual dbData* getData(int field);
    // Replaces the content of a field; 4 ("Not in range") outside the table.
    virtual dbError putData(int field, const dbData& value);
    // Called by the store before it fills the object with a record: empties every field.
    virtual void startData();
    // Called by the store after it filled the object: settles the text fields (see dbData).
    virtual void endData();
    virtual uint32_t recordLength() = 0;
    // A new key buffer of keyLength(index) bytes, allocated with new char[], that the caller
    // releases with delete[]; null when memory runs out. For key 0 it holds the record's key.
    virtual void* newKey(int index) = 0;
    // Three hooks the store leaves alone; record classes answer false, -1 and keep nothing.
    virtual bool isModified() { return false; }
    virtual int activeIndex() { return -1; }
    virtual void setActiveIndex(int index) {}
    // The field object at an index; throws db_range outside the table.
    virtual dbData& operator[](int field);
    virtual uint32_t keyLength(int index) = 0;
    // Copies a key buffer into the fixed record.
    virtual void setKey(int index, const void* key) = 0;
    // Compares the fixed record's key with a key buffer: -1, 0 or 1.
    virtual int compareKey(int index, const void* key) = 0;
    virtual int keyFlag(int index) = 0;
    virtual int fieldCount() = 0;
    virtual _db_strStruct* fieldTable() = 0;
    // Key 0 of this object against key 0 of another.
    virtual bool isLessThan(DIA_object& other);
    virtual bool isEqual(DIA_object& other);
    virtual ~DIA_object();
};

// One unit of work with the store. Relations built on a base must be destroyed before it.
class DLARCHIVE_API diamondBase {
public:
    diamondBase();
    ~diamondBase();
    diamondBase(const diamondBase&) = delete;
    diamondBase& operator=(const diamondBase&) = delete;

    // How long a write or lock() waits for another process that holds a relation before it
    // gives 14, in milliseconds, for the whole process (default 5000). Read when a relation
    // is opened.
    static void SetLockTimeout(int milliseconds);
    static int LockTimeout();

    // The store keeps a few connections of this process that no relation object uses at the
    // moment, so that the next relation opened on the same file starts at once. They are
    // closed after some seconds of the process's own store activity without use, before the
    // process forks, when their file was replaced under its name (checked on every reuse),
    // and are never kept after an error that may mean damage. They never stop another
    // process from replacing a relation. ReleaseIdle closes them all, for instance before
    // bytes are written over a relation file behind the store's back.
    static void ReleaseIdle();
    // How long a kept connection may stay unused, in seconds (default 5). A long-running
    // server raises it: what it keeps per connection (the navigation index) lives only as
    // long as the connection.
    static void SetIdleLimit(int seconds);

    // Relations currently open on this base.
    int relationCount() const { return m_relations; }

private:
    friend class diaRel;
    int m_relations = 0;
};

// An open relation; record classes derive from it and are the record object it reads into
// and writes from.
class DLARCHIVE_API diaRel : public DIA_object {
public:
    // Opens "<directory>/<name>.db". Opening never creates the file. Read the result with
    // status(): 0 open; 11 when the file is missing, is not a regular file (a symbolic link,
    // FIFO or device is never followed or opened, so opening never blocks), or cannot be
    // opened (or the name does not fit 259 characters); 22 when it is not a database of this
    // store (garbage, truncated header, 0 bytes, another program's database); 14 only when a
    // replacement of the file keeps the directory past the lock timeout. A relation that is
    // not open answers 11 to every operation. A relation opened but not yet used that is
    // replaced meanwhile is used in its new content; once used, an object keeps the file it
    // read until it is destroyed.
    diaRel(diamondBase& base, const char* directory, const char* name);
    ~diaRel() override;
    diaRel(const diaRel&) = delete;
    diaRel& operator=(const diaRel&) = delete;

    // The relation's status, read directly by callers: after construction 0 means open;
    // after first() or next() 0 means a record was read, 17 the end of the relation, any
    // other value an error that ends the walk. No other operation changes it.
    dbError status() const { return m_status; }
    bool isOpen() const;
    // "<directory>/<name>.db".
    const std::string& path() const { return m_path; }

    // Reads the record whose key equals the object's key (index 0) into the object: 0; 3 when
    // there is none (the object then holds an empty record with that key); 4 for another
    // index; 14 locked; 18 no memory; 22 corrupt (the object is then emptied).
    dbError get(int index = 0);
    // Stores the object as a new record: 0; 9 when the key is already stored.
    dbError put();
    // Deletes the record last read by get, first or next: 0; 3 when none was read or it is
    // gone already.
    dbError del();
    // Ends the read snapshot of a walk, so that the next read sees what other processes have
    // committed since. Writes outside lock() are committed as they happen, and inside it at
    // unlock(), so nothing else is pending.
    dbError flush();
    // Exclusive use across processes: no other process can write (or lock) until unlock();
    // readers go on seeing the last committed state. The arguments are the store's
    // traditional ones (false, -1: exclusive, whole relation); both are accepted and the
    // lock is always exclusive over the whole relation. Nested lock() calls are counted: the
    // outermost unlock() commits. 14 when another process holds the relation past the lock
    // timeout. unlock() without lock() answers 15 ("Unlocked"). A relation destroyed while
    // locked commits.
    dbError lock(bool shared = false, int mask = -1);
    dbError unlock();
    // Starts a walk in the order of an index (only 0, the key; 4 for any other); first() and
    // next() then read the records in key order into the object and set status(). A walk
    // tolerates put and del on the same object between steps; records other processes
    // commit meanwhile may or may not be seen.
    dbError begin(int index = 0);
    dbError first();
    dbError next();
    // Start a walk at a key instead of the first record: next() then reads the records after
    // `key` in key order (seekAfter), or the records before it in descending key order
    // (seekBefore), so a walk that wants the neighbours of a record reads no others. The key
    // need not be stored.
    dbError seekAfter(uint32_t id, uint16_t seq);
    dbError seekBefore(uint32_t id, uint16_t seq);

    // What a reader that keeps results derived from this relation compares to know they still
    // hold: the connection (a number never reused in the process), the file it reads (device
    // and inode), SQLite's data_version of that connection (changed by every commit of another
    // connection, of any process) and the rows this connection changed itself. Two equal
    // versions of one relation name mean nothing was committed to it between the two reads.
    // 0, or the result of the relation's first use (11, 14, 22).
    struct Version {
        uint64_t connection = 0, device = 0, inode = 0;
        int64_t dataVersion = 0, ownChanges = 0;
        bool operator==(const Version&) const = default;
    };
    dbError version(Version& out);

    // "<directory>/<name>.db".
    static std::string FilePath(const char* directory, const char* name);

    // Why the store last answered 22 in this thread: which check fired on which record (id,
    // seq) or header of which file, e.g. "/a/archiveenv.db: record (5, 0): checksum
    // mismatch". Empty when it never did. The text stays until the next damage is found.
    static const char* LastDamage();

    // Creates an empty relation (a template) "<directory>/<name>.db". Without `replace` an
    // existing file is left alone and the result is 9; with it the file is replaced as by
    // ReplaceWithTemplate. 11 when the file cannot be created.
    static dbError Create(const char* directory, const char* name, bool replace = false);

    // Whether the file is a template for the relation `name`: a regular file (never followed
    // through a link) holding a sound relation of this store of that name (header, schema,
    // meta data, SQLite's quick_check, no write-ahead log with content beside it) that holds
    // no records. Results: 0 it is; 11 missing, not a regular file or unreadable; 22 not a
    // sound relation of that name (LastDamage says why); 9 it holds records; 18 no memory.
    static dbError CheckTemplate(const char* templatePath, const char* name);

    // Replaces the relation "<directory>/<name>.db" by a copy of the template file, checked
    // first as CheckTemplate does (any result but 0 is returned and nothing is replaced).
    // Safe while other processes use the relation, and when its file is damaged, foreign,
    // missing, or a link or FIFO:
    //  - a relation file SQLite can still write is overwritten in one transaction through
    //    SQLite itself, so other processes see either the old or the new content;
    //  - any other file is replaced by a new file: the copy is written whole under a
    //    temporary name beside it and renamed over it, and the old file's journal, WAL and
    //    shared-memory files are removed in the same step. Connections other processes still
    //    have to the old file go on reading it until they are closed (an idle one is closed
    //    at its next reuse); they never touch the new file or its side files.
    // The old content is touched only once the new one is complete: a replacement that fails
    // (a directory that is not writable, a full disk) leaves the relation as it was.
    // Results: as CheckTemplate; 14 when another process holds lock() on the relation past
    // the lock timeout (idle connections never hold a replacement up); 11 when a file cannot
    // be created or written. Do not call it while this process holds lock() on the same
    // relation: it would wait for itself. Nor while this process has the template open as a
    // relation: the template is read with a descriptor of its own.
    //
    // Callers that would copy template files over relation files must use this instead: a
    // plain copy over a relation in use, or next to its -wal/-shm files, corrupts it.
    static dbError ReplaceWithTemplate(const char* templatePath, const char* directory, const char* name);

private:
    struct Impl;
    dbError ready();
    dbError readRow(void* statement, int firstColumn);
    void resetWalk();
    dbError seek(uint32_t id, uint16_t seq, bool backwards);
    dbError afterWrite(int rc);
    dbError note(dbError result);

    diamondBase& m_base;
    Impl* m_impl = nullptr;
    std::string m_path;
    std::string m_name;
    dbError m_status = db_notopened;
};

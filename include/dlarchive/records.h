#pragma once
// The archive relations: archiveenv (one record per envelope) and archivebody (one record
// per body part), both keyed by idxkey.
//
// A record object is an open relation (diaRel) and the record it reads and writes: set the
// key, then get, put or del; or walk with begin/first/next. The fixed record is laid out
// little-endian at fixed offsets (below) and can be read and written through the typed
// accessors; the variable fields are the public dbData/dbString members, whose 4-byte
// reference slots in the fixed record the store fills with the field's length.
//
// archiveenv, 149 bytes:
//   0 id (4), 4 seq (2), 6 padding (2), 8 references of fields 0-30 (31 x 4),
//   132 size of the message file (4), 136 zero (4), 140 zero (4), 144 header size (4),
//   148 flag byte (bit 0: newsgroups header may be bogus).
// archivebody, 112 bytes:
//   0 id (4), 4 seq (2), 6 type (2), 8 encoding (2), 10 padding (2),
//   12 references of fields 0-9 (10 x 4), 52 MIME header offset, 56 MIME header size,
//   60 contents offset, 64 contents size, 68 reference of field 10,
//   72 seq of the encapsulated message's envelope record (2), 74 seq of its body record (2),
//   76/80 offset/size of the whole encapsulated message, 84/88 of its header,
//   92/96 of its text, 100 size in lines, 104 size in bytes, 108 reference of field 11.
#include <cstdint>

#include "dlarchive/export.h"
#include "dlarchive/relation_store.h"

// Key of both archive relations: the message number and the record number within the
// message (0 for the message itself). Ordered by id, then seq, both unsigned. The key buffer
// of the store is this structure (8 bytes: the two numbers and two bytes of padding).
struct idxkey {
    uint32_t id = 0;
    uint16_t seq = 0;
};
static_assert(sizeof(idxkey) == 8, "the key buffer is 8 bytes");

// -1, 0 or 1 as a orders before, equal to or after b.
DLARCHIVE_API int CompareIdxKey(const idxkey& a, const idxkey& b);

// The variable fields of an envelope record, in field order.
class DLARCHIVE_API archiveenvRec {
public:
    archiveenvRec();
    virtual ~archiveenvRec();

    dbData date{dbData::kText};
    dbData fromPersonal, fromAdl, fromMailbox, fromHost;
    dbData senderPersonal, senderAdl, senderMailbox, senderHost;
    dbData replyToPersonal, replyToAdl, replyToMailbox, replyToHost;
    dbString subject;
    dbData toPersonal, toAdl, toMailbox, toHost;
    dbData ccPersonal, ccAdl, ccMailbox, ccHost;
    dbData bccPersonal, bccAdl, bccMailbox, bccHost;
    dbString inReplyTo;
    dbString messageId;
    dbString newsgroups;
    dbString followupTo;
    dbString references;
};

class DLARCHIVE_API archiveenv : public diaRel, public archiveenvRec {
public:
    static constexpr uint32_t kRecordLength = 149;
    static constexpr int kFieldCount = 31;
    static constexpr std::size_t kNameSize = 260;

    // Opens the relation `name` (normally "archiveenv") in the directory; see diaRel for the
    // open status. A name of more than 259 characters is refused (status 11, empty name).
    archiveenv(diamondBase& base, const char* directory, const char* name = "archiveenv");
    ~archiveenv() override;

    // Zeroes the whole fixed record and sets the field table up again. The field objects keep
    // their contents.
    void clear();
    // The relation name as given (at most 259 characters).
    const char* name() const { return m_name; }

    // The fixed record, for reading (kRecordLength bytes).
    const uint8_t* record() const { return m_record; }
    idxkey key() const;
    void setKey(const idxkey& key);
    uint32_t messageSize() const;
    void setMessageSize(uint32_t size);
    uint32_t headerSize() const;
    void setHeaderSize(uint32_t size);
    uint8_t flags() const { return m_record[148]; }
    void setFlags(uint8_t flags) { m_record[148] = flags; }
    // The reference slot of a field (what the store wrote there: the field's length).
    uint32_t reference(int field) const;

    // The record object's interface to the store.
    void* recordData() override { return m_record; }
    uint32_t recordLength() override { return kRecordLength; }
    void* newKey(int index) override;
    bool isModified() override { return false; }
    int activeIndex() override { return -1; }
    void setActiveIndex(int) override {}
    uint32_t keyLength(int index) override { return index == 0 ? 8 : 0; }
    void setKey(int index, const void* key) override;
    int compareKey(int index, const void* key) override;
    int keyFlag(int) override { return 0; }
    int fieldCount() override { return kFieldCount; }
    _db_strStruct* fieldTable() override { return m_fields; }

private:
    uint8_t m_record[kRecordLength] = {};
    char m_name[kNameSize] = {};
    _db_strStruct m_fields[kFieldCount];
};

// The variable fields of a body record, in field order.
class DLARCHIVE_API archivebodyRec {
public:
    archivebodyRec();
    virtual ~archivebodyRec();

    dbData subtype{dbData::kText};
    dbData paramAttributes, paramValues;
    dbData contentId{dbData::kText};
    dbData description{dbData::kText};
    dbData dispositionType{dbData::kText};
    dbData dispositionAttributes, dispositionValues;
    dbData languageStrings, languageSizes;
    // seq numbers of a multipart's parts: unsigned 16-bit each, ended by a 16-bit zero.
    dbData partList;
    dbString md5;
};

class DLARCHIVE_API archivebody : public diaRel, public archivebodyRec {
public:
    static constexpr uint32_t kRecordLength = 112;
    static constexpr int kFieldCount = 12;
    static constexpr std::size_t kNameSize = 260;

    archivebody(diamondBase& base, const char* directory, const char* name = "archivebody");
    ~archivebody() override;

    void clear();
    const char* name() const { return m_name; }

    const uint8_t* record() const { return m_record; }
    idxkey key() const;
    void setKey(const idxkey& key);
    uint16_t type() const;
    void setType(uint16_t type);
    uint16_t encoding() const;
    void setEncoding(uint16_t encoding);
    uint32_t mimeOffset() const;
    void setMimeOffset(uint32_t value);
    uint32_t mimeSize() const;
    void setMimeSize(uint32_t value);
    uint32_t contentsOffset() const;
    void setContentsOffset(uint32_t value);
    uint32_t contentsSize() const;
    void setContentsSize(uint32_t value);
    // Encapsulated message (zero unless the part is one).
    uint16_t msgEnvSeq() const;
    void setMsgEnvSeq(uint16_t seq);
    uint16_t msgBodySeq() const;
    void setMsgBodySeq(uint16_t seq);
    uint32_t msgFullOffset() const;
    void setMsgFullOffset(uint32_t value);
    uint32_t msgFullSize() const;
    void setMsgFullSize(uint32_t value);
    uint32_t msgHeaderOffset() const;
    void setMsgHeaderOffset(uint32_t value);
    uint32_t msgHeaderSize() const;
    void setMsgHeaderSize(uint32_t value);
    uint32_t msgTextOffset() const;
    void setMsgTextOffset(uint32_t value);
    uint32_t msgTextSize() const;
    void setMsgTextSize(uint32_t value);
    uint32_t lines() const;
    void setLines(uint32_t value);
    uint32_t bytes() const;
    void setBytes(uint32_t value);
    uint32_t reference(int field) const;

    void* recordData() override { return m_record; }
    uint32_t recordLength() override { return kRecordLength; }
    void* newKey(int index) override;
    bool isModified() override { return false; }
    int activeIndex() override { return -1; }
    void setActiveIndex(int) override {}
    uint32_t keyLength(int index) override { return index == 0 ? 8 : 0; }
    void setKey(int index, const void* key) override;
    int compareKey(int index, const void* key) override;
    int keyFlag(int) override { return 0; }
    int fieldCount() override { return kFieldCount; }
    _db_strStruct* fieldTable() override { return m_fields; }

    // Offset of a field's reference slot in the fixed record.
    static uint32_t ReferenceOffset(int field);

private:
    uint8_t m_record[kRecordLength] = {};
    char m_name[kNameSize] = {};
    _db_strStruct m_fields[kFieldCount];
};

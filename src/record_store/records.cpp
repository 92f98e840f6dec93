// The record classes of the archive relations.
#include "dlarchive/records.h"

#include <cstring>
#include <new>

namespace {

uint32_t Le32(const uint8_t* record, std::size_t offset)
{
    const uint8_t* p = record + offset;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void SetLe32(uint8_t* record, std::size_t offset, uint32_t value)
{
    uint8_t* p = record + offset;
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

uint16_t Le16(const uint8_t* record, std::size_t offset)
{
    return static_cast<uint16_t>(record[offset] | record[offset + 1] << 8);
}

void SetLe16(uint8_t* record, std::size_t offset, uint16_t value)
{
    record[offset] = static_cast<uint8_t>(value);
    record[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// Both records begin with the key: id at 0, seq at 4.
idxkey RecordKey(const uint8_t* record)
{
    return idxkey{Le32(record, 0), Le16(record, 4)};
}

void SetRecordKey(uint8_t* record, const idxkey& key)
{
    SetLe32(record, 0, key.id);
    SetLe16(record, 4, key.seq);
}

void* NewKeyBuffer(const uint8_t* record, int index)
{
    if (index != 0) return new (std::nothrow) char[1]();
    char* buffer = new (std::nothrow) char[sizeof(idxkey)]();
    if (buffer == nullptr) return nullptr;
    const idxkey key = RecordKey(record);
    std::memcpy(buffer, &key.id, sizeof key.id);
    std::memcpy(buffer + 4, &key.seq, sizeof key.seq);
    return buffer;
}

idxkey KeyFromBuffer(const void* buffer)
{
    idxkey key;
    std::memcpy(&key.id, buffer, sizeof key.id);
    std::memcpy(&key.seq, static_cast<const char*>(buffer) + 4, sizeof key.seq);
    return key;
}

void CopyName(char (&target)[260], const char* name)
{
    target[0] = '\0';
    if (name != nullptr && std::strlen(name) < sizeof target) std::memcpy(target, name, std::strlen(name) + 1);
}

}  // namespace

int CompareIdxKey(const idxkey& a, const idxkey& b)
{
    if (a.id != b.id) return a.id < b.id ? -1 : 1;
    if (a.seq != b.seq) return a.seq < b.seq ? -1 : 1;
    return 0;
}

// ---- archiveenv ---------------------------------------------------------------------------

archiveenvRec::archiveenvRec() = default;
archiveenvRec::~archiveenvRec() = default;

archiveenv::archiveenv(diamondBase& base, const char* directory, const char* name) : diaRel(base, directory, name)
{
    CopyName(m_name, name);
    clear();
}

archiveenv::~archiveenv() = default;

void archiveenv::clear()
{
    std::memset(m_record, 0, sizeof m_record);
    setActiveIndex(-1);
    dbData* fields[kFieldCount] = {
        &date,          &fromPersonal, &fromAdl,         &fromMailbox, &fromHost,       &senderPersonal, &senderAdl,
        &senderMailbox, &senderHost,   &replyToPersonal, &replyToAdl,  &replyToMailbox, &replyToHost,    &subject,
        &toPersonal,    &toAdl,        &toMailbox,       &toHost,      &ccPersonal,     &ccAdl,          &ccMailbox,
        &ccHost,        &bccPersonal,  &bccAdl,          &bccMailbox,  &bccHost,        &inReplyTo,      &messageId,
        &newsgroups,    &followupTo,   &references,
    };
    for (int i = 0; i < kFieldCount; ++i) {
        m_fields[i].ref = m_record + 8 + 4 * i;
        m_fields[i].data = fields[i];
    }
}

idxkey archiveenv::key() const
{
    return RecordKey(m_record);
}
void archiveenv::setKey(const idxkey& key)
{
    SetRecordKey(m_record, key);
}
uint32_t archiveenv::messageSize() const
{
    return Le32(m_record, 132);
}
void archiveenv::setMessageSize(uint32_t size)
{
    SetLe32(m_record, 132, size);
}
uint32_t archiveenv::headerSize() const
{
    return Le32(m_record, 144);
}
void archiveenv::setHeaderSize(uint32_t size)
{
    SetLe32(m_record, 144, size);
}

uint32_t archiveenv::reference(int field) const
{
    return field >= 0 && field < kFieldCount ? Le32(m_record, 8 + 4 * field) : 0;
}

void* archiveenv::newKey(int index)
{
    return NewKeyBuffer(m_record, index);
}

void archiveenv::setKey(int index, const void* key)
{
    if (index == 0 && key != nullptr) SetRecordKey(m_record, KeyFromBuffer(key));
}

int archiveenv::compareKey(int index, const void* key)
{
    if (index != 0 || key == nullptr) return 0;
    return CompareIdxKey(RecordKey(m_record), KeyFromBuffer(key));
}

// ---- archivebody --------------------------------------------------------------------------

archivebodyRec::archivebodyRec() = default;
archivebodyRec::~archivebodyRec() = default;

archivebody::archivebody(diamondBase& base, const char* directory, const char* name) : diaRel(base, directory, name)
{
    CopyName(m_name, name);
    clear();
}

archivebody::~archivebody() = default;

uint32_t archivebody::ReferenceOffset(int field)
{
    if (field >= 0 && field < 10) return 12 + 4 * field;
    if (field == 10) return 68;
    if (field == 11) return 108;
    return 0;
}

void archivebody::clear()
{
    std::memset(m_record, 0, sizeof m_record);
    setActiveIndex(-1);
    dbData* fields[kFieldCount] = {
        &subtype,
        &paramAttributes,
        &paramValues,
        &contentId,
        &description,
        &dispositionType,
        &dispositionAttributes,
        &dispositionValues,
        &languageStrings,
        &languageSizes,
        &partList,
        &md5,
    };
    for (int i = 0; i < kFieldCount; ++i) {
        m_fields[i].ref = m_record + ReferenceOffset(i);
        m_fields[i].data = fields[i];
    }
}

idxkey archivebody::key() const
{
    return RecordKey(m_record);
}
void archivebody::setKey(const idxkey& key)
{
    SetRecordKey(m_record, key);
}
uint16_t archivebody::type() const
{
    return Le16(m_record, 6);
}
void archivebody::setType(uint16_t type)
{
    SetLe16(m_record, 6, type);
}
uint16_t archivebody::encoding() const
{
    return Le16(m_record, 8);
}
void archivebody::setEncoding(uint16_t encoding)
{
    SetLe16(m_record, 8, encoding);
}
uint32_t archivebody::mimeOffset() const
{
    return Le32(m_record, 52);
}
void archivebody::setMimeOffset(uint32_t value)
{
    SetLe32(m_record, 52, value);
}
uint32_t archivebody::mimeSize() const
{
    return Le32(m_record, 56);
}
void archivebody::setMimeSize(uint32_t value)
{
    SetLe32(m_record, 56, value);
}
uint32_t archivebody::contentsOffset() const
{
    return Le32(m_record, 60);
}
void archivebody::setContentsOffset(uint32_t value)
{
    SetLe32(m_record, 60, value);
}
uint32_t archivebody::contentsSize() const
{
    return Le32(m_record, 64);
}
void archivebody::setContentsSize(uint32_t value)
{
    SetLe32(m_record, 64, value);
}
uint16_t archivebody::msgEnvSeq() const
{
    return Le16(m_record, 72);
}
void archivebody::setMsgEnvSeq(uint16_t seq)
{
    SetLe16(m_record, 72, seq);
}
uint16_t archivebody::msgBodySeq() const
{
    return Le16(m_record, 74);
}
void archivebody::setMsgBodySeq(uint16_t seq)
{
    SetLe16(m_record, 74, seq);
}
uint32_t archivebody::msgFullOffset() const
{
    return Le32(m_record, 76);
}
void archivebody::setMsgFullOffset(uint32_t value)
{
    SetLe32(m_record, 76, value);
}
uint32_t archivebody::msgFullSize() const
{
    return Le32(m_record, 80);
}
void archivebody::setMsgFullSize(uint32_t value)
{
    SetLe32(m_record, 80, value);
}
uint32_t archivebody::msgHeaderOffset() const
{
    return Le32(m_record, 84);
}
void archivebody::setMsgHeaderOffset(uint32_t value)
{
    SetLe32(m_record, 84, value);
}
uint32_t archivebody::msgHeaderSize() const
{
    return Le32(m_record, 88);
}
void archivebody::setMsgHeaderSize(uint32_t value)
{
    SetLe32(m_record, 88, value);
}
uint32_t archivebody::msgTextOffset() const
{
    return Le32(m_record, 92);
}
void archivebody::setMsgTextOffset(uint32_t value)
{
    SetLe32(m_record, 92, value);
}
uint32_t archivebody::msgTextSize() const
{
    return Le32(m_record, 96);
}
void archivebody::setMsgTextSize(uint32_t value)
{
    SetLe32(m_record, 96, value);
}
uint32_t archivebody::lines() const
{
    return Le32(m_record, 100);
}
void archivebody::setLines(uint32_t value)
{
    SetLe32(m_record, 100, value);
}
uint32_t archivebody::bytes() const
{
    return Le32(m_record, 104);
}
void archivebody::setBytes(uint32_t value)
{
    SetLe32(m_record, 104, value);
}

uint32_t archivebody::reference(int field) const
{
    return field >= 0 && field < kFieldCount ? Le32(m_record, ReferenceOffset(field)) : 0;
}

void* archivebody::newKey(int index)
{
    return NewKeyBuffer(m_record, index);
}

void archivebody::setKey(int index, const void* key)
{
    if (index == 0 && key != nullptr) SetRecordKey(m_record, KeyFromBuffer(key));
}

int archivebody::compareKey(int index, const void* key)
{
    if (index != 0 || key == nullptr) return 0;
    return CompareIdxKey(RecordKey(m_record), KeyFromBuffer(key));
}

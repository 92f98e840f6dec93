// The byte layout of a stored record, its checksum and the checks of a record read back.
//
// A stored record (table `records`, see relation_store_files.cpp) is
//   id, seq  the key, as integer columns;
//   fixed    the fixed record, exactly recordLength() bytes;
//   fields   for every field of the field table, in order: its length as 4 bytes
//            little-endian, then its bytes;
//   crc      a 64-bit checksum over key, fixed and fields, because SQLite checks the
//            structure of its pages but not the bytes of a record.
#include <cstring>
#include <new>
#include <string>

#include "platform/relation_store_internal.h"

namespace dlarchive::relstore {

namespace {

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

}  // namespace

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

bool EncodeFields(_db_strStruct* table, int count, std::vector<uint8_t>& out)
{
    try {
        for (int i = 0; i < count; ++i) {
            const dbData& field = *table[i].data;
            uint8_t length[4];
            PutLe32(length, field.length());
            PutLe32(table[i].ref, field.length());
            out.insert(out.end(), length, length + 4);
            if (field.length() > 0) out.insert(out.end(), field.data(), field.data() + field.length());
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CheckRecord(const StoredRecord& r, uint32_t recordLength, const _db_strStruct* table, int count,
                 const uint8_t* fixedBase, std::string& reason)
{
    if (r.id < 0 || r.id > UINT32_MAX || r.seq < 0 || r.seq > UINT16_MAX) {
        reason = "key out of range";
        return false;
    }
    if (r.fixed == nullptr || r.fixedLength != recordLength) {
        reason = "fixed record of " + std::to_string(r.fixedLength) + " bytes, " + std::to_string(recordLength) +
                 " expected";
        return false;
    }
    if (r.fields == nullptr && r.fieldsLength != 0) {
        reason = "no field encoding";
        return false;
    }
    if (RecordChecksum(static_cast<uint32_t>(r.id), static_cast<uint16_t>(r.seq), r.fixed, r.fixedLength, r.fields,
                       r.fieldsLength) != r.crc) {
        reason = "checksum mismatch";
        return false;
    }
    // Field lengths: the encoding must be consumed exactly and agree with the slots.
    std::size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        if (r.fieldsLength - pos < 4) {
            reason = "field encoding ends before field " + std::to_string(i);
            return false;
        }
        const uint32_t length = GetLe32(r.fields + pos);
        pos += 4;
        if (length > r.fieldsLength - pos) {
            reason = "field " + std::to_string(i) + " of " + std::to_string(length) + " bytes overruns the record";
            return false;
        }
        const uint32_t slot = GetLe32(r.fixed + (table[i].ref - fixedBase));
        if (slot != length) {
            reason = "field " + std::to_string(i) + " of " + std::to_string(length) +
                     " bytes, its reference slot says " + std::to_string(slot);
            return false;
        }
        pos += length;
    }
    if (pos != r.fieldsLength) {
        reason = std::to_string(r.fieldsLength - pos) + " bytes after the last field";
        return false;
    }
    return true;
}

}  // namespace dlarchive::relstore

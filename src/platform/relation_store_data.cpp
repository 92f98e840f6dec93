// The value classes of the relation store: dbData, dbString, and the record object base
// DIA_object.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dlarchive/relation_store.h"

namespace {

// What every empty kind-1 value points at after a read.
uint8_t g_emptyText[1] = {0};

}  // namespace

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

// Items in relation fields: writing (Parser) and reading (StrParser).
#include "dlarchive/parser.h"

#include <cstdlib>
#include <cstring>

namespace {

void Raise(dbError result)
{
    if (result != db_ok) throw result;
}

bool EqualIgnoringCase(const uint8_t* a, std::size_t length, const char* b)
{
    if (std::strlen(b) != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char x = a[i], y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The next item at the reader's cursor: its bytes (without the zero) and whether one was
// found. No zero byte left: false.
struct Item {
    const uint8_t* bytes = nullptr;
    std::size_t length = 0;  // without the zero byte; 0 for the empty item
};

bool PeekItem(const StrParser& reader, Item& item)
{
    if (reader.IsEnd()) return false;
    const uint8_t* cursor = reader.GetCursor();
    const void* zero = std::memchr(cursor, 0, reader.GetLen());
    if (zero == nullptr) return false;
    item.bytes = cursor;
    item.length = static_cast<const uint8_t*>(zero) - cursor;
    return true;
}

uint32_t ToLength(std::size_t length)
{
    if (length >= UINT32_MAX) throw db_nomem;
    return static_cast<uint32_t>(length);
}

}  // namespace

// ---- Parser -------------------------------------------------------------------------------

Parser::~Parser() = default;

void Parser::AddItem(dbData& value, const char* text)
{
    Raise(value.cat(text != nullptr ? text : ""));
}

void Parser::AddItem(dbData& value, uint32_t number)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                              static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    Raise(value.cat(bytes, 4));
}

void Parser::AddLen(dbData& value)
{
    const uint32_t length = value.length();
    if (length == 0) return;
    const uint32_t count = length == 1 ? 0 : length;
    const uint8_t prefix[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                               static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
    dbData result(value.kind());
    Raise(result.cat(prefix, 4));
    if (length > 1) Raise(result.cat(value));
    Raise(value.cpy(result));
}

int Parser::Parse(const char* list, dbData& output, bool withLength)
{
    if (list == nullptr) {
        output.clr();
        return db_ok;
    }
    try {
        dbData items(dbData::kBytes);
        for (const char* s = list;; s += std::strlen(s) + 1) {
            AddItem(items, s);
            if (*s == '\0') break;
        }
        if (withLength) AddLen(items);
        Raise(output.cpy(items));
    } catch (dbError e) {
        return e;
    }
    return db_ok;
}

int Parser::Add(dbData& field, const char* list)
{
    if (list == nullptr) return db_ok;
    try {
        dbData items(dbData::kBytes);
        const int parsed = Parse(list, items, false);
        if (parsed != db_ok) return parsed;
        StrParser stored(field);
        dbData result(dbData::kBytes);
        // Drop the final empty item: the last zero byte when it follows another zero (or
        // stands alone), that is when the stored list is complete.
        uint32_t keep = stored.GetLen();
        const uint8_t* bytes = stored.GetData();
        if (keep > 0 && bytes[keep - 1] == 0 && (keep == 1 || bytes[keep - 2] == 0)) --keep;
        Raise(result.cat(stored.GetData(), keep));
        Raise(result.cat(items));
        AddLen(result);
        Raise(field.cpy(result));
        return parsed;
    } catch (dbError e) {
        return e;
    }
}

int Parser::Delete(dbData& field, const char* list)
{
    if (list == nullptr || *list == '\0') return db_ok;
    try {
        StrParser reader(field);
        if (reader.IsEnd()) return db_ok;
        dbData accumulator(dbData::kBytes);
        dbData result(dbData::kBytes);
        // Closing: the accumulator becomes the list searched from now on, and the result.
        auto close = [&]() {
            AddLen(accumulator);
            reader.Init(accumulator);
            Raise(result.cpy(accumulator));
            accumulator.clr();
        };
        for (const char* s = list; *s != '\0'; s += std::strlen(s) + 1) {
            Item item;
            while (PeekItem(reader, item)) {
                const uint32_t itemLength = ToLength(item.length + 1);
                if (item.length == 0) {
                    // The end of the stored list: s is not in it.
                    Raise(accumulator.cat(item.bytes, 1));
                    close();
                    break;
                }
                if (EqualIgnoringCase(item.bytes, item.length, s)) {
                    // Drop it; everything after it stays.
                    Raise(accumulator.cat(item.bytes + itemLength, reader.GetLen() - itemLength));
                    close();
                    break;
                }
                Raise(accumulator.cat(item.bytes, itemLength));
                char* skipped = reader.GetStr();
                std::free(skipped);
            }
        }
        if (result.length() > 0) {
            Raise(field.cpy(result));
        } else {
            AddItem(accumulator, "");
            AddLen(accumulator);
            Raise(field.cpy(accumulator));
        }
    } catch (dbError e) {
        return e;
    }
    return db_ok;
}

int Parser::FindStr(const dbData& field, const char* text)
{
    if (text == nullptr) return 0;
    try {
        StrParser reader(field);
        Item item;
        while (PeekItem(reader, item)) {
            if (item.length == 0) return 0;
            if (EqualIgnoringCase(item.bytes, item.length, text)) return 1;
            char* skipped = reader.GetStr();
            std::free(skipped);
        }
    } catch (dbError e) {
        return e;
    }
    return 0;
}

// ---- StrParser ----------------------------------------------------------------------------

StrParser::StrParser() = default;

StrParser::StrParser(const dbData& field)
{
    Init(field);
}

StrParser::StrParser(const char* list)
{
    Init(list);
}

StrParser::~StrParser()
{
    Reset();
}

void StrParser::Reset()
{
    std::free(m_data);
    m_data = nullptr;
    m_cursor = nullptr;
    m_left = 0;
}

void StrParser::Init(const dbData& field)
{
    // The field may be the very bytes we hold no longer after Reset: read them first.
    const uint8_t* bytes = field.data();
    const uint32_t length = field.length();
    uint32_t count = 0;
    if (bytes != nullptr && length >= 4)
        count = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    if (count > length - 4 && count != 0) count = length - 4;
    if (count == 0) {
        Reset();
        return;
    }
    auto* copy = static_cast<uint8_t*>(std::malloc(count));
    if (copy == nullptr) {
        Reset();
        throw db_nomem;
    }
    std::memcpy(copy, bytes + 4, count);
    Reset();
    m_data = copy;
    m_cursor = copy;
    m_left = count;
}

void StrParser::Init(const char* list)
{
    const uint32_t length = StrLen(list);
    if (length == 0) {
        Reset();
        return;
    }
    auto* copy = static_cast<uint8_t*>(std::malloc(length));
    if (copy == nullptr) {
        Reset();
        throw db_nomem;
    }
    std::memcpy(copy, list, length);
    Reset();
    m_data = copy;
    m_cursor = copy;
    m_left = length;
}

uint32_t StrParser::StrLen(const char* list)
{
    if (list == nullptr) return 0;
    const char* p = list;
    while (*p != '\0') p += std::strlen(p) + 1;
    return ToLength(static_cast<std::size_t>(p - list) + 1);
}

char* StrParser::GetStr()
{
    if (m_left == 0) return nullptr;
    const void* zero = std::memchr(m_cursor, 0, m_left);
    if (zero == nullptr) return nullptr;
    const std::size_t length = static_cast<const uint8_t*>(zero) - m_cursor;
    if (length == 0) {
        ++m_cursor;
        --m_left;
        return nullptr;
    }
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) throw db_nomem;
    std::memcpy(copy, m_cursor, length + 1);
    m_cursor += length + 1;
    m_left -= static_cast<uint32_t>(length + 1);
    return copy;
}

uint32_t StrParser::GetNum()
{
    uint8_t bytes[4] = {0, 0, 0, 0};
    const uint32_t take = m_left < 4 ? m_left : 4;
    if (take > 0) std::memcpy(bytes, m_cursor, take);
    m_cursor += take;
    m_left -= take;
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

int StrParser::Parse(const char* text, char** output)
{
    *output = nullptr;
    if (text == nullptr || *text == '\0') return db_ok;
    const std::size_t length = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return db_nomem;
    std::memcpy(copy, text, length + 1);
    *output = copy;
    return db_ok;
}

int StrParser::Parse(const dbString& text, char** output)
{
    if (text.data() == nullptr || text.length() == 0) {
        *output = nullptr;
        return db_ok;
    }
    return Parse(text.text(), output);
}

int StrParser::Parse(const dbData& field, char** output)
{
    *output = nullptr;
    try {
        Init(field);
    } catch (dbError e) {
        return e;
    }
    if (m_left == 0) return db_ok;
    char* copy = static_cast<char*>(std::malloc(std::size_t{m_left} + 1));
    if (copy == nullptr) return db_nomem;
    std::memcpy(copy, m_cursor, m_left);
    copy[m_left] = '\0';
    *output = copy;
    return db_ok;
}

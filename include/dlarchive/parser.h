#pragma once
// Items in relation fields: the encoding of lists and structures into dbData values.
//
// Items (all numbers little-endian):
//   string item   the string's bytes and one zero byte; a null or empty string gives the
//                 empty item, a single zero byte;
//   number item   4 bytes, unsigned 32-bit, no terminator;
//   length-prefixed value
//                 a 4-byte count L, then L bytes of items. An empty value is stored as
//                 nothing (no prefix); a value that is a single empty item as the count 0
//                 alone;
//   string list   zero-terminated strings ended by an empty string ("a\0b\0\0"); in a field
//                 it is a length-prefixed value of the strings and the final empty item.
//
// Parser writes items; StrParser reads them back. Parser is the base of the structure
// encoders, and its string-list operations (Parse, Add, Delete, FindStr) serve any field
// that holds a set of strings.
//
// Memory: an allocation failure raises the dbError db_nomem (18) as an exception. Parser's
// Parse, Add, Delete and FindStr and StrParser::Parse catch it and return 18, leaving their
// output as it was before the failing step. Strings handed out by StrParser are allocated
// with malloc: release them with free() (the c-client release functions do so for strings
// hung into its records).
#include <cstdint>

#include "dlarchive/db_error.h"
#include "dlarchive/export.h"
#include "dlarchive/relation_store.h"

class DLARCHIVE_API Parser {
public:
    Parser() = default;
    virtual ~Parser();

    // Appends a string item (the empty item for a null pointer). Raises db_nomem.
    void AddItem(dbData& value, const char* text);
    // Appends a number item. Raises db_nomem.
    void AddItem(dbData& value, uint32_t number);
    // Gives a value its length prefix: length 0 stays as it is; length 1 (a single empty
    // item) becomes the count 0 alone; length L becomes the 4 bytes of L and the old bytes.
    // Raises db_nomem.
    void AddLen(dbData& value);

    // Converts a string list into items: every string, the final empty one included, then
    // the length prefix when `withLength`; the output receives a copy. A null list empties
    // the output. Returns 0 or 18.
    int Parse(const char* list, dbData& output, bool withLength);

    // Appends the strings of a list to the string list held in a field (length-prefixed).
    // Returns 0 or 18.
    // Decided here: a null list leaves the field unchanged (appending nothing must not cut
    // the stored list's final empty item); an empty field, or one holding only the empty
    // item (count 0), receives the new list as it is; a stored list that lacks its final
    // empty item keeps all its bytes before the new strings.
    int Add(dbData& field, const char* list);

    // Removes the strings of a list from the string list held in a field: for each string,
    // its first item equal to it without regard to case is removed. Returns 0 or 18.
    // Decided here: a null list, or a list whose first string is empty (no strings), leaves
    // the field unchanged; an empty field stays empty.
    int Delete(dbData& field, const char* list);

    // 1 when the field holds an item equal to the string without regard to (ASCII) case,
    // else 0; a null string or an empty field answers 0; the scan stops at the first empty
    // item. 18 when memory runs out.
    int FindStr(const dbData& field, const char* text);
};

class DLARCHIVE_API StrParser {
public:
    StrParser();
    // As Init from the field / from the string list. Raise db_nomem.
    explicit StrParser(const dbData& field);
    explicit StrParser(const char* list);
    virtual ~StrParser();
    StrParser(const StrParser&) = delete;
    StrParser& operator=(const StrParser&) = delete;

    // Discards what was held and loads a length-prefixed field: a field without bytes or with
    // the count 0 gives an empty parser; otherwise the L bytes after the count are copied
    // (as many as the field holds, should it be shorter). Raises db_nomem.
    void Init(const dbData& field);
    // Discards what was held and copies a string list up to and including its final empty
    // string (StrLen bytes). Raises db_nomem.
    void Init(const char* list);
    // Bytes of a string list up to and including its final empty string: the first two
    // consecutive zero bytes for a list with strings ("a\0\0" is 3), 1 for the list that is
    // only the empty string, 0 for a null pointer.
    static uint32_t StrLen(const char* list);

    // The next string item as a new zero-terminated copy (release with free()), moving past
    // it. The empty item: moves past its zero byte and returns null. No zero byte left among
    // the unread bytes: returns null and does not move. Raises db_nomem.
    char* GetStr();
    // The next 4 bytes as an unsigned 32-bit number, moving past them. Callers call it where
    // their layout puts a number; should fewer bytes be left, the missing ones read as zero.
    uint32_t GetNum();
    bool IsEnd() const { return m_left == 0; }
    // The private copy, and the count of bytes not yet read.
    const uint8_t* GetData() const { return m_data; }
    uint32_t GetLen() const { return m_left; }
    // The first unread byte.
    const uint8_t* GetCursor() const { return m_cursor; }

    // A new copy of the string (release with free()), or null for a null or empty string.
    // 0, or 18 with a null output when the copy cannot be made.
    int Parse(const char* text, char** output);
    // The same for the text of a string field.
    int Parse(const dbString& text, char** output);
    // Loads the field as Init does and stores a new copy of its item bytes without the count
    // (followed by one zero byte that is not part of them; release with free()), or null for
    // an empty field. 0, or 18 with a null output.
    int Parse(const dbData& field, char** output);

private:
    void Reset();

    uint8_t* m_data = nullptr;
    const uint8_t* m_cursor = nullptr;
    uint32_t m_left = 0;
};

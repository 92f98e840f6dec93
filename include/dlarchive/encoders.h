#pragma once
// Encoders of the c-client structures into relation fields, built on the items of Parser
// (dlarchive/parser.h).
//
// Lists (AddrParser, ParamParser, StrListParser) are stored one record member per field:
// every field of a list of N records is a length-prefixed value of N items, the k-th item
// for the k-th record, with no final empty item. String members are string items (a null or
// empty member gives the empty item, which reads back as a null member); the sizes of a
// string_list are number items. An empty (null) list gives empty fields, and a field whose
// only content is one empty item is the count 0 alone, so a single record whose members are
// all null is stored as four (two) fields of count 0 and reads back as a null list.
// An address's error and orcpt members are not stored.
//
// Parts and encapsulated messages (PartParser, MsgParser) refer to other records of the same
// message by their seq numbers; the body record functions (dlarchive/record_functions.h)
// write and read those references themselves, these two readers are offered to other
// programs.
//
// Writing operations raise a dbError (18) as an exception when memory runs out (their output
// fields may then be partly written). Reading operations return 0 or a dbError and set their
// output in every case: on a failure they release what they built and hand out null.
// Records and strings handed out are allocated on c-client's heap (which is malloc's) so
// that mail_free_address, mail_free_body and mail_free_envelope release them; the caller
// owns them.
//
// Malformed stored bytes never make a reader run past its field or loop: a string item
// without its terminating zero ends the list there, a number item cut short reads as its
// bytes present (missing ones zero).
#include <cstdint>

#include "dlarchive/cclient_fwd.h"
#include "dlarchive/db_error.h"
#include "dlarchive/export.h"
#include "dlarchive/parser.h"
#include "dlarchive/relation_store.h"

class archivebody;
class archiveenv;

// mail_address lists in four fields: personal, adl, mailbox, host.
class DLARCHIVE_API AddrParser : public Parser {
public:
    AddrParser();
    ~AddrParser() override;
    AddrParser(const AddrParser&) = delete;
    AddrParser& operator=(const AddrParser&) = delete;

    // Stores the list (null: four empty fields).
    void Parse(const mail_address* list, dbData& personal, dbData& adl, dbData& mailbox, dbData& host);
    // As Parse, but a personal name that is present and not empty is stored in UTF-8 when it
    // holds encoded words whose charset can be converted; otherwise as written (never the
    // decoded but unconverted bytes). Used for the From list.
    void ParseFrom(const mail_address* list, dbData& personal, dbData& adl, dbData& mailbox, dbData& host);
    // Builds a new list from the four fields into *output (null when all four are empty).
    // Reading stops when the personal field is exhausted; members missing in the other
    // fields read back as null. Returns 0 or 18.
    int Parse(const dbData& personal, const dbData& adl, const dbData& mailbox, const dbData& host,
              mail_address** output);

private:
    void Encode(const mail_address* list, bool utf8Names, dbData& personal, dbData& adl, dbData& mailbox, dbData& host);

    dbData m_personal, m_adl, m_mailbox, m_host;
    StrParser m_personalReader, m_adlReader, m_mailboxReader, m_hostReader;
};

// mail_body_parameter lists in two fields: attributes, values.
class DLARCHIVE_API ParamParser : public Parser {
public:
    ParamParser();
    ~ParamParser() override;
    ParamParser(const ParamParser&) = delete;
    ParamParser& operator=(const ParamParser&) = delete;

    void Parse(const mail_body_parameter* list, dbData& attributes, dbData& values);
    // Reading stops when the attributes field is exhausted. Returns 0 or 18.
    int Parse(const dbData& attributes, const dbData& values, mail_body_parameter** output);

private:
    dbData m_attributes, m_values;
    StrParser m_attributeReader, m_valueReader;
};

// string_list lists in two fields: the texts (string items) and their sizes (number items).
class DLARCHIVE_API StrListParser : public Parser {
public:
    StrListParser();
    ~StrListParser() override;
    StrListParser(const StrListParser&) = delete;
    StrListParser& operator=(const StrListParser&) = delete;

    void Parse(const string_list* list, dbData& strings, dbData& sizes);
    // Appends a size as a number item.
    void AddSize(dbData& sizes, uint32_t size);
    // Reading stops when the strings field is exhausted. Returns 0 or 18.
    int Parse(const dbData& strings, const dbData& sizes, string_list** output);

private:
    dbData m_strings, m_sizes;
    StrParser m_stringReader, m_sizeReader;
};

// A part list of its own encoding: a length-prefixed value of number items, one seq per part
// (distinct from the partList field of a body record, which holds 16-bit numbers).
class DLARCHIVE_API PartParser : public Parser {
public:
    PartParser();
    ~PartParser() override;
    PartParser(const PartParser&) = delete;
    PartParser& operator=(const PartParser&) = delete;

    // Writing: Init empties the accumulator, AddBody appends a part's seq, AddBodyLen gives
    // the accumulator its length prefix; GetPartList is the value built.
    void Init();
    void AddBody(uint32_t seq);
    void AddBodyLen();
    const dbData& GetPartList() const { return m_parts; }

    // Reading: Init loads a part list field, IsEmpty tells whether it holds nothing.
    void Init(const dbData& field);
    bool IsEmpty() const { return m_reader.IsEnd(); }

    // Builds a mail_body_part list from a part list field: one part per number item, in
    // order, each the body record (id, the item's low byte widened with its sign to 16 bits)
    // read as GetArchiveBody reads it. An empty field gives a null list and 0. A read that
    // does not give 0 ends the call with its result (the list built is released). The two
    // trailing numbers are not used.
    int Parse(archivebody* bodies, archiveenv* envelopes, uint32_t id, const dbData& field, mail_body_part** output,
              uint32_t unused1 = 0, uint32_t unused2 = 0);

private:
    dbData m_parts;
    StrParser m_reader;
};

// An encapsulated message from its references.
class DLARCHIVE_API MsgParser {
public:
    // Builds a mail_body_message: with every argument 0 the output is null and the result 0;
    // otherwise a new message whose env is the envelope record (id, envelopeSeq) and whose
    // body the body record (id, bodySeq), each read only when its seq is not 0, and whose
    // full, header and text offsets and sizes are the six numbers. The 8-bit seq values are
    // widened with their sign. A read that does not give 0 ends the call with its result
    // (the message built is released). The two trailing numbers are not used.
    int Parse(archivebody* bodies, archiveenv* envelopes, uint32_t id, int8_t envelopeSeq, int8_t bodySeq,
              uint32_t fullOffset, uint32_t fullSize, uint32_t headerOffset, uint32_t headerSize, uint32_t textOffset,
              uint32_t textSize, mail_body_message** output, uint32_t unused1 = 0, uint32_t unused2 = 0);
};

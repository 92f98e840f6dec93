// Encoders of the c-client address, parameter, string and part lists into relation fields.
#include "platform/cclient_records.h"

#include "dlarchive/encoders.h"

#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "platform/cclient.h"
#include "record_store/convert_utf8.h"
#include "record_store/record_internal.h"

// Strings read by StrParser::GetStr come from malloc and are hung into the c-client records
// as they are: c-client's fs_get and fs_give are malloc and free, so its release functions
// free them. That saves copying every string twice.

namespace cc = dlarchive::cclient;

namespace {

void Raise(dbError result)
{
    if (result != db_ok) throw result;
}

// Reads the next string item for a list member. A reader that is already exhausted leaves
// the member null.
char* NextString(StrParser& reader)
{
    return reader.IsEnd() ? nullptr : reader.GetStr();
}

// True when the reader moved past at least one byte since `before` unread bytes, or is at
// its end: a string item without its terminating zero does not move it, and the list ends
// there.
bool Moved(const StrParser& reader, uint32_t before)
{
    return reader.IsEnd() || reader.GetLen() < before;
}

// A personal name as the From list keeps it (dlarchive::HeaderTextToUtf8), in `converted`.
const char* PersonalInUtf8(const char* name, std::string& converted)
{
    converted = dlarchive::HeaderTextToUtf8(name);
    return converted.c_str();
}

}  // namespace

// ---- AddrParser ---------------------------------------------------------------------------

AddrParser::AddrParser() = default;
AddrParser::~AddrParser() = default;

void AddrParser::Encode(const mail_address* list, bool utf8Names, dbData& personal, dbData& adl, dbData& mailbox,
                        dbData& host)
{
    m_personal.clr();
    m_adl.clr();
    m_mailbox.clr();
    m_host.clr();
    std::string converted;
    for (const mail_address* a = list; a != nullptr; a = a->next) {
        const char* name = a->personal;
        if (utf8Names && name != nullptr && *name != '\0') name = PersonalInUtf8(name, converted);
        AddItem(m_personal, name);
        AddItem(m_adl, a->adl);
        AddItem(m_mailbox, a->mailbox);
        AddItem(m_host, a->host);
    }
    AddLen(m_personal);
    AddLen(m_adl);
    AddLen(m_mailbox);
    AddLen(m_host);
    Raise(personal.cpy(m_personal));
    Raise(adl.cpy(m_adl));
    Raise(mailbox.cpy(m_mailbox));
    Raise(host.cpy(m_host));
}

void AddrParser::Parse(const mail_address* list, dbData& personal, dbData& adl, dbData& mailbox, dbData& host)
{
    Encode(list, false, personal, adl, mailbox, host);
}

void AddrParser::ParseFrom(const mail_address* list, dbData& personal, dbData& adl, dbData& mailbox, dbData& host)
{
    Encode(list, true, personal, adl, mailbox, host);
}

int AddrParser::Parse(const dbData& personal, const dbData& adl, const dbData& mailbox, const dbData& host,
                      mail_address** output)
{
    *output = nullptr;
    mail_address* head = nullptr;
    try {
        m_personalReader.Init(personal);
        m_adlReader.Init(adl);
        m_mailboxReader.Init(mailbox);
        m_hostReader.Init(host);
        if (m_personalReader.IsEnd() && m_adlReader.IsEnd() && m_mailboxReader.IsEnd() && m_hostReader.IsEnd())
            return db_ok;
        mail_address** tail = &head;
        for (;;) {
            mail_address* a = cc::NewAddress();
            *tail = a;
            tail = &a->next;
            const uint32_t before = m_personalReader.GetLen();
            a->personal = NextString(m_personalReader);
            a->adl = NextString(m_adlReader);
            a->mailbox = NextString(m_mailboxReader);
            a->host = NextString(m_hostReader);
            if (m_personalReader.IsEnd() || !Moved(m_personalReader, before)) break;
        }
    } catch (dbError e) {
        cc::FreeAddress(&head);
        return e;
    }
    *output = head;
    return db_ok;
}

// ---- ParamParser --------------------------------------------------------------------------

ParamParser::ParamParser() = default;
ParamParser::~ParamParser() = default;

void ParamParser::Parse(const mail_body_parameter* list, dbData& attributes, dbData& values)
{
    m_attributes.clr();
    m_values.clr();
    for (const mail_body_parameter* p = list; p != nullptr; p = p->next) {
        AddItem(m_attributes, p->attribute);
        AddItem(m_values, p->value);
    }
    AddLen(m_attributes);
    AddLen(m_values);
    Raise(attributes.cpy(m_attributes));
    Raise(values.cpy(m_values));
}

int ParamParser::Parse(const dbData& attributes, const dbData& values, mail_body_parameter** output)
{
    *output = nullptr;
    mail_body_parameter* head = nullptr;
    try {
        m_attributeReader.Init(attributes);
        m_valueReader.Init(values);
        if (m_attributeReader.IsEnd() && m_valueReader.IsEnd()) return db_ok;
        mail_body_parameter** tail = &head;
        for (;;) {
            mail_body_parameter* p = cc::NewParameter();
            *tail = p;
            tail = &p->next;
            const uint32_t before = m_attributeReader.GetLen();
            p->attribute = NextString(m_attributeReader);
            p->value = NextString(m_valueReader);
            if (m_attributeReader.IsEnd() || !Moved(m_attributeReader, before)) break;
        }
    } catch (dbError e) {
        cc::FreeParameter(&head);
        return e;
    }
    *output = head;
    return db_ok;
}

// ---- StrListParser ------------------------------------------------------------------------

StrListParser::StrListParser() = default;
StrListParser::~StrListParser() = default;

void StrListParser::AddSize(dbData& sizes, uint32_t size)
{
    AddItem(sizes, size);
}

void StrListParser::Parse(const string_list* list, dbData& strings, dbData& sizes)
{
    m_strings.clr();
    m_sizes.clr();
    for (const string_list* s = list; s != nullptr; s = s->next) {
        AddItem(m_strings, reinterpret_cast<const char*>(s->text.data));
        AddSize(m_sizes, static_cast<uint32_t>(s->text.size));
    }
    AddLen(m_strings);
    AddLen(m_sizes);
    Raise(strings.cpy(m_strings));
    Raise(sizes.cpy(m_sizes));
}

int StrListParser::Parse(const dbData& strings, const dbData& sizes, string_list** output)
{
    *output = nullptr;
    string_list* head = nullptr;
    try {
        m_stringReader.Init(strings);
        m_sizeReader.Init(sizes);
        if (m_stringReader.IsEnd() && m_sizeReader.IsEnd()) return db_ok;
        string_list** tail = &head;
        for (;;) {
            string_list* s = cc::NewStringList();
            *tail = s;
            tail = &s->next;
            const uint32_t before = m_stringReader.GetLen();
            char* text = NextString(m_stringReader);
            uint32_t size = m_sizeReader.IsEnd() ? 0 : m_sizeReader.GetNum();
            // The stored text ends at its first zero byte: a size beyond it would let a
            // reader of the entry run past the string.
            const std::size_t length = text != nullptr ? std::strlen(text) : 0;
            if (size > length) size = static_cast<uint32_t>(length);
            s->text.data = reinterpret_cast<unsigned char*>(text);
            s->text.size = size;
            if (m_stringReader.IsEnd() || !Moved(m_stringReader, before)) break;
        }
    } catch (dbError e) {
        cc::FreeStringList(&head);
        return e;
    }
    *output = head;
    return db_ok;
}

// ---- PartParser ---------------------------------------------------------------------------

PartParser::PartParser() = default;
PartParser::~PartParser() = default;

void PartParser::Init()
{
    m_parts.clr();
}

void PartParser::AddBody(uint32_t seq)
{
    AddItem(m_parts, seq);
}

void PartParser::AddBodyLen()
{
    AddLen(m_parts);
}

void PartParser::Init(const dbData& field)
{
    m_reader.Init(field);
}

int PartParser::Parse(archivebody* bodies, archiveenv* envelopes, uint32_t id, const dbData& field,
                      mail_body_part** output, uint32_t, uint32_t)
{
    *output = nullptr;
    mail_body_part* head = nullptr;
    int result = db_ok;
    try {
        Init(field);
        mail_body_part** tail = &head;
        uint32_t messageSize = 0, headerSize = 0;  // not handed on
        while (!IsEmpty()) {
            const uint32_t number = m_reader.GetNum();
            mail_body_part* part = cc::NewBodyPart();
            *tail = part;
            tail = &part->next;
            const auto seq =
                static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(static_cast<uint8_t>(number & 0xFF))));
            result = dlarchive::records::ReadBodyInto(bodies, envelopes, id, seq, &part->body, messageSize, headerSize);
            if (result != db_ok) break;
        }
    } catch (dbError e) {
        result = e;
    }
    if (result != db_ok) {
        if (head != nullptr) mail_free_body_part(&head);
        return result;
    }
    *output = head;
    return db_ok;
}

// ---- MsgParser ----------------------------------------------------------------------------

int MsgParser::Parse(archivebody* bodies, archiveenv* envelopes, uint32_t id, int8_t envelopeSeq, int8_t bodySeq,
                     uint32_t fullOffset, uint32_t fullSize, uint32_t headerOffset, uint32_t headerSize,
                     uint32_t textOffset, uint32_t textSize, mail_body_message** output, uint32_t, uint32_t)
{
    *output = nullptr;
    if (envelopeSeq == 0 && bodySeq == 0 && fullOffset == 0 && fullSize == 0 && headerOffset == 0 && headerSize == 0 &&
        textOffset == 0 && textSize == 0)
        return db_ok;
    mail_body_message* message = cc::NewMessage();
    uint32_t storedMessageSize = 0, storedHeaderSize = 0;  // not handed on
    int result = db_ok;
    try {
        if (envelopeSeq != 0) {
            idxkey key{id, static_cast<uint16_t>(static_cast<int16_t>(envelopeSeq))};
            result = GetArchiveEnv(envelopes, &key, &message->env, storedMessageSize, storedHeaderSize);
        }
        if (result == db_ok && bodySeq != 0) {
            message->body = cc::NewBody();
            result = dlarchive::records::ReadBodyInto(bodies, envelopes, id,
                                                      static_cast<uint16_t>(static_cast<int16_t>(bodySeq)),
                                                      message->body, storedMessageSize, storedHeaderSize);
        }
    } catch (dbError e) {
        result = e;
    }
    if (result != db_ok) {
        dlarchive::records::FreeMessage(&message);
        return result;
    }
    message->full.offset = fullOffset;
    message->full.text.size = fullSize;
    message->header.offset = headerOffset;
    message->header.text.size = headerSize;
    message->text.offset = textOffset;
    message->text.text.size = textSize;
    *output = message;
    return db_ok;
}

// Body records: one archivebody record per body part, numbered depth first.
#include "platform/cclient_records.h"

#include "dlarchive/encoders.h"
#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "record_store/record_internal.h"

namespace cc = dlarchive::cclient;
using dlarchive::records::FieldText;

namespace {

// The partList field holds 1024 numbers at most, the closing zero included.
constexpr std::size_t kMaxParts = 1023;
// A valid tree has one record per seq number.
constexpr uint32_t kMaxRecords = 65536;

void Raise(dbError result)
{
    if (result != db_ok) throw result;
}

// The part numbers of a partList field: 16-bit numbers up to the closing zero (or the end
// of the field, should the zero be missing).
void ReadPartList(const dbData& field, std::vector<uint16_t>& parts)
{
    parts.clear();
    const uint8_t* bytes = field.data();
    if (bytes == nullptr) return;
    for (uint32_t i = 0; i + 1 < field.length(); i += 2) {
        const auto seq = static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
        if (seq == 0) break;
        parts.push_back(seq);
    }
}

// ---- Removing -----------------------------------------------------------------------------

int RemoveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key, int depth)
{
    if (depth > kMaxBodyDepth) return db_corrupt;
    archivebody& r = *bodies;
    r.setKey(*key);
    const dbError found = r.get(0);
    if (found != db_ok && found != db_notfound && found != db_nomem) return found;

    std::vector<uint16_t> parts;
    uint16_t envelopeSeq = 0, bodySeq = 0;
    if (r.type() == TYPEMULTIPART) {
        ReadPartList(r.partList, parts);
    } else if (r.type() == TYPEMESSAGE) {
        envelopeSeq = r.msgEnvSeq();
        bodySeq = r.msgBodySeq();
    }
    if (const dbError deleted = r.del(); deleted != db_ok) return deleted;

    for (uint16_t seq : parts) {
        key->seq = seq;
        if (int result = RemoveBody(bodies, envelopes, key, depth + 1); result != db_ok) return result;
    }
    if (envelopeSeq != 0) {
        idxkey envelopeKey{key->id, envelopeSeq};
        if (int result = RemoveArchiveEnv(envelopes, &envelopeKey); result != db_ok) return result;
    }
    if (bodySeq != 0) {
        key->seq = bodySeq;
        if (int result = RemoveBody(bodies, envelopes, key, depth + 1); result != db_ok) return result;
    }
    return db_ok;
}

// ---- Adding -------------------------------------------------------------------------------

struct Writer {
    archivebody* bodies;
    archiveenv* envelopes;
    idxkey* bodyKey;
    idxkey* envelopeKey;
    uint32_t messageSize;
    uint32_t headerSize;
    ParamParser parameters;
    StrListParser languages;
    std::vector<uint8_t> partBytes;
    bool ownPutFailed = false;  // the top body's own put failed (not a nested one)
};

// What one body stored below itself, deleted again when the body cannot be stored. Results
// of the deletions are not reported: the failure that caused them is.
struct Nested {
    Writer& w;
    std::vector<uint16_t> parts;
    uint16_t envelopeSeq = 0;
    uint16_t bodySeq = 0;
    int depth;

    void RemoveBodyRecord(uint16_t seq) const
    {
        idxkey key{w.bodyKey->id, seq};
        RemoveBody(w.bodies, w.envelopes, &key, depth + 1);
    }

    // The parts stored so far, the last first (a part failed).
    void RemovePartsBackwards() const
    {
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) RemoveBodyRecord(*it);
    }

    // Everything, in list order (the record itself could not be stored).
    void RemoveAll() const
    {
        for (uint16_t seq : parts) RemoveBodyRecord(seq);
        if (envelopeSeq != 0) {
            idxkey key{w.envelopeKey->id, envelopeSeq};
            RemoveArchiveEnv(w.envelopes, &key);
        }
        if (bodySeq != 0) RemoveBodyRecord(bodySeq);
    }
};

// The next number on a key, or false when it would run past 65535.
bool NextSeq(idxkey* key)
{
    if (key->seq == UINT16_MAX) return false;
    ++key->seq;
    return true;
}

int StoreBody(Writer& w, const mail_bodystruct* body, int depth);

// Stores the nested records of a body; on failure deletes what it stored and returns the
// result.
int StoreNested(Writer& w, const mail_bodystruct* body, Nested& nested)
{
    if (body->type == TYPEMULTIPART) {
        std::size_t count = 0;
        for (const mail_body_part* p = body->nested.part; p != nullptr; p = p->next) {
            if (++count > kMaxParts) return db_range;
        }
        nested.parts.reserve(count);
        for (const mail_body_part* p = body->nested.part; p != nullptr; p = p->next) {
            int result = db_range;
            if (NextSeq(w.bodyKey)) {
                const uint16_t seq = w.bodyKey->seq;
                result = StoreBody(w, &p->body, nested.depth + 1);
                if (result == db_ok) nested.parts.push_back(seq);
            }
            if (result != db_ok) {
                nested.RemovePartsBackwards();
                return result;
            }
        }
    } else if (body->type == TYPEMESSAGE && body->nested.msg != nullptr) {
        const mail_body_message* message = body->nested.msg;
        if (message->env != nullptr) {
            if (!NextSeq(w.envelopeKey)) return db_range;
            const int result = AddArchiveEnv(w.envelopes, w.envelopeKey, message->env, w.messageSize, w.headerSize);
            if (result != db_ok) return result;
            nested.envelopeSeq = w.envelopeKey->seq;
        }
        if (message->body != nullptr) {
            int result = db_range;
            if (NextSeq(w.bodyKey)) {
                const uint16_t seq = w.bodyKey->seq;
                result = StoreBody(w, message->body, nested.depth + 1);
                if (result == db_ok) nested.bodySeq = seq;
            }
            if (result != db_ok) {
                nested.RemoveAll();
                return result;
            }
        }
    }
    return db_ok;
}

void FillRecord(Writer& w, const mail_bodystruct* body, uint16_t seq, const Nested& nested)
{
    archivebody& r = *w.bodies;
    r.clear();
    r.setKey(idxkey{w.bodyKey->id, seq});
    r.setType(body->type);
    r.setEncoding(body->encoding);
    r.setMimeOffset(static_cast<uint32_t>(body->mime.offset));
    r.setMimeSize(static_cast<uint32_t>(body->mime.text.size));
    r.setContentsOffset(static_cast<uint32_t>(body->contents.offset));
    r.setContentsSize(static_cast<uint32_t>(body->contents.text.size));
    r.setLines(static_cast<uint32_t>(body->size.lines));
    r.setBytes(static_cast<uint32_t>(body->size.bytes));

    Raise(r.subtype.cpy(body->subtype));
    w.parameters.Parse(body->parameter, r.paramAttributes, r.paramValues);
    Raise(r.contentId.cpy(body->id));
    Raise(r.description.cpy(body->description));
    Raise(r.dispositionType.cpy(body->disposition.type));
    w.parameters.Parse(body->disposition.parameter, r.dispositionAttributes, r.dispositionValues);
    w.languages.Parse(body->language, r.languageStrings, r.languageSizes);

    w.partBytes.clear();
    for (uint16_t part : nested.parts) {
        w.partBytes.push_back(static_cast<uint8_t>(part));
        w.partBytes.push_back(static_cast<uint8_t>(part >> 8));
    }
    w.partBytes.push_back(0);
    w.partBytes.push_back(0);
    Raise(r.partList.cpy(w.partBytes.data(), static_cast<uint32_t>(w.partBytes.size())));

    if (body->type == TYPEMESSAGE && body->nested.msg != nullptr) {
        const mail_body_message* message = body->nested.msg;
        r.setMsgEnvSeq(nested.envelopeSeq);
        r.setMsgBodySeq(nested.bodySeq);
        r.setMsgFullOffset(static_cast<uint32_t>(message->full.offset));
        r.setMsgFullSize(static_cast<uint32_t>(message->full.text.size));
        r.setMsgHeaderOffset(static_cast<uint32_t>(message->header.offset));
        r.setMsgHeaderSize(static_cast<uint32_t>(message->header.text.size));
        r.setMsgTextOffset(static_cast<uint32_t>(message->text.offset));
        r.setMsgTextSize(static_cast<uint32_t>(message->text.text.size));
    }
    Raise(r.md5.cpy(body->md5));
}

int StoreBody(Writer& w, const mail_bodystruct* body, int depth)
{
    if (depth > kMaxBodyDepth) return db_range;
    const uint16_t seq = w.bodyKey->seq;
    Nested nested{w, {}, 0, 0, depth};
    try {
        if (int result = StoreNested(w, body, nested); result != db_ok) return result;
        FillRecord(w, body, seq, nested);
        const dbError result = w.bodies->put();
        if (result != db_ok) {
            nested.RemoveAll();
            if (depth == 0) w.ownPutFailed = true;
        }
        return result;
    } catch (...) {
        // An encoder ran out of memory: nothing below this body may stay behind.
        try {
            nested.RemoveAll();
        } catch (...) {
        }
        throw;
    }
}

// ---- Reading ------------------------------------------------------------------------------

struct Reader {
    archivebody* bodies;
    archiveenv* envelopes;
    uint32_t id;
    uint32_t& messageSize;
    uint32_t& headerSize;
    uint32_t records = 0;
    ParamParser parameters;
    StrListParser languages;
};

int ReadNested(Reader& rd, uint16_t seq, mail_bodystruct* body, int depth);

// Fills a body from the record the body relation object holds (seq `seq`), then reads the
// records below it.
int FillBody(Reader& rd, uint16_t seq, mail_bodystruct* body, int depth)
{
    archivebody& r = *rd.bodies;
    body->type = r.type();
    body->encoding = r.encoding();
    body->subtype = cc::CopyString(FieldText(r.subtype));
    // c-client's mail_free_body reads the message record of every MESSAGE/RFC822 body (an
    // empty part of a digest has neither envelope nor body): it exists from here on, so that
    // the body can be released whatever fails below.
    if (body->type == TYPEMESSAGE && std::strcmp(body->subtype, "RFC822") == 0) body->nested.msg = cc::NewMessage();
    body->id = cc::CopyString(FieldText(r.contentId));
    body->description = cc::CopyString(FieldText(r.description));
    body->disposition.type = cc::CopyString(FieldText(r.dispositionType));
    body->md5 = cc::CopyString(FieldText(r.md5));
    body->mime.offset = r.mimeOffset();
    body->mime.text.size = r.mimeSize();
    body->contents.offset = r.contentsOffset();
    body->contents.text.size = r.contentsSize();
    body->size.lines = r.lines();
    body->size.bytes = r.bytes();
    int result = rd.parameters.Parse(r.paramAttributes, r.paramValues, &body->parameter);
    if (result == db_ok)
        result = rd.parameters.Parse(r.dispositionAttributes, r.dispositionValues, &body->disposition.parameter);
    if (result == db_ok) result = rd.languages.Parse(r.languageStrings, r.languageSizes, &body->language);
    if (result != db_ok) return result;

    if (body->type == TYPEMULTIPART) {
        // Reading a part reuses the record object: take the list first.
        std::vector<uint16_t> parts;
        ReadPartList(r.partList, parts);
        mail_body_part** tail = &body->nested.part;
        for (uint16_t part : parts) {
            if (part <= seq) return db_corrupt;
            mail_body_part* p = cc::NewBodyPart();
            *tail = p;
            tail = &p->next;
            if (result = ReadNested(rd, part, &p->body, depth + 1); result != db_ok) return result;
        }
    } else if (body->type == TYPEMESSAGE) {
        const uint16_t envelopeSeq = r.msgEnvSeq();
        const uint16_t bodySeq = r.msgBodySeq();
        if (envelopeSeq == 0 && bodySeq == 0 && body->nested.msg == nullptr) return db_ok;
        // Only a MESSAGE/RFC822 body has its message record (above), and mail_free_body
        // releases the envelope and body of no other: a record of another subtype that refers
        // to them is damaged, and must not leave them where nothing would release them.
        if (body->nested.msg == nullptr) return db_corrupt;
        if (bodySeq != 0 && bodySeq <= seq) return db_corrupt;
        mail_body_message* message = body->nested.msg;
        message->full.offset = r.msgFullOffset();
        message->full.text.size = r.msgFullSize();
        message->header.offset = r.msgHeaderOffset();
        message->header.text.size = r.msgHeaderSize();
        message->text.offset = r.msgTextOffset();
        message->text.text.size = r.msgTextSize();
        if (envelopeSeq != 0) {
            idxkey key{rd.id, envelopeSeq};
            result = GetArchiveEnv(rd.envelopes, &key, &message->env, rd.messageSize, rd.headerSize);
            if (result != db_ok) return result;
        }
        if (bodySeq != 0) {
            message->body = cc::NewBody();
            if (result = ReadNested(rd, bodySeq, message->body, depth + 1); result != db_ok) return result;
        }
    }
    return db_ok;
}

int ReadNested(Reader& rd, uint16_t seq, mail_bodystruct* body, int depth)
{
    if (depth > kMaxBodyDepth || ++rd.records > kMaxRecords) return db_corrupt;
    rd.bodies->setKey(idxkey{rd.id, seq});
    if (const dbError found = rd.bodies->get(0); found != db_ok) return found;
    return FillBody(rd, seq, body, depth);
}

}  // namespace

namespace dlarchive::records {

namespace {
// Counts what storing the body would number; false as soon as a bound is passed.
bool CountRecords(const mail_bodystruct* body, int depth, uint32_t& bodies, uint32_t& envelopes)
{
    if (depth > kMaxBodyDepth) return false;
    if (body->type == TYPEMULTIPART) {
        std::size_t count = 0;
        for (const mail_body_part* p = body->nested.part; p != nullptr; p = p->next) {
            if (++count > kMaxParts || ++bodies > UINT16_MAX) return false;
            if (!CountRecords(&p->body, depth + 1, bodies, envelopes)) return false;
        }
    } else if (body->type == TYPEMESSAGE && body->nested.msg != nullptr) {
        const mail_body_message* message = body->nested.msg;
        if (message->env != nullptr && ++envelopes > UINT16_MAX) return false;
        if (message->body != nullptr &&
            (++bodies > UINT16_MAX || !CountRecords(message->body, depth + 1, bodies, envelopes)))
            return false;
    }
    return true;
}
}  // namespace

bool BodyFitsRecords(const mail_bodystruct* body)
{
    uint32_t bodies = 0, envelopes = 0;
    return body == nullptr || CountRecords(body, 0, bodies, envelopes);
}

int ReadBodyInto(archivebody* bodies, archiveenv* envelopes, uint32_t id, uint16_t seq, mail_bodystruct* target,
                 uint32_t& messageSize, uint32_t& headerSize)
{
    if (bodies == nullptr || envelopes == nullptr || target == nullptr) return db_range;
    Reader rd{bodies, envelopes, id, messageSize, headerSize, 0, {}, {}};
    try {
        return ReadNested(rd, seq, target, 0);
    } catch (dbError e) {
        return e;
    } catch (const std::bad_alloc&) {
        return db_nomem;
    }
}

void FreeMessage(mail_body_message** message)
{
    if (message == nullptr || *message == nullptr) return;
    mail_body_message* m = *message;
    cc::FreeEnvelope(&m->env);
    cc::FreeBody(&m->body);
    cc::FreeStringList(&m->lines);
    fs_give(reinterpret_cast<void**>(message));
}

}  // namespace dlarchive::records

int AddArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* bodyKey, idxkey* envelopeKey,
                   mail_bodystruct* body, uint32_t messageSize, uint32_t headerSize)
{
    return dlarchive::records::StoreBodyTree(bodies, envelopes, bodyKey, envelopeKey, body, messageSize, headerSize,
                                             nullptr);
}

int dlarchive::records::StoreBodyTree(archivebody* bodies, archiveenv* envelopes, idxkey* bodyKey, idxkey* envelopeKey,
                                      mail_bodystruct* body, uint32_t messageSize, uint32_t headerSize,
                                      bool* ownPutFailed)
{
    if (bodies == nullptr || envelopes == nullptr || bodyKey == nullptr || envelopeKey == nullptr) return db_range;
    static const mail_bodystruct kEmpty{};
    Writer w{bodies, envelopes, bodyKey, envelopeKey, messageSize, headerSize, {}, {}, {}};
    try {
        const int result = StoreBody(w, body != nullptr ? body : &kEmpty, 0);
        if (ownPutFailed != nullptr) *ownPutFailed = w.ownPutFailed;
        return result;
    } catch (const std::bad_alloc&) {
        throw db_nomem;
    }
}

int GetArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key, mail_bodystruct** body,
                   uint32_t& messageSize, uint32_t& headerSize)
{
    if (bodies == nullptr || envelopes == nullptr || key == nullptr || body == nullptr) return db_range;
    bodies->setKey(*key);
    const dbError found = bodies->get(0);
    if (found != db_ok && found != db_notfound && found != db_nomem) return found;

    mail_bodystruct* b = cc::NewBody();
    *body = b;
    Reader rd{bodies, envelopes, key->id, messageSize, headerSize, 0, {}, {}};
    rd.records = 1;
    int result;
    try {
        result = FillBody(rd, key->seq, b, 0);
    } catch (dbError e) {
        result = e;
    } catch (const std::bad_alloc&) {
        result = db_nomem;
    }
    if (result != db_ok) {
        cc::FreeBody(body);
        return result;
    }
    return found;
}

int RemoveArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key)
{
    if (bodies == nullptr || envelopes == nullptr || key == nullptr) return db_range;
    try {
        return RemoveBody(bodies, envelopes, key, 0);
    } catch (const std::bad_alloc&) {
        return db_nomem;
    }
}

// Envelope records: one archiveenv record per envelope.
#include "platform/cclient_records.h"

#include "dlarchive/encoders.h"
#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "record_store/convert_utf8.h"
#include "record_store/record_internal.h"

namespace cc = dlarchive::cclient;
using dlarchive::records::FieldText;

namespace {

void Raise(dbError result)
{
    if (result != db_ok) throw result;
}

// The subject as stored: its encoded words decoded and converted to UTF-8, and text that is
// still not UTF-8 taken as windows-1252 (dlarchive::HeaderTextToUtf8).
void StoreSubject(dbData& field, const char* subject)
{
    if (subject == nullptr) {
        field.clr();
        return;
    }
    Raise(field.cpy(dlarchive::HeaderTextToUtf8(subject).c_str()));
}

char* TextOrNull(const dbData& field)
{
    const char* text = FieldText(field);
    return *text != '\0' ? cc::CopyString(text) : nullptr;
}

}  // namespace

int AddArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope* envelope, uint32_t messageSize,
                  uint32_t headerSize)
{
    return dlarchive::records::StoreEnvelope(envelopes, key, envelope, messageSize, headerSize, true);
}

int dlarchive::records::StoreEnvelope(archiveenv* envelopes, idxkey* key, mail_envelope* envelope, uint32_t messageSize,
                                      uint32_t headerSize, bool convertFromNames)
{
    if (envelopes == nullptr || key == nullptr) return db_range;
    static const mail_envelope kEmpty{};
    const mail_envelope* e = envelope != nullptr ? envelope : &kEmpty;
    archiveenv& r = *envelopes;

    r.clear();  // the two unused words of the fixed record stay 0
    r.setKey(*key);
    r.setFlags(e->incomplete ? 1 : 0);
    Raise(r.date.cpy(reinterpret_cast<const char*>(e->date)));
    r.setMessageSize(messageSize);
    r.setHeaderSize(headerSize);

    AddrParser addresses;
    if (convertFromNames)
        addresses.ParseFrom(e->from, r.fromPersonal, r.fromAdl, r.fromMailbox, r.fromHost);
    else
        addresses.Parse(e->from, r.fromPersonal, r.fromAdl, r.fromMailbox, r.fromHost);
    addresses.Parse(e->sender, r.senderPersonal, r.senderAdl, r.senderMailbox, r.senderHost);
    addresses.Parse(e->reply_to, r.replyToPersonal, r.replyToAdl, r.replyToMailbox, r.replyToHost);
    StoreSubject(r.subject, e->subject);
    addresses.Parse(e->to, r.toPersonal, r.toAdl, r.toMailbox, r.toHost);
    addresses.Parse(e->cc, r.ccPersonal, r.ccAdl, r.ccMailbox, r.ccHost);
    addresses.Parse(e->bcc, r.bccPersonal, r.bccAdl, r.bccMailbox, r.bccHost);
    Raise(r.inReplyTo.cpy(e->in_reply_to));
    Raise(r.messageId.cpy(e->message_id));
    Raise(r.newsgroups.cpy(e->newsgroups));
    Raise(r.followupTo.cpy(e->followup_to));
    Raise(r.references.cpy(e->references));

    return r.put();
}

int GetArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope** envelope, uint32_t& messageSize,
                  uint32_t& headerSize)
{
    if (envelopes == nullptr || key == nullptr || envelope == nullptr) return db_range;
    archiveenv& r = *envelopes;
    r.setKey(*key);
    const dbError result = r.get(0);
    if (result != db_ok && result != db_notfound && result != db_nomem) return result;

    mail_envelope* e = cc::NewEnvelope();
    *envelope = e;
    e->incomplete = r.flags() & 1;
    e->date = reinterpret_cast<unsigned char*>(TextOrNull(r.date));
    AddrParser addresses;
    int read = addresses.Parse(r.fromPersonal, r.fromAdl, r.fromMailbox, r.fromHost, &e->from);
    if (read == db_ok) read = addresses.Parse(r.senderPersonal, r.senderAdl, r.senderMailbox, r.senderHost, &e->sender);
    if (read == db_ok)
        read = addresses.Parse(r.replyToPersonal, r.replyToAdl, r.replyToMailbox, r.replyToHost, &e->reply_to);
    e->subject = TextOrNull(r.subject);
    if (read == db_ok) read = addresses.Parse(r.toPersonal, r.toAdl, r.toMailbox, r.toHost, &e->to);
    if (read == db_ok) read = addresses.Parse(r.ccPersonal, r.ccAdl, r.ccMailbox, r.ccHost, &e->cc);
    if (read == db_ok) read = addresses.Parse(r.bccPersonal, r.bccAdl, r.bccMailbox, r.bccHost, &e->bcc);
    if (read != db_ok) {
        cc::FreeEnvelope(envelope);
        return read;
    }
    e->in_reply_to = TextOrNull(r.inReplyTo);
    e->message_id = TextOrNull(r.messageId);
    e->newsgroups = TextOrNull(r.newsgroups);
    e->followup_to = TextOrNull(r.followupTo);
    e->references = TextOrNull(r.references);
    messageSize = r.messageSize();
    headerSize = r.headerSize();
    return result;
}

int RemoveArchiveEnv(archiveenv* envelopes, idxkey* key)
{
    if (envelopes == nullptr || key == nullptr) return db_range;
    archiveenv& r = *envelopes;
    r.flush();
    r.setKey(*key);
    const dbError result = r.get(0);
    if (result == db_ok) {
        const dbError deleted = r.del();
        r.unlock();
        return deleted;
    }
    if (result == db_notfound || result == db_nomem) r.unlock();
    return result;
}

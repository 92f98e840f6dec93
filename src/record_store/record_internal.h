#pragma once
// Shared between the encoders and the record functions: reading a body record tree into a
// body that already exists (a part's body, an encapsulated message's body).
#include <cstdint>

#include "dlarchive/cclient_fwd.h"
#include "dlarchive/records.h"

namespace dlarchive::records {

// Reads the body record (id, seq) and everything below it into `target`, a body as c-client
// initialises it. Any result other than 0 (the get's own included) is a failure; what was
// filled in stays in `target` for the caller to release with it.
int ReadBodyInto(archivebody* bodies, archiveenv* envelopes, uint32_t id, uint16_t seq, mail_bodystruct* target,
                 uint32_t& messageSize, uint32_t& headerSize);

// The text of a field read by get: "" when nothing was stored.
inline const char* FieldText(const dbData& field)
{
    return field.data() != nullptr ? field.text() : "";
}

// Releases an encapsulated message with its envelope and body.
void FreeMessage(mail_body_message** message);

// Whether a parsed body can be stored as records at all: at most 1023 parts per multipart,
// 65535 nested body and envelope records, nesting no deeper than the stored trees allow.
// The intake refuses a message that does not fit before it stores anything of it.
bool BodyFitsRecords(const mail_bodystruct* body);

// AddArchiveEnv, with the From names converted to UTF-8 or stored as written (the form that
// takes a list name stores them as written).
int StoreEnvelope(archiveenv* envelopes, idxkey* key, mail_envelope* envelope, uint32_t messageSize,
                  uint32_t headerSize, bool convertFromNames);

// AddArchiveBody; `ownPutFailed` (when given) tells whether the failure was the put of the
// body's own record rather than one of its nested records.
int StoreBodyTree(archivebody* bodies, archiveenv* envelopes, idxkey* bodyKey, idxkey* envelopeKey,
                  mail_bodystruct* body, uint32_t messageSize, uint32_t headerSize, bool* ownPutFailed);

}  // namespace dlarchive::records

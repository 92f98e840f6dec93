#pragma once
// Releasing what the library hands out, with c-client's own release functions.
#include "dlarchive/cclient_fwd.h"

#include <cstdint>

namespace cli {
// Releases both records (either may be null) and sets them to null.
void FreeRecords(mail_envelope*& envelope, mail_bodystruct*& body);

// What a retrieval hands out, released however the command ends: a read that throws (a
// message not found) may still have handed out a record.
struct StoredRecords {
    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;
    uint32_t size = 0;
    uint32_t header = 0;

    StoredRecords() = default;
    ~StoredRecords() { FreeRecords(envelope, body); }
    StoredRecords(const StoredRecords&) = delete;
    StoredRecords& operator=(const StoredRecords&) = delete;
};
}  // namespace cli

#pragma once
// Releasing what the library hands out, with c-client's own release functions.
#include "dlarchive/cclient_fwd.h"

namespace cli {
// Releases both records (either may be null) and sets them to null.
void FreeRecords(mail_envelope*& envelope, mail_bodystruct*& body);
}  // namespace cli

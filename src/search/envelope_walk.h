#pragma once
// What the search and the navigation read of an archiveenv record during their one walk of
// the relation: exactly what the stored envelope would give back (empty texts read as
// absent, the From list decoded by the same reader), without building the envelope.
#include <cstdint>

#include "dlarchive/cclient_fwd.h"
#include "search/match_rules.h"

class archiveenv;

namespace dlarchive::search {

// The first address of a c-client From list.
FromAddress FirstFrom(const mail_address* list);
// The first address of the record's From list, read in place (always 0: nothing to fail).
int32_t ReadFirstFrom(const archiveenv& record, FromAddress& out);
// The record's subject and Date text; null when nothing (or the empty text) is stored.
const char* StoredSubject(const archiveenv& record);
const char* StoredDate(const archiveenv& record);

}  // namespace dlarchive::search

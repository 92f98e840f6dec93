#include "search/envelope_walk.h"

#include "platform/cclient_records.h"

#include "dlarchive/archive.h"
#include "dlarchive/encoders.h"
#include "dlarchive/records.h"
#include "platform/cclient.h"

namespace dlarchive::search {

namespace {
const char* TextOrNull(const dbData& field)
{
    return field.data() != nullptr && *field.text() != '\0' ? field.text() : nullptr;
}
}  // namespace

FromAddress FirstFrom(const mail_address* list)
{
    FromAddress from;
    if (list == nullptr) return from;
    from.present = true;
    if (list->personal != nullptr) from.personal = list->personal;
    if (list->mailbox != nullptr) from.mailbox = list->mailbox;
    if (list->host != nullptr) from.host = list->host;
    return from;
}

int32_t ReadFirstFrom(const archiveenv& record, FromAddress& out)
{
    AddrParser reader;
    mail_address* list = nullptr;
    const int result = reader.Parse(record.fromPersonal, record.fromAdl, record.fromMailbox, record.fromHost, &list);
    out = FirstFrom(list);
    cclient::FreeAddress(&list);
    return result;
}

const char* StoredSubject(const archiveenv& record)
{
    return TextOrNull(record.subject);
}

const char* StoredDate(const archiveenv& record)
{
    return TextOrNull(record.date);
}

}  // namespace dlarchive::search

// A walk of archiveenv ends at the end of the relation. Anything else would leave the search
// or the navigation with part of the archive, so with an answer that may be wrong: damage is
// repaired (automatic rebuild on) and reported as 18, other failures as the read of one
// envelope reports them.
void CDlArchive::EndEnvelopeWalk(int32_t status, const char* reason)
{
    if (status == db_eof) return;
    if (status == db_corrupt) {
        if (RunAutoRebuild(reason)) ThrowError(dlarchive::errors::kEnvRebuilt);
        ThrowError(dlarchive::errors::kEnvOther);
    }
    GetArchiveEnvDbRet(status);
    ThrowError(dlarchive::errors::kEnvOther);
}

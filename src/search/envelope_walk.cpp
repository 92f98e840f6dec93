#include "search/envelope_walk.h"

#include "platform/cclient_records.h"

#include <cstring>
#include <string>

#include "dlarchive/archive.h"
#include "dlarchive/records.h"

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

namespace {

// The first item of a stored string list, read in place as StrParser reads it: the list is
// empty when its length prefix (cut to the field) is 0; the item is absent when it is empty
// or has no terminating zero.
struct FirstItem {
    bool listEmpty = true;
    const char* text = nullptr;
    std::size_t length = 0;

    explicit FirstItem(const dbData& field)
    {
        const uint8_t* bytes = field.data();
        const uint32_t size = field.length();
        if (bytes == nullptr || size < 4) return;
        uint32_t count = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
        if (count > size - 4) count = size - 4;
        if (count == 0) return;
        listEmpty = false;
        const auto* zero = static_cast<const uint8_t*>(std::memchr(bytes + 4, 0, count));
        if (zero == nullptr || zero == bytes + 4) return;
        text = reinterpret_cast<const char*>(bytes + 4);
        length = static_cast<std::size_t>(zero - (bytes + 4));
    }
    void CopyTo(std::string& out) const
    {
        if (text != nullptr) out.assign(text, length);
    }
};

}  // namespace

// What the From list's reader would give as its first address, without building the list:
// every record of a walk by author passes here.
int32_t ReadFirstFrom(const archiveenv& record, FromAddress& out)
{
    out = FromAddress();
    const FirstItem personal(record.fromPersonal), adl(record.fromAdl), mailbox(record.fromMailbox),
        host(record.fromHost);
    if (personal.listEmpty && adl.listEmpty && mailbox.listEmpty && host.listEmpty) return db_ok;
    out.present = true;
    personal.CopyTo(out.personal);
    mailbox.CopyTo(out.mailbox);
    host.CopyTo(out.host);
    return db_ok;
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

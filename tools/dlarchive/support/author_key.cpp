#include "platform/cclient_records.h"

#include "author_key.h"

namespace cli {
std::string AuthorKey(const mail_envelope* envelope, const std::string& placeholder)
{
    const mail_address* from = envelope != nullptr ? envelope->from : nullptr;
    if (from == nullptr || from->mailbox == nullptr || *from->mailbox == '\0' || from->host == nullptr ||
        *from->host == '\0')
        return placeholder;
    if (from->personal != nullptr && *from->personal != '\0') return from->personal;
    return std::string(from->mailbox) + "@" + from->host;
}
}  // namespace cli

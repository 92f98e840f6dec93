#pragma once
// The author text of a stored envelope as the navigation compares it: the first From
// address's personal name, else "mailbox@host"; the placeholder when the address lacks its
// mailbox or host (or there is no From address).
#include <string>

#include "dlarchive/cclient_fwd.h"

namespace cli {
std::string AuthorKey(const mail_envelope* envelope, const std::string& placeholder);
}  // namespace cli

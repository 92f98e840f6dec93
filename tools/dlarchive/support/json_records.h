#pragma once
// c-client records as JSON, for the commands that show what the archive holds.
//
// Texts are written as they are stored, except that bytes which are not valid UTF-8 become
// U+FFFD (message headers carry raw 8-bit bytes in any charset), so the output always parses.
// A missing text is null; a missing list is []. Numbers stay c-client's (type and encoding
// codes, offsets counted from the start of the body text, sizes).
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "dlarchive/cclient_fwd.h"

namespace cli {

// The text with every invalid byte and every truncated sequence replaced by one U+FFFD.
// Overlong forms, surrogates and code points above U+10FFFF are invalid; the bytes of such a
// form are replaced one by one (where the sequence stops being valid, a new one starts).
std::string SanitizeUtf8(std::string_view text);

// {"date", "subject", "from", "sender", "reply_to", "to", "cc", "bcc", "in_reply_to",
//  "message_id", "newsgroups", "followup_to", "references", "ngbogus"}; address lists are
// arrays of {"personal", "adl", "mailbox", "host"}, a group as c-client keeps it (an entry
// with the group name as mailbox and no host, the members, an entry with neither).
// Null for a null envelope.
nlohmann::json EnvelopeToJson(const mail_envelope* envelope);

// {"type", "encoding", "subtype", "id", "description", "md5", "parameter", "disposition",
//  "language", "mime", "contents", "size"} and, for a multipart, "parts"; for a message,
// "message" ({"envelope", "body", "full", "header", "text"}, null when c-client did not parse
// the encapsulated message). Null for a null body. A body that appears a second time in the
// tree (only a damaged record can do that) or lies deeper than kMaxBodyDepth is written as null.
nlohmann::json BodyToJson(const mail_bodystruct* body);
inline constexpr int kMaxBodyDepth = 100;  // c-client itself stops at 50

// The object that "show" prints: {"id", "seq", "size", "header_size", "envelope", "body"}.
nlohmann::json MessageToJson(uint32_t id, int seq, uint64_t size, uint64_t headerSize, const mail_envelope* envelope,
                             const mail_bodystruct* body);

}  // namespace cli

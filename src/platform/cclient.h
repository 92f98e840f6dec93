#pragma once
// The only door to c-client. Its headers define macros (T, NIL, min, max, write, BODY, ...)
// that break ordinary C++, so only cclient.cpp includes them directly; the few sources that
// need the record members include platform/cclient_records.h, which undoes the macros.
// Everything else goes through these functions.
//
// Records and strings handed out here come from c-client's allocator, so mail_free_envelope,
// mail_free_body and mail_free_address (FreeEnvelope, FreeBody, FreeAddress) release them
// together with whatever strings and records hang off them. c-client does not report an
// allocation failure: its allocator ends the process through fatal() when memory runs out,
// so none of the allocation functions below ever returns null.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dlarchive/cclient_fwd.h"

namespace dlarchive::cclient {

// Installs the block-notify hook once (c-client's allocator otherwise saves and restores
// alarm() around every allocation). Called by every entry point below; cheap after the first.
void Initialize();

// Parses one message held in `buffer`: the first `headerSize` bytes are the header (with
// the empty line that ends it), the remaining `length - headerSize` bytes the body. Both
// outputs are overwritten (either may come back null) and belong to the caller. The parse
// warnings that c-client reports during this call (on this thread) are appended to
// `warnings` when given. A header size beyond the length parses nothing.
void ParseMessage(char* buffer, uint32_t length, uint32_t headerSize, mail_envelope** envelope, mail_bodystruct** body,
                  std::vector<std::string>* warnings = nullptr);

// New records, zero-filled and initialised the way c-client's own allocators do it.
mail_envelope* NewEnvelope();
mail_bodystruct* NewBody();
mail_body_part* NewBodyPart();
mail_body_message* NewMessage();
mail_address* NewAddress();
mail_body_parameter* NewParameter();
string_list* NewStringList();

// A copy of a zero-terminated text in c-client's heap; null for null.
char* CopyString(const char* text);
// A copy of `size` bytes followed by a zero byte, in c-client's heap (for texts that may
// hold zero bytes or are not terminated); null for a null `data`.
char* CopyBytes(const char* data, std::size_t size);
// Releases a string from c-client's heap and sets it to null; null is allowed.
void ReleaseString(char** text);

// Release functions; each takes null and sets the pointer to null.
void FreeEnvelope(mail_envelope** envelope);
void FreeBody(mail_bodystruct** body);
void FreeAddress(mail_address** address);
void FreeParameter(mail_body_parameter** parameter);
void FreeStringList(string_list** list);

}  // namespace dlarchive::cclient

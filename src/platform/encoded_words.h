#pragma once
// Encoded words in header text (RFC 2047, formerly RFC 1522): "=?charset?B|Q?text?=".
//
// These are the messaging helper calls the record store makes before it converts a subject
// or a From name to UTF-8. Results are allocated with malloc and released with FreeString.

extern "C" {

// Returns a new text in which every well-formed encoded word of `text` is replaced by its
// decoded bytes (still in the word's own charset). Linear white space between two adjacent
// encoded words is dropped; plain text and malformed words stay as written. Null when
// `text` is null, holds no encoded word that decodes, or memory runs out.
char* rfc1522decoding_wmc(const char* text);

// Returns a new text holding the charset name of the first encoded word of `text` that
// decodes (without an RFC 2231 "*language" suffix, spelled as written), or null when there
// is none.
char* Get1522Charset(const char* text);

// Releases a text returned by either call above; null is allowed.
void FreeString(char* text);

}  // extern "C"

namespace dlarchive {

// The value of a base64 digit, of a hexadecimal digit (either case); -1 for any other byte.
// Shared with the decoders of message bodies.
int Base64Value(unsigned char c);
int HexValue(unsigned char c);

}  // namespace dlarchive

#pragma once
// UTF-8 header text to plain ASCII with HTML numeric character references ("&#20013;").
//
// Only characters that UTF-8 writes in three bytes are understood; any other non-ASCII
// pattern makes the whole conversion fail. The validity test is deliberately loose: a byte
// of 0x80 or above starts a sequence of three bytes whose two followers need only their
// high bit set, and only the lead byte's low four bits count. The search compares texts
// converted by this function, so its results must stay exactly as they are.
// Every result is allocated with calloc and released with free.
#include <cstdint>

// The text with each three-byte sequence replaced by "&#<code>;" and every byte below 0x80
// kept in place (markup characters are not escaped here). Null when `text` is null or
// `length` negative, when any sequence is invalid, or when memory runs out; never a
// partial result. A length of 0 gives an empty text.
char* EncodeHtmlEntities(const char* text, int32_t length);

// Plain bytes copied as one byte each, each three-byte sequence written as its 16-bit code
// in two bytes, high byte first. The result is one zero byte longer than `*outLength`.
// Null, with `*outLength` untouched, when `text` or `outLength` is null, `length` is
// negative, a sequence is invalid, or memory runs out.
unsigned char* Utf8ToUcs2(const char* text, int32_t length, int32_t* outLength);

// Reads `length` bytes as 16-bit big-endian units and writes "&#<value>;" for each. A
// length of 0 gives an empty text; an odd or negative length gives null.
char* Ucs2ToCharRefs(const unsigned char* units, int32_t length);

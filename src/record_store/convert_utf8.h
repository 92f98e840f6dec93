#pragma once
// Conversion of decoded header text (subjects, From names) to UTF-8 through iconv.
#include <cstddef>
#include <string>
#include <string_view>

// One iconv descriptor and the output buffer it writes into. One converter serves one text
// or one record call; it is not meant to be shared between threads.
class ConvertToUtf8 {
public:
    ConvertToUtf8() = default;
    ~ConvertToUtf8();
    ConvertToUtf8(const ConvertToUtf8&) = delete;
    ConvertToUtf8& operator=(const ConvertToUtf8&) = delete;

    // Allocates a 1024-byte buffer, then opens the conversion from `from` to `to` (normally
    // "utf-8"). False when the buffer cannot be allocated, when a name is null or empty
    // (iconv would take the empty name as the locale's charset), or when iconv does not
    // know the pair; a failed open holds nothing. Opening again first closes.
    bool Open(const char* from, const char* to);

    // Converts a zero-terminated text in one iconv call. The result lives in the
    // converter's buffer until the next conversion or the close; null when the converter is
    // not open, the buffer cannot grow, or iconv reports an invalid or incomplete sequence
    // or too little room. Output meant as UTF-8 that is not well formed is refused too:
    // glibc's UCS-4 decoder passes code points above U+10FFFF on as 5- and 6-byte forms.
    const char* Convert(const char* text);

    // Closes the descriptor and releases the buffer; harmless when nothing is open.
    void Close();

    std::size_t Capacity() const { return m_capacity; }
    bool IsOpen() const { return m_descriptor != nullptr; }

private:
    void* m_descriptor = nullptr;  // iconv_t; none until opened
    char* m_buffer = nullptr;      // malloc'ed
    std::size_t m_capacity = 0;
    bool m_toUtf8 = false;  // the target is UTF-8: the output is checked
};

namespace dlarchive {

// The text the record store keeps for a raw header text (a subject or a From name): with
// its encoded words decoded and converted from the charset of the first of them to UTF-8;
// the raw text unchanged when it has no encoded word, the charset cannot be opened or the
// conversion fails. Never the decoded but unconverted bytes. A null text gives "".
std::string DecodeHeaderToUtf8(const char* raw);

// True when the text is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
bool IsUtf8(std::string_view text);
// The text read as windows-1252 (the five bytes it leaves undefined as the C1 controls of the
// same value), in UTF-8.
std::string Windows1252ToUtf8(std::string_view text);
// The text the record store keeps for a subject or From name: DecodeHeaderToUtf8, and a
// result that is still not UTF-8 (8-bit bytes written without encoded words, mostly by
// Latin-1 mailers) taken as windows-1252 and converted, so that pages show its characters.
std::string HeaderTextToUtf8(const char* raw);

}  // namespace dlarchive

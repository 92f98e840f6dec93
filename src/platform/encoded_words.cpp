#include "platform/encoded_words.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace {

using dlarchive::Base64Value;
using dlarchive::HexValue;

bool IsLinearWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A token character of the charset part: printable ASCII except the especials of RFC 2047.
bool IsTokenChar(char c)
{
    if (c <= ' ' || c >= 0x7f) return false;
    return std::strchr("()<>@,;:\"/[]?.=", c) == nullptr;
}

// Encoded text may hold any printable ASCII character except "?" (and never a blank).
bool IsEncodedTextChar(char c)
{
    return c > ' ' && c < 0x7f && c != '?';
}

bool DecodeQ(std::string_view in, std::string& out)
{
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=') {
            if (i + 2 >= in.size()) return false;
            int hi = HexValue(in[i + 1]);
            int lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

// Base64 with or without its "=" padding; anything outside the alphabet, padding in the
// middle or a lone trailing character makes the word malformed.
bool DecodeB(std::string_view in, std::string& out)
{
    std::size_t dataLength = in.size();
    while (dataLength > 0 && in[dataLength - 1] == '=') --dataLength;
    std::size_t padding = in.size() - dataLength;
    if (padding > 2) return false;
    if (padding > 0 && in.size() % 4 != 0) return false;
    if (dataLength % 4 == 1) return false;

    unsigned int bits = 0;
    int bitCount = 0;
    for (std::size_t i = 0; i < dataLength; ++i) {
        int v = Base64Value(in[i]);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<unsigned int>(v);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out += static_cast<char>((bits >> bitCount) & 0xff);
        }
    }
    return true;
}

struct EncodedWord {
    std::size_t end = 0;       // offset just after the closing "?="
    std::string_view charset;  // without the "*language" suffix
    std::string bytes;         // decoded
};

// Parses the encoded word that starts at `start` ("=?"); false when it is malformed.
bool ParseEncodedWord(std::string_view text, std::size_t start, EncodedWord& word)
{
    std::size_t i = start + 2;
    std::size_t charsetStart = i;
    while (i < text.size() && IsTokenChar(text[i])) ++i;
    if (i >= text.size() || text[i] != '?') return false;
    std::string_view charset = text.substr(charsetStart, i - charsetStart);
    // RFC 2231 lets a language follow the charset: "iso-8859-1*de".
    std::size_t star = charset.find('*');
    if (star != std::string_view::npos) charset = charset.substr(0, star);
    if (charset.empty()) return false;
    ++i;

    if (i + 1 >= text.size() || text[i + 1] != '?') return false;
    char encoding = text[i];
    if (encoding != 'B' && encoding != 'b' && encoding != 'Q' && encoding != 'q') return false;
    i += 2;

    std::size_t textStart = i;
    while (i < text.size() && IsEncodedTextChar(text[i])) ++i;
    if (i + 1 >= text.size() || text[i] != '?' || text[i + 1] != '=') return false;
    std::string_view encoded = text.substr(textStart, i - textStart);
    if (encoded.empty()) return false;

    word.bytes.clear();
    bool ok = (encoding == 'B' || encoding == 'b') ? DecodeB(encoded, word.bytes) : DecodeQ(encoded, word.bytes);
    if (!ok) return false;
    word.charset = charset;
    word.end = i + 2;
    return true;
}

// Decodes every encoded word of `text` into `out`; returns how many were decoded and
// leaves the charset of the first one in `firstCharset`.
int DecodeText(std::string_view text, std::string& out, std::string& firstCharset)
{
    int decoded = 0;
    std::size_t lastWordEndIn = 0;   // offset in `text` after the last decoded word
    std::size_t lastWordEndOut = 0;  // length of `out` right after that word
    EncodedWord word;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '=' && i + 1 < text.size() && text[i + 1] == '?' && ParseEncodedWord(text, i, word)) {
            if (decoded > 0) {
                // White space that only separates two encoded words is not part of the text.
                bool onlyWhiteSpace = true;
                for (std::size_t k = lastWordEndIn; k < i; ++k) {
                    if (!IsLinearWhiteSpace(text[k])) {
                        onlyWhiteSpace = false;
                        break;
                    }
                }
                if (onlyWhiteSpace) out.resize(lastWordEndOut);
            } else {
                firstCharset.assign(word.charset);
            }
            out += word.bytes;
            ++decoded;
            i = word.end;
            lastWordEndIn = i;
            lastWordEndOut = out.size();
        } else {
            out += text[i];
            ++i;
        }
    }
    return decoded;
}

char* CopyOut(const std::string& text)
{
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

}  // namespace

extern "C" char* rfc1522decoding_wmc(const char* text)
{
    if (text == nullptr) return nullptr;
    try {
        std::string out;
        std::string charset;
        if (DecodeText(text, out, charset) == 0) return nullptr;
        return CopyOut(out);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" char* Get1522Charset(const char* text)
{
    if (text == nullptr) return nullptr;
    try {
        std::string out;
        std::string charset;
        if (DecodeText(text, out, charset) == 0) return nullptr;
        return CopyOut(charset);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" void FreeString(char* text)
{
    std::free(text);
}

namespace dlarchive {

int Base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexValue(unsigned char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;  // lower case is not canonical but seen
    return -1;
}

}  // namespace dlarchive

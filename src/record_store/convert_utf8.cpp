#include "record_store/convert_utf8.h"

#include <iconv.h>

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/encoded_words.h"

namespace {
constexpr std::size_t kInitialCapacity = 1024;
const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsWellFormedUtf8(const unsigned char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length;) {
        const unsigned char c = text[i];
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || n > length - i) return false;
        uint32_t code = n == 1 ? c : c & (0x7f >> n);
        for (std::size_t k = 1; k < n; ++k) {
            if ((text[i + k] & 0xc0) != 0x80) return false;
            code = (code << 6) | (text[i + k] & 0x3f);
        }
        static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        i += n;
    }
    return true;
}
}  // namespace

ConvertToUtf8::~ConvertToUtf8()
{
    Close();
}

bool ConvertToUtf8::Open(const char* from, const char* to)
{
    Close();
    if (from == nullptr || to == nullptr || *from == '\0' || *to == '\0') return false;
    m_buffer = static_cast<char*>(std::malloc(kInitialCapacity));
    if (m_buffer == nullptr) return false;
    m_capacity = kInitialCapacity;
    iconv_t descriptor = iconv_open(to, from);
    if (descriptor == kNoDescriptor) {
        Close();
        return false;
    }
    m_descriptor = descriptor;
    m_toUtf8 = strcasecmp(to, "utf-8") == 0 || strcasecmp(to, "utf8") == 0;
    return true;
}

const char* ConvertToUtf8::Convert(const char* text)
{
    if (m_descriptor == nullptr || text == nullptr) return nullptr;
    std::size_t length = std::strlen(text);
    // A byte of a single-byte charset never needs more than three bytes of UTF-8.
    if (length > (std::numeric_limits<std::size_t>::max() - 1) / 3) return nullptr;
    std::size_t needed = 3 * length + 1;
    if (m_capacity < needed) {
        std::free(m_buffer);
        m_buffer = static_cast<char*>(std::malloc(needed));
        if (m_buffer == nullptr) {
            m_capacity = 0;
            return nullptr;
        }
        m_capacity = needed;
    }

    iconv_t descriptor = static_cast<iconv_t>(m_descriptor);
    // A failed earlier conversion may have left a stateful decoder mid-sequence.
    iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text);
    std::size_t inLeft = length;
    char* out = m_buffer;
    std::size_t outLeft = m_capacity;
    if (iconv(descriptor, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) {
        return nullptr;
    }
    // The terminating zero needs one byte of its own.
    if (outLeft == 0) return nullptr;
    if (m_toUtf8 && !IsWellFormedUtf8(reinterpret_cast<unsigned char*>(m_buffer), out - m_buffer)) return nullptr;
    *out = '\0';
    return m_buffer;
}

void ConvertToUtf8::Close()
{
    if (m_descriptor != nullptr) {
        iconv_close(static_cast<iconv_t>(m_descriptor));
        m_descriptor = nullptr;
    }
    std::free(m_buffer);
    m_buffer = nullptr;
    m_capacity = 0;
}

namespace dlarchive {

std::string DecodeHeaderToUtf8(const char* raw)
{
    if (raw == nullptr) return std::string();
    using Text = std::unique_ptr<char, decltype(&FreeString)>;
    Text decoded(rfc1522decoding_wmc(raw), &FreeString);
    if (decoded == nullptr) return raw;
    // The charset comes from the raw text: the decoded bytes no longer name it.
    Text charset(Get1522Charset(raw), &FreeString);
    if (charset == nullptr) return raw;
    ConvertToUtf8 converter;
    if (!converter.Open(charset.get(), "utf-8")) return raw;
    const char* converted = converter.Convert(decoded.get());
    return converted != nullptr ? std::string(converted) : std::string(raw);
}

bool IsUtf8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        std::size_t followers;
        unsigned char low = 0x80, high = 0xBF;  // range of the first follower
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            followers = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            followers = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            followers = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= followers || p[1] < low || p[1] > high) return false;
        for (std::size_t i = 2; i <= followers; ++i)
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        p += followers + 1;
    }
    return true;
}

std::string Windows1252ToUtf8(std::string_view text)
{
    // Code points of 0x80 to 0x9F; the rest of the upper half is Latin-1.
    static constexpr uint16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size() * 2);
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        const unsigned code = c >= 0x80 && c <= 0x9F ? kHigh[c - 0x80] : c;
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string HeaderTextToUtf8(const char* raw)
{
    std::string text = DecodeHeaderToUtf8(raw);
    return IsUtf8(text) ? text : Windows1252ToUtf8(text);
}

}  // namespace dlarchive

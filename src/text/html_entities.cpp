#include "text/html_entities.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A byte of 0x80 or above at `i` starts a valid sequence when the next two bytes exist and
// both have their high bit set. Nothing else is examined.
bool IsValidSequence(const unsigned char* bytes, int32_t length, int32_t i)
{
    return i + 2 < length && (bytes[i + 1] & 0x80) != 0 && (bytes[i + 2] & 0x80) != 0;
}

unsigned int CodeValue(const unsigned char* sequence)
{
    return ((sequence[0] & 0x0Fu) << 12) | ((sequence[1] & 0x3Fu) << 6) | (sequence[2] & 0x3Fu);
}

}  // namespace

unsigned char* Utf8ToUcs2(const char* text, int32_t length, int32_t* outLength)
{
    if (text == nullptr || outLength == nullptr || length < 0) return nullptr;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);

    int64_t size = 0;
    for (int32_t i = 0; i < length;) {
        if (bytes[i] < 0x80) {
            size += 1;
            i += 1;
        } else {
            if (!IsValidSequence(bytes, length, i)) return nullptr;
            size += 2;
            i += 3;
        }
    }
    // Never larger than the input, so it fits the signed 32-bit length.
    auto* out = static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(size) + 1, 1));
    if (out == nullptr) return nullptr;

    std::size_t pos = 0;
    for (int32_t i = 0; i < length;) {
        if (bytes[i] < 0x80) {
            out[pos++] = bytes[i];
            i += 1;
        } else {
            unsigned int code = CodeValue(bytes + i);
            out[pos++] = static_cast<unsigned char>(code >> 8);
            out[pos++] = static_cast<unsigned char>(code & 0xFF);
            i += 3;
        }
    }
    *outLength = static_cast<int32_t>(size);
    return out;
}

char* Ucs2ToCharRefs(const unsigned char* units, int32_t length)
{
    if (units == nullptr || length < 0 || length % 2 != 0) return nullptr;
    // "&#65535;" is eight characters: four bytes of room per input byte.
    std::size_t capacity = 4 * static_cast<std::size_t>(length) + 1;
    auto* out = static_cast<char*>(std::calloc(capacity, 1));
    if (out == nullptr) return nullptr;
    std::size_t pos = 0;
    for (int32_t i = 0; i < length; i += 2) {
        unsigned int value = units[i] * 256u + units[i + 1];
        int written = std::snprintf(out + pos, capacity - pos, "&#%u;", value);
        pos += static_cast<std::size_t>(written);
    }
    return out;
}

char* EncodeHtmlEntities(const char* text, int32_t length)
{
    if (text == nullptr || length < 0) return nullptr;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);

    // First pass: validate everything and size the output before allocating anything.
    uint64_t size = 0;
    uint64_t runSequences = 0;
    for (int32_t i = 0; i < length;) {
        if (bytes[i] < 0x80) {
            if (runSequences > 0) {
                size += 4 * runSequences + 2;
                runSequences = 0;
            }
            size += 1;
            i += 1;
        } else {
            if (!IsValidSequence(bytes, length, i)) return nullptr;
            ++runSequences;
            i += 3;
        }
    }
    if (runSequences > 0) size += 4 * runSequences + 2;

    auto* out = static_cast<char*>(std::calloc(4 * (size + 1), 1));
    if (out == nullptr) return nullptr;

    // Second pass: plain bytes in place, each run of sequences through the two steps.
    std::size_t pos = 0;
    int32_t runStart = -1;  // lead byte of the run's first sequence
    int32_t runEnd = -1;    // third byte of its last sequence
    auto flush = [&]() -> bool {
        if (runStart < 0) return true;
        int32_t ucsLength = 0;
        unsigned char* ucs = Utf8ToUcs2(text + runStart, runEnd - runStart + 1, &ucsLength);
        runStart = -1;
        if (ucs == nullptr) return false;
        char* refs = Ucs2ToCharRefs(ucs, ucsLength);
        std::free(ucs);
        if (refs == nullptr) return false;
        std::size_t refsLength = std::strlen(refs);
        std::memcpy(out + pos, refs, refsLength);
        pos += refsLength;
        std::free(refs);
        return true;
    };
    for (int32_t i = 0; i < length;) {
        if (bytes[i] < 0x80) {
            if (!flush()) {
                std::free(out);
                return nullptr;
            }
            // A zero byte lands here too and ends the text.
            out[pos++] = static_cast<char>(bytes[i]);
            i += 1;
        } else {
            if (runStart < 0) runStart = i;
            runEnd = i + 2;
            i += 3;
        }
    }
    if (!flush()) {
        std::free(out);
        return nullptr;
    }
    return out;
}

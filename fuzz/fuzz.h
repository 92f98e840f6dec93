#pragma once
// Shared by the fuzz entry points: a check that stops the run (libFuzzer then keeps the input
// as a crash), the UTF-8 rule converted texts must follow, and texts in exact heap blocks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool IsValidUtf8(std::string_view text)
{
    static constexpr unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0, n; i < text.size(); i += n) {
        const unsigned char c = text[i];
        n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        unsigned long code = n == 1 ? c : c & (0x7f >> n);
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
            code = (code << 6) | (text[i + k] & 0x3f);
        }
        if (code < kLeast[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    }
    return true;
}

// The text in a heap block of exactly its size and a terminator, so that the sanitizer sees
// any read past it (a std::string may hold it in a larger buffer).
inline std::unique_ptr<char[]> ExactText(std::string_view text)
{
    std::unique_ptr<char[]> block(new char[text.size() + 1]);
    std::memcpy(block.get(), text.data(), text.size());
    block[text.size()] = '\0';
    return block;
}

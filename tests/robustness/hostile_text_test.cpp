// Hostile text for the text layers: character references and encoded words. Inputs are
// random but seeded; where the documented rule is simple, a small model of it says what the
// result must be, elsewhere the checks are the bounds every caller relies on. Inputs sit in
// heap blocks of exactly their size, so that the sanitizer sees any read past them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/encoded_words.h"
#include "record_store/convert_utf8.h"
#include "support/test_env.h"
#include "text/html_entities.h"

namespace {

// Seeded choices: std::mt19937_64 gives the same numbers everywhere.
struct Rng : std::mt19937_64 {
    using std::mt19937_64::mt19937_64;
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>((*this)() % bound); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    uint8_t Byte() { return static_cast<uint8_t>((*this)()); }
};

// The bytes (and a zero for a C string) in a heap block of exactly that size: the sanitizer
// sees any read past them.
std::unique_ptr<char[]> ExactText(const std::string& text, bool terminated = true)
{
    std::unique_ptr<char[]> block(new char[std::max<std::size_t>(1, text.size() + terminated)]());
    std::memcpy(block.get(), text.data(), text.size());
    return block;
}

std::optional<std::string> Released(char* text)
{
    if (text == nullptr) return std::nullopt;
    std::string copy(text);
    std::free(text);
    return copy;
}

// The documented rule, written plainly: bytes below 0x80 stay, a byte of 0x80 or above and
// the two after it (both with their high bit set) become "&#<code>;" from the lead's low four
// bits and the followers' low six; anything else makes the whole result null. The result is
// a C string, so it ends at its first zero byte.
std::optional<std::string> ModelEntities(const std::string& in)
{
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto b = static_cast<unsigned char>(in[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            continue;
        }
        if (i + 2 >= in.size() || !(in[i + 1] & 0x80) || !(in[i + 2] & 0x80)) return std::nullopt;
        out += "&#" + std::to_string(((b & 0x0Fu) << 12) | ((in[i + 1] & 0x3Fu) << 6) | (in[i + 2] & 0x3Fu)) + ";";
        i += 2;
    }
    return out.substr(0, out.find('\0'));
}

std::string QEncode(const std::string& bytes, Rng& rng)
{
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == ' ' && rng.OneIn(2)) {
            out += '_';
        } else if (b > ' ' && b < 0x7f && b != '?' && b != '=' && b != '_' && !rng.OneIn(4)) {
            out += c;
        } else {
            const char* digits = rng.OneIn(2) ? "0123456789ABCDEF" : "0123456789abcdef";
            out += {'=', digits[b >> 4], digits[b & 15]};
        }
    }
    return out;
}

std::string BEncode(const std::string& bytes, bool padded)
{
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = 0;
        for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k <= n; ++k) out += alphabet[(v >> (18 - 6 * k)) & 63];
        if (padded) out.append(3 - n, '=');
    }
    return out;
}

}  // namespace

TEST(TextLayers, DocumentedExamples)
{
    // Stored texts: converted from the first word's charset, or the raw text, never between.
    const char* const utf8[][2] = {{"Re: =?ISO-8859-1?B?R3L832U=?= aus Wien",
                                    "Re: Gr\xC3\xBC\xC3\x9F"
                                    "e aus Wien"},
                                   {"=?iso-8859-1?Q?J=F8rn?= =?iso-8859-1?Q?_S=F8?=", "J\xC3\xB8rn S\xC3\xB8"},
                                   {"=?gb18030?B?1tDOxA==?=", "\xE4\xB8\xAD\xE6\x96\x87"},
                                   {"=?utf-8?Q?Caf=E9?=", "=?utf-8?Q?Caf=E9?="},
                                   {"\xE9 =?utf-8?Q?=C3=A9?=", "\xE9 =?utf-8?Q?=C3=A9?="}};
    for (const auto& u : utf8) EXPECT_EQ(dlarchive::DecodeHeaderToUtf8(u[0]), u[1]) << u[0];
    EXPECT_EQ(dlarchive::DecodeHeaderToUtf8(nullptr), "");
    // The converter's buffer grows to three bytes per input byte and the zero, never shrinks.
    ConvertToUtf8 converter;
    EXPECT_EQ(converter.Convert("abc"), nullptr);  // not opened
    for (const char* refused : {"x-unknown", "unknown-8bit", ""}) EXPECT_FALSE(converter.Open(refused, "utf-8"));
    ASSERT_TRUE(converter.Open("iso-8859-1", "utf-8"));
    std::string e341;
    for (int i = 0; i < 341; ++i) e341 += "\xC3\xA9";
    for (const auto& [in, out] :
         {std::pair(std::string(341, '\xE9'), e341), std::pair(std::string(342, 'a'), std::string(342, 'a'))})
        EXPECT_EQ(std::string(converter.Convert(in.c_str())), out);
    EXPECT_EQ(converter.Capacity(), 1027u);
    EXPECT_STREQ(converter.Convert("\xC4rger"), "\xC3\x84rger");
    ConvertToUtf8 utf;
    ASSERT_TRUE(utf.Open("utf-8", "utf-8"));
    EXPECT_EQ(utf.Convert("caf\xE4\xB8"), nullptr);  // incomplete at the end
    EXPECT_STREQ(utf.Convert("ok"), "ok");
}

TEST(StoredTexts, Utf8IsTakenAsItIsAndAnythingElseAsWindows1252)
{
    // Stored texts keep UTF-8 as it is; anything else (overlong, surrogate, past U+10FFFF, cut
    // short, a bad follower) is read as windows-1252.
    const auto check = [](const std::string& text, bool utf8) {
        EXPECT_EQ(dlarchive::IsUtf8(text), utf8) << testing::PrintToString(text);
        const std::string stored = dlarchive::HeaderTextToUtf8(text.c_str());
        EXPECT_EQ(stored, utf8 ? text : dlarchive::Windows1252ToUtf8(text));
        EXPECT_TRUE(dlarchive::IsUtf8(stored));
    };
    for (const char* text :
         {"abc \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\x89", "\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xE0\xA0\x80\xDF\xBF"})
        check(text, true);
    for (const char* text :
         {"\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
          "\xF5\x80\x80\x80", "\xC3", "\xE2\x82", "\x80", "\xC3\x28", "\xE2\x82\x28"})
        check(text, false);
    EXPECT_EQ(dlarchive::Windows1252ToUtf8("\x80\x81\x8A\x9F\xA0\xE9\xFF"),
              "\xE2\x82\xAC\xC2\x81\xC5\xA0\xC5\xB8\xC2\xA0\xC3\xA9\xC3\xBF");
}

TEST(HostileText, CharacterReferencesFollowTheirRule)
{
    Rng rng(0x7e0001);
    int converted = 0, refused = 0;
    for (int i = 0; i < 20000; ++i) {
        // Random bytes, or items that often form the three-byte sequences of the rule.
        std::string in;
        for (uint32_t n = i % 4 == 0 ? rng.Below(40) : 0; n > 0; --n) in += static_cast<char>(rng.Byte());
        for (uint32_t items = i % 4 == 0 ? 0 : rng.Below(24); items > 0; --items) {
            const uint32_t kind = rng.Below(5);
            if (kind == 2 || kind == 3)
                for (int k = 0; k < 3; ++k) in += static_cast<char>(0x80 | rng.Byte());
            else
                in += static_cast<char>(kind == 0 ? rng.Below(0x80) : kind == 1 ? 0x20 + rng.Below(0x5f) : rng.Byte());
        }
        const auto block = ExactText(in, false);
        const auto model = ModelEntities(in);
        ASSERT_EQ(Released(EncodeHtmlEntities(block.get(), static_cast<int32_t>(in.size()))), model)
            << "input " << testing::PrintToString(in);
        converted += model.has_value();
        refused += !model.has_value();
    }
    EXPECT_GT(converted, 5000);
    EXPECT_GT(refused, 5000);
    EXPECT_TRUE(EncodeHtmlEntities(nullptr, 3) == nullptr && EncodeHtmlEntities("abc", -1) == nullptr);
}

TEST(HostileText, EncodedWordsDecodeAsWritten)
{
    // Texts built from plain runs (never a "?") and well-formed encoded words of random bytes:
    // the words decode to their bytes, plain text stays, blanks only between two words go.
    static const std::vector<std::string> kCharsets = testenv::Lines(
        "utf-8 UTF-8 iso-8859-1 ISO-8859-15 koi8-r windows-1252 x-unknown utf-16 UCS-4 ISO-2022-JP UTF-7 TSCII", " ");
    static const std::string kPlain = "  \t\t\r\nabcXYZ019=_-.,;:<>\"()[]@\x80\xe9\xff", kToken = "aZ09!#$%&'+-^`{|}~";
    Rng rng(0x7e0002);
    for (int i = 0; i < 4000; ++i) {
        std::string text, expected, charset, pendingBlank;
        bool lastWasWord = false;
        for (uint32_t s = rng.Below(7); s > 0; --s) {
            if (rng.OneIn(2)) {                                                          // a word
                std::string bytes, name = rng.OneIn(2) ? kCharsets[rng.Below(12)] : "";  // else a token
                for (uint32_t n = 1 + rng.Below(30); bytes.size() < n;)
                    if (const char c = static_cast<char>(rng.Byte()); c != '\0') bytes += c;
                for (uint32_t n = name.empty() ? 1 + rng.Below(12) : 0; name.size() < n;) name += kToken[rng.Below(18)];
                const bool q = rng.OneIn(2);
                text += "=?" + name + (rng.OneIn(5) ? (rng.OneIn(2) ? "*en" : "*de-CH") : "") + "?" +
                        (q ? "Qq" : "Bb")[rng.Below(2)] + "?" +
                        (q ? QEncode(bytes, rng) : BEncode(bytes, rng.OneIn(2))) + "?=";
                // Plain text before it stays, unless it is all blanks after another word.
                if (!lastWasWord || pendingBlank.find_first_not_of(" \t\r\n") != std::string::npos)
                    expected += pendingBlank;
                expected += bytes;
                if (charset.empty()) charset = name;
                pendingBlank.clear();
                lastWasWord = true;
            } else {  // plain text
                std::string raw;
                for (uint32_t k = rng.Below(6); k > 0; --k)
                    raw += kPlain[rng.Below(static_cast<uint32_t>(kPlain.size()))];
                text += raw;
                if (lastWasWord)
                    pendingBlank += raw;
                else
                    expected += raw;
            }
        }
        expected += pendingBlank;
        const auto block = ExactText(text);
        const auto decoded = Released(rfc1522decoding_wmc(block.get()));
        EXPECT_EQ(decoded, charset.empty() ? std::nullopt : std::optional(expected)) << testing::PrintToString(text);
        EXPECT_EQ(Released(Get1522Charset(block.get())), charset.empty() ? std::nullopt : std::optional(charset));
        // Without a word the stored text is the raw one.
        const std::string stored = dlarchive::DecodeHeaderToUtf8(block.get());
        EXPECT_EQ(stored, charset.empty() ? text : stored);
    }
    for (const char* text : {static_cast<const char*>(nullptr), "=?utf-8 Q?x?="})  // a blank ends the charset
        EXPECT_EQ(Released(rfc1522decoding_wmc(text)), std::nullopt);
    EXPECT_EQ(Get1522Charset(nullptr), nullptr);
}

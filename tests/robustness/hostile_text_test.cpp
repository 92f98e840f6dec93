// Hostile text for the text layers: character references, encoded words, language files,
// the configuration reader and the mbox splitter. Inputs are random but seeded; where the
// documented rule is simple, a small model of it says what the result must be, elsewhere
// the checks are the bounds every caller relies on. Inputs sit in heap blocks of exactly
// their size, so that the sanitizer sees any read past them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/encoded_words.h"
#include "record_store/convert_utf8.h"
#include "robustness/hostile_support.h"
#include "support/test_env.h"
#include "text/html_entities.h"

using hostile::Rng;

namespace {

// A copy of the bytes in a heap block of exactly their size (one byte for none).
std::unique_ptr<char[]> Exact(const std::string& bytes)
{
    std::unique_ptr<char[]> block(new char[bytes.empty() ? 1 : bytes.size()]);
    if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}

// The same with a terminating zero, for functions that take C strings.
std::unique_ptr<char[]> ExactText(const std::string& text)
{
    std::unique_ptr<char[]> block(new char[text.size() + 1]);
    std::memcpy(block.get(), text.data(), text.size());
    block[text.size()] = '\0';
    return block;
}

std::optional<std::string> Released(char* text)
{
    if (text == nullptr) return std::nullopt;
    std::string copy(text);
    std::free(text);
    return copy;
}

// Bytes that often form the three-byte sequences of the character reference rule.
std::string SequenceHeavyBytes(Rng& rng)
{
    std::string bytes;
    const uint32_t items = rng.Below(24);
    for (uint32_t i = 0; i < items; ++i) {
        const uint32_t kind = rng.Below(5);  // ASCII (zero bytes included), text, a sequence, any byte
        if (kind == 2 || kind == 3)
            for (int k = 0; k < 3; ++k) bytes += static_cast<char>(0x80 | rng.Byte());
        else
            bytes += static_cast<char>(kind == 0 ? rng.Below(0x80) : kind == 1 ? 0x20 + rng.Below(0x5f) : rng.Byte());
    }
    return bytes;
}

// The documented rule, written plainly: bytes below 0x80 stay, a byte of 0x80 or above and
// the two after it (both with their high bit set) become "&#<code>;" from the lead's low four
// bits and the followers' low six; anything else makes the whole result null. The result is
// a C string, so it ends at its first zero byte.
std::optional<std::string> ModelEntities(const std::string& in)
{
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        const auto b = static_cast<unsigned char>(in[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        if (i + 2 >= in.size() || !(in[i + 1] & 0x80) || !(in[i + 2] & 0x80)) return std::nullopt;
        const unsigned code = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 6) |
                              (static_cast<unsigned char>(in[i + 2]) & 0x3Fu);
        out += "&#" + std::to_string(code) + ";";
        i += 3;
    }
    return out.substr(0, out.find('\0'));
}

}  // namespace

TEST(TextLayers, DocumentedExamples)
{
    using dlarchive::DecodeHeaderToUtf8;
    const auto decode = [](const char* raw) {
        char* d = rfc1522decoding_wmc(raw);
        const std::string text = d != nullptr ? d : "(null)";
        FreeString(d);
        return text;
    };
    // White space between adjacent encoded words goes, whatever it is made of.
    const char* const words[][2] = {{"(=?ISO-8859-1?Q?a?= b)", "(a b)"},
                                    {"(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)", "(ab)"},
                                    {"(=?ISO-8859-1?Q?a?=\t \t=?ISO-8859-2?Q?_b?=)", "(a b)"},
                                    {"=?ISO-8859-1?B?SWYgeW8=?= x", "If yo x"},
                                    {"To: =?ISO-8859-1?Q?Keld_J=F8rn?= <k@dk>", "To: Keld J\xF8rn <k@dk>"},
                                    {"no words", "(null)"}};
    for (const auto& w : words) EXPECT_EQ(decode(w[0]), w[1]) << w[0];
    char* charset = Get1522Charset("(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)");
    EXPECT_STREQ(charset, "ISO-8859-1");
    FreeString(charset);
    // Stored texts: converted from the first word's charset, or the raw text, never between.
    const char* const utf8[][2] = {{"Re: =?ISO-8859-1?B?R3L832U=?= aus Wien",
                                    "Re: Gr\xC3\xBC\xC3\x9F"
                                    "e aus Wien"},
                                   {"=?iso-8859-1?Q?J=F8rn?= =?iso-8859-1?Q?_S=F8?=", "J\xC3\xB8rn S\xC3\xB8"},
                                   {"Caf\xE9", "Caf\xE9"},
                                   {"=?gb18030?B?1tDOxA==?=", "\xE4\xB8\xAD\xE6\x96\x87"},
                                   {"=?x-unknown?Q?Caf=E9?=", "=?x-unknown?Q?Caf=E9?="},
                                   {"=?utf-8?Q?Caf=E9?=", "=?utf-8?Q?Caf=E9?="},
                                   {"\xE9 =?utf-8?Q?=C3=A9?=", "\xE9 =?utf-8?Q?=C3=A9?="}};
    for (const auto& u : utf8) EXPECT_EQ(DecodeHeaderToUtf8(u[0]), u[1]) << u[0];
    EXPECT_EQ(DecodeHeaderToUtf8(nullptr), "");
    // The converter's buffer: three bytes per input byte and the zero, kept when smaller.
    ConvertToUtf8 converter;
    EXPECT_EQ(converter.Convert("abc"), nullptr);  // not opened
    for (const char* refused : {"x-unknown", "unknown-8bit", ""}) EXPECT_FALSE(converter.Open(refused, "utf-8"));
    ASSERT_TRUE(converter.Open("iso-8859-1", "utf-8"));
    EXPECT_EQ(converter.Capacity(), 1024u);
    std::string e341;
    for (int i = 0; i < 341; ++i) e341 += "\xC3\xA9";
    EXPECT_EQ(std::string(converter.Convert(std::string(341, '\xE9').c_str())), e341);
    EXPECT_EQ(converter.Capacity(), 1024u);
    EXPECT_EQ(std::string(converter.Convert(std::string(342, 'a').c_str())), std::string(342, 'a'));
    EXPECT_EQ(converter.Capacity(), 1027u);
    EXPECT_STREQ(converter.Convert("\xC4rger"), "\xC3\x84rger");
    EXPECT_EQ(converter.Capacity(), 1027u);
    ConvertToUtf8 utf;
    ASSERT_TRUE(utf.Open("utf-8", "utf-8"));
    EXPECT_EQ(utf.Convert("caf\xE4\xB8"), nullptr);  // incomplete at the end
    EXPECT_STREQ(utf.Convert("ok"), "ok");
    // HTML character references from three-byte sequences.
    char* refs = EncodeHtmlEntities("a\xE4\xB8\xAD\xE2\x82\xAC<b>", 10);
    EXPECT_STREQ(refs, "a&#20013;&#8364;<b>");
    std::free(refs);
}

TEST(HostileText, CharacterReferencesFollowTheirRule)
{
    Rng rng(0x7e0001);
    int converted = 0, refused = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string in = i % 4 == 0 ? rng.Bytes(rng.Below(40)) : SequenceHeavyBytes(rng);
        const auto block = Exact(in);
        const auto model = ModelEntities(in);
        const auto result = Released(EncodeHtmlEntities(block.get(), static_cast<int32_t>(in.size())));
        ASSERT_EQ(result, model) << "input " << testing::PrintToString(in);
        converted += model.has_value();
        refused += !model.has_value();

        // The two steps on their own: 16-bit units, then references.
        int32_t units = -7;
        unsigned char* ucs = Utf8ToUcs2(block.get(), static_cast<int32_t>(in.size()), &units);
        if (model.has_value()) {
            ASSERT_NE(ucs, nullptr);
            ASSERT_GE(units, 0);
            ASSERT_LE(static_cast<std::size_t>(units), in.size());
            const auto unitBlock = Exact(std::string(reinterpret_cast<char*>(ucs), static_cast<std::size_t>(units)));
            std::string refs;
            for (int32_t u = 0; u + 1 < units; u += 2)
                refs += "&#" +
                        std::to_string(static_cast<unsigned char>(unitBlock[u]) * 256u +
                                       static_cast<unsigned char>(unitBlock[u + 1])) +
                        ";";
            const auto charRefs =
                Released(Ucs2ToCharRefs(reinterpret_cast<const unsigned char*>(unitBlock.get()), units));
            if (units % 2 == 0) {
                EXPECT_EQ(charRefs, refs);
            } else {
                EXPECT_EQ(charRefs, std::nullopt);
            }
        } else {
            EXPECT_EQ(ucs, nullptr);
            EXPECT_EQ(units, -7);  // untouched
        }
        std::free(ucs);
    }
    EXPECT_GT(converted, 5000);
    EXPECT_GT(refused, 5000);
    // Refusals of the interface itself.
    EXPECT_EQ(EncodeHtmlEntities(nullptr, 3), nullptr);
    EXPECT_EQ(EncodeHtmlEntities("abc", -1), nullptr);
    EXPECT_EQ(Ucs2ToCharRefs(reinterpret_cast<const unsigned char*>("ab"), -2), nullptr);
    // A long text of sequences only: 4 bytes of references per byte of input at most.
    std::string longRun;
    for (int i = 0; i < 100000; ++i) longRun += "\xEF\xBF\xBF";
    const auto longResult = Released(EncodeHtmlEntities(longRun.data(), static_cast<int32_t>(longRun.size())));
    ASSERT_TRUE(longResult.has_value());
    EXPECT_EQ(longResult->size(), 100000u * 8);
}

namespace {

bool IsTokenChar(char c)
{
    return c > ' ' && c < 0x7f && std::strchr("()<>@,;:\"/[]?.=", c) == nullptr;
}

std::string RandomCharset(Rng& rng)
{
    static const char* const kKnown[] = {"utf-8",     "UTF-8",  "iso-8859-1", "ISO-8859-15", "koi8-r", "windows-1252",
                                         "x-unknown", "utf-16", "UCS-4",      "ISO-2022-JP", "UTF-7",  "TSCII"};
    if (rng.OneIn(2)) return kKnown[rng.Below(std::size(kKnown))];
    std::string charset;
    const uint32_t length = 1 + rng.Below(12);
    while (charset.size() < length) {
        const char c = static_cast<char>(0x21 + rng.Below(0x5e));
        if (IsTokenChar(c) && c != '*') charset += c;
    }
    return charset;
}

std::string QEncode(const std::string& bytes, Rng& rng)
{
    static const char* hex[] = {"0123456789ABCDEF", "0123456789abcdef"};
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == ' ' && rng.OneIn(2)) {
            out += '_';
        } else if (b > ' ' && b < 0x7f && b != '?' && b != '=' && b != '_' && !rng.OneIn(4)) {
            out += c;
        } else {
            const char* digits = hex[rng.Below(2)];
            out += '=';
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out;
}

std::string BEncode(const std::string& bytes, bool padded)
{
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(v >> shift) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        if (rest == 2) out += alphabet[(v >> 6) & 63];
        if (padded) out += rest == 1 ? "==" : "=";
    }
    return out;
}

bool IsLinearWhiteSpace(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

TEST(HostileText, EncodedWordsDecodeAsWritten)
{
    // Texts built from plain runs (never a "?") and well-formed encoded words of random bytes:
    // the words decode to their bytes, plain text stays, blanks only between two words go.
    Rng rng(0x7e0002);
    for (int i = 0; i < 4000; ++i) {
        struct Segment {
            bool word;
            std::string raw, decoded, charset;
        };
        std::vector<Segment> segments;
        const uint32_t count = rng.Below(7);
        for (uint32_t s = 0; s < count; ++s) {
            if (rng.OneIn(2)) {
                std::string bytes;
                const uint32_t length = 1 + rng.Below(30);
                while (bytes.size() < length) {
                    const char c = static_cast<char>(rng.Byte());
                    if (c != '\0') bytes += c;
                }
                std::string charset = RandomCharset(rng);
                const std::string spelled =
                    charset + (rng.OneIn(5) ? "*" + std::string(rng.OneIn(2) ? "en" : "de-CH") : "");
                const bool q = rng.OneIn(2);
                const std::string encoded = q ? QEncode(bytes, rng) : BEncode(bytes, rng.OneIn(2));
                const std::string raw = "=?" + spelled + "?" +
                                        (q ? (rng.OneIn(2) ? "Q" : "q") : (rng.OneIn(2) ? "B" : "b")) + "?" + encoded +
                                        "?=";
                segments.push_back({true, raw, bytes, charset});
            } else {
                static const std::string kPlain = "  \t\t\r\nabcXYZ019=_-.,;:<>\"()[]@\x80\xe9\xff";
                std::string raw;
                const uint32_t length = rng.Below(6);
                for (uint32_t k = 0; k < length; ++k) raw += kPlain[rng.Below(static_cast<uint32_t>(kPlain.size()))];
                if (!segments.empty() && !segments.back().word) {
                    segments.back().raw += raw;
                    segments.back().decoded += raw;
                } else {
                    segments.push_back({false, raw, raw, ""});
                }
            }
        }
        std::string text, expected, charset;
        bool anyWord = false;
        for (std::size_t s = 0; s < segments.size(); ++s) {
            const Segment& seg = segments[s];
            text += seg.raw;
            const bool betweenWords =
                !seg.word && s > 0 && s + 1 < segments.size() && segments[s - 1].word && segments[s + 1].word;
            if (betweenWords && IsLinearWhiteSpace(seg.raw)) continue;
            expected += seg.decoded;
            if (seg.word && !anyWord) charset = seg.charset;
            anyWord = anyWord || seg.word;
        }
        const auto block = ExactText(text);
        char* decoded = rfc1522decoding_wmc(block.get());
        char* named = Get1522Charset(block.get());
        if (!anyWord) {
            EXPECT_EQ(decoded, nullptr) << testing::PrintToString(text);
            EXPECT_EQ(named, nullptr) << testing::PrintToString(text);
        } else {
            ASSERT_NE(decoded, nullptr) << testing::PrintToString(text);
            ASSERT_NE(named, nullptr) << testing::PrintToString(text);
            EXPECT_EQ(std::string(decoded), expected) << testing::PrintToString(text);
            EXPECT_EQ(std::string(named), charset) << testing::PrintToString(text);
        }
        FreeString(decoded);
        FreeString(named);
        // Whatever the charset, the conversion to UTF-8 ends in the converted text or the
        // raw one, never anything between.
        const std::string stored = dlarchive::DecodeHeaderToUtf8(block.get());
        if (!anyWord) {
            EXPECT_EQ(stored, text);
        }
    }
}

TEST(HostileText, AdversarialEncodedWords)
{
    Rng rng(0x7e0003);
    // Pieces of encoded words in any order: most texts hold broken words, some whole ones.
    static const char* const kPieces[] = {"=?",
                                          "?=",
                                          "?",
                                          "=",
                                          "utf-8",
                                          "iso-8859-1",
                                          "*de",
                                          "x",
                                          "?Q?",
                                          "?B?",
                                          "?q?",
                                          "?b?",
                                          "?X?",
                                          "QUJD",
                                          "QQ==",
                                          "QQ",
                                          "Q",
                                          "==",
                                          "=41",
                                          "=4",
                                          "=ZZ",
                                          "_",
                                          " ",
                                          "\t",
                                          "\r\n",
                                          "\x80",
                                          "\xff",
                                          "abc",
                                          "+/",
                                          "!",
                                          "=?utf-8?Q?a_b=41?=",
                                          "=?x?B?QUJD?=",
                                          "=?y*en?b?QQ?="};
    int decodedCount = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const uint32_t length = rng.Below(i % 10 == 0 ? 600 : 30);
        for (uint32_t k = 0; k < length; ++k) text += kPieces[rng.Below(std::size(kPieces))];
        const auto block = ExactText(text);
        char* decoded = rfc1522decoding_wmc(block.get());
        char* named = Get1522Charset(block.get());
        // Both find the same words; decoding never makes a text longer; no "=?", no word.
        EXPECT_EQ(decoded == nullptr, named == nullptr);
        if (decoded != nullptr) {
            ++decodedCount;
            EXPECT_LE(std::strlen(decoded), text.size());
            EXPECT_LT(std::strlen(named), text.size());
            EXPECT_NE(text.find("=?"), std::string::npos);
            EXPECT_GT(std::strlen(named), 0u);
        }
        FreeString(decoded);
        FreeString(named);
        (void)dlarchive::DecodeHeaderToUtf8(block.get());
    }
    EXPECT_GT(decodedCount, 2000);
    EXPECT_EQ(rfc1522decoding_wmc(nullptr), nullptr);
    EXPECT_EQ(Get1522Charset(nullptr), nullptr);
}

#include "text/html_entities.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// The result as a string, or nullopt for null; the result is released with free.
std::optional<std::string> Encode(const std::string& bytes)
{
    char* result = EncodeHtmlEntities(bytes.data(), static_cast<int32_t>(bytes.size()));
    if (result == nullptr) return std::nullopt;
    std::string text(result);
    std::free(result);
    return text;
}

std::optional<std::string> CharRefs(const std::string& units)
{
    char* result =
        Ucs2ToCharRefs(reinterpret_cast<const unsigned char*>(units.data()), static_cast<int32_t>(units.size()));
    if (result == nullptr) return std::nullopt;
    std::string text(result);
    std::free(result);
    return text;
}

}  // namespace

TEST(HtmlEntities, ThreeByteSequencesBecomeReferences)
{
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("Plain <b>ASCII</b> & co."), "Plain <b>ASCII</b> & co.");
    EXPECT_EQ(Encode("\xE4\xB8\xAD"), "&#20013;");
    EXPECT_EQ(Encode("a\xE4\xB8\xAD\xE6\x96\x87"
                     "b"),
              "a&#20013;&#25991;b");
    EXPECT_EQ(Encode("\xE2\x82\xAC 5"), "&#8364; 5");
    EXPECT_EQ(Encode("\xE0\x80\x80"), "&#0;");
    EXPECT_EQ(Encode("\xEF\xBF\xBF"), "&#65535;");
    // Runs separated by plain bytes, and a run at either end.
    EXPECT_EQ(Encode("\xE4\xB8\xAD-\xE6\x96\x87-\xE2\x82\xAC\xE2\x82\xAC"), "&#20013;-&#25991;-&#8364;&#8364;");
    // Only the lead byte's low four bits count, and followers need only their high bit: a
    // four-byte lead reads as a three-byte one.
    EXPECT_EQ(Encode("\xF0\x9F\x98"
                     "x"),
              "&#2008;x");
    EXPECT_EQ(Encode("\xC3\xA9\xC3"), "&#14915;");

    // An embedded zero byte is copied and ends the text.
    EXPECT_EQ(Encode(std::string("ab\0\xE4\xB8\xAD", 6)), "ab");
    char* withZero = EncodeHtmlEntities("a\0\xE4\xB8\xAD", 5);
    ASSERT_NE(withZero, nullptr);
    EXPECT_EQ(std::string(withZero, 11), std::string("a\0&#20013;\0", 11));
    std::free(withZero);

    // A length shorter than the text: only that much is read.
    char* prefix = EncodeHtmlEntities("ab\xE4\xB8\xAD", 2);
    ASSERT_NE(prefix, nullptr);
    EXPECT_STREQ(prefix, "ab");
    std::free(prefix);
}

TEST(HtmlEntities, InvalidInputGivesNull)
{
    EXPECT_EQ(EncodeHtmlEntities(nullptr, 3), nullptr);
    EXPECT_EQ(EncodeHtmlEntities("abc", -1), nullptr);
    // A two-byte sequence followed by a space: the third byte is below 0x80.
    EXPECT_EQ(Encode("\xC3\xA9 "), std::nullopt);
    // Two two-byte sequences read as C3 A9 C3 and a lone A9 at the end.
    EXPECT_EQ(Encode("\xC3\xA9\xC3\xA9"), std::nullopt);
    // A lead byte in the last or second-to-last position.
    EXPECT_EQ(Encode("abc\xE4"), std::nullopt);
    EXPECT_EQ(Encode("abc\xE4\xB8"), std::nullopt);
    // Never a partial result, wherever the bad byte sits.
    EXPECT_EQ(Encode("\xE4\xB8\xAD ok \xE4\xB8!"), std::nullopt);
    EXPECT_EQ(Encode("\xE4\x38\xAD"), std::nullopt);
}

TEST(HtmlEntities, InternalSteps)
{
    int32_t length = -7;
    unsigned char* units = Utf8ToUcs2(
        "a\xE4\xB8\xAD"
        "b",
        5, &length);
    ASSERT_NE(units, nullptr);
    ASSERT_EQ(length, 4);
    EXPECT_EQ(std::memcmp(units,
                          "a\x4E\x2D"
                          "b\0",
                          5),
              0);
    std::free(units);

    length = -7;
    EXPECT_EQ(Utf8ToUcs2("\xC3\xA9 ", 3, &length), nullptr);
    EXPECT_EQ(length, -7);  // untouched on failure
    EXPECT_EQ(Utf8ToUcs2(nullptr, 3, &length), nullptr);
    EXPECT_EQ(Utf8ToUcs2("abc", 3, nullptr), nullptr);
    units = Utf8ToUcs2("", 0, &length);
    ASSERT_NE(units, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(units[0], 0);
    std::free(units);

    EXPECT_EQ(CharRefs(""), "");
    EXPECT_EQ(CharRefs(std::string("\xFF\xFF", 2)), "&#65535;");
    EXPECT_EQ(CharRefs(std::string("\0\0\x4E\x2D\x00\x41", 6)), "&#0;&#20013;&#65;");
    EXPECT_EQ(CharRefs(std::string("\x4E\x2D\x4E", 3)), std::nullopt);
    EXPECT_EQ(Ucs2ToCharRefs(nullptr, 2), nullptr);

    // The longest references fill their buffer exactly: 4 bytes per input byte.
    std::string many;
    for (int i = 0; i < 100; ++i) many += "\xFF\xFF";
    std::string expected;
    for (int i = 0; i < 100; ++i) expected += "&#65535;";
    EXPECT_EQ(CharRefs(many), expected);
}

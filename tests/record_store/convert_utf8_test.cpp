#include "record_store/convert_utf8.h"

#include <gtest/gtest.h>

#include <string>

using dlarchive::DecodeHeaderToUtf8;

TEST(ConvertToUtf8, BufferSizingAndOpening)
{
    ConvertToUtf8 converter;
    EXPECT_EQ(converter.Capacity(), 0u);
    EXPECT_FALSE(converter.IsOpen());
    EXPECT_EQ(converter.Convert("abc"), nullptr);  // not opened

    ASSERT_TRUE(converter.Open("iso-8859-1", "utf-8"));
    EXPECT_EQ(converter.Capacity(), 1024u);
    const char* empty = converter.Convert("");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");

    // 341 bytes of é fill the first buffer exactly when converted (2 bytes each + zero).
    std::string latin341(341, '\xE9');
    const char* converted = converter.Convert(latin341.c_str());
    ASSERT_NE(converted, nullptr);
    std::string expected;
    for (int i = 0; i < 341; ++i) expected += "\xC3\xA9";
    EXPECT_EQ(std::string(converted), expected);
    EXPECT_EQ(converter.Capacity(), 1024u);

    // 342 bytes need 3 * 342 + 1 = 1027.
    std::string latin342(342, 'a');
    converted = converter.Convert(latin342.c_str());
    ASSERT_NE(converted, nullptr);
    EXPECT_EQ(std::string(converted), latin342);
    EXPECT_EQ(converter.Capacity(), 1027u);
    // A shorter text keeps the larger buffer.
    EXPECT_STREQ(converter.Convert("\xC4rger"), "\xC3\x84rger");
    EXPECT_EQ(converter.Capacity(), 1027u);

    converter.Close();
    EXPECT_EQ(converter.Capacity(), 0u);
    EXPECT_FALSE(converter.IsOpen());
    EXPECT_EQ(converter.Convert("abc"), nullptr);

    // Unknown charsets and empty names (iconv would take the locale's) are refused.
    EXPECT_FALSE(converter.Open("x-unknown", "utf-8"));
    EXPECT_FALSE(converter.Open("unknown-8bit", "utf-8"));
    EXPECT_FALSE(converter.Open("", "utf-8"));
    EXPECT_FALSE(converter.Open("iso-8859-1", ""));
    EXPECT_FALSE(converter.Open(nullptr, "utf-8"));
    EXPECT_FALSE(converter.IsOpen());
    EXPECT_EQ(converter.Capacity(), 0u);

    // Reopening works after failures and after a close.
    ASSERT_TRUE(converter.Open("KOI8-R", "utf-8"));
    EXPECT_STREQ(converter.Convert("\xF0\xD2\xC9\xD7\xC5\xD4"), "Привет");
}

TEST(ConvertToUtf8, InvalidInputFails)
{
    ConvertToUtf8 utf8;
    ASSERT_TRUE(utf8.Open("utf-8", "utf-8"));
    EXPECT_STREQ(utf8.Convert("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(utf8.Convert("caf\xE9!"), nullptr);     // invalid sequence
    EXPECT_EQ(utf8.Convert("caf\xE4\xB8"), nullptr);  // incomplete at the end
    // The converter stays usable after a failure.
    EXPECT_STREQ(utf8.Convert("ok"), "ok");

    ConvertToUtf8 sjis;
    ASSERT_TRUE(sjis.Open("shift_jis", "utf-8"));
    EXPECT_STREQ(sjis.Convert("\x93\xFA\x96\x7B"), "日本");
    EXPECT_EQ(sjis.Convert("\x81\x20"), nullptr);  // lead byte with an invalid trail byte

    // The buffer holds three bytes per input byte: UTF-32 output needs four, too little room.
    ConvertToUtf8 wide;
    ASSERT_TRUE(wide.Open("utf-8", "utf-32"));
    EXPECT_EQ(wide.Convert(std::string(400, 'a').c_str()), nullptr);
    EXPECT_EQ(wide.Capacity(), 1201u);
}

TEST(ConvertToUtf8, HeaderTextsStoredAsUtf8OrUnchanged)
{
    // An iso-8859-1 subject in an encoded word is stored as UTF-8.
    EXPECT_EQ(DecodeHeaderToUtf8("=?iso-8859-1?Q?Caf=E9_cr=E8me?="), "Café crème");
    EXPECT_EQ(DecodeHeaderToUtf8("Re: =?ISO-8859-1?B?R3L832U=?= aus Wien"), "Re: Grüße aus Wien");
    // Several words: the whole decoded text is converted from the first word's charset.
    EXPECT_EQ(DecodeHeaderToUtf8("=?iso-8859-1?Q?J=F8rn?= =?iso-8859-1?Q?_S=F8?="), "Jørn Sø");
    EXPECT_EQ(DecodeHeaderToUtf8("=?utf-8?B?5Lit5paH?= test"), "中文 test");
    EXPECT_EQ(DecodeHeaderToUtf8("=?gb18030?B?1tDOxA==?="), "中文");

    // Nothing to decode: kept, 8-bit bytes and all.
    EXPECT_EQ(DecodeHeaderToUtf8("Plain subject"), "Plain subject");
    EXPECT_EQ(DecodeHeaderToUtf8("Caf\xE9"), "Caf\xE9");
    EXPECT_EQ(DecodeHeaderToUtf8(""), "");
    EXPECT_EQ(DecodeHeaderToUtf8(nullptr), "");

    // A charset iconv does not know, bytes invalid in the declared charset, or a malformed
    // word: the raw text, never the decoded bytes.
    EXPECT_EQ(DecodeHeaderToUtf8("=?x-unknown?Q?Caf=E9?="), "=?x-unknown?Q?Caf=E9?=");
    EXPECT_EQ(DecodeHeaderToUtf8("=?utf-8?Q?Caf=E9?="), "=?utf-8?Q?Caf=E9?=");
    EXPECT_EQ(DecodeHeaderToUtf8("=?shift_jis?Q?=81=20?="), "=?shift_jis?Q?=81=20?=");
    EXPECT_EQ(DecodeHeaderToUtf8("=?iso-8859-1?X?Caf=E9?="), "=?iso-8859-1?X?Caf=E9?=");
    // Plain 8-bit text next to a word is read in the word's charset; if it is not valid
    // there, the raw text stays.
    EXPECT_EQ(DecodeHeaderToUtf8("\xE9 =?utf-8?Q?=C3=A9?="), "\xE9 =?utf-8?Q?=C3=A9?=");
}

#include "platform/encoded_words.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace {

// The decoded text, or nullopt when the call answers null.
std::optional<std::string> Decode(const char* raw)
{
    std::unique_ptr<char, decltype(&FreeString)> decoded(rfc1522decoding_wmc(raw), &FreeString);
    if (decoded == nullptr) return std::nullopt;
    return std::string(decoded.get());
}

std::optional<std::string> Charset(const char* raw)
{
    std::unique_ptr<char, decltype(&FreeString)> charset(Get1522Charset(raw), &FreeString);
    if (charset == nullptr) return std::nullopt;
    return std::string(charset.get());
}

}  // namespace

TEST(EncodedWords, ExamplesOfRfc2047)
{
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=)"), "(a)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?= b)"), "(a b)");
    // White space between adjacent encoded words is not displayed, whatever it is made of.
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=\t \t=?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?=\n =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a_b?=)"), "(a b)");
    EXPECT_EQ(Decode("(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)"), "(a b)");

    EXPECT_EQ(Decode("From: =?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>"), "From: Keith Moore <moore@cs.utk.edu>");
    EXPECT_EQ(Decode("To: =?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>"),
              "To: Keld J\xF8rn Simonsen <keld@dkuug.dk>");
    EXPECT_EQ(Decode("CC: =?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>"),
              "CC: Andr\xE9 Pirard <PIRARD@vm1.ulg.ac.be>");
    EXPECT_EQ(Decode("Subject: =?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?=\r\n"
                     "    =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?="),
              "Subject: If you can read this you understand the example.");
    EXPECT_EQ(Decode("=?ISO-8859-1?Q?Olle_J=E4rnefors?= <ojarnef@admin.kth.se>"),
              "Olle J\xE4rnefors <ojarnef@admin.kth.se>");
    EXPECT_EQ(Decode("=?ISO-8859-1?Q?Patrik_F=E4ltstr=F6m?= <paf@nada.kth.se>"),
              "Patrik F\xE4ltstr\xF6m <paf@nada.kth.se>");

    // The charset is the first word's, spelled as written; the raw text names it.
    EXPECT_EQ(Charset("(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)"), "ISO-8859-1");
    EXPECT_EQ(Charset("CC: =?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>"), "ISO-8859-1");
}

TEST(EncodedWords, PlainTextAndLanguageSuffix)
{
    // Text without encoded words decodes to nothing, and names no charset.
    EXPECT_EQ(Decode("Plain subject"), std::nullopt);
    EXPECT_EQ(Charset("Plain subject"), std::nullopt);
    EXPECT_EQ(Decode(""), std::nullopt);
    EXPECT_EQ(Decode(nullptr), std::nullopt);
    EXPECT_EQ(Charset(nullptr), std::nullopt);
    FreeString(nullptr);

    // Plain text around and between encoded words stays, white space included.
    EXPECT_EQ(Decode("Re: =?utf-8?q?caf=C3=A9?= and =?utf-8?b?dGhé?= x =?utf-8?Q?=C3=BC?= end"),
              "Re: caf\xC3\xA9 and =?utf-8?b?dGh\xC3\xA9?= x \xC3\xBC end");

    // RFC 2231 language suffix: decoded, and the charset comes without it.
    EXPECT_EQ(Decode("=?iso-8859-1*de?Q?Gr=FC=DFe?="),
              "Gr\xFC\xDF"
              "e");
    EXPECT_EQ(Charset("=?iso-8859-1*de?Q?Gr=FC=DFe?="), "iso-8859-1");
    EXPECT_EQ(Decode("=?US-ASCII*EN?Q?Keith_Moore?="), "Keith Moore");
    EXPECT_EQ(Charset("=?US-ASCII*EN?Q?Keith_Moore?="), "US-ASCII");
    // A language without a charset is no encoded word.
    EXPECT_EQ(Decode("=?*de?Q?abc?="), std::nullopt);

    // Lower-case encoding letters and hex digits are read too.
    EXPECT_EQ(Decode("=?iso-8859-1?q?=e9t=E9?="), "\xE9t\xE9");
}

TEST(EncodedWords, Base64WithAndWithoutPadding)
{
    EXPECT_EQ(Decode("=?us-ascii?B?YQ==?="), "a");
    EXPECT_EQ(Decode("=?us-ascii?B?YQ?="), "a");
    EXPECT_EQ(Decode("=?us-ascii?b?YWI=?="), "ab");
    EXPECT_EQ(Decode("=?us-ascii?B?YWI?="), "ab");
    EXPECT_EQ(Decode("=?us-ascii?B?YWJj?="), "abc");
    EXPECT_EQ(Decode("=?utf-8?B?5Lit5paH?="), "\xE4\xB8\xAD\xE6\x96\x87");
    // Base64 may carry "+", "/" and bytes of any value.
    EXPECT_EQ(Decode("=?iso-8859-1?B?+/8=?="), "\xFB\xFF");
}

TEST(EncodedWords, MalformedWordsStayAsWritten)
{
    // Characters outside the base64 alphabet, misplaced or excess padding, a lone sextet.
    EXPECT_EQ(Decode("=?us-ascii?B?YW*j?="), std::nullopt);
    EXPECT_EQ(Decode("=?us-ascii?B?Y=Jj?="), std::nullopt);
    EXPECT_EQ(Decode("=?us-ascii?B?YQ===?="), std::nullopt);
    EXPECT_EQ(Decode("=?us-ascii?B?YWJjZ?="), std::nullopt);
    // Missing "?=", unknown encoding letter, bad "=" escapes, empty parts, blanks inside.
    EXPECT_EQ(Decode("=?iso-8859-1?Q?abc"), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?Q?abc?"), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?X?abc?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?QQ?abc?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?Q?a=Gb?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?Q?ab=?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?Q?a=E?="), std::nullopt);
    EXPECT_EQ(Decode("=??Q?abc?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?Q?\?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?Q?a b?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso 8859-1?Q?ab?="), std::nullopt);
    EXPECT_EQ(Decode("=?iso-8859-1?Q?a?b?="), std::nullopt);
    EXPECT_EQ(Charset("=?iso-8859-1?X?abc?="), std::nullopt);

    // A malformed word next to good ones is kept as written, and since it is not an encoded
    // word, the white space around it stays as well.
    EXPECT_EQ(Decode("=?utf-8?Q?a?= =?utf-8?X?b?= =?utf-8?Q?c?="), "a =?utf-8?X?b?= c");
    // The charset is that of the first word that decodes.
    EXPECT_EQ(Charset("=?koi8-r?X?b?= =?utf-8?Q?c?="), "utf-8");
    // A broken start does not hide the word that follows it.
    EXPECT_EQ(Decode("=?=?iso-8859-1?Q?x?="), "=?x");
    EXPECT_EQ(Decode("==?iso-8859-1?Q?x?=="), "=x=");
}

// Hostile and damaged messages through the real intake: whatever the bytes, the intake
// stores the message (and it reads back as c-client parses it) or refuses it with a code of
// the system, the message file stays as it was, and the index pages stay whole.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dlarchive/dlarchive.h"
#include "robustness/hostile_support.h"

using hostile::HostileArchive;
using hostile::Outcome;
using hostile::Rng;
using namespace std::string_literals;

namespace {

std::string Header(const std::string& extra = "")
{
    return "From: Ann Lee <ann@example.org>\nSubject: hostile\nDate: Mon, 1 Oct 2001 09:00:00 +0000\n" + extra;
}

std::string Multipart(const std::string& boundary, const std::string& parts)
{
    return Header("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + boundary + "\"\n") + "\n" + parts +
           "--" + boundary + "--\n";
}

std::string ManyParts(int parts)
{
    std::string text;
    for (int i = 0; i < parts; ++i) text += "--p\nContent-Type: text/plain\n\npart " + std::to_string(i) + "\n";
    return Multipart("p", text);
}

// Multiparts `depth` levels down to one text part, or messages in messages `depth` deep.
std::string Nested(int depth, bool messages)
{
    std::string message = messages ? "" : Header("MIME-Version: 1.0\n"), tail;
    for (int level = 0; level < depth; ++level) {
        const std::string b = "b" + std::to_string(level);
        if (messages)
            message += "From: l" + b + "@example.org\nMIME-Version: 1.0\nContent-Type: message/rfc822\n\n";
        else
            message += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b + "\n";
        if (!messages) tail = "\n--" + b + "--\n" + tail;
    }
    return message + (messages ? "From: last@example.org\n" : "Content-Type: text/plain\n") + "\nleaf\n" + tail;
}

}  // namespace

TEST(HostileMessages, MutationsOfTheTestMessagesAndTheSampleList)
{
    HostileArchive archive;
    Rng rng(0x5eed0001);
    uint32_t number = 1;
    int stored = 0, refused = 0;
    const auto messages = hostile::TestMessages(), samples = hostile::SampleListMessages();
    ASSERT_GE(messages.size(), 15u);
    ASSERT_GE(samples.size(), 60u);
    for (const auto* list : {&messages, &samples})
        for (const std::string& original : *list) {
            // The message itself, then damaged copies, now and then damage upon damage.
            std::string bytes = original;
            for (int round = 0; round < (list == &messages ? 40 : 6); ++round, ++number) {
                const Outcome outcome = archive.Feed(number, bytes, "message " + std::to_string(number));
                stored += outcome.kind == Outcome::Stored;
                refused += outcome.kind == Outcome::Refused;
                EXPECT_TRUE(outcome.kind == Outcome::Stored || outcome.kind == Outcome::Refused) << outcome.code;
                bytes = hostile::Mutate(rng.OneIn(3) ? bytes : original, rng);
            }
        }
    EXPECT_GT(stored, 300);
    EXPECT_GT(refused, 0);
    archive.ExpectWholePages();
    // A rebuild skips what does not parse, stores the rest again, and leaves every file.
    std::vector<std::string> files;
    for (uint32_t n = 1; n < number; ++n)
        files.push_back(testenv::ReadFile(archive.archive() + testenv::MessageName(n)));
    const auto before = archive.StoredMessages();
    EXPECT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(archive.StoredMessages(), before);
    for (uint32_t n = 1; n < number; ++n)
        EXPECT_TRUE(testenv::ReadFile(archive.archive() + testenv::MessageName(n)) == files[n - 1]) << n;
    archive.ExpectWholePages();
}

TEST(HostileMessages, DegenerateFilesAndHugeFields)
{
    HostileArchive archive;
    uint32_t number = 1;
    // Without a line feed ending a header line there is no header part: refused with 13.
    for (const std::string& bytes : {"\r\r\r"s, "\0"s, "Subject: x"s, std::string(5000, '\r')}) {
        const Outcome outcome = archive.Feed(number++, bytes, "no header");
        EXPECT_TRUE(outcome.kind == Outcome::Refused && outcome.code == 13) << number;
    }
    const std::string mb(1 << 20, 'x');
    std::string many = "From: a@b.org\nTo: P <p@h.org>", body;
    for (int i = 0; i < 10000; ++i) many += ", P " + std::to_string(i) + " <p" + std::to_string(i) + "@h.org>";
    for (int i = 0; i < 20000; ++i) many += "\nX-Line-" + std::to_string(i) + ": v";
    many += "\nSubject: start";
    for (int i = 0; i < 20000; ++i) many += "\n continued";
    // 50 MB of body, a tenth of it under the sanitizers.
    while (body.size() < (DLARCHIVE_SANITIZED ? 5u << 20 : 50u << 20)) body += "All work and no play.\n";
    Rng rng(0x5eed0003);
    const std::string stored[] = {
        "\n\n",
        "\r\n\r\r\n",
        std::string(100, '\0') + "\n\n" + std::string(100, '\0'),
        ":\n\n:",
        std::string(5000, '\n'),
        "From: \"" + mb + "\" <a@b.org>\nSubject: " + mb + "\n\nbody\n",
        "From: " + mb + "@b.org\nMessage-ID: <" + mb + ">\nReferences: <" + mb + ">\n\nb\n",
        Multipart(mb, "--" + mb + "\nContent-Type: text/plain; name=\"" + mb + "\"\n\npart\n"),
        many + "\n\nbody\n",
        "From: a@b.org\nSubject: " + rng.Bytes(1 << 20) + "\n\nbody\n",
        Header() + "\n" + body,
        Multipart("q", "--q\nContent-Type: application/octet-stream\n\n" + std::string(3 << 20, 'A') + "\n")};
    for (const std::string& bytes : stored) {
        EXPECT_EQ(archive.Feed(number, bytes, "huge " + std::to_string(number)).kind, Outcome::Stored) << number;
        ++number;
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, PartCountAndNestingBounds)
{
    HostileArchive archive;
    EXPECT_EQ(archive.Feed(1, ManyParts(1023), "1023 parts").kind, Outcome::Stored);
    EXPECT_EQ(archive.BodyRecords(1), 1024);
    // More are refused like a body that does not parse, before anything (not even the
    // envelope) is stored; the file stays.
    for (const uint32_t parts : {1024u, 5000u}) {
        const Outcome outcome = archive.Feed(parts, ManyParts(static_cast<int>(parts)), "too many parts");
        EXPECT_TRUE(outcome.kind == Outcome::Refused && outcome.code == 15) << parts;
        EXPECT_EQ(archive.StoredMessages().count(parts), 0u);
    }
    // Deep nesting of both kinds: what c-client built is stored and reads back.
    for (const int depth : {60, 64, 200}) {
        EXPECT_EQ(archive.Feed(100 + depth, Nested(depth, false), "multipart depth").kind, Outcome::Stored) << depth;
        EXPECT_EQ(archive.Feed(1000 + depth, Nested(depth, true), "rfc822 depth").kind, Outcome::Stored) << depth;
    }
    std::string mixed = Nested(0, true);
    for (int level = 0; level < 40; ++level)
        mixed = Multipart("m" + std::to_string(level),
                          "--m" + std::to_string(level) + "\nContent-Type: message/rfc822\n\n" + mixed + "\n");
    EXPECT_EQ(archive.Feed(2000, mixed, "alternating nesting").kind, Outcome::Stored);
    archive.ExpectWholePages();
}

TEST(HostileMessages, BogusEncodedWordsAndGarbageHeaders)
{
    HostileArchive archive;
    std::string many, base64;
    for (int i = 0; i < 5000; ++i) many += "=?utf-8?Q?w" + std::to_string(i) + "?= ";
    while (base64.size() < 300000) base64 += "SGVsbG8gd29ybGQh";
    // Broken words, unknown or wide charsets, and words far beyond any buffer.
    auto subjects = testenv::Lines(
        "=?x-no-such-charset?B?SGVsbG8=?=|=?utf-8?B?S?=|=?utf-8?Q?=ZZ=?=|=??B?SGVsbG8=?=|=?UCS-4?B?AAAAQQAAAEI=?=|"
        "=?utf-8?B?AAAA?=|=?iso-8859-1?Q?=E9t=E9?= =?koi8-r?B?8NLJ18XU?= =?bogus?Q?x?=|=?\x80\x81?B?SGVsbG8=?=",
        "|");
    for (const std::string& s : {"=?" + std::string(10000, 'c') + "?Q?x?=", "=?utf-8?B?" + base64 + "?=", many})
        subjects.push_back(s);
    uint32_t number = 1;
    for (const std::string& s : subjects)
        for (const std::string& bytes : {"From: " + s + " <a@b.org>\nSubject: " + s + "\n\nb\n",
                                         "From: \"" + s + "\" <a@b.org>\nSubject: x " + s + " y\n\nb\n"})
            EXPECT_EQ(archive.Feed(number++, bytes, s.substr(0, 40)).kind, Outcome::Stored);
    // Every header the library reads, with random bytes (zero bytes in every other round).
    Rng rng(0x5eed0004);
    const auto headers = testenv::Lines(
        "From Sender Reply-To To Cc Bcc Subject Date Message-ID In-Reply-To References Newsgroups Followup-To "
        "Return-Path MIME-Version Content-Type Content-Transfer-Encoding Content-Disposition Content-Language "
        "Content-ID Content-Description Content-MD5",
        " ");
    for (int round = 0; round < 40; ++round) {
        std::string message;
        for (const std::string& header : headers) {
            std::string value = rng.Bytes(1 + rng.Below(300));  // never a line end: one line
            for (char& c : value)
                if (c == '\n' || c == '\r' || (round % 2 == 0 && c == '\0')) c = static_cast<char>(0x80 | rng.Byte());
            message += header + ": " + value + "\n";
        }
        EXPECT_NE(archive.Feed(number++, message + "\n" + rng.Bytes(rng.Below(2000)), "garbage").kind, Outcome::Thrown);
    }
    const std::string odd[] = {
        "This line is not a header\nSubject: after it\n\nbody\n", "Subj\0ect: x\0y\nFrom: a\0@b.org\n\nb\0b\n"s,
        "From: <<<<<<<<<<<<<<<@>>>>>>>>>>>>\nTo: ,,,,,,,,,,,,,\n\nb\n",
        "From: ((((((((((((comment\nTo: \"unterm\n\nb\n",
        "To: a:b:c:d;;;;;;@@@@@@\nCc: @relay1,@relay2:user@host\n\nb\n",
        "Content-Type: multipart/mixed; boundary=\"\"\n\n--\n\n--\n--\n", "Content-Type: message/rfc822\n\n",
        // Empty digest parts default to message/rfc822 without envelope or body; c-client's
        // release of the body read back reads the message record of each.
        "MIME-Version: 1.0\nContent-Type: multipart/digest; boundary=d\n\n--d\n\n--d\n\n--d--\n",
        "Content-Type: text/plain; charset*0*=us-ascii'en'a; charset*1*=%zz; charset*99999999999=x\n\nb\n",
        "Content-Type: ;;;;=;=;=\"\nContent-Disposition: ;=\nContent-Language: ,,,,\n\nb\n",
        "Content-Transfer-Encoding: base64\n\n====####====\n",
        "Date: Mon, 99 Foo 99999999 99:99:99 +9999999999\n\nb\n"};
    for (const std::string& bytes : odd)
        EXPECT_NE(archive.Feed(number++, bytes, "odd").kind, Outcome::Thrown) << number;
    archive.ExpectWholePages();
}

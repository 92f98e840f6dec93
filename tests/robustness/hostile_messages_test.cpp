// Hostile and damaged messages through the real intake: whatever the bytes, the intake
// stores the message (and it reads back as c-client parses it) or refuses it with a code of
// the system, the message file stays as it was, and the index pages stay whole.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dlarchive/dlarchive.h"
#include "platform/cclient.h"
#include "robustness/hostile_support.h"

using hostile::HostileArchive;
using hostile::Outcome;
using hostile::Rng;
using namespace std::string_literals;

namespace {

std::string Header(const std::string& extra = "")
{
    return "From: Ann Lee <ann@example.org>\nTo: sales@lists.example.org\nSubject: hostile\n"
           "Date: Mon, 1 Oct 2001 09:00:00 +0000\nMessage-ID: <h@example.org>\n" +
           extra;
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

// Multiparts `depth` levels down to one text part; messages in messages `depth` deep.
std::string NestedMultipart(int depth)
{
    std::string message = Header("MIME-Version: 1.0\n"), tail;
    for (int level = 0; level < depth; ++level) {
        const std::string b = "b" + std::to_string(level);
        message += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b + "\n";
        tail = "\n--" + b + "--\n" + tail;
    }
    return message + "Content-Type: text/plain\n\nleaf\n" + tail;
}

std::string NestedMessages(int depth)
{
    std::string message;
    for (int level = 0; level < depth; ++level)
        message +=
            "From: l" + std::to_string(level) + "@example.org\nMIME-Version: 1.0\nContent-Type: message/rfc822\n\n";
    return message + "From: last@example.org\nSubject: innermost\n\nthe end\n";
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
            for (int round = 0; round < (list == &messages ? 40 : 6); ++round) {
                const Outcome outcome = archive.Feed(number, bytes, "message " + std::to_string(number));
                ++number;
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

TEST(HostileMessages, CutsDegenerateFilesAndHugeHeaders)
{
    HostileArchive archive;
    uint32_t number = 1;
    const auto messages = hostile::TestMessages();
    for (std::size_t m = 0; m < messages.size(); m += 3)  // about 25 cuts per message
        for (std::size_t length = 1; length < messages[m].size();
             length += std::max<std::size_t>(1, messages[m].size() / 25) | 1)
            archive.Feed(number++, messages[m].substr(0, length), "message " + std::to_string(m) + " cut");
    // Without a line feed ending a header line there is no header part: refused with 13.
    for (const std::string& bytes :
         {std::string("\r\r\r"), std::string(1, '\0'), std::string("Subject: x"), std::string(5000, '\r')}) {
        const Outcome outcome = archive.Feed(number++, bytes, "no header");
        EXPECT_TRUE(outcome.kind == Outcome::Refused && outcome.code == 13) << number;
    }
    const std::string mb(1 << 20, 'x');
    std::string addresses, lines, folded = "Subject: start";
    for (int i = 0; i < 10000; ++i)
        addresses += (i ? ", P " : "P ") + std::to_string(i) + " <p" + std::to_string(i) + "@h.org>";
    for (int i = 0; i < 20000; ++i) lines += "X-Line-" + std::to_string(i) + ": v\n", folded += "\n continued";
    Rng rng(0x5eed0003);
    const std::string stored[] = {
        "\n\n",
        "\r\n\r\n",
        std::string(100, '\0') + "\n\n",
        "\n\n" + std::string(100, '\0'),
        ":\n\n:",
        "\r\n\r\r\n",
        std::string(5000, '\n'),
        "From: a@b.org\nSubject: " + mb + "\n\nbody\n",
        "From: \"" + mb + "\" <a@b.org>\n\nb\n",
        "From: " + mb + "@b.org\nMessage-ID: <" + mb + ">\nReferences: <" + mb + ">\n\nb\n",
        Header("MIME-Version: 1.0\nContent-Type: text/plain; name=\"" + mb + "\"\n") + "\nbody\n",
        Multipart(mb, "--" + mb + "\n\npart\n"),
        "From: a@b.org\nTo: " + addresses + "\nCc: " + addresses + "\n\nb\n",
        Header(lines) + "\nbody\n",
        "From: a@b.org\n" + folded + "\n\nbody\n",
        "From: a@b.org\nSubject: " + rng.Bytes(1 << 20) + "\n\nbody\n",
        Header("Content-Type: text/plain\n") + "\n" +
            [] {
                std::string text;  // 50 MB, a tenth of it under the sanitizers
                while (text.size() < (DLARCHIVE_SANITIZED ? 5u << 20 : 50u << 20)) text += "All work and no play.\n";
                return text;
            }(),
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
        EXPECT_EQ(archive.Feed(100 + depth, NestedMultipart(depth), "multipart depth").kind, Outcome::Stored) << depth;
        EXPECT_EQ(archive.Feed(1000 + depth, NestedMessages(depth), "rfc822 depth").kind, Outcome::Stored) << depth;
    }
    std::string mixed = NestedMessages(0);
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
    const std::string subjects[] = {"=?x-no-such-charset?B?SGVsbG8=?=",
                                    "=?utf-8?B?!!!!?=",
                                    "=?utf-8?B?S?=",
                                    "=?utf-8?Q?=ZZ=?=",
                                    "=?utf-8?X?abc?=",
                                    "=??B?SGVsbG8=?=",
                                    "=?*de?B?SGVsbG8=?=",
                                    "=?" + std::string(10000, 'c') + "?Q?x?=",
                                    "=?utf-8?B?" + base64 + "?=",
                                    "=?utf-16?B?QQ==?=",
                                    "=?ISO-2022-JP?B?GyRC?=",
                                    "=?UCS-4?B?AAAAQQAAAEI=?=",
                                    "=?utf-8?B?AAAA?=",
                                    "=?utf-8?B?/+/+?=",
                                    "=?iso-8859-1?Q?=E9t=E9?= =?koi8-r?B?8NLJ18XU?= =?bogus?Q?x?=",
                                    std::string(20000, '=') + "?",
                                    "=?=?=?=?=?=?=?=?=?=?",
                                    many,
                                    "=?\x80\x81?B?SGVsbG8=?="};
    uint32_t number = 1;
    for (const std::string& s : subjects) {
        EXPECT_EQ(archive.Feed(number++, "From: " + s + " <a@b.org>\nSubject: " + s + "\n\nb\n", s.substr(0, 40)).kind,
                  Outcome::Stored);
        EXPECT_EQ(
            archive.Feed(number++, "From: \"" + s + "\" <a@b.org>\nSubject: x " + s + " y\n\nb\n", s.substr(0, 40))
                .kind,
            Outcome::Stored);
    }
    Rng rng(0x5eed0004);
    const char* const headers[] = {"From",
                                   "Sender",
                                   "Reply-To",
                                   "To",
                                   "Cc",
                                   "Bcc",
                                   "Subject",
                                   "Date",
                                   "Message-ID",
                                   "In-Reply-To",
                                   "References",
                                   "Newsgroups",
                                   "Followup-To",
                                   "Return-Path",
                                   "MIME-Version",
                                   "Content-Type",
                                   "Content-Transfer-Encoding",
                                   "Content-Disposition",
                                   "Content-Language",
                                   "Content-ID",
                                   "Content-Description",
                                   "Content-MD5"};
    for (int round = 0; round < 40; ++round) {
        std::string message;
        for (const char* header : headers) {
            std::string value = rng.Bytes(1 + rng.Below(300));  // never a line end: one line
            for (char& c : value)
                if (c == '\n' || c == '\r' || (round % 2 == 0 && c == '\0')) c = static_cast<char>(0x80 | rng.Byte());
            message += std::string(header) + ": " + value + "\n";
        }
        EXPECT_NE(archive.Feed(number++, message + "\n" + rng.Bytes(rng.Below(2000)), "garbage").kind, Outcome::Thrown);
    }
    const std::string odd[] = {
        "This line is not a header\nSubject: after it\n\nbody\n",
        "Subj\0ect: x\0y\nFrom: a\0@b.org\n\nb\0b\n"s,
        "From: <<<<<<<<<<<<<<<@>>>>>>>>>>>>\nTo: ,,,,,,,,,,,,,\n\nb\n",
        "From: ((((((((((((comment\nTo: \"unterminated\n\nb\n",
        "To: a:b:c:d;;;;;;@@@@@@\nCc: @relay1,@relay2:user@host\n\nb\n",
        "Content-Type: multipart/mixed; boundary=\"\"\n\n--\n\n--\n--\n",
        "Content-Type: message/rfc822\n\n",
        "Content-Type: multipart/digest; boundary=d\n\n--d\n\n--d\n\n--d--\n",
        "Content-Type: text/plain; charset*0*=us-ascii'en'a; charset*1*=%zz; charset*99999999999=x\n\nb\n",
        "Content-Type: ;;;;=;=;=\"\nContent-Disposition: ;=\nContent-Language: ,,,,\n\nb\n",
        "Content-Transfer-Encoding: base64\n\n====####====\n",
        "Date: Mon, 99 Foo 99999999 99:99:99 +9999999999\n\nb\n"};
    for (const std::string& bytes : odd)
        EXPECT_NE(archive.Feed(number++, bytes, "odd").kind, Outcome::Thrown) << number;
    archive.ExpectWholePages();
}

TEST(HostileMessages, EmptyDigestPartsReadBackReleasable)
{
    // Parts of a digest default to message/rfc822; an empty one has neither envelope nor
    // body, but c-client's release reads the message record of every such body.
    HostileArchive archive;
    const std::string digest =
        Header("MIME-Version: 1.0\nContent-Type: multipart/digest; boundary=d\n") + "\n--d\n\n--d\n\n--d--\n";
    EXPECT_EQ(archive.Feed(1, digest, "empty digest parts").kind, Outcome::Stored);
    mail_bodystruct* body = nullptr;
    uint32_t size = 0, header = 0;
    archive.manager().GetArchiveBody(1, 0, body, size, header);
    ASSERT_TRUE(body != nullptr && body->type == TYPEMULTIPART);
    int parts = 0;
    for (mail_body_part* part = body->nested.part; part != nullptr; part = part->next, ++parts) {
        EXPECT_EQ(part->body.type, TYPEMESSAGE);
        if (part->body.nested.msg == nullptr) {
            ADD_FAILURE() << "part " << parts << " has no message record";
            part->body.nested.msg = dlarchive::cclient::NewMessage();  // lets the release below run
        }
    }
    EXPECT_EQ(parts, 2);
    dlarchive::cclient::FreeBody(&body);
}

// Hostile and damaged messages through the real intake: whatever the bytes, the intake
// stores the message (and it reads back as c-client parses it) or refuses it with a code of
// the system, the message file stays as it was, and the index pages stay whole.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dlarchive/dlarchive.h"
#include "platform/cclient.h"
#include "robustness/hostile_support.h"

using hostile::HostileArchive;
using hostile::Outcome;
using hostile::Rng;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::string Header(const std::string& extra = "")
{
    return "From: Ann Lee <ann@example.org>\nTo: sales@lists.example.org\nSubject: hostile\n"
           "Date: Mon, 1 Oct 2001 09:00:00 +0000\nMessage-ID: <h@example.org>\n" +
           extra;
}

// A multipart whose parts are multiparts, `depth` levels down to one text part.
std::string NestedMultipart(int depth)
{
    std::string message = Header("MIME-Version: 1.0\n");
    std::string tail;
    for (int level = 0; level < depth; ++level) {
        const std::string boundary = "b" + std::to_string(level);
        message += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n--" + boundary + "\n";
        tail = "\n--" + boundary + "--\n" + tail;
    }
    return message + "Content-Type: text/plain\n\nleaf\n" + tail;
}

// A message whose body is a message whose body is a message ... `depth` levels deep.
std::string NestedMessages(int depth)
{
    std::string message;
    for (int level = 0; level < depth; ++level)
        message += "From: level" + std::to_string(level) + "@example.org\nSubject: level " + std::to_string(level) +
                   "\nMIME-Version: 1.0\nContent-Type: message/rfc822\n\n";
    return message + "From: last@example.org\nSubject: innermost\n\nthe end\n";
}

// A literal with its zero bytes.
template <std::size_t N>
std::string Raw(const char (&text)[N])
{
    return std::string(text, N - 1);
}

std::string ManyParts(int parts)
{
    std::string message = Header("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"p\"\n") + "\n";
    for (int i = 0; i < parts; ++i) message += "--p\nContent-Type: text/plain\n\npart " + std::to_string(i) + "\n";
    return message + "--p--\n";
}

}  // namespace

TEST(HostileMessages, MutationsOfTheTestMessages)
{
    HostileArchive archive;
    Rng rng(0x5eed0001);
    uint32_t number = 1;
    int stored = 0, refused = 0;
    const auto messages = hostile::TestMessages();
    ASSERT_GE(messages.size(), 15u);
    for (std::size_t m = 0; m < messages.size(); ++m) {
        // The message itself first, then damaged copies; each damage builds on a fresh copy
        // or, now and then, on the damage before it.
        std::string bytes = messages[m];
        for (int round = 0; round < 40; ++round) {
            const Outcome outcome =
                archive.Feed(number, bytes, "message " + std::to_string(m) + " round " + std::to_string(round));
            ++number;
            stored += outcome.kind == Outcome::Stored;
            refused += outcome.kind == Outcome::Refused;
            EXPECT_TRUE(outcome.kind == Outcome::Stored || outcome.kind == Outcome::Refused)
                << "message " << m << " round " << round << ": code " << outcome.code;
            bytes = hostile::Mutate(rng.OneIn(3) ? bytes : messages[m], rng);
        }
    }
    // Both roads were taken.
    EXPECT_GT(stored, 300);
    EXPECT_GT(refused, 0);
    archive.ExpectWholePages();

    // A rebuild from the same files skips what does not parse, stores the rest again, and
    // leaves every file as it was.
    std::vector<std::string> files;
    for (uint32_t n = 1; n < number; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%x.msg", n);
        files.push_back(testenv::ReadFile(archive.archive() + name));
    }
    const auto before = archive.StoredMessages();
    EXPECT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_EQ(archive.StoredMessages(), before);
    for (uint32_t n = 1; n < number; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%x.msg", n);
        EXPECT_TRUE(testenv::ReadFile(archive.archive() + name) == files[n - 1]) << name;
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, MutationsOfTheSampleList)
{
    HostileArchive archive;
    Rng rng(0x5eed0002);
    uint32_t number = 0x100;
    const auto messages = hostile::SampleListMessages();
    ASSERT_GE(messages.size(), 60u);
    for (std::size_t m = 0; m < messages.size(); ++m) {
        std::string bytes = messages[m];
        for (int round = 0; round < 8; ++round) {
            const Outcome outcome =
                archive.Feed(number++, bytes, "sample " + std::to_string(m) + " round " + std::to_string(round));
            EXPECT_TRUE(outcome.kind == Outcome::Stored || outcome.kind == Outcome::Refused);
            bytes = hostile::Mutate(bytes, rng);
        }
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, CutShortAtEveryStep)
{
    HostileArchive archive;
    uint32_t number = 1;
    const auto messages = hostile::TestMessages();
    for (std::size_t m = 0; m < messages.size(); m += 3) {
        const std::string& whole = messages[m];
        // About 25 cuts per message, at a step that is no round number.
        const std::size_t step = std::max<std::size_t>(1, whole.size() / 25) | 1;
        for (std::size_t length = 1; length < whole.size(); length += step)
            archive.Feed(number++, whole.substr(0, length),
                         "message " + std::to_string(m) + " cut at " + std::to_string(length));
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, DegenerateFiles)
{
    HostileArchive archive;
    // Only line ends, only carriage returns, zero bytes, no header at all.
    const struct {
        const char* what;
        std::string bytes;
        bool parses;  // whether a header part exists at all
    } cases[] = {
        {"LF LF", "\n\n", true},
        {"LF", "\n", true},
        {"CR CR CR", "\r\r\r", false},
        {"CRLF CRLF", "\r\n\r\n", true},
        {"one zero byte", std::string(1, '\0'), false},
        {"zero bytes then LF LF", std::string(100, '\0') + "\n\n", true},
        {"LF then zero bytes", "\n\n" + std::string(100, '\0'), true},
        {"only a body", "\n\nno header at all\n", true},
        {"header line cut", "Subject: x", false},
        {"colon only", ":\n\n:", true},
        {"CR then LF CR LF", "\r\n\r\r\n", true},
        {"blank lines only", std::string(5000, '\n'), true},
        {"carriage returns only", std::string(5000, '\r'), false},
    };
    uint32_t number = 1;
    for (const auto& c : cases) {
        const Outcome outcome = archive.Feed(number++, c.bytes, c.what);
        if (!c.parses) {
            EXPECT_EQ(outcome.kind, Outcome::Refused) << c.what;
            EXPECT_EQ(outcome.code, 13) << c.what;
        } else {
            EXPECT_NE(outcome.kind, Outcome::Thrown) << c.what;
        }
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, HugeHeaders)
{
    HostileArchive archive;
    Rng rng(0x5eed0003);
    const std::string megabyte(1 << 20, 'x');
    std::string words;
    while (words.size() < (1u << 20)) words += "word" + std::to_string(words.size() % 97) + " ";
    std::string addresses;
    for (int i = 0; i < 10000; ++i)
        addresses += (i ? ", " : "") + std::string("Person ") + std::to_string(i) + " <p" + std::to_string(i) + "@h" +
                     std::to_string(i % 50) + ".example.org>";
    std::string manyLines;
    for (int i = 0; i < 20000; ++i) manyLines += "X-Line-" + std::to_string(i) + ": value " + std::to_string(i) + "\n";
    std::string folded = "Subject: start";
    for (int i = 0; i < 20000; ++i) folded += "\n continued " + std::to_string(i);

    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"1 MB subject without blanks", "From: a@example.org\nSubject: " + megabyte + "\n\nbody\n"},
        {"1 MB subject of words", "From: a@example.org\nSubject: " + words + "\n\nbody\n"},
        {"1 MB unknown header", Header("X-Long: " + megabyte + "\n") + "\nbody\n"},
        {"1 MB personal name", "From: \"" + megabyte + "\" <a@example.org>\nSubject: s\n\nbody\n"},
        {"1 MB mailbox", "From: " + megabyte + "@example.org\nSubject: s\n\nbody\n"},
        {"1 MB message id and references",
         "From: a@example.org\nMessage-ID: <" + megabyte + ">\nReferences: <" + megabyte + ">\n\nbody\n"},
        {"1 MB content type parameter",
         Header("MIME-Version: 1.0\nContent-Type: text/plain; name=\"" + megabyte + "\"\n") + "\nbody\n"},
        {"1 MB boundary", Header("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + megabyte + "\"\n") +
                              "\n--" + megabyte + "\n\npart\n--" + megabyte + "--\n"},
        {"10,000 addresses in To", "From: a@example.org\nTo: " + addresses + "\nSubject: many\n\nbody\n"},
        {"10,000 addresses in Cc and Bcc",
         "From: a@example.org\nCc: " + addresses + "\nBcc: " + addresses + "\nSubject: many\n\nbody\n"},
        {"20,000 header lines", Header(manyLines) + "\nbody\n"},
        {"20,000 folded lines", "From: a@example.org\n" + folded + "\n\nbody\n"},
        {"1 MB of random header bytes", "From: a@example.org\nSubject: " + rng.Bytes(1 << 20) + "\n\nbody\n"},
    };
    uint32_t number = 1;
    for (const auto& c : cases) {
        const Outcome outcome = archive.Feed(number++, c.bytes, c.what);
        EXPECT_EQ(outcome.kind, Outcome::Stored) << c.what << ": code " << outcome.code;
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, PartCountAndNestingBounds)
{
    HostileArchive archive;
    // The most parts a multipart may have reads back whole.
    EXPECT_EQ(archive.Feed(1, ManyParts(1023), "1023 parts").kind, Outcome::Stored);
    EXPECT_EQ(archive.BodyRecords(1), 1024);
    // More are refused like a body that does not parse, before anything of the message is
    // stored (not even its envelope); the file stays.
    for (const int parts : {1024, 5000}) {
        const uint32_t number = static_cast<uint32_t>(parts);
        const Outcome outcome = archive.Feed(number, ManyParts(parts), std::to_string(parts) + " parts");
        EXPECT_EQ(outcome.kind, Outcome::Refused);
        EXPECT_EQ(outcome.code, 15);  // "Archive message body is invalid"
        EXPECT_EQ(archive.BodyRecords(number), 0);
        EXPECT_EQ(archive.StoredMessages().count(number), 0u);
    }
    // Deep nesting of both kinds: c-client stops descending on its own, and what it built is
    // stored and reads back.
    for (const int depth : {60, 64, 200}) {
        EXPECT_EQ(archive.Feed(100 + depth, NestedMultipart(depth), "multipart depth " + std::to_string(depth)).kind,
                  Outcome::Stored);
        EXPECT_EQ(archive.Feed(1000 + depth, NestedMessages(depth), "rfc822 depth " + std::to_string(depth)).kind,
                  Outcome::Stored);
    }
    // Multiparts inside messages inside multiparts, alternating.
    std::string mixed = NestedMessages(0);
    for (int level = 0; level < 40; ++level) {
        const std::string b = "m" + std::to_string(level);
        mixed = "From: l" + std::to_string(level) +
                "@example.org\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b +
                "\nContent-Type: message/rfc822\n\n" + mixed + "\n--" + b + "--\n";
    }
    EXPECT_EQ(archive.Feed(2000, mixed, "alternating nesting").kind, Outcome::Stored);
    archive.ExpectWholePages();
}

TEST(HostileMessages, BogusEncodedWords)
{
    HostileArchive archive;
    std::string hugeBase64;
    while (hugeBase64.size() < 300000) hugeBase64 += "SGVsbG8gd29ybGQh";
    std::string manyWords;
    for (int i = 0; i < 5000; ++i) manyWords += "=?utf-8?Q?w" + std::to_string(i) + "?= ";
    const std::string subjects[] = {
        "=?x-no-such-charset?B?SGVsbG8=?=",
        "=?utf-8?B?!!!!?=",
        "=?utf-8?B?SGVsbG8?=",
        "=?utf-8?B?S?=",
        "=?utf-8?Q?=ZZ=?=",
        "=?utf-8?Q?=?=",
        "=?utf-8?X?abc?=",
        "=??B?SGVsbG8=?=",
        "=?*de?B?SGVsbG8=?=",
        "=?utf-8*?B?SGVsbG8=?=",
        "=?" + std::string(10000, 'c') + "?Q?x?=",
        "=?utf-8?B?" + hugeBase64 + "?=",
        "=?utf-8?Q?" + std::string(100000, '_') + "?=",
        "=?utf-16?B?QQ==?=",       // half a code unit
        "=?ISO-2022-JP?B?GyRC?=",  // an escape sequence cut short
        "=?UTF-7?Q?+AGEAYgBj-?=",
        "=?UCS-4?B?AAAAQQAAAEI=?=",  // zero bytes in the decoded text
        "=?utf-8?B?AAAA?=",          // nothing but zero bytes
        "=?utf-8?B?/+/+/+/+?=",      // invalid UTF-8 claimed as UTF-8
        "=?iso-8859-1?Q?=E9t=E9?= =?koi8-r?B?8NLJ18XU?= =?bogus?Q?x?=",
        std::string(20000, '=') + "?",
        "=?=?=?=?=?=?=?=?=?=?=?=?=?=?=?",
        "?=?=?=?=" + std::string(1000, '?') + "=?",
        manyWords,
        "=?utf-8?B?" + std::string(1, '\xff') + "?=",
        "=?\x80\x81?B?SGVsbG8=?=",
    };
    uint32_t number = 1;
    for (const std::string& subject : subjects) {
        const std::string what = "subject " + std::to_string(number) + " " + subject.substr(0, 40);
        for (const std::string& bytes :
             {"From: " + subject + " <ann@example.org>\nSubject: " + subject + "\n\nbody\n",
              "From: \"" + subject + "\" <ann@example.org>\nSubject: x " + subject + " y\n\nbody\n"}) {
            EXPECT_EQ(archive.Feed(number++, bytes, what).kind, Outcome::Stored) << what;
        }
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, GarbageInEveryHeader)
{
    HostileArchive archive;
    Rng rng(0x5eed0004);
    static const char* const kHeaders[] = {"From",
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
                                           "Content-MD5",
                                           "Content-Location"};
    uint32_t number = 1;
    for (int round = 0; round < 40; ++round) {
        std::string message;
        for (const char* header : kHeaders) {
            // 8-bit bytes and markup, never a line end: the header stays one line.
            std::string value = rng.Bytes(1 + rng.Below(300));
            for (char& c : value)
                if (c == '\n' || c == '\r' || (round % 2 == 0 && c == '\0')) c = static_cast<char>(0x80 | rng.Byte());
            message += std::string(header) + ": " + value + "\n";
        }
        message += "\n" + rng.Bytes(rng.Below(2000));
        const Outcome outcome = archive.Feed(number++, message, "garbage round " + std::to_string(round));
        EXPECT_NE(outcome.kind, Outcome::Thrown) << "round " << round << ": code " << outcome.code;
    }
    const std::string odd[] = {
        "This line is not a header\nSubject: after it\n\nbody\n",
        "Subject without colon\n\nbody\n",
        Raw("Subj\0ect: x\0y\nFrom: a\0@example.org\n\nbody\0body\n"),
        Raw("\0\0\0: \0\n\n"),
        "From: <<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<@>>>>>>>>>>>>>>>>>>\nTo: ,,,,,,,,,,,,,,,,,,,,,,\n\nb\n",
        "From: (((((((((((((((((((((((((((((((((((((((((((((((((comment\nTo: \"unterminated\n\nb\n",
        "To: a:b:c:d:e:f:g:h;;;;;;;;;;;;@@@@@@@@@@@\nCc: @relay1,@relay2:user@host\n\nb\n",
        "Content-Type: multipart/mixed; boundary=\"\"\n\n--\n\n--\n--\n",
        "Content-Type: multipart/mixed\n\n--\nContent-Type: text/plain\n\nx\n----\n",
        "Content-Type: message/rfc822\n\n",
        "Content-Type: message/rfc822\n\n\n\n",
        "Content-Type: multipart/digest; boundary=d\n\n--d\n\n--d\n\n--d--\n",
        "Content-Type: text/plain; charset*0*=us-ascii'en'a; charset*1*=%zz; charset*99999999999=x\n\nb\n",
        "Content-Type: ;;;;=;=;=\"\nContent-Disposition: ;=\nContent-Language: ,,,,\n\nb\n",
        "Content-Transfer-Encoding: base64\n\n====####====\n",
        "Content-Transfer-Encoding: quoted-printable\n\n=\n=Z\n=\n",
        "Date: Mon, 99 Foo 99999999 99:99:99 +9999999999\nSubject: date\n\nb\n",
    };
    for (const std::string& bytes : odd) {
        const Outcome outcome = archive.Feed(number, bytes, "odd message " + std::to_string(number));
        EXPECT_NE(outcome.kind, Outcome::Thrown) << "odd message " << number;
        ++number;
    }
    archive.ExpectWholePages();
}

TEST(HostileMessages, HugeBody)
{
    HostileArchive archive;
    // 50 MB in the plain build; under the sanitizers a tenth of it, which exercises the same
    // code in a fraction of the time.
    const std::size_t size = kSanitized ? (5u << 20) : (50u << 20);
    std::string text;
    text.reserve(size + 200);
    text = Header("MIME-Version: 1.0\nContent-Type: text/plain\n") + "\n";
    const std::string line = "All work and no play makes a very long message body.\n";
    while (text.size() < size) text += line;
    EXPECT_EQ(archive.Feed(1, text, "large text body").kind, Outcome::Stored);
    // One long line without any line end, inside a multipart.
    std::string multipart = Header("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=q\n") +
                            "\n--q\nContent-Type: application/octet-stream\n\n";
    multipart.append(size / 2, 'A');
    multipart += "\n--q--\n";
    EXPECT_EQ(archive.Feed(2, multipart, "large part").kind, Outcome::Stored);
    archive.ExpectWholePages();
}

TEST(HostileMessages, EmptyDigestPartsReadBackReleasable)
{
    // Parts of a digest default to message/rfc822; an empty one has neither envelope nor
    // body. c-client's mail_free_body reads the message record of every MESSAGE/RFC822 body,
    // so the body read back must carry one, or the caller's release crashes.
    HostileArchive archive;
    const std::string digest =
        Header("MIME-Version: 1.0\nContent-Type: multipart/digest; boundary=d\n") + "\n--d\n\n--d\n\n--d--\n";
    mail_bodystruct* body = nullptr;
    uint32_t size = 0, header = 0;
    archive.home().WriteMessage("sales", 1, digest);
    ASSERT_TRUE(archive.manager().AddArchive(archive.archive().c_str(), 1));
    archive.manager().GetArchiveBody(1, 0, body, size, header);
    ASSERT_NE(body, nullptr);
    ASSERT_EQ(body->type, TYPEMULTIPART);
    int parts = 0;
    for (mail_body_part* part = body->nested.part; part != nullptr; part = part->next, ++parts) {
        EXPECT_EQ(part->body.type, TYPEMESSAGE);
        EXPECT_STREQ(part->body.subtype, "RFC822");
        if (part->body.nested.msg == nullptr) {
            ADD_FAILURE() << "part " << parts << " has no message record";
            part->body.nested.msg = dlarchive::cclient::NewMessage();  // lets the release below run
        }
        EXPECT_EQ(part->body.nested.msg->env, nullptr);
        EXPECT_EQ(part->body.nested.msg->body, nullptr);
    }
    EXPECT_EQ(parts, 2);
    dlarchive::cclient::FreeBody(&body);
    // And through the whole intake check, the pages included.
    archive.Feed(2, digest, "empty digest parts");
    archive.ExpectWholePages();
}

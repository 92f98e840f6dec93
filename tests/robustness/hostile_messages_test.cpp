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

// Degenerate files, huge fields, too many parts, bogus encoded words and garbage headers:
// stored, or refused (without a line feed ending a header line there is no header part: 13;
// more than 1023 parts are refused like a body that does not parse: 15).
TEST(HostileMessages, DegenerateFilesHugeFieldsAndBogusHeaders)
{
    HostileArchive archive;
    const std::string mb(1 << 20, 'x');
    std::string many = "From: a@b.org\nTo: P <p@h.org>", words, base64;
    for (int i = 0; i < 10000; ++i) many += ", P " + std::to_string(i) + " <p" + std::to_string(i) + "@h.org>\n c";
    for (int i = 0; i < 5000; ++i) words += "=?utf-8?Q?w" + std::to_string(i) + "?= ";
    while (base64.size() < 300000) base64 += "SGVsbG8gd29ybGQh";
    // {bytes, 0 stored, the code of a refusal, -1 either}
    const std::pair<std::string, int> cases[] = {
        {ManyParts(1023), 0},
        {ManyParts(1024), 15},
        {ManyParts(5000), 15},
        {"\r\r\r", 13},
        {"\0"s, 13},
        {"Subject: x", 13},
        {std::string(5000, '\r'), 13},
        {"\n\n", 0},
        {"\r\n\r\r\n", 0},
        {std::string(100, '\0') + "\n\n" + std::string(100, '\0'), 0},
        {":\n\n:", 0},
        {std::string(5000, '\n'), 0},
        {"From: \"" + mb + "\" <a@b.org>\nSubject: " + mb + "\n\nbody\n", 0},
        {"From: " + mb + "@b.org\nMessage-ID: <" + mb + ">\nReferences: <" + mb + ">\n\nb\n", 0},
        {Multipart(mb, "--" + mb + "\nContent-Type: text/plain; name=\"" + mb + "\"\n\npart\n"), 0},
        {many + "\n\nbody\n", 0},
        {"From: a@b.org\nSubject: " + Rng(0x5eed0003).Bytes(1 << 20) + "\n\nbody\n", 0},
        {Multipart("q", "--q\nContent-Type: application/octet-stream\n\n" + std::string(3 << 20, 'A') + "\n"), 0},
        {"From: =?x-no-such-charset?B?SGVsbG8=?= <a@b.org>\nSubject: =?utf-8?B?S?= =?utf-8?Q?=ZZ=?=\n\nb\n", 0},
        {"From: \"=??B?SGVsbG8=?= =?UCS-4?B?AAAAQQAAAEI=?=\" <a@b.org>\nSubject: x =?utf-8?B?AAAA?= y\n\nb\n", 0},
        {"Subject: =?iso-8859-1?Q?=E9t=E9?= =?koi8-r?B?8NLJ18XU?= =?bogus?Q?x?= =?\x80\x81?B?SGVsbG8=?=\n\nb\n", 0},
        {"From: =?" + std::string(10000, 'c') + "?Q?x?= <a@b.org>\nSubject: =?utf-8?B?" + base64 + "?=\n\nb\n", 0},
        {"From: \"" + words + "\" <a@b.org>\nSubject: " + words + "\n\nb\n", 0},
        {"This line is not a header\nSubject: after it\n\nbody\n", -1},
        {"Subj\0ect: x\0y\nFrom: a\0@b.org\n\nb\0b\n"s, -1},
        {"From: <<<<<<<<<<<<<<<@>>>>>>>>>>>>\nTo: ,,,,,,,,,,,,,\n\nb\n", -1},
        {"From: ((((((((((((comment\nTo: \"unterm\n\nb\n", -1},
        {"To: a:b:c:d;;;;;;@@@@@@\nCc: @relay1,@relay2:user@host\n\nb\n", -1},
        {"Content-Type: multipart/mixed; boundary=\"\"\n\n--\n\n--\n--\n", -1},
        {"Content-Type: message/rfc822\n\n", -1},
        // Empty digest parts default to message/rfc822 without envelope or body; c-client's
        // release of the body read back reads the message record of each.
        {"MIME-Version: 1.0\nContent-Type: multipart/digest; boundary=d\n\n--d\n\n--d\n\n--d--\n", -1},
        {"Content-Type: text/plain; charset*0*=us-ascii'en'a; charset*1*=%zz; charset*99999999999=x\n\nb\n", -1},
        {"Content-Type: ;;;;=;=;=\"\nContent-Disposition: ;=\nContent-Language: ,,,,\n\nb\n", -1},
        {"Content-Transfer-Encoding: base64\n\n====####====\n", -1},
        {"Date: Mon, 99 Foo 99999999 99:99:99 +9999999999\n\nb\n", -1}};
    uint32_t number = 1;
    for (const auto& [bytes, expected] : cases) {
        const Outcome outcome = archive.Feed(number, bytes, "case " + std::to_string(number));
        ++number;
        EXPECT_TRUE(expected < 0 ? outcome.kind != Outcome::Thrown
                                 : outcome.kind == (expected ? Outcome::Refused : Outcome::Stored) &&
                                       outcome.code == (expected ? expected : outcome.code))
            << number - 1;
    }
    archive.ExpectWholePages();
}

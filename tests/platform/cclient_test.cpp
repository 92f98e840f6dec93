// The records header comes first on purpose: the standard headers and GoogleTest that follow
// must not see any of c-client's macros.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <iostream>
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/cclient.h"

#if defined(T) || defined(NIL) || defined(min) || defined(max) || defined(write) || defined(BODY) ||             \
    defined(ADDRESS) || defined(MESSAGE) || defined(PART) || defined(INIT) || defined(ERROR) || defined(WARN) || \
    defined(SIZE) || defined(flock) || defined(direct)
#error "c-client macros leak out of platform/cclient_records.h"
#endif

namespace cc = dlarchive::cclient;

namespace {

template <typename T>
T Twice(const T& value)
{
    return value + value;
}

struct Parsed {
    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;
    std::vector<std::string> warnings;
    std::string buffer;  // the parser may keep pointers into the body text

    explicit Parsed(std::string message, uint32_t headerSize) : buffer(std::move(message))
    {
        cc::ParseMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), headerSize, &envelope, &body, &warnings);
    }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
    ~Parsed()
    {
        cc::FreeEnvelope(&envelope);
        cc::FreeBody(&body);
    }
};

// Offset just after the empty line that ends the header.
uint32_t HeaderSize(const std::string& message)
{
    std::size_t lf = message.find("\n\n");
    std::size_t crlf = message.find("\r\n\r\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
        return static_cast<uint32_t>(crlf + 4);
    }
    return static_cast<uint32_t>(lf + 2);
}

std::string WithCrlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string Text(const char* text)
{
    return text != nullptr ? text : "<null>";
}
std::string Text(const unsigned char* text)
{
    return Text(reinterpret_cast<const char*>(text));
}

const std::string kMessage =
    "From: Alice Example <alice@example.org>\n"
    "To: bob@example.com, \"Carol C.\" <carol@example.net>\n"
    "Subject: =?iso-8859-1?Q?Caf=E9?=\n"
    "Date: Mon, 1 Jan 2024 10:00:00 +0000\n"
    "Message-ID: <m1@example.org>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\n"
    "\n"
    "preamble\n"
    "--XX\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "\n"
    "Hello\n"
    "World\n"
    "--XX\n"
    "Content-Type: application/octet-stream; name=\"a.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=\"a.bin\"\n"
    "\n"
    "AAEC\n"
    "--XX--\n";

void ExpectParsedMessage(const Parsed& parsed)
{
    ASSERT_NE(parsed.envelope, nullptr);
    ASSERT_NE(parsed.body, nullptr);
    EXPECT_TRUE(parsed.warnings.empty());

    const mail_envelope* env = parsed.envelope;
    ASSERT_NE(env->from, nullptr);
    EXPECT_EQ(Text(env->from->personal), "Alice Example");
    EXPECT_EQ(Text(env->from->mailbox), "alice");
    EXPECT_EQ(Text(env->from->host), "example.org");
    EXPECT_EQ(env->from->next, nullptr);
    // Sender and reply-to default to the originator.
    ASSERT_NE(env->sender, nullptr);
    EXPECT_EQ(Text(env->sender->mailbox), "alice");
    ASSERT_NE(env->to, nullptr);
    EXPECT_EQ(Text(env->to->personal), "<null>");
    EXPECT_EQ(Text(env->to->mailbox), "bob");
    ASSERT_NE(env->to->next, nullptr);
    EXPECT_EQ(Text(env->to->next->personal), "Carol C.");
    EXPECT_EQ(Text(env->to->next->host), "example.net");
    EXPECT_EQ(env->cc, nullptr);
    // Encoded words and the date stay as written.
    EXPECT_EQ(Text(env->subject), "=?iso-8859-1?Q?Caf=E9?=");
    EXPECT_EQ(Text(env->date), "Mon, 1 Jan 2024 10:00:00 +0000");
    EXPECT_EQ(Text(env->message_id), "<m1@example.org>");

    const mail_bodystruct* body = parsed.body;
    EXPECT_EQ(body->type, TYPEMULTIPART);
    EXPECT_EQ(Text(body->subtype), "MIXED");
    const mail_body_part* first = body->nested.part;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->body.type, TYPETEXT);
    EXPECT_EQ(Text(first->body.subtype), "PLAIN");
    ASSERT_NE(first->body.parameter, nullptr);
    EXPECT_EQ(Text(first->body.parameter->attribute), "CHARSET");
    EXPECT_EQ(Text(first->body.parameter->value), "iso-8859-1");
    const mail_body_part* second = first->next;
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->body.type, TYPEAPPLICATION);
    EXPECT_EQ(second->body.encoding, ENCBASE64);
    EXPECT_EQ(Text(second->body.disposition.type), "ATTACHMENT");
    EXPECT_EQ(second->next, nullptr);
}

}  // namespace

TEST(CClient, RecordsHeaderLeavesOrdinaryCppAlone)
{
    // Names c-client turns into macros work as ordinary C++ again.
    std::ostringstream out;
    out.write("abc", 3);
    std::cout.write("", 0);
    EXPECT_EQ(out.str(), "abc");
    EXPECT_EQ(Twice(21), 42);
    EXPECT_EQ(Twice(std::string("ab")), "abab");
    std::map<std::string, int> map{{"min", std::min(3, 4)}, {"max", std::max(3, 4)}};
    EXPECT_EQ(map["min"], 3);
    EXPECT_EQ(map["max"], 4);
    std::unordered_map<int, std::list<int>> lists{{1, {1, 2}}};
    EXPECT_EQ(lists[1].size(), 2u);

    // And the record members are there by name.
    mail_envelope* env = cc::NewEnvelope();
    env->subject = cc::CopyString("subject");
    EXPECT_EQ(Text(env->subject), "subject");
    cc::FreeEnvelope(&env);
    EXPECT_EQ(env, nullptr);
}

TEST(CClient, ParsesLfAndCrlfMessages)
{
    Parsed lf(kMessage, HeaderSize(kMessage));
    ExpectParsedMessage(lf);
    std::string crlfText = WithCrlf(kMessage);
    Parsed crlf(crlfText, HeaderSize(crlfText));
    ExpectParsedMessage(crlf);

    // Sizes count lines as CRLF whatever the file uses; offsets count from the body start.
    ASSERT_NE(lf.body, nullptr);
    ASSERT_NE(crlf.body, nullptr);
    // "Hello\r\nWorld": the line break before the boundary belongs to the boundary.
    EXPECT_EQ(lf.body->nested.part->body.size.bytes, 12u);
    EXPECT_EQ(crlf.body->nested.part->body.size.bytes, 12u);
    std::string lfBody = kMessage.substr(HeaderSize(kMessage));
    EXPECT_EQ(lf.body->nested.part->body.contents.offset, lfBody.find("Hello"));
}

TEST(CClient, EmptyHeaderAndBadSizes)
{
    // No header at all: an envelope all of whose fields are empty.
    Parsed empty("just a body line\n", 0);
    ASSERT_NE(empty.envelope, nullptr);
    const mail_envelope* env = empty.envelope;
    EXPECT_EQ(env->remail, nullptr);
    EXPECT_EQ(env->return_path, nullptr);
    EXPECT_EQ(env->date, nullptr);
    EXPECT_EQ(env->from, nullptr);
    EXPECT_EQ(env->sender, nullptr);
    EXPECT_EQ(env->reply_to, nullptr);
    EXPECT_EQ(env->subject, nullptr);
    EXPECT_EQ(env->to, nullptr);
    EXPECT_EQ(env->cc, nullptr);
    EXPECT_EQ(env->bcc, nullptr);
    EXPECT_EQ(env->in_reply_to, nullptr);
    EXPECT_EQ(env->message_id, nullptr);
    EXPECT_EQ(env->newsgroups, nullptr);
    EXPECT_EQ(env->followup_to, nullptr);
    EXPECT_EQ(env->references, nullptr);
    // Without a content type the body is plain text.
    ASSERT_NE(empty.body, nullptr);
    EXPECT_EQ(empty.body->type, TYPETEXT);

    // A header size beyond the buffer parses nothing; null outputs are refused.
    Parsed beyond("Subject: x\n\n", 100);
    EXPECT_EQ(beyond.envelope, nullptr);
    EXPECT_EQ(beyond.body, nullptr);
    char text[] = "Subject: x\n\n";
    mail_envelope* envelope = nullptr;
    cc::ParseMessage(text, 12, 12, &envelope, nullptr);
    EXPECT_EQ(envelope, nullptr);
}

TEST(CClient, BadAddressGivesWarningsOfThatParseOnly)
{
    const std::string bad = "From: Alice <alice@example.org\nTo: @@@\nSubject: s\n\nbody\n";
    Parsed parsed(bad, HeaderSize(bad));
    ASSERT_NE(parsed.envelope, nullptr);
    ASSERT_NE(parsed.envelope->to, nullptr);
    bool invalidSeen = false;
    for (const mail_address* a = parsed.envelope->to; a != nullptr; a = a->next) {
        if (Text(a->mailbox) == "INVALID_ADDRESS" && Text(a->host) == ".SYNTAX-ERROR.") {
            invalidSeen = true;
        }
    }
    EXPECT_TRUE(invalidSeen);
    ASSERT_FALSE(parsed.warnings.empty());

    // The next parse starts with no warnings, and a parse without a collector is fine.
    Parsed good(kMessage, HeaderSize(kMessage));
    EXPECT_TRUE(good.warnings.empty());
    std::string copy = bad;
    mail_envelope* env = nullptr;
    mail_bodystruct* body = nullptr;
    cc::ParseMessage(copy.data(), static_cast<uint32_t>(copy.size()), HeaderSize(copy), &env, &body);
    EXPECT_NE(env, nullptr);
    cc::FreeEnvelope(&env);
    cc::FreeBody(&body);

    // Each thread collects the warnings of its own parses.
    std::vector<std::size_t> counts(2, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t, &counts, &bad] {
            for (int i = 0; i < 50; ++i) {
                Parsed p(t == 0 ? bad : kMessage, HeaderSize(t == 0 ? bad : kMessage));
                counts[t] += p.warnings.size();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counts[0], 50 * parsed.warnings.size());
    EXPECT_EQ(counts[1], 0u);
}

TEST(CClient, AllocatedRecordsFreeWithCClientsReleaseFunctions)
{
    // An envelope with address lists and texts, released by mail_free_envelope.
    mail_envelope* env = cc::NewEnvelope();
    ASSERT_NE(env, nullptr);
    EXPECT_EQ(env->from, nullptr);
    env->from = cc::NewAddress();
    env->from->personal = cc::CopyString("Alice");
    env->from->mailbox = cc::CopyString("alice");
    env->from->host = cc::CopyString("example.org");
    env->from->next = cc::NewAddress();
    env->from->next->mailbox = cc::CopyString("bob");
    env->to = cc::NewAddress();
    env->to->adl = cc::CopyString("@relay");
    env->subject = cc::CopyString("subject");
    env->date = reinterpret_cast<unsigned char*>(cc::CopyString("today"));
    env->message_id = cc::CopyBytes("<id>xyz", 4);
    EXPECT_EQ(Text(env->message_id), "<id>");
    mail_free_envelope(&env);
    EXPECT_EQ(env, nullptr);

    // A multipart body with parameters, a language list and an encapsulated message,
    // released by mail_free_body.
    mail_bodystruct* body = cc::NewBody();
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->type, TYPETEXT);
    body->type = TYPEMULTIPART;
    body->subtype = cc::CopyString("MIXED");
    body->parameter = cc::NewParameter();
    body->parameter->attribute = cc::CopyString("BOUNDARY");
    body->parameter->value = cc::CopyString("XX");

    mail_body_part* part = cc::NewBodyPart();
    body->nested.part = part;
    part->body.subtype = cc::CopyString("PLAIN");
    part->body.disposition.type = cc::CopyString("INLINE");
    part->body.disposition.parameter = cc::NewParameter();
    part->body.disposition.parameter->attribute = cc::CopyString("FILENAME");
    part->body.language = cc::NewStringList();
    part->body.language->text.data = reinterpret_cast<unsigned char*>(cc::CopyBytes("EN", 2));
    part->body.language->text.size = 2;
    part->body.language->next = cc::NewStringList();
    part->body.language->next->text.data = reinterpret_cast<unsigned char*>(cc::CopyString("DE"));
    part->body.language->next->text.size = 2;

    part->next = cc::NewBodyPart();
    mail_bodystruct* inner = &part->next->body;
    inner->type = TYPEMESSAGE;
    inner->subtype = cc::CopyString("RFC822");
    inner->nested.msg = cc::NewMessage();
    ASSERT_NE(inner->nested.msg, nullptr);
    inner->nested.msg->env = cc::NewEnvelope();
    inner->nested.msg->env->subject = cc::CopyString("inner");
    inner->nested.msg->body = cc::NewBody();
    inner->nested.msg->body->subtype = cc::CopyString("PLAIN");
    mail_free_body(&body);
    EXPECT_EQ(body, nullptr);

    // The smaller release functions and the string helpers.
    mail_address* address = cc::NewAddress();
    address->mailbox = cc::CopyString("x");
    cc::FreeAddress(&address);
    EXPECT_EQ(address, nullptr);
    mail_body_parameter* parameter = cc::NewParameter();
    parameter->value = cc::CopyString("v");
    cc::FreeParameter(&parameter);
    EXPECT_EQ(parameter, nullptr);
    string_list* list = cc::NewStringList();
    list->text.data = reinterpret_cast<unsigned char*>(cc::CopyString("t"));
    list->text.size = 1;
    cc::FreeStringList(&list);
    EXPECT_EQ(list, nullptr);
    char* text = cc::CopyString("give back");
    cc::ReleaseString(&text);
    EXPECT_EQ(text, nullptr);
    cc::ReleaseString(&text);
    EXPECT_EQ(cc::CopyString(nullptr), nullptr);
    EXPECT_EQ(cc::CopyBytes(nullptr, 3), nullptr);
    cc::FreeEnvelope(nullptr);
    cc::FreeBody(nullptr);
}

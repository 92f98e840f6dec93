// The records header comes first: what follows must not see c-client's macros.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/cclient.h"
#include "support/json_records.h"

namespace cc = dlarchive::cclient;
using nlohmann::json;

namespace {

// One message parsed by c-client, released at the end of the test.
struct Parsed {
    std::string buffer;
    uint32_t headerSize = 0;
    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;

    explicit Parsed(std::string message) : buffer(std::move(message))
    {
        const std::size_t blank = buffer.find("\r\n\r\n");
        headerSize = static_cast<uint32_t>(blank + 4);
        cc::ParseMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), headerSize, &envelope, &body);
    }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
    ~Parsed()
    {
        cc::FreeEnvelope(&envelope);
        cc::FreeBody(&body);
    }
    // Offset of `text` within the body (what c-client's offsets count from).
    uint64_t BodyOffset(const std::string& text, std::size_t from = 0) const
    {
        const std::size_t at = buffer.find(text, headerSize + from);
        EXPECT_NE(at, std::string::npos) << text;
        return at - headerSize;
    }
};

std::string Crlf(const std::string& lf)
{
    std::string out;
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

json Address(json personal, json mailbox, json host)
{
    return {{"personal", personal}, {"adl", nullptr}, {"mailbox", mailbox}, {"host", host}};
}

json Span(uint64_t offset, uint64_t size)
{
    return {{"offset", offset}, {"size", size}};
}

const std::string kNested = Crlf(
    "Date: Tue, 2 Jan 2024 10:00:00 +0100\n"
    "From: \"Ann Example\" <ann@example.org>\n"
    "To: team: bob@example.com, \"Carol C\" <carol@example.net>;, dave@example.com\n"
    "Cc: undisclosed-recipients:;\n"
    "Subject: Nested\n"
    "Message-ID: <m1@example.org>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "preamble\n"
    "--outer\n"
    "Content-Type: text/plain; charset=utf-8; format=flowed\n"
    "Content-Language: en, de\n"
    "Content-ID: <p1@example.org>\n"
    "Content-Description: greeting\n"
    "\n"
    "Hello\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=inner\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain\n"
    "\n"
    "plain\n"
    "--inner\n"
    "Content-Type: text/html\n"
    "\n"
    "<p>html</p>\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: message/rfc822\n"
    "Content-Disposition: attachment; filename=\"fwd.eml\"\n"
    "\n"
    "From: Dan <dan@example.com>\n"
    "Subject: forwarded\n"
    "In-Reply-To: <m0@example.org>\n"
    "Content-Type: application/octet-stream; name=data.bin\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "AAEC\n"
    "--outer--\n");

}  // namespace

TEST(JsonRecords, EnvelopeMembersGroupsAndNulls)
{
    Parsed m(kNested);
    ASSERT_NE(m.envelope, nullptr);
    json env = cli::EnvelopeToJson(m.envelope);

    EXPECT_EQ(env["date"], "Tue, 2 Jan 2024 10:00:00 +0100");
    EXPECT_EQ(env["subject"], "Nested");
    const json ann = json::array({Address("Ann Example", "ann", "example.org")});
    EXPECT_EQ(env["from"], ann);
    // c-client fills sender and reply-to from From when the header has none.
    EXPECT_EQ(env["sender"], ann);
    EXPECT_EQ(env["reply_to"], ann);
    // A group is its name (no host), its members, and an entry with neither.
    EXPECT_EQ(env["to"], json::array({Address(nullptr, "team", nullptr), Address(nullptr, "bob", "example.com"),
                                      Address("Carol C", "carol", "example.net"), Address(nullptr, nullptr, nullptr),
                                      Address(nullptr, "dave", "example.com")}));
    EXPECT_EQ(env["cc"],
              json::array({Address(nullptr, "undisclosed-recipients", nullptr), Address(nullptr, nullptr, nullptr)}));
    EXPECT_EQ(env["bcc"], json::array());  // a missing list is [], never null
    EXPECT_EQ(env["message_id"], "<m1@example.org>");
    for (const char* missing : {"in_reply_to", "newsgroups", "followup_to", "references"})
        EXPECT_TRUE(env.at(missing).is_null()) << missing;
    EXPECT_EQ(env["ngbogus"], false);
    EXPECT_EQ(env.size(), 14u);

    EXPECT_TRUE(cli::EnvelopeToJson(nullptr).is_null());
    EXPECT_TRUE(cli::BodyToJson(nullptr).is_null());
}

TEST(JsonRecords, NestedBodyMemberByMember)
{
    Parsed m(kNested);
    ASSERT_NE(m.body, nullptr);
    json body = cli::BodyToJson(m.body);
    const uint64_t bodySize = m.buffer.size() - m.headerSize;

    EXPECT_EQ(body["type"], 1);  // multipart
    EXPECT_EQ(body["encoding"], 0);
    EXPECT_EQ(body["subtype"], "MIXED");
    EXPECT_EQ(body["parameter"], json::parse(R"([{"attribute":"BOUNDARY","value":"outer"}])"));
    EXPECT_EQ(body["disposition"], json::parse(R"({"type":null,"parameter":[]})"));
    EXPECT_EQ(body["language"], json::array());
    for (const char* missing : {"id", "description", "md5"}) EXPECT_TRUE(body.at(missing).is_null()) << missing;
    EXPECT_EQ(body["contents"], Span(0, bodySize));
    EXPECT_FALSE(body.contains("message"));
    ASSERT_EQ(body["parts"].size(), 3u);

    // First part: a text with parameters, language, id and description.
    json& text = body["parts"][0];
    EXPECT_EQ(text["type"], 0);
    EXPECT_EQ(text["subtype"], "PLAIN");
    EXPECT_EQ(text["parameter"], json::parse(R"([{"attribute":"CHARSET","value":"utf-8"},
                                                 {"attribute":"FORMAT","value":"flowed"}])"));
    EXPECT_EQ(text["language"], json::parse(R"(["EN","DE"])"));
    EXPECT_EQ(text["id"], "<p1@example.org>");
    EXPECT_EQ(text["description"], "greeting");
    EXPECT_TRUE(text.at("md5").is_null());
    const uint64_t mime1 = m.BodyOffset("Content-Type: text/plain; charset");
    EXPECT_EQ(text["mime"], Span(mime1, m.BodyOffset("Hello") - mime1));
    EXPECT_EQ(text["contents"], Span(m.BodyOffset("Hello"), 5));
    // c-client counts line ends; this one belongs to the boundary that follows.
    EXPECT_EQ(text["size"], json::parse(R"({"lines":0,"bytes":5})"));
    EXPECT_FALSE(text.contains("parts"));
    EXPECT_FALSE(text.contains("message"));

    // Second part: a multipart inside the multipart.
    json& alternative = body["parts"][1];
    EXPECT_EQ(alternative["type"], 1);
    EXPECT_EQ(alternative["subtype"], "ALTERNATIVE");
    EXPECT_EQ(alternative["parameter"], json::parse(R"([{"attribute":"BOUNDARY","value":"inner"}])"));
    ASSERT_EQ(alternative["parts"].size(), 2u);
    EXPECT_EQ(alternative["parts"][0]["subtype"], "PLAIN");
    // No charset given: c-client supplies US-ASCII.
    EXPECT_EQ(alternative["parts"][0]["parameter"], json::parse(R"([{"attribute":"CHARSET","value":"US-ASCII"}])"));
    EXPECT_EQ(alternative["parts"][0]["contents"], Span(m.BodyOffset("plain\r\n--inner"), 5));
    EXPECT_EQ(alternative["parts"][1]["subtype"], "HTML");
    EXPECT_EQ(alternative["parts"][1]["contents"], Span(m.BodyOffset("<p>html</p>"), 11));
    EXPECT_FALSE(alternative["parts"][1].contains("parts"));  // not a multipart

    // Third part: an encapsulated message with its own envelope and body.
    json& forwarded = body["parts"][2];
    EXPECT_EQ(forwarded["type"], 2);
    EXPECT_EQ(forwarded["subtype"], "RFC822");
    EXPECT_EQ(forwarded["disposition"], json::parse(R"({"type":"ATTACHMENT",
                              "parameter":[{"attribute":"FILENAME","value":"fwd.eml"}]})"));
    EXPECT_FALSE(forwarded.contains("parts"));
    json& message = forwarded["message"];
    const uint64_t full = m.BodyOffset("From: Dan");
    const uint64_t data = m.BodyOffset("AAEC");
    EXPECT_EQ(message["full"], Span(full, data + 4 - full));
    EXPECT_EQ(message["header"], Span(full, data - full));
    EXPECT_EQ(message["text"], Span(data, 4));
    EXPECT_EQ(forwarded["contents"], Span(full, data + 4 - full));

    json& inner = message["envelope"];
    EXPECT_EQ(inner["from"], json::array({Address("Dan", "dan", "example.com")}));
    EXPECT_EQ(inner["subject"], "forwarded");
    EXPECT_EQ(inner["in_reply_to"], "<m0@example.org>");
    EXPECT_TRUE(inner.at("message_id").is_null());
    EXPECT_TRUE(inner.at("date").is_null());
    EXPECT_EQ(inner["to"], json::array());
    EXPECT_EQ(inner["cc"], json::array());

    json& attachment = message["body"];
    EXPECT_EQ(attachment["type"], 3);      // application
    EXPECT_EQ(attachment["encoding"], 3);  // base64
    EXPECT_EQ(attachment["subtype"], "OCTET-STREAM");
    EXPECT_EQ(attachment["parameter"], json::parse(R"([{"attribute":"NAME","value":"data.bin"}])"));
    EXPECT_EQ(attachment["contents"], Span(data, 4));

    // The whole object that "show" prints.
    json shown = cli::MessageToJson(0xbb8, 0, m.buffer.size(), m.headerSize, m.envelope, m.body);
    EXPECT_EQ(shown["id"], 3000);
    EXPECT_EQ(shown["seq"], 0);
    EXPECT_EQ(shown["size"], m.buffer.size());
    EXPECT_EQ(shown["header_size"], m.headerSize);
    EXPECT_EQ(shown["envelope"], cli::EnvelopeToJson(m.envelope));
    EXPECT_EQ(shown["body"], body);
    EXPECT_EQ(json::parse(shown.dump()), shown);
}

TEST(JsonRecords, InvalidUtf8BecomesReplacementCharacters)
{
    const std::string fffd = "\xEF\xBF\xBD";
    // Valid text of every length passes unchanged.
    const std::string valid = "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\xEF\xBF\xBF\xF4\x8F\xBF\xBF";
    EXPECT_EQ(cli::SanitizeUtf8(valid), valid);
    EXPECT_EQ(cli::SanitizeUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));

    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"caf\xE9", "caf" + fffd},         // latin-1
        {"\x80x\xBF", fffd + "x" + fffd},  // stray continuation bytes
        {"\xE2\x82", fffd},                // truncated at the end
        {"\xE2\x82"
         "A",
         fffd + "A"},                                         // truncated before a letter
        {"\xF0\x9D\x84\xE2\x82\xAC", fffd + "\xE2\x82\xAC"},  // truncated before a sequence
        {"\xC0\xAF", fffd + fffd},                            // overlong "/"
        {"\xE0\x80\xAF", fffd + fffd + fffd},                 // overlong, three bytes
        {"\xF0\x80\x80\xAF", fffd + fffd + fffd + fffd},      // overlong, four bytes
        {"\xED\xA0\x80", fffd + fffd + fffd},                 // surrogate U+D800
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},      // above U+10FFFF
        {"\xF5\xFF\xFE", fffd + fffd + fffd},
        {"\xC2", fffd},
    };
    for (const Case& c : cases) EXPECT_EQ(cli::SanitizeUtf8(c.in), c.out) << c.in;

    // Raw 8-bit header bytes as they come from a message: the output stays parseable JSON.
    Parsed m(
        Crlf("From: J\xF6rg M\xFCller <joerg@example.de>\n"
             "Subject: Gr\xFC\xDF"
             "e \xE2\x82\xAC\n"
             "Content-Type: text/plain; name=\"d\xE9j\xE0.txt\"\n"
             "Content-Description: caf\xE9\n"
             "\n"
             "body\n"));
    const json shown = cli::MessageToJson(1, 0, m.buffer.size(), m.headerSize, m.envelope, m.body);
    const std::string text = shown.dump();
    const json back = json::parse(text);
    EXPECT_EQ(back["envelope"]["subject"], "Gr" + fffd + fffd + "e \xE2\x82\xAC");
    EXPECT_EQ(back["envelope"]["from"][0]["personal"], "J" + fffd + "rg M" + fffd + "ller");
    EXPECT_EQ(back["body"]["parameter"][0]["value"], "d" + fffd + "j" + fffd + ".txt");
    EXPECT_EQ(back["body"]["description"], "caf" + fffd);
}

TEST(JsonRecords, DamagedTreesEndInsteadOfLoopingForever)
{
    // A message body whose encapsulated message leads back to itself.
    mail_bodystruct* body = cc::NewBody();
    body->type = TYPEMESSAGE;
    body->subtype = cc::CopyString("RFC822");
    body->nested.msg = cc::NewMessage();
    body->nested.msg->body = body;
    const json looped = cli::BodyToJson(body);
    EXPECT_EQ(looped["subtype"], "RFC822");
    EXPECT_TRUE(looped.at("message").at("body").is_null());
    EXPECT_TRUE(looped.at("message").at("envelope").is_null());
    body->nested.msg->body = nullptr;

    // A parameter list whose last entry points back to the first.
    mail_body_parameter* first = cc::NewParameter();
    first->attribute = cc::CopyString("A");
    first->value = cc::CopyString("1");
    first->next = cc::NewParameter();
    first->next->attribute = cc::CopyString("B");
    first->next->next = first;
    body->parameter = first;
    EXPECT_EQ(cli::BodyToJson(body)["parameter"],
              json::parse(R"([{"attribute":"A","value":"1"},{"attribute":"B","value":null}])"));
    first->next->next = nullptr;
    cc::FreeBody(&body);

    // A chain of encapsulated messages deeper than any c-client builds is cut off with null.
    mail_bodystruct* root = cc::NewBody();
    mail_bodystruct* at = root;
    for (int depth = 0; depth < cli::kMaxBodyDepth + 20; ++depth) {
        at->type = TYPEMESSAGE;
        at->subtype = cc::CopyString("RFC822");  // c-client frees the message of RFC822 only
        at->nested.msg = cc::NewMessage();
        at->nested.msg->body = cc::NewBody();
        at = at->nested.msg->body;
    }
    json level = cli::BodyToJson(root);
    int depth = 0;
    const json* node = &level;
    while (!node->is_null()) {
        node = &node->at("message").at("body");
        ++depth;
    }
    EXPECT_EQ(depth, cli::kMaxBodyDepth + 1);
    EXPECT_EQ(json::parse(level.dump()), level);
    cc::FreeBody(&root);
}

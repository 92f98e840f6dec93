// The list encoders byte for byte, their readers (edge cases and damaged fields), and the
// part and message readers on real relations.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "dlarchive/encoders.h"
#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "record_store/record_internal.h"
#include "record_store/record_support.h"

namespace cc = dlarchive::cclient;
using recordtest::Bytes;
using recordtest::Relations;

namespace {

// A length-prefixed value of the given item bytes.
std::vector<int> Prefixed(const std::string& items)
{
    const auto n = static_cast<uint32_t>(items.size());
    std::vector<int> bytes{static_cast<int>(n & 0xFF), static_cast<int>((n >> 8) & 0xFF),
                           static_cast<int>((n >> 16) & 0xFF), static_cast<int>(n >> 24)};
    for (unsigned char c : items) bytes.push_back(c);
    return bytes;
}

const std::vector<int> kCountZero{0, 0, 0, 0};

// The bytes of a literal, its zero bytes included (but not the terminating one).
template <std::size_t N>
std::string B(const char (&text)[N])
{
    return std::string(text, N - 1);
}

mail_address* Address(const char* personal, const char* adl, const char* mailbox, const char* host)
{
    mail_address* a = cc::NewAddress();
    a->personal = cc::CopyString(personal);
    a->adl = cc::CopyString(adl);
    a->mailbox = cc::CopyString(mailbox);
    a->host = cc::CopyString(host);
    return a;
}

struct AddressFields {
    dbData personal, adl, mailbox, host;
};

dbData Field(const std::string& bytes)
{
    return dbData(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

}  // namespace

TEST(AddrParserTest, EncodesOneItemPerAddressAndField)
{
    mail_address* list = Address(nullptr, nullptr, "al", "x.org");
    list->next = Address("Bob", nullptr, "bob", "y.org");
    list->error = cc::CopyString("not stored");
    AddressFields f;
    AddrParser parser;
    parser.Parse(list, f.personal, f.adl, f.mailbox, f.host);
    EXPECT_EQ(Bytes(f.personal), Prefixed(B("\0Bob\0")));
    EXPECT_EQ(Bytes(f.adl), Prefixed(B("\0\0")));
    EXPECT_EQ(Bytes(f.mailbox), Prefixed(B("al\0bob\0")));
    EXPECT_EQ(Bytes(f.host), Prefixed(B("x.org\0y.org\0")));
    cc::FreeAddress(&list);

    mail_address* read = nullptr;
    ASSERT_EQ(parser.Parse(f.personal, f.adl, f.mailbox, f.host, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->personal, nullptr);
    EXPECT_EQ(read->adl, nullptr);
    EXPECT_STREQ(read->mailbox, "al");
    EXPECT_STREQ(read->host, "x.org");
    EXPECT_EQ(read->error, nullptr);
    ASSERT_NE(read->next, nullptr);
    EXPECT_STREQ(read->next->personal, "Bob");
    EXPECT_STREQ(read->next->mailbox, "bob");
    EXPECT_EQ(read->next->next, nullptr);
    cc::FreeAddress(&read);
}

TEST(AddrParserTest, SingleAddressEdgeCases)
{
    AddrParser parser;
    // Without source route: the adl field is the count 0 alone.
    mail_address* one = Address("Ann", nullptr, "ann", "example.org");
    AddressFields f;
    parser.Parse(one, f.personal, f.adl, f.mailbox, f.host);
    EXPECT_EQ(Bytes(f.adl), kCountZero);
    EXPECT_EQ(Bytes(f.personal), Prefixed(B("Ann\0")));
    mail_address* read = nullptr;
    ASSERT_EQ(parser.Parse(f.personal, f.adl, f.mailbox, f.host, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->adl, nullptr);
    EXPECT_STREQ(read->personal, "Ann");
    EXPECT_EQ(read->next, nullptr);
    cc::FreeAddress(&read);
    cc::FreeAddress(&one);

    // All four members null (or empty): four fields of count 0, read back as no list.
    mail_address* empty = Address(nullptr, "", nullptr, nullptr);
    parser.Parse(empty, f.personal, f.adl, f.mailbox, f.host);
    for (const dbData* field : {&f.personal, &f.adl, &f.mailbox, &f.host}) EXPECT_EQ(Bytes(*field), kCountZero);
    read = Address("stale", nullptr, nullptr, nullptr);
    mail_address* stale = read;
    ASSERT_EQ(parser.Parse(f.personal, f.adl, f.mailbox, f.host, &read), db_ok);
    EXPECT_EQ(read, nullptr);
    cc::FreeAddress(&stale);
    cc::FreeAddress(&empty);

    // No list at all: empty fields (whatever they held), read back as no list.
    parser.Parse(nullptr, f.personal, f.adl, f.mailbox, f.host);
    for (const dbData* field : {&f.personal, &f.adl, &f.mailbox, &f.host}) EXPECT_EQ(field->length(), 0u);
    ASSERT_EQ(parser.Parse(f.personal, f.adl, f.mailbox, f.host, &read), db_ok);
    EXPECT_EQ(read, nullptr);
}

TEST(AddrParserTest, UnevenAndDamagedFields)
{
    AddrParser parser;
    mail_address* read = nullptr;
    // Reading follows the personal field; missing members read back as null.
    dbData personal = Field(B("\x06\0\0\0a\0b\0c\0"));
    dbData mailbox = Field(B("\x02\0\0\0m\0"));
    dbData none;
    ASSERT_EQ(parser.Parse(personal, none, mailbox, none, &read), db_ok);
    ASSERT_NE(read, nullptr);
    ASSERT_NE(read->next, nullptr);
    ASSERT_NE(read->next->next, nullptr);
    EXPECT_STREQ(read->mailbox, "m");
    EXPECT_EQ(read->next->mailbox, nullptr);
    EXPECT_STREQ(read->next->next->personal, "c");
    EXPECT_EQ(read->next->next->next, nullptr);
    cc::FreeAddress(&read);

    // Extra items in the other fields are not read.
    dbData onePersonal = Field(B("\x02\0\0\0p\0"));
    dbData threeHosts = Field(B("\x06\0\0\0h\0i\0j\0"));
    ASSERT_EQ(parser.Parse(onePersonal, none, none, threeHosts, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read->host, "h");
    EXPECT_EQ(read->next, nullptr);
    cc::FreeAddress(&read);

    // A personal item without its zero byte ends the list instead of looping.
    dbData unterminated = Field(B("\x07\0\0\0x\0abcde"));
    ASSERT_EQ(parser.Parse(unterminated, none, mailbox, none, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read->personal, "x");
    ASSERT_NE(read->next, nullptr);
    EXPECT_EQ(read->next->personal, nullptr);
    EXPECT_EQ(read->next->next, nullptr);
    cc::FreeAddress(&read);

    // A count larger than the field reads what is there.
    dbData shortField = Field(B("\x40\0\0\0y\0"));
    ASSERT_EQ(parser.Parse(shortField, none, none, none, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read->personal, "y");
    EXPECT_EQ(read->next, nullptr);
    cc::FreeAddress(&read);
}

TEST(AddrParserTest, FromNamesAreConvertedToUtf8)
{
    mail_address* list = Address("=?iso-8859-1?Q?Andr=E9?=", nullptr, "a", "h");
    list->next = Address("", nullptr, "b", "h");
    list->next->next = Address("=?x-unknown?Q?Odd?=", nullptr, "c", "h");
    list->next->next->next = Address("Plain =?utf-8?B?w6k=?=", nullptr, "d", "h");
    list->next->next->next->next = Address("Caf\xE9 raw", nullptr, "e", "h");
    AddressFields from, plain;
    AddrParser parser;
    parser.ParseFrom(list, from.personal, from.adl, from.mailbox, from.host);
    parser.Parse(list, plain.personal, plain.adl, plain.mailbox, plain.host);
    EXPECT_EQ(Bytes(from.personal), Prefixed(B("Andr\xC3\xA9\0\0=?x-unknown?Q?Odd?=\0Plain \xC3\xA9\0"
                                               "Caf\xE9 raw\0")));
    // Only ParseFrom converts.
    EXPECT_EQ(Bytes(plain.personal), Prefixed(B("=?iso-8859-1?Q?Andr=E9?=\0\0=?x-unknown?Q?Odd?=\0"
                                                "Plain =?utf-8?B?w6k=?=\0Caf\xE9 raw\0")));
    EXPECT_EQ(Bytes(from.mailbox), Bytes(plain.mailbox));
    cc::FreeAddress(&list);
}

TEST(ParamParserTest, EncodesAttributesAndValues)
{
    mail_body_parameter* list = cc::NewParameter();
    list->attribute = cc::CopyString("CHARSET");
    list->value = cc::CopyString("us-ascii");
    list->next = cc::NewParameter();
    list->next->attribute = cc::CopyString("FORMAT");
    dbData attributes, values;
    ParamParser parser;
    parser.Parse(list, attributes, values);
    EXPECT_EQ(Bytes(attributes), Prefixed(B("CHARSET\0FORMAT\0")));
    EXPECT_EQ(Bytes(values), Prefixed(B("us-ascii\0\0")));
    cc::FreeParameter(&list);

    mail_body_parameter* read = nullptr;
    ASSERT_EQ(parser.Parse(attributes, values, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read->attribute, "CHARSET");
    EXPECT_STREQ(read->value, "us-ascii");
    ASSERT_NE(read->next, nullptr);
    EXPECT_STREQ(read->next->attribute, "FORMAT");
    EXPECT_EQ(read->next->value, nullptr);
    EXPECT_EQ(read->next->next, nullptr);
    cc::FreeParameter(&read);

    // One parameter without a value: the values field is the count 0.
    list = cc::NewParameter();
    list->attribute = cc::CopyString("NAME");
    parser.Parse(list, attributes, values);
    EXPECT_EQ(Bytes(values), kCountZero);
    ASSERT_EQ(parser.Parse(attributes, values, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read->attribute, "NAME");
    EXPECT_EQ(read->value, nullptr);
    EXPECT_EQ(read->next, nullptr);
    cc::FreeParameter(&read);
    cc::FreeParameter(&list);

    parser.Parse(nullptr, attributes, values);
    EXPECT_EQ(attributes.length(), 0u);
    EXPECT_EQ(values.length(), 0u);
    ASSERT_EQ(parser.Parse(attributes, values, &read), db_ok);
    EXPECT_EQ(read, nullptr);
}

TEST(StrListParserTest, EncodesStringsAndSizes)
{
    string_list* list = cc::NewStringList();
    list->text.data = reinterpret_cast<unsigned char*>(cc::CopyString("EN"));
    list->text.size = 2;
    list->next = cc::NewStringList();
    list->next->text.data = reinterpret_cast<unsigned char*>(cc::CopyString("DE"));
    list->next->text.size = 2;
    dbData strings, sizes;
    StrListParser parser;
    parser.Parse(list, strings, sizes);
    EXPECT_EQ(Bytes(strings), Prefixed(B("EN\0DE\0")));
    EXPECT_EQ(Bytes(sizes), Prefixed(B("\x02\0\0\0\x02\0\0\0")));
    cc::FreeStringList(&list);

    string_list* read = nullptr;
    ASSERT_EQ(parser.Parse(strings, sizes, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(read->text.data), "EN");
    EXPECT_EQ(read->text.size, 2u);
    ASSERT_NE(read->next, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(read->next->text.data), "DE");
    EXPECT_EQ(read->next->text.size, 2u);
    EXPECT_EQ(read->next->next, nullptr);
    cc::FreeStringList(&read);

    dbData number;
    parser.AddSize(number, 0x01020304);
    EXPECT_EQ(Bytes(number), (std::vector<int>{4, 3, 2, 1}));

    // A stored size beyond the text it belongs to is cut to the text, and missing sizes
    // read as 0.
    dbData oneString = Field(B("\x06\0\0\0fr\0it\0"));
    dbData oneSize = Field(B("\x04\0\0\0\x63\0\0\0"));
    ASSERT_EQ(parser.Parse(oneString, oneSize, &read), db_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->text.size, 2u);
    ASSERT_NE(read->next, nullptr);
    EXPECT_EQ(read->next->text.size, 0u);
    cc::FreeStringList(&read);

    parser.Parse(nullptr, strings, sizes);
    EXPECT_EQ(strings.length(), 0u);
    EXPECT_EQ(sizes.length(), 0u);
    ASSERT_EQ(parser.Parse(strings, sizes, &read), db_ok);
    EXPECT_EQ(read, nullptr);
}

TEST(PartParserTest, WritesNumberItemsAndReadsTheParts)
{
    PartParser parser;
    parser.Init();
    parser.AddBody(1);
    parser.AddBody(0x102);  // only the low byte names the record when reading
    parser.AddBody(3);
    parser.AddBodyLen();
    EXPECT_EQ(Bytes(parser.GetPartList()), Prefixed(B("\x01\0\0\0\x02\x01\0\0\x03\0\0\0")));
    parser.Init(parser.GetPartList());
    EXPECT_FALSE(parser.IsEmpty());
    parser.Init(dbData());
    EXPECT_TRUE(parser.IsEmpty());
    parser.Init();
    EXPECT_EQ(parser.GetPartList().length(), 0u);

    // Records 1 to 3 of message 8 are text parts numbered by their byte size.
    Relations rel;
    mail_bodystruct* body = cc::NewBody();
    body->type = TYPEMULTIPART;
    mail_body_part** tail = &body->nested.part;
    for (int i = 0; i < 3; ++i) {
        *tail = cc::NewBodyPart();
        (*tail)->body.size.bytes = 10 + i;
        (*tail)->body.subtype = cc::CopyString("PLAIN");
        tail = &(*tail)->next;
    }
    idxkey bodyKey{8, 0}, envelopeKey{8, 0};
    ASSERT_EQ(AddArchiveBody(rel.bodies.get(), rel.envelopes.get(), &bodyKey, &envelopeKey, body, 1, 1), db_ok);
    cc::FreeBody(&body);

    parser.Init();
    parser.AddBody(3);
    parser.AddBody(0x101);
    parser.AddBodyLen();
    dbData field(parser.GetPartList());
    mail_body_part* parts = nullptr;
    ASSERT_EQ(parser.Parse(rel.bodies.get(), rel.envelopes.get(), 8, field, &parts), db_ok);
    ASSERT_NE(parts, nullptr);
    EXPECT_EQ(parts->body.size.bytes, 12u);
    EXPECT_STREQ(parts->body.subtype, "PLAIN");
    ASSERT_NE(parts->next, nullptr);
    EXPECT_EQ(parts->next->body.size.bytes, 10u);
    EXPECT_EQ(parts->next->next, nullptr);
    mail_free_body_part(&parts);

    // 0xFF widens to 65535, which is not stored: the call ends with 3 and hands out nothing.
    parser.Init();
    parser.AddBody(1);
    parser.AddBody(0xFF);
    parser.AddBodyLen();
    dbData bad(parser.GetPartList());
    parts = reinterpret_cast<mail_body_part*>(0x1);
    EXPECT_EQ(parser.Parse(rel.bodies.get(), rel.envelopes.get(), 8, bad, &parts), db_notfound);
    EXPECT_EQ(parts, nullptr);

    EXPECT_EQ(parser.Parse(rel.bodies.get(), rel.envelopes.get(), 8, dbData(), &parts), db_ok);
    EXPECT_EQ(parts, nullptr);
}

TEST(MsgParserTest, BuildsMessagesFromReferences)
{
    Relations rel;
    recordtest::ParsedMessage m(testenv::ReadFile(recordtest::MessageDirectory() + "/numbering.eml"));
    idxkey envelopeKey{42, 0}, bodyKey{42, 0};
    ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &envelopeKey, m.envelope, 1, 1), db_ok);
    ASSERT_EQ(AddArchiveBody(rel.bodies.get(), rel.envelopes.get(), &bodyKey, &envelopeKey, m.body, 1, 1), db_ok);
    MsgParser parser;
    // Message 42 from envelope and body seq and the six offsets and sizes.
    auto parse = [&](int8_t env, int8_t body, std::array<uint32_t, 6> at, mail_body_message** m) {
        return parser.Parse(rel.bodies.get(), rel.envelopes.get(), 42, env, body, at[0], at[1], at[2], at[3], at[4],
                            at[5], m);
    };
    mail_body_message* msg = reinterpret_cast<mail_body_message*>(0x1);
    EXPECT_EQ(parse(0, 0, {}, &msg), db_ok);
    EXPECT_EQ(msg, nullptr);

    // No envelope, the body of record 2 (the message/rfc822 part with its own message).
    ASSERT_EQ(parse(0, 2, {1, 2, 3, 4, 5, 6}, &msg), db_ok);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->env, nullptr);
    ASSERT_NE(msg->body, nullptr);
    EXPECT_EQ(msg->body->type, TYPEMESSAGE);
    ASSERT_NE(msg->body->nested.msg, nullptr);
    ASSERT_NE(msg->body->nested.msg->env, nullptr);
    EXPECT_STREQ(msg->body->nested.msg->env->subject, "Quote 2026-114");
    EXPECT_EQ(msg->full.offset, 1u);
    EXPECT_EQ(msg->full.text.size, 2u);
    EXPECT_EQ(msg->header.offset, 3u);
    EXPECT_EQ(msg->header.text.size, 4u);
    EXPECT_EQ(msg->text.offset, 5u);
    EXPECT_EQ(msg->text.text.size, 6u);
    dlarchive::records::FreeMessage(&msg);

    ASSERT_EQ(parse(1, 3, {}, &msg), db_ok);
    ASSERT_NE(msg, nullptr);
    ASSERT_NE(msg->env, nullptr);
    EXPECT_STREQ(msg->env->subject, "Quote 2026-114");
    ASSERT_NE(msg->body, nullptr);
    EXPECT_STREQ(msg->body->subtype, "ALTERNATIVE");
    dlarchive::records::FreeMessage(&msg);

    // Offsets alone make a message without envelope and body.
    ASSERT_EQ(parse(0, 0, {0, 9}, &msg), db_ok);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->env, nullptr);
    EXPECT_EQ(msg->body, nullptr);
    EXPECT_EQ(msg->full.text.size, 9u);
    dlarchive::records::FreeMessage(&msg);

    // A missing envelope, or a seq that widens to 65535: the result, and nothing handed out.
    msg = reinterpret_cast<mail_body_message*>(0x1);
    EXPECT_EQ(parse(7, 3, {}, &msg), db_notfound);
    EXPECT_EQ(msg, nullptr);
    EXPECT_EQ(parse(1, -1, {}, &msg), db_notfound);
    EXPECT_EQ(msg, nullptr);
}

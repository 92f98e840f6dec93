// The archive record classes: layout of the fixed records, field tables, round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "support/test_env.h"

namespace {

void Le32(std::vector<uint8_t>& record, std::size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) record[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Le16(std::vector<uint8_t>& record, std::size_t offset, uint16_t value)
{
    record[offset] = static_cast<uint8_t>(value);
    record[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// Distinct content for field i: bytes fields get embedded zeros, text fields a text.
std::string Content(int field, uint8_t kind)
{
    if (kind == dbData::kText) return "text of field " + std::to_string(field) + std::string(1, '\0');
    std::string bytes;
    for (int i = 0; i < field * 3 + 1; ++i) bytes.push_back(static_cast<char>((field * 37 + i) % 7));
    return bytes;
}

struct Records : ::testing::Test {
    testenv::TempDir dir;
    void SetUp() override
    {
        ASSERT_EQ(diaRel::Create(dir.path().c_str(), "archiveenv"), db_ok);
        ASSERT_EQ(diaRel::Create(dir.path().c_str(), "archivebody"), db_ok);
    }
};

}  // namespace

TEST_F(Records, EnvelopeRoundTripsEveryFieldAndTheFixedBytes)
{
    diamondBase base;
    archiveenv env(base, dir.path().c_str());
    ASSERT_EQ(env.status(), db_ok);
    EXPECT_STREQ(env.name(), "archiveenv");
    EXPECT_EQ(env.recordLength(), 149u);
    EXPECT_EQ(env.fieldCount(), 31);

    // The field table in field order, each slot at 8 + 4 * i.
    const std::vector<const dbData*> order = {
        &env.date,           &env.fromPersonal,   &env.fromAdl,       &env.fromMailbox, &env.fromHost,
        &env.senderPersonal, &env.senderAdl,      &env.senderMailbox, &env.senderHost,  &env.replyToPersonal,
        &env.replyToAdl,     &env.replyToMailbox, &env.replyToHost,   &env.subject,     &env.toPersonal,
        &env.toAdl,          &env.toMailbox,      &env.toHost,        &env.ccPersonal,  &env.ccAdl,
        &env.ccMailbox,      &env.ccHost,         &env.bccPersonal,   &env.bccAdl,      &env.bccMailbox,
        &env.bccHost,        &env.inReplyTo,      &env.messageId,     &env.newsgroups,  &env.followupTo,
        &env.references};
    _db_strStruct* table = env.fieldTable();
    for (int i = 0; i < 31; ++i) {
        EXPECT_EQ(table[i].data, order[i]) << i;
        EXPECT_EQ(table[i].ref, env.record() + 8 + 4 * i) << i;
        const uint8_t kind = (i == 0) || (i >= 13 && (i == 13 || i >= 26)) ? dbData::kText : dbData::kBytes;
        EXPECT_EQ(order[i]->kind(), kind) << i;
    }

    env.clear();
    env.setKey({0x01020304u, 0xa0b0});
    env.setMessageSize(0x11223344u);
    env.setHeaderSize(0x55667788u);
    env.setFlags(1);
    for (int i = 0; i < 31; ++i) {
        const std::string content = Content(i, table[i].data->kind());
        ASSERT_EQ(table[i].data->cpy(content.data(), static_cast<uint32_t>(content.size())), db_ok);
    }
    ASSERT_EQ(env.put(), db_ok);

    std::vector<uint8_t> expected(149, 0);
    Le32(expected, 0, 0x01020304u);
    Le16(expected, 4, 0xa0b0);
    for (int i = 0; i < 31; ++i) Le32(expected, 8 + 4 * i, static_cast<uint32_t>(Content(i, order[i]->kind()).size()));
    Le32(expected, 132, 0x11223344u);
    Le32(expected, 144, 0x55667788u);
    expected[148] = 1;

    diamondBase other;
    archiveenv read(other, dir.path().c_str());
    read.setKey({0x01020304u, 0xa0b0});
    ASSERT_EQ(read.get(0), db_ok);
    EXPECT_EQ(std::vector<uint8_t>(read.record(), read.record() + 149), expected);
    EXPECT_EQ(read.messageSize(), 0x11223344u);
    EXPECT_EQ(read.headerSize(), 0x55667788u);
    EXPECT_EQ(read.flags(), 1);
    for (int i = 0; i < 31; ++i) {
        const dbData& field = *read.fieldTable()[i].data;
        const std::string content = Content(i, field.kind());
        ASSERT_EQ(field.length(), content.size()) << i;
        EXPECT_EQ(std::memcmp(field.data(), content.data(), content.size()), 0) << i;
        EXPECT_EQ(read.reference(i), content.size()) << i;
    }
    // The writer's own fixed record got the same references.
    EXPECT_EQ(std::vector<uint8_t>(env.record(), env.record() + 149), expected);
}

TEST_F(Records, BodyRoundTripsEveryFieldAndTheFixedBytes)
{
    diamondBase base;
    archivebody body(base, dir.path().c_str());
    ASSERT_EQ(body.status(), db_ok);
    EXPECT_EQ(body.recordLength(), 112u);
    EXPECT_EQ(body.fieldCount(), 12);
    const std::vector<dbData*> order = {&body.subtype,
                                        &body.paramAttributes,
                                        &body.paramValues,
                                        &body.contentId,
                                        &body.description,
                                        &body.dispositionType,
                                        &body.dispositionAttributes,
                                        &body.dispositionValues,
                                        &body.languageStrings,
                                        &body.languageSizes,
                                        &body.partList,
                                        &body.md5};
    const std::vector<std::size_t> slots = {12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 68, 108};
    const std::vector<uint8_t> kinds = {1, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(body.fieldTable()[i].data, order[i]) << i;
        EXPECT_EQ(body.fieldTable()[i].ref, body.record() + slots[i]) << i;
        EXPECT_EQ(order[i]->kind(), kinds[i]) << i;
    }

    body.clear();
    body.setKey({7, 3});
    body.setType(2);
    body.setEncoding(3);
    body.setMimeOffset(0x10);
    body.setMimeSize(0x20);
    body.setContentsOffset(0x30);
    body.setContentsSize(0x40);
    body.setMsgEnvSeq(0x0102);
    body.setMsgBodySeq(0x0304);
    body.setMsgFullOffset(0x50);
    body.setMsgFullSize(0x60);
    body.setMsgHeaderOffset(0x70);
    body.setMsgHeaderSize(0x80);
    body.setMsgTextOffset(0x90);
    body.setMsgTextSize(0xa0);
    body.setLines(0xb0);
    body.setBytes(0xc0000000u);
    for (int i = 0; i < 12; ++i) {
        const std::string content = Content(i, kinds[i]);
        ASSERT_EQ(order[i]->cpy(content.data(), static_cast<uint32_t>(content.size())), db_ok);
    }
    ASSERT_EQ(body.put(), db_ok);

    std::vector<uint8_t> expected(112, 0);
    Le32(expected, 0, 7);
    Le16(expected, 4, 3);
    Le16(expected, 6, 2);
    Le16(expected, 8, 3);
    for (int i = 0; i < 12; ++i) Le32(expected, slots[i], static_cast<uint32_t>(Content(i, kinds[i]).size()));
    Le32(expected, 52, 0x10);
    Le32(expected, 56, 0x20);
    Le32(expected, 60, 0x30);
    Le32(expected, 64, 0x40);
    Le16(expected, 72, 0x0102);
    Le16(expected, 74, 0x0304);
    Le32(expected, 76, 0x50);
    Le32(expected, 80, 0x60);
    Le32(expected, 84, 0x70);
    Le32(expected, 88, 0x80);
    Le32(expected, 92, 0x90);
    Le32(expected, 96, 0xa0);
    Le32(expected, 100, 0xb0);
    Le32(expected, 104, 0xc0000000u);

    diamondBase other;
    archivebody read(other, dir.path().c_str());
    read.setKey({7, 3});
    ASSERT_EQ(read.get(0), db_ok);
    EXPECT_EQ(std::vector<uint8_t>(read.record(), read.record() + 112), expected);
    EXPECT_EQ(read.type(), 2);
    EXPECT_EQ(read.encoding(), 3);
    EXPECT_EQ(read.msgEnvSeq(), 0x0102);
    EXPECT_EQ(read.msgBodySeq(), 0x0304);
    EXPECT_EQ(read.bytes(), 0xc0000000u);
    for (int i = 0; i < 12; ++i) {
        const dbData& field = *read.fieldTable()[i].data;
        const std::string content = Content(i, kinds[i]);
        ASSERT_EQ(field.length(), content.size()) << i;
        EXPECT_EQ(std::memcmp(field.data(), content.data(), content.size()), 0) << i;
    }
}

TEST_F(Records, EmptyFieldsReadBackAsEmptyTextsOrNothing)
{
    diamondBase base;
    archivebody body(base, dir.path().c_str());
    body.setKey({1, 0});
    ASSERT_EQ(body.put(), db_ok);
    body.subtype.cpy("PLAIN");
    body.partList.cpy("xx");
    body.setKey({1, 0});
    ASSERT_EQ(body.get(0), db_ok);
    // Text fields and strings hold the empty text; byte fields nothing.
    for (dbData* text :
         {&body.subtype, &body.contentId, &body.description, &body.dispositionType, static_cast<dbData*>(&body.md5)}) {
        ASSERT_NE(text->data(), nullptr);
        EXPECT_EQ(text->length(), 0u);
        EXPECT_STREQ(text->text(), "");
    }
    EXPECT_EQ(body.partList.data(), nullptr);
    EXPECT_EQ(body.paramValues.length(), 0u);
    // Writing after a read works on the settled empty texts.
    EXPECT_EQ(body.subtype.cat("MIXED"), db_ok);
    EXPECT_STREQ(body.subtype.text(), "MIXED");
}

TEST_F(Records, KeysNamesAndClearing)
{
    diamondBase base;
    archiveenv a(base, dir.path().c_str());
    archiveenv b(base, dir.path().c_str());
    a.setKey({5, 65535});
    b.setKey({6, 0});
    EXPECT_TRUE(a.isLessThan(b));
    EXPECT_FALSE(b.isLessThan(a));
    EXPECT_FALSE(a.isEqual(b));
    char* key = static_cast<char*>(b.newKey(0));
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(a.keyLength(0), 8u);
    EXPECT_EQ(a.keyLength(-1), 0u);
    EXPECT_EQ(a.compareKey(0, key), -1);
    EXPECT_EQ(b.compareKey(0, key), 0);
    EXPECT_EQ(a.compareKey(1, key), 0);  // any other key compares equal
    idxkey raw;
    std::memcpy(&raw, key, sizeof raw);
    EXPECT_EQ(raw.id, 6u);
    EXPECT_EQ(raw.seq, 0);
    a.setKey(0, key);
    EXPECT_TRUE(a.isEqual(b));
    delete[] key;
    EXPECT_EQ(CompareIdxKey({0x80000000u, 0}, {1, 0}), 1);
    EXPECT_EQ(CompareIdxKey({1, 0x8000}, {1, 1}), 1);
    EXPECT_EQ(a.keyFlag(0), 0);
    EXPECT_FALSE(a.isModified());
    EXPECT_EQ(a.activeIndex(), -1);

    a.setMessageSize(9);
    a.setFlags(1);
    a.subject.cpy("kept");
    a.clear();
    EXPECT_EQ(std::vector<uint8_t>(a.record(), a.record() + 149), std::vector<uint8_t>(149, 0));
    EXPECT_STREQ(a.subject.text(), "kept");

    // A name of 259 characters fits with its terminating zero; 260 do not.
    const std::string name259(259, 'n');
    archivebody longName(base, dir.path().c_str(), name259.c_str());
    EXPECT_EQ(std::string(longName.name()), name259);
    EXPECT_NE(longName.status(), db_ok);  // no such file can exist
    const std::string name260(260, 'n');
    archivebody tooLong(base, dir.path().c_str(), name260.c_str());
    EXPECT_STREQ(tooLong.name(), "");
    EXPECT_EQ(tooLong.status(), db_notopened);
}

// Body records on real relations: every shipped message's body tree read back as c-client
// parsed it, the depth-first numbering, removal of whole trees, clean-up after failures and
// the bounds (part count, record numbers, depth, damaged references).
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "record_store/record_support.h"

namespace cc = dlarchive::cclient;
using recordtest::Bytes;
using recordtest::Keys;
using recordtest::ParsedMessage;
using recordtest::Relations;

namespace {

std::vector<int> Seqs(const std::vector<idxkey>& keys)
{
    std::vector<int> seqs;
    for (const idxkey& key : keys) seqs.push_back(key.seq);
    return seqs;
}

ParsedMessage* LoadShipped(const std::string& name)
{
    return new ParsedMessage(testenv::ReadFile(recordtest::MessageDirectory() + "/" + name));
}

// Stores a whole message as the intake does: envelope (id, 0), then the body tree.
int StoreMessage(Relations& rel, uint32_t id, ParsedMessage& m, idxkey* bodyKey = nullptr,
                 idxkey* envelopeKey = nullptr)
{
    idxkey envKey{id, 0}, bKey{id, 0};
    idxkey* ek = envelopeKey != nullptr ? envelopeKey : &envKey;
    idxkey* bk = bodyKey != nullptr ? bodyKey : &bKey;
    const auto size = static_cast<uint32_t>(m.buffer.size());
    int result = AddArchiveEnv(rel.envelopes.get(), ek, m.envelope, size, m.headerSize);
    if (result != db_ok) return result;
    ek->seq = 0;
    bk->seq = 0;
    return AddArchiveBody(rel.bodies.get(), rel.envelopes.get(), bk, ek, m.body, size, m.headerSize);
}

// Reads record (id, seq) of the body relation into the record object.
void GetBodyRecord(Relations& rel, uint32_t id, uint16_t seq)
{
    rel.bodies->setKey(idxkey{id, seq});
    ASSERT_EQ(rel.bodies->get(0), db_ok) << "body record " << seq;
}

// AddArchiveBody from (id, bodySeq) with nested envelopes from envelopeKey; with `last`, the
// body number handed out last.
int AddBody(Relations& rel, idxkey bodyKey, idxkey envelopeKey, mail_bodystruct* body, uint16_t* last = nullptr)
{
    const int result = AddArchiveBody(rel.bodies.get(), rel.envelopes.get(), &bodyKey, &envelopeKey, body, 1, 1);
    if (last != nullptr) *last = bodyKey.seq;
    return result;
}

int ReadBody(Relations& rel, idxkey key, mail_bodystruct** stored)
{
    uint32_t messageSize = 0, headerSize = 0;
    return GetArchiveBody(rel.bodies.get(), rel.envelopes.get(), &key, stored, messageSize, headerSize);
}

int RemoveBody(Relations& rel, idxkey key)
{
    return RemoveArchiveBody(rel.bodies.get(), rel.envelopes.get(), &key);
}

// Deletes record (id, seq) of the body relation directly, leaving it in the record object.
void DeleteBodyRecord(Relations& rel, uint32_t id, uint16_t seq)
{
    GetBodyRecord(rel, id, seq);
    ASSERT_EQ(rel.bodies->del(), db_ok);
}

bool MessageBytesAreZero(const archivebody& r)
{
    for (int offset = 72; offset < 100; ++offset) {
        if (r.record()[offset] != 0) return false;
    }
    return true;
}

mail_bodystruct* TextBody()
{
    mail_bodystruct* body = cc::NewBody();
    body->type = TYPETEXT;
    body->subtype = cc::CopyString("PLAIN");
    return body;
}

// A multipart/mixed body of `count` text parts.
mail_bodystruct* Multipart(std::size_t count)
{
    mail_bodystruct* body = cc::NewBody();
    body->type = TYPEMULTIPART;
    body->subtype = cc::CopyString("MIXED");
    mail_body_part** tail = &body->nested.part;
    for (std::size_t i = 0; i < count; ++i) {
        mail_body_part* part = cc::NewBodyPart();
        part->body.type = TYPETEXT;
        part->body.subtype = cc::CopyString("PLAIN");
        part->body.size.bytes = i;
        *tail = part;
        tail = &part->next;
    }
    return body;
}

// Appends a part to a multipart and returns its body.
mail_bodystruct* AppendPart(mail_bodystruct* multipart)
{
    mail_body_part** tail = &multipart->nested.part;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = cc::NewBodyPart();
    return &(*tail)->body;
}

}  // namespace

TEST(BodyRecords, EveryMessageFileRoundTrips)
{
    Relations rel;
    auto files = recordtest::LoadMessageFiles(recordtest::MessageDirectory());
    ASSERT_GE(files.size(), 15u);
    uint32_t id = 100;
    int totalBodies = 0, totalEnvelopes = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        ParsedMessage parsed(file.bytes);
        ASSERT_NE(parsed.body, nullptr);
        idxkey bodyKey{id, 0}, envelopeKey{id, 0};
        ASSERT_EQ(StoreMessage(rel, id, parsed, &bodyKey, &envelopeKey), db_ok);
        const recordtest::RecordCount count = recordtest::CountRecords(parsed.body);
        // The keys end on the last numbers handed out.
        EXPECT_EQ(bodyKey.seq, count.bodies - 1);
        EXPECT_EQ(envelopeKey.seq, count.envelopes);
        totalBodies += count.bodies;
        totalEnvelopes += count.envelopes + 1;

        rel.Reopen();
        mail_bodystruct* stored = nullptr;
        uint32_t messageSize = 0, headerSize = 0;
        idxkey key{id, 0};
        ASSERT_EQ(GetArchiveBody(rel.bodies.get(), rel.envelopes.get(), &key, &stored, messageSize, headerSize), db_ok);
        recordtest::ExpectSameBody(parsed.body, stored, file.name);
        if (count.envelopes > 0) {
            // The sizes come with the nested envelopes.
            EXPECT_EQ(messageSize, file.bytes.size());
            EXPECT_EQ(headerSize, parsed.headerSize);
        }
        cc::FreeBody(&stored);
        ++id;
    }
    EXPECT_EQ(Keys(*rel.bodies).size(), static_cast<std::size_t>(totalBodies));
    EXPECT_EQ(Keys(*rel.envelopes).size(), static_cast<std::size_t>(totalEnvelopes));

    // Removing every message's body and envelope empties both relations.
    for (uint32_t i = 100; i < id; ++i) {
        idxkey key{i, 0};
        EXPECT_EQ(RemoveArchiveBody(rel.bodies.get(), rel.envelopes.get(), &key), db_ok) << i;
        key.seq = 0;
        EXPECT_EQ(RemoveArchiveEnv(rel.envelopes.get(), &key), db_ok) << i;
    }
    EXPECT_EQ(Keys(*rel.bodies).size(), 0u);
    EXPECT_EQ(Keys(*rel.envelopes).size(), 0u) << recordtest::Show(Keys(*rel.envelopes));
}

TEST(BodyRecords, NumberingIsDepthFirst)
{
    Relations rel;
    std::unique_ptr<ParsedMessage> m(LoadShipped("numbering.eml"));
    ASSERT_NE(m->body, nullptr);
    idxkey bodyKey{42, 0}, envelopeKey{42, 0};
    ASSERT_EQ(StoreMessage(rel, 42, *m, &bodyKey, &envelopeKey), db_ok);
    EXPECT_EQ(bodyKey.seq, 5);
    EXPECT_EQ(envelopeKey.seq, 1);
    EXPECT_EQ(Seqs(Keys(*rel.bodies)), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(Seqs(Keys(*rel.envelopes)), (std::vector<int>{0, 1}));

    // Each record's type and part list; only the message/rfc822 part (2) has message numbers.
    struct Expected {
        uint16_t seq;
        unsigned short type;
        std::vector<int> parts;
    };
    const Expected records[] = {
        {0, TYPEMULTIPART, {1, 0, 2, 0, 0, 0}}, {1, TYPETEXT, {0, 0}}, {2, TYPEMESSAGE, {0, 0}},
        {3, TYPEMULTIPART, {4, 0, 5, 0, 0, 0}}, {4, TYPETEXT, {0, 0}}, {5, TYPETEXT, {0, 0}},
    };
    archivebody& r = *rel.bodies;
    for (const Expected& e : records) {
        GetBodyRecord(rel, 42, e.seq);
        EXPECT_EQ(r.type(), e.type) << e.seq;
        EXPECT_EQ(Bytes(r.partList), e.parts) << e.seq;
        EXPECT_EQ(MessageBytesAreZero(r), e.seq != 2) << e.seq;
    }
    GetBodyRecord(rel, 42, 3);
    EXPECT_STREQ(r.subtype.text(), "ALTERNATIVE");

    GetBodyRecord(rel, 42, 2);
    EXPECT_EQ(r.msgEnvSeq(), 1);
    EXPECT_EQ(r.msgBodySeq(), 3);
    EXPECT_EQ(r.record()[72], 1);
    EXPECT_EQ(r.record()[74], 3);
    const mail_body_message* msg = m->body->nested.part->next->body.nested.msg;
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(r.msgFullOffset(), msg->full.offset);
    EXPECT_EQ(r.msgFullSize(), msg->full.text.size);
    EXPECT_EQ(r.msgHeaderOffset(), msg->header.offset);
    EXPECT_EQ(r.msgHeaderSize(), msg->header.text.size);
    EXPECT_EQ(r.msgTextOffset(), msg->text.offset);
    EXPECT_EQ(r.msgTextSize(), msg->text.text.size);
    EXPECT_GT(r.msgFullSize(), 0u);

    // The nested envelope is the inner message's.
    mail_envelope* inner = nullptr;
    uint32_t messageSize = 0, headerSize = 0;
    idxkey innerKey{42, 1};
    ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &innerKey, &inner, messageSize, headerSize), db_ok);
    EXPECT_STREQ(inner->subject, "Quote 2026-114");
    cc::FreeEnvelope(&inner);

    // Read back: the same structure, with "" for the absent description and id.
    mail_bodystruct* stored = nullptr;
    ASSERT_EQ(ReadBody(rel, {42, 0}, &stored), db_ok);
    recordtest::ExpectSameBody(m->body, stored, "numbering");
    EXPECT_STREQ(stored->description, "");
    EXPECT_STREQ(stored->id, "");
    EXPECT_STREQ(stored->nested.part->body.description, "");
    EXPECT_STREQ(stored->nested.part->body.id, "");
    EXPECT_EQ(stored->nested.part->body.contents.text.data, nullptr);
    cc::FreeBody(&stored);

    // Removing record 0 removes all six body records and the nested envelope, nothing else.
    EXPECT_EQ(RemoveBody(rel, {42, 0}), db_ok);
    EXPECT_TRUE(Keys(*rel.bodies).empty());
    EXPECT_EQ(Seqs(Keys(*rel.envelopes)), (std::vector<int>{0}));
    EXPECT_EQ(RemoveBody(rel, {42, 0}), db_notfound);
}

TEST(BodyRecords, ThreePartsGiveTheirPartList)
{
    Relations rel;
    mail_bodystruct* body = Multipart(3);
    ASSERT_EQ(AddBody(rel, {8, 0}, {8, 0}, body), db_ok);
    cc::FreeBody(&body);
    GetBodyRecord(rel, 8, 0);
    EXPECT_EQ(Bytes(rel.bodies->partList), (std::vector<int>{1, 0, 2, 0, 3, 0, 0, 0}));
    EXPECT_EQ(rel.bodies->reference(10), 8u);
    EXPECT_TRUE(Keys(*rel.envelopes).empty());
}

TEST(BodyRecords, FailedPutLeavesNoNestedRecord)
{
    Relations rel;
    std::unique_ptr<ParsedMessage> m(LoadShipped("numbering.eml"));
    mail_bodystruct* occupant = TextBody();

    // Each case makes one number of the message's tree taken, then stores the whole message:
    // it fails with db_dup and leaves only what was there before.
    struct Case {
        const char* what;
        uint16_t takenBody;      // body record stored first, or 0xFFFF for none
        uint16_t takenEnvelope;  // envelope record stored first, or 0xFFFF for none
        std::vector<int> bodiesLeft, envelopesLeft;
    };
    const Case cases[] = {
        // The final put of the top body fails, after its five nested records and the nested
        // envelope were stored.
        {"top record", 0, 0xFFFF, {0}, {}},
        // The message/rfc822 part's put fails after its envelope and its body tree 3 to 5 were
        // stored; those go, and so does the part 1 stored before it.
        {"message part", 2, 0xFFFF, {2}, {}},
        // The nested envelope's number is taken: the part fails before its body is stored.
        {"nested envelope", 0xFFFF, 1, {}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.takenBody != 0xFFFF) {
            ASSERT_EQ(AddBody(rel, {42, c.takenBody}, {42, 0}, occupant), db_ok);
        }
        if (c.takenEnvelope != 0xFFFF) {
            idxkey envelopeKey{42, c.takenEnvelope};
            ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &envelopeKey, m->envelope, 1, 1), db_ok);
        }
        EXPECT_EQ(AddBody(rel, {42, 0}, {42, 0}, m->body), db_dup);
        EXPECT_EQ(Seqs(Keys(*rel.bodies)), c.bodiesLeft);
        EXPECT_EQ(Seqs(Keys(*rel.envelopes)), c.envelopesLeft);
        if (c.takenBody != 0xFFFF) {
            GetBodyRecord(rel, 42, c.takenBody);
            EXPECT_EQ(rel.bodies->type(), TYPETEXT);  // the occupant, untouched
            ASSERT_EQ(RemoveBody(rel, {42, c.takenBody}), db_ok);
        }
        if (c.takenEnvelope != 0xFFFF) {
            idxkey envelopeKey{42, c.takenEnvelope};
            ASSERT_EQ(RemoveArchiveEnv(rel.envelopes.get(), &envelopeKey), db_ok);
        }
    }
    cc::FreeBody(&occupant);
}

TEST(BodyRecords, TooManyPartsAreRefusedWhole)
{
    Relations rel;
    // 1023 parts fit.
    mail_bodystruct* body = Multipart(1023);
    uint16_t last = 0;
    ASSERT_EQ(AddBody(rel, {1, 0}, {1, 0}, body, &last), db_ok);
    EXPECT_EQ(last, 1023);
    cc::FreeBody(&body);
    mail_bodystruct* stored = nullptr;
    ASSERT_EQ(ReadBody(rel, {1, 0}, &stored), db_ok);
    std::size_t count = 0;
    for (mail_body_part* p = stored->nested.part; p != nullptr; p = p->next, ++count) {
        EXPECT_EQ(p->body.size.bytes, count);
    }
    EXPECT_EQ(count, 1023u);
    cc::FreeBody(&stored);

    // 1024 parts below a part that is stored first: refused, and the first part goes again.
    body = Multipart(1);
    mail_bodystruct* big = AppendPart(body);
    big->type = TYPEMULTIPART;
    big->subtype = cc::CopyString("MIXED");
    mail_bodystruct* parts = Multipart(1024);
    big->nested.part = parts->nested.part;
    parts->nested.part = nullptr;
    cc::FreeBody(&parts);
    EXPECT_EQ(AddBody(rel, {2, 0}, {2, 0}, body), db_range);
    cc::FreeBody(&body);
    for (const idxkey& k : Keys(*rel.bodies)) EXPECT_EQ(k.id, 1u);
    EXPECT_EQ(Keys(*rel.bodies).size(), 1024u);
}

TEST(BodyRecords, RecordNumbersPast65535AreRefused)
{
    Relations rel;
    // Body numbers: five parts fit after 65530, the sixth would be 65536.
    mail_bodystruct* body = Multipart(6);
    EXPECT_EQ(AddBody(rel, {3, 65530}, {3, 0}, body), db_range);
    EXPECT_TRUE(Keys(*rel.bodies).empty());
    cc::FreeBody(&body);

    body = Multipart(5);
    uint16_t last = 0;
    EXPECT_EQ(AddBody(rel, {3, 65530}, {3, 0}, body, &last), db_ok);
    EXPECT_EQ(last, 65535);
    EXPECT_EQ(Keys(*rel.bodies).size(), 6u);
    cc::FreeBody(&body);

    // Envelope numbers: an encapsulated message when the envelope key is at 65535.
    std::unique_ptr<ParsedMessage> m(LoadShipped("numbering.eml"));
    EXPECT_EQ(AddBody(rel, {4, 0}, {4, 65535}, m->body), db_range);
    for (const idxkey& k : Keys(*rel.bodies)) EXPECT_EQ(k.id, 3u);
    EXPECT_TRUE(Keys(*rel.envelopes).empty());
}

TEST(BodyRecords, DepthIsBounded)
{
    Relations rel;
    auto chain = [](int levels) {
        mail_bodystruct* top = TextBody();
        mail_bodystruct* at = top;
        for (int i = 0; i < levels; ++i) {
            at->type = TYPEMULTIPART;
            cc::ReleaseString(&at->subtype);
            at->subtype = cc::CopyString("MIXED");
            at = AppendPart(at);
            at->type = TYPETEXT;
        }
        return top;
    };
    mail_bodystruct* deep = chain(kMaxBodyDepth + 1);
    EXPECT_EQ(AddBody(rel, {5, 0}, {5, 0}, deep), db_range);
    EXPECT_TRUE(Keys(*rel.bodies).empty());
    cc::FreeBody(&deep);

    mail_bodystruct* fits = chain(kMaxBodyDepth);
    ASSERT_EQ(AddBody(rel, {6, 0}, {5, 0}, fits), db_ok);
    mail_bodystruct* stored = nullptr;
    ASSERT_EQ(ReadBody(rel, {6, 0}, &stored), db_ok);
    recordtest::ExpectSameBody(fits, stored, "chain");
    cc::FreeBody(&stored);
    cc::FreeBody(&fits);
    EXPECT_EQ(RemoveBody(rel, {6, 0}), db_ok);
    EXPECT_TRUE(Keys(*rel.bodies).empty());
}

TEST(BodyRecords, DamagedReferencesAndMissingRecords)
{
    Relations rel;
    std::unique_ptr<ParsedMessage> m(LoadShipped("numbering.eml"));
    ASSERT_EQ(StoreMessage(rel, 42, *m), db_ok);

    // A missing key: 3, with a body built from the empty record.
    mail_bodystruct* stored = nullptr;
    ASSERT_EQ(ReadBody(rel, {43, 0}, &stored), db_notfound);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->type, TYPETEXT);
    EXPECT_STREQ(stored->subtype, "");
    cc::FreeBody(&stored);

    // A nested record gone: the read fails with its result and hands out nothing.
    DeleteBodyRecord(rel, 42, 4);
    stored = reinterpret_cast<mail_bodystruct*>(0x1);
    EXPECT_EQ(ReadBody(rel, {42, 0}, &stored), db_notfound);
    EXPECT_EQ(stored, nullptr);

    // A part list that points back up the tree cannot make a read loop.
    mail_bodystruct* loop = Multipart(1);
    ASSERT_EQ(AddBody(rel, {50, 1}, {50, 0}, loop), db_ok);
    cc::FreeBody(&loop);
    DeleteBodyRecord(rel, 50, 1);
    const uint8_t self[] = {1, 0, 0, 0};
    ASSERT_EQ(rel.bodies->partList.cpy(self, 4), db_ok);
    ASSERT_EQ(rel.bodies->put(), db_ok);
    EXPECT_EQ(ReadBody(rel, {50, 1}, &stored), db_corrupt);
    EXPECT_EQ(stored, nullptr);
    // Removing it ends too: the record is gone when its part is looked for.
    EXPECT_EQ(RemoveBody(rel, {50, 1}), db_notfound);
    std::vector<int> left;
    for (const idxkey& k : Keys(*rel.bodies)) {
        if (k.id == 50) left.push_back(k.seq);
    }
    EXPECT_EQ(left, (std::vector<int>{2}));
}

TEST(BodyRecords, NullBodyIsAnEmptyTextBody)
{
    Relations rel;
    ASSERT_EQ(AddBody(rel, {9, 0}, {9, 0}, nullptr), db_ok);
    mail_bodystruct* stored = nullptr;
    ASSERT_EQ(ReadBody(rel, {9, 0}, &stored), db_ok);
    EXPECT_EQ(stored->type, TYPETEXT);
    EXPECT_STREQ(stored->subtype, "");
    EXPECT_EQ(stored->parameter, nullptr);
    EXPECT_EQ(stored->language, nullptr);
    cc::FreeBody(&stored);
}

// The record store on real relations: the depth-first numbering, clean-up after failures, the
// bounds, damaged references, the string-list fields and the list-name forms. (Every test
// message stored and read back as c-client parsed it: the intake fuzz target's replay.)
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dlarchive/encoders.h"
#include "dlarchive/parser.h"
#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "record_store/record_internal.h"
#include "record_store/record_support.h"
#include "support/archive_home.h"

namespace cc = dlarchive::cclient;
using namespace std::string_literals;

namespace {

uint32_t HeaderSizeOf(const std::string& message)
{
    const std::size_t lf = message.find("\n\n"), crlf = message.find("\r\n\r\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return static_cast<uint32_t>(crlf + 4);
    return static_cast<uint32_t>(lf != std::string::npos ? lf + 2 : message.size());
}

// A message parsed by c-client; the buffer stays alive with the records.
struct ParsedMessage {
    std::string buffer;
    uint32_t headerSize = HeaderSizeOf(buffer);
    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;
    explicit ParsedMessage(std::string bytes) : buffer(std::move(bytes))
    {
        cc::ParseMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), headerSize, &envelope, &body);
    }
    ~ParsedMessage()
    {
        cc::FreeEnvelope(&envelope);
        cc::FreeBody(&body);
    }
};

// Empty archiveenv and archivebody relations made in a fresh directory, opened.
struct Relations {
    testenv::TempDir dir;
    diamondBase base;
    std::unique_ptr<archiveenv> envelopes;
    std::unique_ptr<archivebody> bodies;
    Relations()
    {
        EXPECT_EQ(diaRel::Create(dir.path().c_str(), "archiveenv"), db_ok);
        EXPECT_EQ(diaRel::Create(dir.path().c_str(), "archivebody"), db_ok);
        envelopes = std::make_unique<archiveenv>(base, dir.path().c_str());
        bodies = std::make_unique<archivebody>(base, dir.path().c_str());
        EXPECT_TRUE(envelopes->status() == db_ok && bodies->status() == db_ok);
    }
};

// The sequence numbers of every record of a relation, in key order, read with a walk.
std::vector<int> Seqs(diaRel& relation)
{
    std::vector<int> seqs;
    relation.begin(0);
    for (relation.first(); relation.status() == db_ok; relation.next()) {
        uint16_t seq = 0;
        std::memcpy(&seq, static_cast<const uint8_t*>(relation.recordData()) + 4, 2);
        seqs.push_back(seq);
    }
    EXPECT_EQ(relation.status(), db_eof);
    return seqs;
}

std::unique_ptr<ParsedMessage> Shipped(const std::string& name)
{
    return std::make_unique<ParsedMessage>(testenv::ReadFile(DLARCHIVE_SOURCE_DIR "/tests/data/messages/" + name));
}

// Envelope (id, 0), then the body tree from (id, 0), as the intake stores a message; the
// keys end on the last numbers handed out.
int Store(Relations& rel, ParsedMessage& m, idxkey& envKey, idxkey& bodyKey)
{
    const auto size = static_cast<uint32_t>(m.buffer.size());
    const int result = AddArchiveEnv(rel.envelopes.get(), &envKey, m.envelope, size, m.headerSize);
    if (result != db_ok) return result;
    return AddArchiveBody(rel.bodies.get(), rel.envelopes.get(), &bodyKey, &envKey, m.body, size, m.headerSize);
}

int AddBody(Relations& rel, idxkey bodyKey, idxkey envKey, mail_bodystruct* body, uint16_t* last = nullptr)
{
    const int result = AddArchiveBody(rel.bodies.get(), rel.envelopes.get(), &bodyKey, &envKey, body, 1, 1);
    if (last != nullptr) *last = bodyKey.seq;
    return result;
}

int ReadBody(Relations& rel, idxkey key, mail_bodystruct** stored)
{
    uint32_t messageSize = 0, headerSize = 0;
    return GetArchiveBody(rel.bodies.get(), rel.envelopes.get(), &key, stored, messageSize, headerSize);
}

void GetBodyRecord(Relations& rel, uint32_t id, uint16_t seq)
{
    rel.bodies->setKey(idxkey{id, seq});
    ASSERT_EQ(rel.bodies->get(0), db_ok) << "body record " << seq;
}

// A multipart/mixed of `count` text parts, or a chain `count` multiparts deep.
mail_bodystruct* Multipart(std::size_t count, bool chain = false)
{
    mail_bodystruct* body = cc::NewBody();
    body->type = TYPEMULTIPART;
    body->subtype = cc::CopyString("MIXED");
    mail_body_part** tail = &body->nested.part;
    for (std::size_t i = 0; i < count; ++i) {
        *tail = cc::NewBodyPart();
        mail_bodystruct* part = &(*tail)->body;
        part->type = chain && i + 1 < count ? TYPEMULTIPART : TYPETEXT;
        part->subtype = cc::CopyString(chain && i + 1 < count ? "MIXED" : "PLAIN");
        part->size.bytes = i;
        tail = chain ? &part->nested.part : &(*tail)->next;
    }
    return body;
}

}  // namespace

TEST(Records, NumberingIsDepthFirst)
{
    Relations rel;
    auto m = Shipped("numbering.eml");
    idxkey envKey{42, 0}, bodyKey{42, 0};
    ASSERT_EQ(Store(rel, *m, envKey, bodyKey), db_ok);
    EXPECT_EQ(Seqs(*rel.envelopes), (std::vector<int>{0, 1}));
    // Each record's type, part list, and (only the message/rfc822 part) message numbers.
    const struct {
        uint16_t seq, type;
        std::vector<int> parts;
        uint16_t msgEnv, msgBody;
    } records[] = {
        {0, TYPEMULTIPART, {1, 0, 2, 0, 0, 0}, 0, 0}, {1, TYPETEXT, {0, 0}, 0, 0}, {2, TYPEMESSAGE, {0, 0}, 1, 3},
        {3, TYPEMULTIPART, {4, 0, 5, 0, 0, 0}, 0, 0}, {4, TYPETEXT, {0, 0}, 0, 0}, {5, TYPETEXT, {0, 0}, 0, 0}};
    for (const auto& e : records) {
        GetBodyRecord(rel, 42, e.seq);
        EXPECT_EQ(rel.bodies->type(), e.type) << e.seq;
        EXPECT_EQ(
            std::vector<int>(rel.bodies->partList.data(), rel.bodies->partList.data() + rel.bodies->partList.length()),
            e.parts)
            << e.seq;
        EXPECT_EQ(rel.bodies->msgEnvSeq(), e.msgEnv) << e.seq;
        EXPECT_EQ(rel.bodies->msgBodySeq(), e.msgBody) << e.seq;
        EXPECT_EQ(rel.bodies->msgFullSize() > 0, e.seq == 2) << e.seq;
    }
    // Removing record 0 removes the six body records and the nested envelope only.
    idxkey top{42, 0};
    EXPECT_EQ(RemoveArchiveBody(rel.bodies.get(), rel.envelopes.get(), &top), db_ok);
    EXPECT_TRUE(Seqs(*rel.bodies).empty());
    EXPECT_EQ(Seqs(*rel.envelopes), (std::vector<int>{0}));
    top = {42, 0};
    EXPECT_EQ(RemoveArchiveBody(rel.bodies.get(), rel.envelopes.get(), &top), db_notfound);
}

TEST(Records, FailedPutLeavesNothingOfTheTree)
{
    auto m = Shipped("numbering.eml");
    // One number of the tree taken first (0xFFFF: none); storing the message then fails
    // with db_dup and leaves only the occupant.
    const struct {
        uint16_t takenBody, takenEnvelope;
        std::vector<int> bodiesLeft, envelopesLeft;
    } cases[] = {{0, 0xFFFF, {0}, {}}, {2, 0xFFFF, {2}, {}}, {5, 0xFFFF, {5}, {}}, {0xFFFF, 1, {}, {1}}};
    for (const auto& c : cases) {
        Relations rel;
        mail_bodystruct* occupant = Multipart(0);
        idxkey envKey{42, c.takenEnvelope};
        if (c.takenBody != 0xFFFF) {
            ASSERT_EQ(AddBody(rel, {42, c.takenBody}, {42, 0}, occupant), db_ok);
        }
        if (c.takenEnvelope != 0xFFFF) {
            ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &envKey, m->envelope, 1, 1), db_ok);
        }
        cc::FreeBody(&occupant);
        EXPECT_EQ(AddBody(rel, {42, 0}, {42, 0}, m->body), db_dup);
        EXPECT_EQ(Seqs(*rel.bodies), c.bodiesLeft) << c.takenBody;
        EXPECT_EQ(Seqs(*rel.envelopes), c.envelopesLeft) << c.takenBody;
        if (c.takenBody == 0xFFFF) continue;
        GetBodyRecord(rel, 42, c.takenBody);
        EXPECT_EQ(rel.bodies->type(), TYPEMULTIPART);  // the occupant, untouched
    }
}

TEST(Records, BoundsOfPartsNumbersAndDepth)
{
    Relations rel;
    uint16_t last = 0;
    mail_bodystruct* stored = nullptr;
    // 1023 parts fit, 1024 are refused whole, as a number past 65535 or a tree deeper than the
    // bound; a tree that ends exactly on a bound fits.
    const struct {
        mail_bodystruct* body;
        idxkey bodyKey, envKey;
        int result;
    } cases[] = {{Multipart(1023), {1, 0}, {1, 0}, db_ok},
                 {Multipart(1024), {2, 0}, {2, 0}, db_range},
                 {Multipart(6), {3, 65530}, {3, 0}, db_range},
                 {Multipart(5), {3, 65530}, {3, 0}, db_ok},
                 {Multipart(kMaxBodyDepth + 1, true), {5, 0}, {5, 0}, db_range},
                 {Multipart(kMaxBodyDepth, true), {6, 0}, {6, 0}, db_ok}};
    for (const auto& c : cases) {
        const std::size_t before = Seqs(*rel.bodies).size();
        EXPECT_EQ(AddBody(rel, c.bodyKey, c.envKey, c.body, &last), c.result) << c.bodyKey.id;
        if (c.result != db_ok) {
            EXPECT_EQ(Seqs(*rel.bodies).size(), before) << c.bodyKey.id;
        } else {
            EXPECT_EQ(ReadBody(rel, c.bodyKey, &stored), db_ok);
            recordtest::ExpectSameBody(c.body, stored, std::to_string(c.bodyKey.id));
        }
        cc::FreeBody(&stored);
        mail_bodystruct* own = c.body;
        cc::FreeBody(&own);
    }
    EXPECT_EQ(last, kMaxBodyDepth);
    auto m = Shipped("numbering.eml");  // an encapsulated envelope past 65535
    EXPECT_EQ(AddBody(rel, {4, 0}, {4, 65535}, m->body), db_range);
    EXPECT_TRUE(Seqs(*rel.envelopes).empty());
}

TEST(Records, DamagedReferencesEndInAResult)
{
    Relations rel;
    auto m = Shipped("numbering.eml");
    idxkey envKey{42, 0}, bodyKey{42, 0};
    ASSERT_EQ(Store(rel, *m, envKey, bodyKey), db_ok);
    mail_bodystruct* stored = nullptr;
    ASSERT_EQ(ReadBody(rel, {43, 0}, &stored), db_notfound);  // an empty text body
    EXPECT_TRUE(stored != nullptr && stored->type == TYPETEXT && std::string(stored->subtype).empty());
    cc::FreeBody(&stored);
    GetBodyRecord(rel, 42, 4);
    ASSERT_EQ(rel.bodies->del(), db_ok);
    EXPECT_EQ(ReadBody(rel, {42, 0}, &stored), db_notfound);
    EXPECT_EQ(stored, nullptr);
    // A part list pointing at its own record cannot make a read or a removal loop.
    mail_bodystruct* loop = Multipart(1);
    ASSERT_EQ(AddBody(rel, {50, 1}, {50, 0}, loop), db_ok);
    cc::FreeBody(&loop);
    GetBodyRecord(rel, 50, 1);
    ASSERT_EQ(rel.bodies->del(), db_ok);
    ASSERT_EQ(rel.bodies->partList.cpy(std::string("\1\0\0\0", 4).c_str(), 4), db_ok);
    ASSERT_EQ(rel.bodies->put(), db_ok);
    EXPECT_EQ(ReadBody(rel, {50, 1}, &stored), db_corrupt);
    EXPECT_EQ(stored, nullptr);
    idxkey self{50, 1};
    EXPECT_EQ(RemoveArchiveBody(rel.bodies.get(), rel.envelopes.get(), &self), db_notfound);
}

TEST(Records, StringListFields)
{
    Parser parser;
    dbData v(dbData::kBytes);
    parser.AddItem(v, "xy");
    parser.AddItem(v, 0x01020304u);
    parser.AddItem(v, "");
    parser.AddLen(v);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.data()), v.length()), "\x08\0\0\0xy\0\x04\x03\x02\x01\0"s);
    StrParser reader(v);
    EXPECT_EQ(reader.GetLen(), 8u);
    const std::unique_ptr<char, decltype(&std::free)> s(reader.GetStr(), &std::free);
    EXPECT_STREQ(s.get(), "xy");
    EXPECT_EQ(reader.GetNum(), 0x01020304u);
    EXPECT_EQ(reader.GetStr(), nullptr);
    EXPECT_TRUE(reader.IsEnd());
    EXPECT_EQ(reader.GetNum(), 0u);  // nothing left: zero, no overrun
    const auto list = [](const std::string& items) {
        std::string out(4, '\0');
        for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(items.size() >> (8 * i));
        return out + items;
    };
    dbData field(dbData::kBytes);
    ASSERT_EQ(parser.Parse(std::string("alpha\0Beta\0c\0\0", 14).c_str(), field, true), 0);
    EXPECT_EQ(parser.FindStr(field, "BETA"), 1);
    EXPECT_EQ(parser.FindStr(field, "alph") + parser.FindStr(field, "alphX"), 0);
    // {operation, list, expected field}: case-blind deletes of the first equal item each,
    // additions before the final empty item.
    const struct {
        bool add;
        std::string start, items, expected;
    } rows[] = {{false, "alpha\0Beta\0c\0\0"s, "BETA\0\0"s, "alpha\0c\0\0"s},
                {false, "alpha\0Beta\0c\0\0"s, "c\0zeta\0ALPHA\0\0"s, "Beta\0\0"s},
                {false, "b\0a\0b\0\0"s, "b\0\0"s, "a\0b\0\0"s},
                {true, "alpha\0\0"s, "d\0e\0\0"s, "alpha\0d\0e\0\0"s},
                {true, ""s, "x\0\0"s, "x\0\0"s},
                {true, "a\0"s, "b\0\0"s, "a\0b\0\0"s}};
    for (const auto& row : rows) {
        dbData d(dbData::kBytes);
        const std::string start = list(row.start);
        ASSERT_EQ(d.cpy(start.data(), static_cast<uint32_t>(start.size())), db_ok);
        EXPECT_EQ(row.add ? parser.Add(d, row.items.c_str()) : parser.Delete(d, row.items.c_str()), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data()), d.length()), list(row.expected)) << row.items;
    }
    dbData gap(dbData::kBytes);
    ASSERT_EQ(parser.Parse(std::string("a\0\0b\0\0", 6).c_str(), gap, true), 0);
    EXPECT_EQ(parser.FindStr(gap, "b"), 0);  // the scan stops at the first empty item
    EXPECT_EQ(StrParser::StrLen(std::string("ab\0c\0\0x", 7).c_str()), 6u);
    EXPECT_EQ(CompareIdxKey({0x80000000u, 0}, {1, 0}), 1);  // unsigned order
    EXPECT_EQ(CompareIdxKey({1, 0x8000}, {1, 1}), 1);
    EXPECT_EQ(CompareIdxKey({1, 1}, {1, 1}), 0);
}

// The list-name forms rebuild the list when the store fails and automatic rebuild is on.
TEST(Records, ListFormsRebuildOnStoreFailures)
{
    testenv::ArchiveHome home;
    const std::string archive = home.CreateList("sales");
    ParsedMessage parsed(testenv::SimpleMessage("One"));
    home.WriteMessage("sales", 1, parsed.buffer);
    home.WriteMessage("sales", 2, testenv::SimpleMessage("Two"));
    const auto add = [&] {
        diamondBase base;
        archiveenv envelopes(base, archive.c_str());
        idxkey key{1, 0};
        const int result = AddArchiveEnv(&envelopes, &key, parsed.envelope, 1, 1, "sales");
        return std::make_pair(result, Seqs(envelopes).size());
    };
    EXPECT_EQ(add(), std::make_pair(0, std::size_t{1}));
    // A duplicate is not rebuilt unless "AutoRebuild", these forms' own setting, says so.
    EXPECT_EQ(add(), std::make_pair(9, std::size_t{1}));
    home.WriteIni("Y", "[DlManager]\nAutoRebuild=y\n");
    EXPECT_EQ(add(), std::make_pair(9, std::size_t{2}));  // the rebuild stored both message files
    diamondBase::ReleaseIdle();
    testenv::WriteFile(archive + "archiveenv.db", std::string(8192, 'G'));
    testenv::WriteFile(home.path() + "/archiveenv.db", "not a template");  // a rebuild that fails: 22
    diamondBase base;
    archiveenv envelopes(base, archive.c_str());
    mail_envelope* out = cc::NewEnvelope();
    mail_envelope* keep = out;
    uint32_t size = 0, header = 0;
    idxkey key{1, 0};
    EXPECT_EQ(GetArchiveEnv(&envelopes, &key, &out, size, header, "sales"), 22);
    EXPECT_EQ(out, nullptr);
    cc::FreeEnvelope(&keep);
}

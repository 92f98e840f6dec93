// Records the store vouches for (sums and lengths agree) with hostile contents: lists with
// lying counts and missing terminators, part lists pointing anywhere, message parts without
// their records, unknown type codes. Readers may refuse them, never overrun or loop, and what
// they hand out is released by c-client's own release functions.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <string>

#include "dlarchive/dlarchive.h"
#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/cclient.h"
#include "robustness/hostile_support.h"
#include "support/json_records.h"

using hostile::HostileArchive;
using hostile::Rng;

namespace {

void PutLe32(std::string& out, uint32_t value)
{
    for (int b = 0; b < 4; ++b) out += static_cast<char>(value >> (8 * b));
}

// Random bytes, or a length-prefixed list whose count may lie and items lack terminators.
std::string HostileField(Rng& rng)
{
    const uint32_t kind = rng.Below(5);
    if (kind < 2) return kind == 0 ? "" : rng.Bytes(rng.Below(40));
    std::string items, field;
    for (uint32_t count = rng.Below(6); count > 0; --count) {
        if (rng.OneIn(4)) {
            PutLe32(items, rng.OneIn(2) ? rng.Below(50) : static_cast<uint32_t>(rng.Next()));
            continue;
        }
        std::string text = rng.Bytes(rng.Below(12));
        for (char& c : text)
            if (c == '\0' && !rng.OneIn(4)) c = 'a';
        items += text + (rng.OneIn(5) ? "" : std::string(1, '\0'));
    }
    PutLe32(field, rng.OneIn(3) ? static_cast<uint32_t>(rng.Next()) : static_cast<uint32_t>(items.size()));
    return field + items;
}

// Seq numbers as the writer numbers them, itself, backwards or anywhere; ended by zero or not.
std::string HostilePartList(Rng& rng, uint16_t seq)
{
    std::string list;
    for (uint32_t parts = rng.Below(6); parts > 0; --parts) {
        const uint32_t kind = rng.Below(4);
        const auto part = static_cast<uint16_t>(kind == 0   ? seq + 1 + rng.Below(4)
                                                : kind == 1 ? seq
                                                : kind == 2 ? rng.Below(seq + 1u)
                                                            : rng.Next());
        list += static_cast<char>(part & 0xFF);
        list += static_cast<char>(part >> 8);
    }
    return rng.OneIn(4) ? list : list + std::string(2, '\0');
}

void Fill(dbData& field, const std::string& bytes)
{
    ASSERT_EQ(field.cpy(bytes.data(), static_cast<uint32_t>(bytes.size())), db_ok);
}

// Every field of the record hostile; the caller sets the fixed values.
template <typename Record>
void FillHostile(Record& record, Rng& rng)
{
    record.clear();
    for (int f = 0; f < Record::kFieldCount; ++f) Fill(*record.fieldTable()[f].data, HostileField(rng));
}

void StoreHostileEnvelope(archiveenv& envelopes, uint32_t id, uint16_t seq, Rng& rng)
{
    FillHostile(envelopes, rng);
    // The texts read as C strings (the store adds the terminator), any bytes allowed.
    Fill(envelopes.subject, rng.Bytes(rng.Below(30)));
    Fill(envelopes.date, rng.Bytes(rng.Below(30)));
    envelopes.setKey(idxkey{id, seq});
    envelopes.setMessageSize(static_cast<uint32_t>(rng.Next()));
    envelopes.setHeaderSize(static_cast<uint32_t>(rng.Next()));
    envelopes.setFlags(rng.Byte());
    ASSERT_EQ(envelopes.put(), db_ok);
}

void StoreHostileBody(archivebody& bodies, uint32_t id, uint16_t seq, Rng& rng)
{
    FillHostile(bodies, rng);
    static const char* const kSubtypes[] = {"RFC822", "PLAIN", "MIXED", "", "PARTIAL", "rfc822"};
    const std::string subtype = kSubtypes[rng.Below(std::size(kSubtypes))], parts = HostilePartList(rng, seq);
    Fill(bodies.subtype, subtype);
    Fill(bodies.partList, parts);
    bodies.setKey(idxkey{id, seq});
    // Mostly multiparts and messages, whose references the reader follows.
    const uint16_t type = rng.OneIn(3) ? static_cast<uint16_t>(rng.Below(20)) : static_cast<uint16_t>(1 + rng.Below(2));
    bodies.setType(rng.OneIn(20) ? static_cast<uint16_t>(rng.Next()) : type);
    bodies.setEncoding(static_cast<uint16_t>(rng.OneIn(10) ? rng.Next() : rng.Below(8)));
    // Never nested records under a message of another subtype than RFC822: c-client never
    // builds one, and its release would leak what the reader hands out for it.
    const bool nested = bodies.type() != TYPEMESSAGE || subtype == "RFC822";
    bodies.setMsgEnvSeq(static_cast<uint16_t>(!nested || rng.OneIn(3) ? 0 : rng.Below(8)));
    bodies.setMsgBodySeq(static_cast<uint16_t>(!nested || rng.OneIn(3) ? 0 : rng.Below(8)));
    bodies.setMimeOffset(static_cast<uint32_t>(rng.Next()));
    bodies.setContentsSize(static_cast<uint32_t>(rng.Next()));
    bodies.setLines(static_cast<uint32_t>(rng.Next()));
    bodies.setBytes(static_cast<uint32_t>(rng.Next()));
    ASSERT_EQ(bodies.put(), db_ok);
}

bool IsResult(int result)
{
    return result == db_ok || result == db_notfound || result == db_range || result == db_nomem || result == db_corrupt;
}

}  // namespace

TEST(HostileRecords, CraftedTreesAreReadSafely)
{
    // Automatic rebuild off: a rebuild would replace the crafted records by the messages.
    HostileArchive archive("N");
    Rng rng(0x7ec0001);
    constexpr uint32_t kMessages = 150;
    diamondBase base;
    archiveenv envelopes(base, archive.archive().c_str());
    archivebody bodies(base, archive.archive().c_str());
    ASSERT_TRUE(envelopes.status() == db_ok && bodies.status() == db_ok);
    for (uint32_t id = 1; id <= kMessages; ++id)
        for (uint16_t seq = 0; seq < 8; ++seq) {
            if (seq == 0 || !rng.OneIn(4)) StoreHostileEnvelope(envelopes, id, seq, rng);
            if (seq == 0 || !rng.OneIn(4)) StoreHostileBody(bodies, id, seq, rng);
        }
    int handedOut = 0;
    for (uint32_t id = 1; id <= kMessages; ++id) {
        const std::string what = "message " + std::to_string(id);
        // The record functions: a result of the store, and whatever they hand out releases.
        for (uint16_t seq = 0; seq < 8; ++seq) {
            idxkey key{id, seq};
            mail_envelope* envelope = nullptr;
            mail_bodystruct* body = nullptr;
            uint32_t size = 0, header = 0;
            const int envResult = ::GetArchiveEnv(&envelopes, &key, &envelope, size, header);
            key = idxkey{id, seq};
            const int bodyResult = ::GetArchiveBody(&bodies, &envelopes, &key, &body, size, header);
            EXPECT_TRUE(IsResult(envResult) && IsResult(bodyResult)) << what << ": " << envResult << " " << bodyResult;
            EXPECT_NO_THROW(if (envelope != nullptr)(void) cli::EnvelopeToJson(envelope).dump();
                            if (body != nullptr)(void) cli::BodyToJson(body).dump())
                << what;
            handedOut += (envelope != nullptr) + (body != nullptr);
            dlarchive::cclient::FreeEnvelope(&envelope);
            dlarchive::cclient::FreeBody(&body);
        }
        // The archive manager: a code of the system, and its display texts stay bounded.
        mail_envelope* envelope = nullptr;
        mail_bodystruct* body = nullptr;
        uint32_t size = 0, header = 0;
        for (const int code :
             {testenv::Thrown([&] { archive.manager().GetArchiveEnv(id, 0, envelope, size, header); }).first,
              testenv::Thrown([&] { archive.manager().GetArchiveBody(id, 0, body, size, header); }).first})
            EXPECT_TRUE(code >= 0 && code <= 26) << what;
        if (envelope != nullptr) hostile::DisplayTexts(archive.manager(), envelope, "en-us", what);
        dlarchive::cclient::FreeEnvelope(&envelope);
        dlarchive::cclient::FreeBody(&body);
    }
    EXPECT_GT(handedOut, static_cast<int>(kMessages));
    archive.ExpectWholePages();
    // Removing crafted trees ends (cycles and all) with a result of the store.
    for (uint32_t id = 1; id <= kMessages; ++id) {
        idxkey key{id, 0};
        const int result = ::RemoveArchiveBody(&bodies, &envelopes, &key);
        EXPECT_TRUE(IsResult(result)) << "message " << id << ": " << result;
    }
}

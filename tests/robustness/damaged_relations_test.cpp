// Damaged relation files (flipped bytes, cuts, zeroed pages, garbage, the other relation's
// file): every record the store hands out equals the one stored, damage shows as a status,
// and the archive manager repairs it by a rebuild (code 18); then everything reads back.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "dlarchive/dlarchive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "robustness/hostile_support.h"

using hostile::HostileArchive;
using hostile::Rng;

namespace {

// Records as the store keeps them: the fixed record and the bytes of every field, by key.
using Key = std::pair<uint32_t, uint16_t>;
using RawRecords = std::map<Key, std::vector<std::string>>;

std::vector<std::string> Snapshot(DIA_object& record)
{
    std::vector<std::string> raw{std::string(static_cast<const char*>(record.recordData()), record.recordLength())};
    for (int i = 0; i < record.fieldCount(); ++i) {
        const dbData& field = *record.fieldTable()[i].data;
        raw.emplace_back(field.length() > 0 ? std::string(field.text(), field.length()) : std::string());
    }
    return raw;
}

class DamagedRelations : public testing::Test {
protected:
    HostileArchive archive;
    std::map<uint32_t, std::string> files;  // message number -> file bytes
    RawRecords envelopes, bodies;
    std::map<std::string, std::string> pristine;  // relation -> file bytes

    void SetUp() override
    {
        // Plain texts, multiparts and encapsulated messages: records of every kind.
        uint32_t number = 1;
        for (const auto& list : {hostile::SampleListMessages(), hostile::TestMessages()})
            for (const std::string& bytes : list) {
                if (archive.Feed(number, bytes, "message " + std::to_string(number)).kind == hostile::Outcome::Stored)
                    files[number] = bytes;
                ++number;
            }
        ASSERT_GT(files.size(), 70u);
        envelopes = Records<archiveenv>();
        bodies = Records<archivebody>();
        ASSERT_GT(bodies.size(), envelopes.size());
        diamondBase::ReleaseIdle();
        for (const char* relation : {"archiveenv", "archivebody"})
            pristine[relation] = testenv::ReadFile(Path(relation));
        ASSERT_GT(pristine["archiveenv"].size(), 4u * 4096);  // several pages of records
    }

    std::string Path(const std::string& relation) const { return archive.archive() + relation + ".db"; }

    template <typename Relation>
    RawRecords Records()
    {
        RawRecords records;
        diamondBase base;
        Relation relation(base, archive.archive().c_str());
        relation.begin(0);
        for (relation.first(); relation.status() == db_ok; relation.next())
            records[{relation.key().id, relation.key().seq}] = Snapshot(relation);
        EXPECT_EQ(relation.status(), db_eof);
        return records;
    }

    // Nothing of this process may have the file open (the store cannot see damage made
    // behind an open connection), and no journal may be left.
    void WriteRaw(const std::string& relation, const std::string& bytes)
    {
        diamondBase::ReleaseIdle();
        for (const char* side : {"-wal", "-shm", "-journal"}) std::remove((Path(relation) + side).c_str());
        testenv::WriteFile(Path(relation), bytes);
    }

    // Only `relation` damaged, the other as it was.
    void Damage(const std::string& relation, const std::string& bytes)
    {
        for (const auto& [name, content] : pristine) WriteRaw(name, name == relation ? bytes : content);
    }

    // Reads by key and by walk; true when a stored key was not found (damage that SQLite
    // cannot see, having no page sums, may hide a record without any error).
    template <typename Relation>
    bool ExpectNothingWrong(const RawRecords& expected)
    {
        diamondBase base;
        Relation relation(base, archive.archive().c_str());
        if (relation.status() != db_ok) {
            EXPECT_TRUE(relation.status() == db_notopened || relation.status() == db_corrupt) << relation.status();
            return false;
        }
        int agreeing = 0, missing = 0, failed = 0, walked = 0;
        for (const auto& [key, record] : expected) {
            relation.setKey(idxkey{key.first, key.second});
            const dbError result = relation.get(0);
            EXPECT_TRUE(result != db_ok || Snapshot(relation) == record) << "record differs";
            agreeing += result == db_ok, missing += result == db_notfound;
            failed += result != db_ok && result != db_notfound;
        }
        // A record the walk hands out must be one that was stored, unchanged, in key order.
        Key previous{0, 0};
        relation.begin(0);
        for (relation.first(); relation.status() == db_ok; relation.next(), ++walked) {
            const Key key{relation.key().id, relation.key().seq};
            const auto found = expected.find(key);
            EXPECT_TRUE(found != expected.end() && Snapshot(relation) == found->second &&
                        (walked == 0 || previous < key));
            previous = key;
        }
        // A walk ends at the end or at damage, never anywhere else.
        EXPECT_TRUE(relation.status() == db_eof || relation.status() == db_corrupt) << relation.status();
        EXPECT_TRUE(missing + failed > 0 || relation.status() != db_eof ||
                    (agreeing == walked && static_cast<std::size_t>(walked) == expected.size()));
        return missing > 0;
    }

    // A message reads back, or the damage is reported as rebuilt (18) and then it does; a
    // hidden record reads as not stored (3, 9) until the next rebuild.
    void ExpectRepairedOnRetrieval(const std::string& what, Rng& rng, bool hidden)
    {
        int rebuilt = 0;
        for (int i = 0; i < 6; ++i) {
            auto it = std::next(files.begin(), rng.Below(static_cast<uint32_t>(files.size())));
            const std::string at = what + ", message " + std::to_string(it->first);
            const int32_t code = archive.TryReadBack(it->first, it->second, at);
            if (code == 0 || (hidden && (code == 3 || code == 9))) continue;
            EXPECT_EQ(code, 18) << at << ": " << archive.manager().GetLastErrorMsg();
            ++rebuilt;
            EXPECT_EQ(archive.TryReadBack(it->first, it->second, at + " after the rebuild"), 0) << at;
        }
        // The rebuild stored everything again, exactly as before.
        EXPECT_TRUE(rebuilt == 0 || (Records<archiveenv>() == envelopes && Records<archivebody>() == bodies)) << what;
    }

    // A message arriving at damage is never lost.
    void ExpectIntakeLosesNothing(const std::string& what)
    {
        const uint32_t number = 0x7000;
        const std::string bytes = testenv::SimpleMessage("arrives at damage"), at = what + ": intake";
        const std::string path = archive.home().WriteMessage("sales", number, bytes);
        const auto [code, message] =
            testenv::Thrown([&] { EXPECT_TRUE(archive.manager().AddArchive(archive.archive().c_str(), number)); });
        // 18: a rebuild stored it; 1: the envelope relation did not open (no rebuild). Stored
        // into a damaged relation, its reading may meet the damage and rebuild.
        EXPECT_TRUE(code == 0 || code == 18 || code == 1) << at << ": code " << code << " " << message;
        int32_t read = archive.TryReadBack(number, bytes, at);
        if (code != 18 && read == 18) read = archive.TryReadBack(number, bytes, at + " after the rebuild");
        EXPECT_EQ(read, 0) << at;
        EXPECT_TRUE(testenv::ReadFile(path) == bytes) << at;
        std::remove(path.c_str());
    }

    void Trial(const std::string& relation, const std::string& damaged, const std::string& what, Rng& rng)
    {
        Damage(relation, damaged);
        SCOPED_TRACE(what);
        const bool hidden = ExpectNothingWrong<archiveenv>(envelopes) | ExpectNothingWrong<archivebody>(bodies);
        diamondBase::ReleaseIdle();
        ExpectRepairedOnRetrieval(what, rng, hidden);
        // Pages are written whole from what could be read, or not at all (a code of the system).
        Damage(relation, damaged);
        const int code = testenv::Thrown([&] { archive.manager().GenerateIndexPages("sales"); }).first;
        EXPECT_TRUE(code >= 0 && code <= 26) << code;
        for (const char* page : {"en-us-author.html", "en-us-date.html", "en-us-thread.html"})
            EXPECT_TRUE(!testenv::Exists(archive.archive() + page) ||
                        hostile::IsWholePage(testenv::ReadFile(archive.archive() + page)))
                << page;
        Damage(relation, damaged);
        ExpectIntakeLosesNothing(what);
        // The message files are never touched.
        for (const auto& [number, bytes] : files)
            ASSERT_TRUE(testenv::ReadFile(archive.archive() + testenv::MessageName(number)) == bytes) << what;
    }
};

}  // namespace

TEST_F(DamagedRelations, FlippedCutZeroedForeignAndGarbage)
{
    Rng rng(0xda0001);
    const std::size_t page = 4096;
    for (int trial = 0; trial < 56; ++trial) {
        const std::string relation = trial % 2 ? "archivebody" : "archiveenv";
        std::string bytes = pristine[relation], what = relation + " trial " + std::to_string(trial);
        const auto pages = static_cast<uint32_t>(bytes.size() / page);
        if (trial < 30) {  // flipped bytes, a few or many
            for (uint32_t i = 1 + rng.Below(trial < 15 ? 3 : 40); i > 0; --i)
                bytes[rng.Below(static_cast<uint32_t>(bytes.size()))] ^= static_cast<char>(1 + rng.Below(255));
        } else if (trial < 38) {  // cut short, at a page boundary or anywhere
            bytes.resize(trial < 32 ? rng.Below(pages) * page : rng.Below(static_cast<uint32_t>(bytes.size())));
        } else if (trial < 44) {  // a page zeroed
            bytes.replace(rng.Below(pages) * page, page, page, '\0');
        } else if (trial < 50) {  // garbage appended
            bytes += rng.Bytes(1 + rng.Below(3 * page));
        } else {  // the other relation's file, empty, zeros, a header alone, a forged header
            const std::string foreign[] = {pristine[trial % 2 ? "archiveenv" : "archivebody"], "",
                                           std::string(8192, '\0'), bytes.substr(0, 100),
                                           std::string("SQLite format 3\0", 16) + rng.Bytes(8000)};
            bytes = foreign[(trial - 50) % 5];
        }
        Trial(relation, bytes, what, rng);
    }
}

// Damaged relation files: bytes flipped, the file cut short, pages zeroed, garbage appended,
// the other relation's file in its place. Whatever the damage, nothing reads back wrong:
// every record the store hands out equals the record stored, damage shows as a non-zero
// status (or 22), and through the archive manager it is repaired by the automatic rebuild
// (code 18), after which every message reads back as it was stored.
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

// A record as the store keeps it: the fixed record and the bytes of every field.
struct RawRecord {
    std::string fixed;
    std::vector<std::string> fields;
    bool operator==(const RawRecord&) const = default;
};
using Key = std::pair<uint32_t, uint16_t>;
using RawRecords = std::map<Key, RawRecord>;

RawRecord Snapshot(DIA_object& record)
{
    RawRecord raw;
    raw.fixed.assign(static_cast<const char*>(record.recordData()), record.recordLength());
    _db_strStruct* table = record.fieldTable();
    for (int i = 0; i < record.fieldCount(); ++i) {
        const dbData& field = *table[i].data;
        raw.fields.emplace_back(field.length() > 0 ? std::string(field.text(), field.length()) : std::string());
    }
    return raw;
}

// What a reading of a relation found: records that agree, records that do not (never
// allowed), keys that were not found, and how the reading ended.
struct Reading {
    int opened = -1;  // status after construction
    int agreeing = 0;
    int wrong = 0;
    int missing = 0;   // get gave 3 for a stored key
    int failed = 0;    // get gave another non-zero result
    int walked = 0;    // records the walk handed out (all compared)
    int walkEnd = -1;  // status that ended the walk
};

template <typename Relation>
Reading ReadAll(const std::string& directory, const RawRecords& expected)
{
    Reading r;
    diamondBase base;
    Relation relation(base, directory.c_str());
    r.opened = relation.status();
    if (r.opened != db_ok) return r;
    for (const auto& [key, record] : expected) {
        relation.setKey(idxkey{key.first, key.second});
        const dbError result = relation.get(0);
        if (result == db_ok) {
            const bool same = Snapshot(relation) == record;
            r.agreeing += same;
            r.wrong += !same;
        } else if (result == db_notfound) {
            ++r.missing;
        } else {
            ++r.failed;
        }
    }
    relation.begin(0);
    Key previous{0, 0};
    bool first = true;
    for (relation.first(); relation.status() == db_ok; relation.next()) {
        ++r.walked;
        const Key key{relation.key().id, relation.key().seq};
        const auto found = expected.find(key);
        // A record the walk hands out must be one that was stored, unchanged, in key order.
        if (found == expected.end() || !(Snapshot(relation) == found->second) || (!first && !(previous < key)))
            ++r.wrong;
        previous = key;
        first = false;
    }
    r.walkEnd = relation.status();
    return r;
}

class DamagedRelations : public testing::Test {
protected:
    HostileArchive archive;
    std::map<uint32_t, std::string> files;  // message number -> file bytes
    RawRecords envelopes, bodies;
    std::string pristineEnv, pristineBody;

    void SetUp() override
    {
        // The sample list and the test messages: plain texts, multiparts, encapsulated
        // messages, so that both relations hold records of every kind.
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
        pristineEnv = testenv::ReadFile(Path("archiveenv"));
        pristineBody = testenv::ReadFile(Path("archivebody"));
        // Big enough to hold several pages of records.
        ASSERT_GT(pristineEnv.size(), 4u * 4096);
    }

    std::string Path(const std::string& relation) const { return archive.archive() + relation + ".db"; }

    template <typename Relation>
    RawRecords Records()
    {
        RawRecords records;
        diamondBase base;
        Relation relation(base, archive.archive().c_str());
        EXPECT_EQ(relation.status(), db_ok);
        relation.begin(0);
        for (relation.first(); relation.status() == db_ok; relation.next())
            records[{relation.key().id, relation.key().seq}] = Snapshot(relation);
        EXPECT_EQ(relation.status(), db_eof);
        return records;
    }

    // Raw bytes written over a relation file: nothing of this process may have it open (the
    // store cannot see damage made behind an open connection), and no journal may be left.
    void WriteRaw(const std::string& relation, const std::string& bytes)
    {
        diamondBase::ReleaseIdle();
        for (const char* side : {"-wal", "-shm", "-journal"}) std::remove((Path(relation) + side).c_str());
        testenv::WriteFile(Path(relation), bytes);
    }

    void Restore()
    {
        WriteRaw("archiveenv", pristineEnv);
        WriteRaw("archivebody", pristineBody);
    }

    // Reads both relations directly; nothing wrong may come out. True when a stored key was
    // not found: damage to the tree that SQLite itself cannot see (it checks no page sums)
    // may hide a record without any error.
    bool ExpectNothingWrong(const std::string& what)
    {
        bool hidden = false;
        for (const bool env : {true, false}) {
            const Reading r = env ? ReadAll<archiveenv>(archive.archive(), envelopes)
                                  : ReadAll<archivebody>(archive.archive(), bodies);
            const std::size_t stored = env ? envelopes.size() : bodies.size();
            SCOPED_TRACE(what + (env ? ": archiveenv" : ": archivebody"));
            EXPECT_EQ(r.wrong, 0);
            hidden = hidden || r.missing > 0;
            if (r.opened != db_ok) {
                EXPECT_TRUE(r.opened == db_notopened || r.opened == db_corrupt) << r.opened;
                continue;
            }
            // A walk ends at the end or at damage, never anywhere else.
            EXPECT_TRUE(r.walkEnd == db_eof || r.walkEnd == db_corrupt) << "walk ended with " << r.walkEnd;
            if (r.missing + r.failed == 0 && r.walkEnd == db_eof) {
                EXPECT_EQ(static_cast<std::size_t>(r.agreeing), stored);
                EXPECT_EQ(static_cast<std::size_t>(r.walked), stored);
            }
        }
        diamondBase::ReleaseIdle();
        return hidden;
    }

    // Through the archive manager: every message reads back as stored, or the damage is
    // reported as rebuilt (18), after which it does. A record the damage hid (see above)
    // reads as not stored (3, 9) until the next rebuild.
    void ExpectRepairedOnRetrieval(const std::string& what, Rng& rng, bool hidden)
    {
        int rebuilt = 0;
        for (int i = 0; i < 6; ++i) {
            auto it = files.begin();
            std::advance(it, rng.Below(static_cast<uint32_t>(files.size())));
            const std::string at = what + ", message " + std::to_string(it->first);
            const int32_t code = archive.TryReadBack(it->first, it->second, at);
            if (code == 0) continue;
            if (hidden && (code == 3 || code == 9)) continue;
            EXPECT_EQ(code, 18) << at << ": " << archive.manager().GetLastErrorMsg();
            ++rebuilt;
            EXPECT_EQ(archive.TryReadBack(it->first, it->second, at + " after the rebuild"), 0) << at;
        }
        if (rebuilt > 0) {
            // The rebuild stored everything again, exactly as before.
            EXPECT_TRUE(Records<archiveenv>() == envelopes) << what;
            EXPECT_TRUE(Records<archivebody>() == bodies) << what;
        }
    }

    // A message arriving while a relation is damaged is stored, or the damage is reported
    // as rebuilt (18) by a rebuild that stored it with all the others: it is never lost.
    void ExpectIntakeLosesNothing(const std::string& what)
    {
        const uint32_t number = 0x7000;
        const std::string bytes = testenv::SimpleMessage("arrives at damage");
        const std::string path = archive.home().WriteMessage("sales", number, bytes);
        int32_t code = 0;
        try {
            EXPECT_TRUE(archive.manager().AddArchive(archive.archive().c_str(), number)) << what;
        } catch (const CDlArchiveException& e) {
            code = e.GetLastError();
        }
        const std::string at = what + ": intake";
        if (code == 0) {
            // Stored into the damaged relation: reading it may still meet the damage.
            const int32_t read = archive.TryReadBack(number, bytes, at);
            if (read != 0) {
                EXPECT_EQ(read, 18) << at;
                EXPECT_EQ(archive.TryReadBack(number, bytes, at + " after the rebuild"), 0) << at;
            }
        } else {
            // 18: the rebuild stored it. 1: the envelope relation did not open, which the
            // intake reports without a rebuild; the next retrieval rebuilds.
            EXPECT_TRUE(code == 18 || code == 1)
                << at << ": code " << code << " " << archive.manager().GetLastErrorMsg();
            int32_t read = archive.TryReadBack(number, bytes, at + " after the failure");
            if (code == 1 && read == 18) read = archive.TryReadBack(number, bytes, at + " after the rebuild");
            EXPECT_EQ(read, 0) << at;
        }
        EXPECT_TRUE(testenv::ReadFile(path) == bytes) << at;
        std::remove(path.c_str());
    }

    // The checks on a damaged copy of one relation, then the relations back as they were.
    void Trial(const std::string& relation, const std::string& damaged, const std::string& what, Rng& rng)
    {
        Restore();
        WriteRaw(relation, damaged);
        const bool hidden = ExpectNothingWrong(what);
        ExpectRepairedOnRetrieval(what, rng, hidden);
        Restore();
        WriteRaw(relation, damaged);
        ExpectIntakeLosesNothing(what);
        // The message files are never touched.
        for (const auto& [number, bytes] : files) {
            char name[16];
            std::snprintf(name, sizeof name, "%x.msg", number);
            ASSERT_TRUE(testenv::ReadFile(archive.archive() + name) == bytes) << what;
        }
    }

    const std::string& Pristine(const std::string& relation) const
    {
        return relation == "archiveenv" ? pristineEnv : pristineBody;
    }
};

}  // namespace

TEST_F(DamagedRelations, FlippedCutZeroedForeignAndGarbage)
{
    Rng rng(0xda0001);
    const std::size_t page = 4096;
    for (int trial = 0; trial < 56; ++trial) {
        const std::string relation = trial % 2 ? "archivebody" : "archiveenv";
        std::string bytes = Pristine(relation), what = relation + " trial " + std::to_string(trial);
        if (trial < 30) {  // flipped bytes, a few or many
            for (uint32_t i = 1 + rng.Below(trial < 15 ? 3 : 40); i > 0; --i)
                bytes[rng.Below(static_cast<uint32_t>(bytes.size()))] ^= static_cast<char>(1 + rng.Below(255));
        } else if (trial < 38) {  // cut short, at a page boundary or anywhere
            bytes.resize(trial < 32 ? rng.Below(static_cast<uint32_t>(bytes.size() / page)) * page
                                    : rng.Below(static_cast<uint32_t>(bytes.size())));
        } else if (trial < 44) {  // a page zeroed
            const std::size_t at = rng.Below(static_cast<uint32_t>(bytes.size() / page)) * page;
            std::fill(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + page), '\0');
        } else if (trial < 50) {  // garbage appended
            bytes += rng.Bytes(1 + rng.Below(3 * page));
        } else {  // the other relation's file, empty, zeros, a header alone, a forged header
            const std::string foreign[] = {Pristine(trial % 2 ? "archiveenv" : "archivebody"), "",
                                           std::string(8192, '\0'), bytes.substr(0, 100),
                                           std::string("SQLite format 3\0", 16) + rng.Bytes(8000)};
            bytes = foreign[(trial - 50) % 5];
        }
        Trial(relation, bytes, what, rng);
    }
}

TEST_F(DamagedRelations, IndexPagesOverDamage)
{
    Rng rng(0xda0004);
    int rebuilt = 0;
    for (int trial = 0; trial < 6; ++trial) {
        Restore();
        std::string bytes = pristineEnv;
        for (int i = 0; i < 20; ++i) {
            const std::size_t at = rng.Below(static_cast<uint32_t>(bytes.size()));
            bytes[at] = static_cast<char>(rng.Byte());
        }
        WriteRaw("archiveenv", bytes);
        // The pages are either written whole from what could be read, or the driver fails
        // with a code of the system; a page is never left half written. Damage that cuts the
        // walk short is repaired and reported as rebuilt, after which the pages list every
        // message again.
        try {
            archive.manager().GenerateIndexPages("sales");
        } catch (const CDlArchiveException& e) {
            EXPECT_TRUE(e.GetLastError() >= 1 && e.GetLastError() <= 26) << e.GetLastError();
            if (e.GetLastError() == 18) {
                ++rebuilt;
                diamondBase::ReleaseIdle();
                EXPECT_TRUE(Records<archiveenv>() == envelopes);
                archive.ExpectWholePages();
            }
        }
        for (const char* name : {"en-us-author.html", "en-us-date.html", "en-us-thread.html", "de-de-author.html",
                                 "de-de-date.html", "de-de-thread.html"})
            if (testenv::Exists(archive.archive() + name)) {
                EXPECT_TRUE(hostile::IsWholePage(testenv::ReadFile(archive.archive() + name))) << name;
            }
    }
    EXPECT_GT(rebuilt, 0);  // the seed does reach damage that cuts the walk short
    // A rebuild repairs everything, and the pages list every message again.
    diamondBase::ReleaseIdle();
    ASSERT_TRUE(RebuildArchiveDb("sales"));
    EXPECT_TRUE(Records<archiveenv>() == envelopes);
    EXPECT_TRUE(Records<archivebody>() == bodies);
    archive.ExpectWholePages();
}

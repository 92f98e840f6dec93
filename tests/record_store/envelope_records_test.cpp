// Envelope records on real relations: every shipped message's envelope read back as c-client
// parsed it (with the archive's deliberate differences), encoded words in UTF-8, the fixed
// record, duplicates and removal.
#include "platform/cclient_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "record_store/record_support.h"

namespace cc = dlarchive::cclient;
using recordtest::ParsedMessage;
using recordtest::Relations;

namespace {

uint32_t Le32(const uint8_t* record, std::size_t offset)
{
    uint32_t value;
    std::memcpy(&value, record + offset, 4);
    return value;
}

std::string Message(const std::string& header, const std::string& body = "Body.\n")
{
    return header + "\n" + body;
}

}  // namespace

TEST(EnvelopeRecords, EveryMessageFileRoundTrips)
{
    Relations rel;
    auto files = recordtest::LoadMessageFiles(recordtest::MessageDirectory());
    ASSERT_GE(files.size(), 15u);
    uint32_t id = 1;
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        ParsedMessage parsed(file.bytes);
        ASSERT_NE(parsed.envelope, nullptr);
        const auto size = static_cast<uint32_t>(file.bytes.size());
        idxkey key{id, 0};
        ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, parsed.envelope, size, parsed.headerSize), db_ok);

        // A fresh unit of work, as the reader of an archive has.
        rel.Reopen();
        mail_envelope* stored = nullptr;
        uint32_t messageSize = 0, headerSize = 0;
        key = {id, 0};
        ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &key, &stored, messageSize, headerSize), db_ok);
        recordtest::ExpectSameEnvelope(parsed.envelope, stored, file.name);
        EXPECT_EQ(messageSize, size);
        EXPECT_EQ(headerSize, parsed.headerSize);
        const uint8_t* record = rel.envelopes->record();
        EXPECT_EQ(Le32(record, 132), size);
        EXPECT_EQ(Le32(record, 136), 0u);
        EXPECT_EQ(Le32(record, 140), 0u);
        EXPECT_EQ(Le32(record, 144), parsed.headerSize);
        cc::FreeEnvelope(&stored);
        ++id;
    }
    EXPECT_EQ(recordtest::Keys(*rel.envelopes).size(), files.size());
}

TEST(EnvelopeRecords, EncodedWordsAreStoredInUtf8)
{
    Relations rel;
    ParsedMessage parsed(
        Message("From: =?iso-8859-1?Q?J=FCrgen_M=FCller?= <jm@example.de>, Plain <p@example.org>\n"
                "Sender: =?iso-8859-1?Q?J=FCrgen?= <jm@example.de>\n"
                "To: =?iso-8859-1?Q?J=FCrgen?= <jm@example.de>\n"
                "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\n"));
    idxkey key{7, 0};
    ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, parsed.envelope, 10, 5), db_ok);

    mail_envelope* stored = nullptr;
    uint32_t messageSize = 0, headerSize = 0;
    ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &key, &stored, messageSize, headerSize), db_ok);
    // The stored field itself holds UTF-8, not the encoded word.
    EXPECT_STREQ(rel.envelopes->subject.text(),
                 "Gr\xC3\xBC\xC3\x9F"
                 "e");
    EXPECT_STREQ(stored->subject,
                 "Gr\xC3\xBC\xC3\x9F"
                 "e");
    ASSERT_NE(stored->from, nullptr);
    EXPECT_STREQ(stored->from->personal, "J\xC3\xBCrgen M\xC3\xBCller");
    ASSERT_NE(stored->from->next, nullptr);
    EXPECT_STREQ(stored->from->next->personal, "Plain");
    // Only the From names are converted.
    EXPECT_STREQ(stored->sender->personal, "=?iso-8859-1?Q?J=FCrgen?=");
    EXPECT_STREQ(stored->to->personal, "=?iso-8859-1?Q?J=FCrgen?=");
    cc::FreeEnvelope(&stored);
}

TEST(EnvelopeRecords, UnconvertibleCharsetKeepsTheHeaderAsWritten)
{
    Relations rel;
    ParsedMessage parsed(
        Message("From: =?x-unknown?Q?Strange_Name?= <s@example.org>\n"
                "Subject: =?x-unknown?Q?Odd?= =?\n"));
    idxkey key{1, 0};
    ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, parsed.envelope, 1, 1), db_ok);
    mail_envelope* stored = nullptr;
    uint32_t messageSize = 0, headerSize = 0;
    ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &key, &stored, messageSize, headerSize), db_ok);
    // Undecoded: never the decoded but unconverted bytes.
    EXPECT_STREQ(stored->from->personal, "=?x-unknown?Q?Strange_Name?=");
    EXPECT_STREQ(stored->subject, "=?x-unknown?Q?Odd?= =?");
    cc::FreeEnvelope(&stored);
}

TEST(EnvelopeRecords, MissingListsAndTextsReadBackAsNull)
{
    Relations rel;
    ParsedMessage parsed(Message("To: list@example.org\nSubject:\n"));
    ASSERT_NE(parsed.envelope, nullptr);
    ASSERT_EQ(parsed.envelope->from, nullptr);
    ASSERT_STREQ(parsed.envelope->subject, "");
    // Neither stored nor read back.
    parsed.envelope->remail = cc::CopyString("remailed");
    if (parsed.envelope->return_path == nullptr) {
        parsed.envelope->return_path = cc::NewAddress();
        parsed.envelope->return_path->mailbox = cc::CopyString("bounce");
    }
    idxkey key{3, 0};
    ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, parsed.envelope, 1, 1), db_ok);

    mail_envelope* stored = nullptr;
    uint32_t messageSize = 0, headerSize = 0;
    ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &key, &stored, messageSize, headerSize), db_ok);
    archiveenv& r = *rel.envelopes;
    for (const dbData* field :
         {&r.fromPersonal, &r.fromAdl, &r.fromMailbox, &r.fromHost, &r.senderPersonal, &r.senderAdl, &r.senderMailbox,
          &r.senderHost, &r.ccPersonal, &r.ccAdl, &r.ccMailbox, &r.ccHost}) {
        EXPECT_EQ(field->length(), 0u);
    }
    EXPECT_EQ(r.reference(1), 0u);
    EXPECT_NE(r.reference(16), 0u);  // toMailbox
    EXPECT_EQ(stored->from, nullptr);
    EXPECT_EQ(stored->sender, nullptr);
    EXPECT_EQ(stored->reply_to, nullptr);
    EXPECT_EQ(stored->cc, nullptr);
    EXPECT_EQ(stored->bcc, nullptr);
    ASSERT_NE(stored->to, nullptr);
    EXPECT_STREQ(stored->to->mailbox, "list");
    EXPECT_EQ(stored->subject, nullptr);  // the empty subject reads back as none
    EXPECT_EQ(stored->date, nullptr);
    EXPECT_EQ(stored->message_id, nullptr);
    EXPECT_EQ(stored->remail, nullptr);
    EXPECT_EQ(stored->return_path, nullptr);
    cc::FreeEnvelope(&stored);

    // A null envelope stores a record without any member.
    idxkey other{4, 0};
    ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &other, nullptr, 9, 8), db_ok);
    ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &other, &stored, messageSize, headerSize), db_ok);
    EXPECT_EQ(stored->from, nullptr);
    EXPECT_EQ(stored->subject, nullptr);
    EXPECT_EQ(messageSize, 9u);
    EXPECT_EQ(headerSize, 8u);
    cc::FreeEnvelope(&stored);
}

TEST(EnvelopeRecords, FlagBitRoundTrips)
{
    Relations rel;
    mail_envelope* envelope = cc::NewEnvelope();
    envelope->incomplete = 1;
    envelope->subject = cc::CopyString("flagged");
    idxkey key{5, 2};
    ASSERT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, envelope, 1, 1), db_ok);
    cc::FreeEnvelope(&envelope);
    EXPECT_EQ(rel.envelopes->record()[148], 1);

    uint32_t messageSize = 0, headerSize = 0;
    ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &key, &envelope, messageSize, headerSize), db_ok);
    EXPECT_EQ(envelope->incomplete, 1u);
    EXPECT_STREQ(envelope->subject, "flagged");
    cc::FreeEnvelope(&envelope);
}

TEST(EnvelopeRecords, DuplicatesMissingKeysAndRemoval)
{
    Relations rel;
    ParsedMessage parsed(Message("From: a@example.org\nSubject: twice\n"));
    idxkey key{9, 0};
    EXPECT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, parsed.envelope, 1, 1), db_ok);
    EXPECT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, parsed.envelope, 1, 1), db_dup);

    idxkey missing{9, 1};
    EXPECT_EQ(RemoveArchiveEnv(rel.envelopes.get(), &missing), db_notfound);

    // Not found still hands out an (empty) envelope, which the caller releases.
    mail_envelope* stored = nullptr;
    uint32_t messageSize = 77, headerSize = 77;
    ASSERT_EQ(GetArchiveEnv(rel.envelopes.get(), &missing, &stored, messageSize, headerSize), db_notfound);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->subject, nullptr);
    EXPECT_EQ(stored->from, nullptr);
    cc::FreeEnvelope(&stored);

    EXPECT_EQ(RemoveArchiveEnv(rel.envelopes.get(), &key), db_ok);
    EXPECT_TRUE(recordtest::Keys(*rel.envelopes).empty());
    EXPECT_EQ(RemoveArchiveEnv(rel.envelopes.get(), &key), db_notfound);
    EXPECT_EQ(AddArchiveEnv(rel.envelopes.get(), &key, parsed.envelope, 1, 1), db_ok);
}

TEST(EnvelopeRecords, ClosedRelationLeavesTheOutputAlone)
{
    testenv::TempDir dir;
    diamondBase base;
    archiveenv closed(base, dir.path().c_str());
    ASSERT_NE(closed.status(), db_ok);
    idxkey key{1, 0};
    mail_envelope* sentinel = reinterpret_cast<mail_envelope*>(0x1);
    mail_envelope* out = sentinel;
    uint32_t messageSize = 5, headerSize = 6;
    EXPECT_EQ(GetArchiveEnv(&closed, &key, &out, messageSize, headerSize), db_notopened);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(messageSize, 5u);
    EXPECT_EQ(RemoveArchiveEnv(&closed, &key), db_notopened);
    ParsedMessage parsed(Message("Subject: x\n"));
    EXPECT_EQ(AddArchiveEnv(&closed, &key, parsed.envelope, 1, 1), db_notopened);
}

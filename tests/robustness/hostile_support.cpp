#include "platform/cclient_records.h"

#include "robustness/hostile_support.h"

#include <gtest/gtest.h>

#include "dlarchive/dlarchive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/cclient.h"
#include "record_store/record_support.h"

namespace hostile {

namespace {

// Author, date and subject as displayed, each from a heap buffer of exactly the documented size.
std::vector<std::string> DisplayTexts(CDlArchive& manager, mail_envelope* envelope, const char* locale,
                                      const std::string& what)
{
    std::vector<std::string> texts;
    for (auto get :
         {&CDlArchive::GetAuthorOfMessage, &CDlArchive::GetDateOfMessage, &CDlArchive::GetSubjectOfMessage}) {
        std::unique_ptr<char[]> buffer(new char[CDlArchive::kDisplayTextSize]());
        (manager.*get)(envelope, buffer.get(), locale);
        EXPECT_NE(std::memchr(buffer.get(), '\0', CDlArchive::kDisplayTextSize), nullptr) << what;
        texts.emplace_back(buffer.get(), strnlen(buffer.get(), CDlArchive::kDisplayTextSize));
    }
    return texts;
}

}  // namespace

HostileArchive::HostileArchive(const std::string& autoRebuild)
    : m_home(autoRebuild), m_archive(m_home.CreateList("sales"))
{
    EXPECT_TRUE(m_manager.SetListName("sales"));
    m_manager.GetArchivePath();
    EXPECT_EQ(std::string(m_manager.GetArchivePathText()), m_archive);
}

Outcome HostileArchive::Feed(uint32_t number, const std::string& bytes, const std::string& what)
{
    const std::string path = m_home.WriteMessage("sales", number, bytes);
    Outcome outcome;
    try {
        outcome.kind = m_manager.AddArchive(m_archive.c_str(), number) ? Outcome::Stored : Outcome::Refused;
        outcome.code = m_manager.GetLastError();
    } catch (const CDlArchiveException& e) {
        outcome = {Outcome::Thrown, e.GetLastError()};
        EXPECT_EQ(m_manager.GetLastError(), e.GetLastError()) << what;
    }  // any other exception fails the test
    // The message file is the archive itself: whatever happened, it stays as it was.
    EXPECT_TRUE(testenv::Exists(path) && testenv::ReadFile(path) == bytes) << what << ": message file changed";
    if (outcome.kind == Outcome::Stored) {
        // Stored, or already stored: the codes of a successful or duplicate record operation.
        EXPECT_TRUE(outcome.code == 1 || outcome.code == 2 || outcome.code == 8) << what << ": code " << outcome.code;
        EXPECT_EQ(m_manager.GetBufferLen(), 0u) << what;
        EXPECT_EQ(TryReadBack(number, bytes, what), 0)
            << what << ": does not read back: " << m_manager.GetLastErrorMsg();
    } else if (outcome.kind == Outcome::Refused) {
        EXPECT_TRUE(outcome.code >= 13 && outcome.code <= 15) << what << ": refused with code " << outcome.code;
        EXPECT_TRUE(BodyRecords(number) == 0 && StoredMessages().count(number) == 0) << what;
    } else if (outcome.kind == Outcome::Thrown) {
        EXPECT_TRUE(outcome.code >= 1 && outcome.code <= 26) << what << ": thrown code " << outcome.code;
    }
    return outcome;
}

int32_t HostileArchive::TryReadBack(uint32_t number, const std::string& bytes, const std::string& what)
{
    // The oracle: the same bytes split by the intake's own rule and parsed by c-client.
    CDlArchive probe;
    const std::string path = m_archive + testenv::MessageName(number);
    if (!probe.InitBuffer(path.c_str())) {
        ADD_FAILURE() << what << ": message file unreadable";
        return -1;
    }
    probe.InitHdrSize();
    probe.DeinitBuffer();
    const uint32_t headerSize = probe.GetHdrSize();
    std::string buffer = bytes;
    mail_envelope *parsedEnvelope = nullptr, *envelope = nullptr;
    mail_bodystruct *parsedBody = nullptr, *body = nullptr;
    dlarchive::cclient::ParseMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), headerSize, &parsedEnvelope,
                                     &parsedBody);
    uint32_t messageSize = 0, storedHeaderSize = 0;
    const int32_t code = testenv::Thrown([&] {
                             m_manager.GetArchiveEnv(number, 0, envelope, messageSize, storedHeaderSize);
                             EXPECT_TRUE(messageSize == bytes.size() && storedHeaderSize == headerSize) << what;
                             recordtest::ExpectSameEnvelope(parsedEnvelope, envelope, what + ": envelope");
                             m_manager.GetArchiveBody(number, 0, body, messageSize, storedHeaderSize);
                             recordtest::ExpectSameBody(parsedBody, body, what + ": body");
                         }).first;
    for (const char* locale : {"en-us", "de-de"}) {
        if (envelope == nullptr) break;
        const auto texts = DisplayTexts(m_manager, envelope, locale, what);
        EXPECT_FALSE(texts[0].empty() || texts[2].empty()) << what;
        // A date or subject shows as stored, cut to its length; an empty one as a default text.
        const std::string date = envelope->date ? reinterpret_cast<const char*>(envelope->date) : "";
        const std::string subject = envelope->subject ? envelope->subject : "";
        EXPECT_EQ(texts[1], date.empty() ? texts[1] : date.substr(0, 16)) << what;
        EXPECT_EQ(texts[2], subject.empty() ? texts[2] : subject.substr(0, 1023)) << what;
    }
    for (auto* e : {&envelope, &parsedEnvelope}) dlarchive::cclient::FreeEnvelope(e);
    for (auto* b : {&body, &parsedBody}) dlarchive::cclient::FreeBody(b);
    return code;
}

template <typename Relation>
std::multiset<uint32_t> HostileArchive::Ids()
{
    std::multiset<uint32_t> ids;
    diamondBase base;
    Relation relation(base, m_archive.c_str());
    relation.begin(0);
    for (relation.first(); relation.status() == db_ok; relation.next()) ids.insert(relation.key().id);
    EXPECT_EQ(relation.status(), db_eof);
    return ids;
}

std::set<uint32_t> HostileArchive::StoredMessages()
{
    const auto ids = Ids<archiveenv>();
    return {ids.begin(), ids.end()};
}

int HostileArchive::BodyRecords(uint32_t number)
{
    return static_cast<int>(Ids<archivebody>().count(number));
}

}  // namespace hostile

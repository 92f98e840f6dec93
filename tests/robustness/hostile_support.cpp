#include "platform/cclient_records.h"

#include "robustness/hostile_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "dlarchive/dlarchive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/cclient.h"
#include "record_store/record_support.h"

namespace hostile {

uint64_t Rng::Next()
{
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string Rng::Bytes(std::size_t count)
{
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(Byte());
    return bytes;
}

namespace {

// A boundary the message declares, so that inserted delimiter lines can hit real parts.
std::string SomeBoundary(const std::string& message, Rng& rng)
{
    std::vector<std::string> found;
    for (std::size_t at = message.find("boundary="); at != std::string::npos && found.size() < 8;
         at = message.find("boundary=", at + 1)) {
        std::size_t start = at + 9;
        if (start < message.size() && message[start] == '"') ++start;
        std::size_t end = start;
        while (end < message.size() && message[end] != '"' && message[end] != ';' && message[end] != '\r' &&
               message[end] != '\n')
            ++end;
        found.push_back(message.substr(start, end - start));
    }
    if (found.empty()) return "boundary";
    return found[rng.Below(static_cast<uint32_t>(found.size()))];
}

}  // namespace

std::string Mutate(const std::string& message, Rng& rng)
{
    std::string m = message.empty() ? std::string("\n") : message;
    const auto pos = [&]() { return static_cast<std::size_t>(rng.Below(static_cast<uint32_t>(m.size() + 1))); };
    switch (rng.Below(5)) {
        case 0: {  // flipped bytes
            const uint32_t flips = 1 + rng.Below(8);
            for (uint32_t i = 0; i < flips; ++i) {
                const std::size_t at = rng.Below(static_cast<uint32_t>(m.size()));
                m[at] = static_cast<char>(m[at] ^ (1 + rng.Below(255)));
            }
            break;
        }
        case 1:
        case 2: {  // hostile tokens
            static const char* const kTokens[] = {"\0",       "\r",  "\n", "=?",       "?=",         "\r\n\r\n",
                                                  "\n\n",     ":",   "\t", "\xff\xfe", "=?utf-8?B?", "=?x-bogus?Q?=FF",
                                                  "\"",       "(",   "<",  ";",        "\\",         "\n ",
                                                  "\x80\x80", "%s%n"};
            const uint32_t count = 1 + rng.Below(4);
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t pick = rng.Below(std::size(kTokens) + 2);
                std::string token;
                if (pick < std::size(kTokens))
                    token = pick == 0 ? std::string(1, '\0') : std::string(kTokens[pick]);
                else if (pick == std::size(kTokens))
                    token = "\n--" + SomeBoundary(m, rng) + (rng.OneIn(2) ? "--" : "") + "\n";
                else
                    token = "\nContent-Type: multipart/mixed; boundary=\"" + SomeBoundary(m, rng) + "\"\n";
                m.insert(pos(), token);
            }
            break;
        }
        case 3:  // cut short
            m.resize(std::max<std::size_t>(1, rng.Below(static_cast<uint32_t>(m.size()))));
            break;
        default: {  // a range removed or repeated
            const std::size_t at = rng.Below(static_cast<uint32_t>(m.size()));
            const std::size_t length = 1 + rng.Below(static_cast<uint32_t>(std::min<std::size_t>(m.size() - at, 400)));
            const std::string range = m.substr(at, length);
            if (rng.OneIn(2))
                m.erase(at, length);
            else
                m.insert(pos(), range);
            break;
        }
    }
    if (m.empty()) m = "\n";
    return m;
}

namespace {

std::vector<std::string> FilesOf(const std::string& directory, const std::string& extension)
{
    std::vector<std::string> names, contents;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.is_regular_file() && entry.path().extension() == extension) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) contents.push_back(testenv::ReadFile(name));
    return contents;
}

}  // namespace

std::vector<std::string> TestMessages()
{
    return FilesOf(std::string(DLARCHIVE_SOURCE_DIR) + "/tests/data/messages", ".eml");
}

std::vector<std::string> SampleListMessages()
{
    return FilesOf(std::string(DLARCHIVE_SOURCE_DIR) + "/data/sample-list", ".msg");
}

bool IsWholePage(const std::string& page)
{
    const std::string head = "Content-type: text/html\r\n\r\n<html>\r\n";
    const std::string tail = "</html>\r\n";
    return page.size() >= head.size() + tail.size() && page.compare(0, head.size(), head) == 0 &&
           page.compare(page.size() - tail.size(), tail.size(), tail) == 0;
}

std::size_t CountOf(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

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
        outcome.kind = Outcome::Thrown;
        outcome.code = e.GetLastError();
        EXPECT_EQ(m_manager.GetLastError(), e.GetLastError()) << what;
    } catch (...) {
        ADD_FAILURE() << what << ": the intake let a foreign exception out";
    }
    // The message file is the archive itself: whatever happened, it stays as it was.
    EXPECT_TRUE(testenv::Exists(path)) << what;
    if (testenv::Exists(path)) {
        EXPECT_TRUE(testenv::ReadFile(path) == bytes) << what << ": message file changed";
    }
    if (outcome.kind == Outcome::Stored) {
        EXPECT_EQ(m_manager.GetBufferLen(), 0u) << what;
    }

    switch (outcome.kind) {
        case Outcome::Stored:
            // Stored, or already stored: the codes of a successful or duplicate record operation.
            EXPECT_TRUE(outcome.code == 1 || outcome.code == 2 || outcome.code == 8)
                << what << ": code " << outcome.code;
            ExpectReadsBack(number, bytes, what);
            break;
        case Outcome::Refused:
            EXPECT_TRUE(outcome.code == 13 || outcome.code == 14 || outcome.code == 15)
                << what << ": refused with code " << outcome.code;
            EXPECT_EQ(BodyRecords(number), 0) << what;
            break;
        case Outcome::Thrown:
            EXPECT_TRUE(outcome.code >= 1 && outcome.code <= 26) << what << ": thrown code " << outcome.code;
            break;
        case Outcome::Escaped:
            break;
    }
    return outcome;
}

namespace {

// A caller buffer of exactly the documented size, on the heap so that the sanitizer sees
// every byte written past it.
struct DisplayBuffer {
    std::unique_ptr<char[]> bytes{new char[CDlArchive::kDisplayTextSize]};
    DisplayBuffer() { std::memset(bytes.get(), 0, CDlArchive::kDisplayTextSize); }
    bool Terminated() const { return std::memchr(bytes.get(), '\0', CDlArchive::kDisplayTextSize) != nullptr; }
    std::string Text() const { return Terminated() ? std::string(bytes.get()) : std::string(); }
};

}  // namespace

void HostileArchive::ExpectReadsBack(uint32_t number, const std::string& bytes, const std::string& what)
{
    const int32_t code = TryReadBack(number, bytes, what);
    EXPECT_EQ(code, 0) << what << ": stored message does not read back: " << m_manager.GetLastErrorMsg();
}

int32_t HostileArchive::TryReadBack(uint32_t number, const std::string& bytes, const std::string& what)
{
    int32_t code = 0;
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
    mail_envelope* parsedEnvelope = nullptr;
    mail_bodystruct* parsedBody = nullptr;
    dlarchive::cclient::ParseMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), headerSize, &parsedEnvelope,
                                     &parsedBody);

    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;
    uint32_t messageSize = 0, storedHeaderSize = 0;
    try {
        m_manager.GetArchiveEnv(number, 0, envelope, messageSize, storedHeaderSize);
        EXPECT_EQ(messageSize, bytes.size()) << what;
        EXPECT_EQ(storedHeaderSize, headerSize) << what;
        recordtest::ExpectSameEnvelope(parsedEnvelope, envelope, what + ": envelope");
        m_manager.GetArchiveBody(number, 0, body, messageSize, storedHeaderSize);
        recordtest::ExpectSameBody(parsedBody, body, what + ": body");
    } catch (const CDlArchiveException& e) {
        code = e.GetLastError();
    }

    if (envelope != nullptr) {
        for (const char* locale : {"en-us", "de-de"}) {
            DisplayBuffer author, date, subject;
            m_manager.GetAuthorOfMessage(envelope, author.bytes.get(), locale);
            m_manager.GetDateOfMessage(envelope, date.bytes.get(), locale);
            m_manager.GetSubjectOfMessage(envelope, subject.bytes.get(), locale);
            EXPECT_TRUE(author.Terminated() && date.Terminated() && subject.Terminated()) << what;
            EXPECT_FALSE(author.Text().empty()) << what;
            EXPECT_FALSE(subject.Text().empty()) << what;
            if (envelope->subject != nullptr && *envelope->subject != '\0') {
                EXPECT_EQ(subject.Text(), std::string(envelope->subject).substr(0, 1023)) << what;
            }
            if (envelope->date != nullptr && *envelope->date != '\0') {
                EXPECT_EQ(date.Text(), std::string(reinterpret_cast<const char*>(envelope->date)).substr(0, 16))
                    << what;
            }
        }
    }
    dlarchive::cclient::FreeEnvelope(&envelope);
    dlarchive::cclient::FreeBody(&body);
    dlarchive::cclient::FreeEnvelope(&parsedEnvelope);
    dlarchive::cclient::FreeBody(&parsedBody);
    return code;
}

std::set<uint32_t> HostileArchive::StoredMessages()
{
    std::set<uint32_t> numbers;
    diamondBase base;
    archiveenv envelopes(base, m_archive.c_str());
    EXPECT_EQ(envelopes.status(), db_ok);
    envelopes.begin(0);
    for (envelopes.first(); envelopes.status() == db_ok; envelopes.next())
        if (envelopes.key().seq == 0) numbers.insert(envelopes.key().id);
    EXPECT_EQ(envelopes.status(), db_eof);
    return numbers;
}

int HostileArchive::BodyRecords(uint32_t number)
{
    diamondBase base;
    archivebody bodies(base, m_archive.c_str());
    int count = 0;
    bodies.begin(0);
    for (bodies.first(); bodies.status() == db_ok; bodies.next()) count += bodies.key().id == number;
    EXPECT_EQ(bodies.status(), db_eof);
    return count;
}

void HostileArchive::ExpectWholePages()
{
    try {
        m_manager.GenerateIndexPages("sales");
    } catch (const CDlArchiveException& e) {
        ADD_FAILURE() << "index pages failed: " << e.GetLastError() << " " << e.GetLastErrorMsg();
        return;
    }
    const std::set<uint32_t> stored = StoredMessages();
    for (const char* locale : {"en-us", "de-de"}) {
        for (const char* kind : {"author", "date", "thread"}) {
            const std::string name = std::string(locale) + "-" + kind + ".html";
            ASSERT_TRUE(testenv::Exists(m_archive + name)) << name;
            const std::string page = testenv::ReadFile(m_archive + name);
            EXPECT_TRUE(IsWholePage(page)) << name;
            EXPECT_EQ(page.find('\0'), std::string::npos) << name;
            EXPECT_EQ(CountOf(page, "<li>"), CountOf(page, "</li>")) << name;
            for (uint32_t number : stored) {
                const std::string link = "&nId=" + std::to_string(static_cast<int32_t>(number)) + "&sort=";
                EXPECT_NE(page.find(link), std::string::npos) << name << " does not link message " << number;
            }
        }
    }
}

}  // namespace hostile

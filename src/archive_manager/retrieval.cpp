// Reading archived messages back: stored envelope and body, and the display texts.
#include <strings.h>
#include <cstring>
#include <string>

#include "archive_manager/rebuild_policy.h"
#include "archive_manager/reload_marker.h"
#include "dlarchive/archive.h"
#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/cclient_records.h"
#include "text/language_table.h"

namespace {

uint16_t RecordSeq(int8_t seq)
{
    return static_cast<uint16_t>(static_cast<int16_t>(seq));
}

// Copies at most `limit` characters into a caller buffer of 1024 bytes, always terminated.
void CopyDisplayText(char* buffer, const char* text, std::size_t limit = CDlArchive::kDisplayTextSize - 1)
{
    const std::size_t n = strnlen(text, limit);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

// Opens the language table of the locale; null when it does not open (nothing is written then).
std::unique_ptr<LanguageTable> OpenTable(const char* locale)
{
    std::string key, charset;
    ResolveLanguageSelection(locale != nullptr ? locale : "", key, charset);
    auto table = std::make_unique<LanguageTable>();
    if (!table->Open(key.c_str(), LanguageModuleDlArchives)) return nullptr;
    return table;
}

// The relations tie a message's records together: a message whose envelope is there without its
// body, or the other way round, lost records to damage the store's checks cannot see (frames of
// a write-ahead log dropped as garbage). Not while a run writes the archive: it stores the
// envelope first. A run may also have stored both halves and ended between the read that
// missed this half and the read of the other one: this half is read again before it counts as
// lost.
template <typename Self, typename Other>
bool HalfLost(Self& self, Other& other, uint32_t number, const char* archivePath)
{
    if (other.status() != db_ok) return false;
    other.setKey(idxkey{number, 0});
    if (other.get(0) != db_ok) return false;
    if (dlarchive::archive::GetRunState(archivePath) == dlarchive::archive::RunState::kRunning) return false;
    self.setKey(idxkey{number, 0});
    return self.get(0) == db_notfound;
}

}  // namespace

void CDlArchive::GetArchiveEnv(uint32_t number, int8_t seq, mail_envelope*& envelope, uint32_t& messageSize,
                               uint32_t& headerSize)
{
    CheckReloadFinished();
    int32_t result;
    {
        diamondBase base;
        archiveenv envelopes(base, m_szArchivePath, "archiveenv");
        if (envelopes.status() != db_ok) {
            // A rebuild that fails goes on: the record operation's result is mapped.
            SetLastError(dlarchive::errors::kEnvOpen.code);
            if (!dlarchive::archive::IsOn(IsAutoRebuild())) ThrowError(dlarchive::errors::kEnvOpen);
            if (RunAutoRebuild("archiveenv does not open")) ThrowError(dlarchive::errors::kEnvRebuiltOnOpen);
        }
        idxkey key{number, RecordSeq(seq)};
        result = ::GetArchiveEnv(&envelopes, &key, &envelope, messageSize, headerSize);
        if (result == db_notfound && seq == 0) {
            archivebody bodies(base, m_szArchivePath, "archivebody");
            if (HalfLost(envelopes, bodies, number, m_szArchivePath)) result = db_corrupt;
        }
    }
    // Damage that only the read found (22) is reported as rebuilt (18), so it is rebuilt,
    // once the relation is closed: the caller asks again, and would otherwise meet the same
    // damage for ever.
    if (result == db_corrupt) RunAutoRebuild("Damage of archiveenv found by a read (or a body without envelope)");
    GetArchiveEnvDbRet(result);
}

void CDlArchive::GetArchiveBody(uint32_t number, int8_t seq, mail_bodystruct*& body, uint32_t& messageSize,
                                uint32_t& headerSize)
{
    using namespace dlarchive::errors;
    CheckReloadFinished();
    const bool autoRebuild = dlarchive::archive::IsOn(IsAutoRebuild());
    int32_t result;
    {
        diamondBase base;
        archivebody bodies(base, m_szArchivePath, "archivebody");
        if (bodies.status() != db_ok) {
            SetLastError(kBodyOpen.code);
            if (autoRebuild) {
                if (RunAutoRebuild("archivebody does not open")) ThrowError(kBodyRebuiltOnOpen);
                ThrowError(kBodyOpen);
            }
        }
        archiveenv envelopes(base, m_szArchivePath, "archiveenv");
        if (envelopes.status() != db_ok) {
            SetLastError(kEnvOpen.code);
            if (!autoRebuild) ThrowError(kEnvOpen);
            if (RunAutoRebuild("archiveenv does not open")) ThrowError(kEnvRebuiltOnOpen);
        }
        idxkey key{number, RecordSeq(seq)};
        result = ::GetArchiveBody(&bodies, &envelopes, &key, &body, messageSize, headerSize);
        if (result == db_notfound && seq == 0 && HalfLost(bodies, envelopes, number, m_szArchivePath))
            result = db_corrupt;
    }
    // As for the envelope: damage found by the read is rebuilt before 18 reports it.
    if (result == db_corrupt) RunAutoRebuild("Damage of archivebody found by a read (or an envelope without body)");
    GetArchiveBodyDbRet(result);
}

void CDlArchive::GetAuthorOfMessage(const mail_envelope* envelope, char* buffer, const char* locale)
{
    if (buffer == nullptr) return;
    auto table = OpenTable(locale);
    if (!table) return;
    const mail_address* from = envelope != nullptr ? envelope->from : nullptr;
    if (from == nullptr || from->mailbox == nullptr || *from->mailbox == '\0' || from->host == nullptr ||
        *from->host == '\0') {
        CopyDisplayText(buffer, table->GetString(127));
    } else if (from->personal != nullptr && *from->personal != '\0') {
        CopyDisplayText(buffer, from->personal);
    } else {
        const std::string address = std::string(" ") + from->mailbox + "@" + from->host;
        CopyDisplayText(buffer, address.c_str());
    }
}

void CDlArchive::GetDateOfMessage(const mail_envelope* envelope, char* buffer, const char* locale)
{
    if (buffer == nullptr) return;
    auto table = OpenTable(locale);
    if (!table) return;
    const char* date = envelope != nullptr ? reinterpret_cast<const char*>(envelope->date) : nullptr;
    if (date != nullptr && *date != '\0')
        CopyDisplayText(buffer, date, 16);
    else
        CopyDisplayText(buffer, table->GetString(128));
}

void CDlArchive::GetSubjectOfMessage(const mail_envelope* envelope, char* buffer, const char* locale)
{
    if (buffer == nullptr) return;
    auto table = OpenTable(locale);
    if (!table) return;
    const char* subject = envelope != nullptr ? envelope->subject : nullptr;
    CopyDisplayText(buffer, subject != nullptr && *subject != '\0' ? subject : table->GetString(122));
}

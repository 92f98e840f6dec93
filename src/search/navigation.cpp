// Previous and next message in the order the reader came from (0 author, 1 date, 2 thread):
// the nearest message on that side of the current number whose text in that order belongs to
// the current message's group. One walk of archiveenv in key order; it stops where no later
// record can change the answer.
#include <cstring>
#include <string>

#include "dlarchive/archive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "search/envelope_walk.h"
#include "search/match_rules.h"

namespace rules = dlarchive::search;

namespace {

void CopyText(char* buffer, const std::string& text)
{
    if (buffer != nullptr) std::memcpy(buffer, text.c_str(), text.size() + 1);
}

}  // namespace

// Records come in key order, so the previous message is the last match below `current` and
// the next one the first match above it. Envelopes of messages inside messages are
// candidates too, under the number of the message that holds them. Nothing is written when
// there is no neighbour, the language table or the relation does not open, or the sort
// order is unknown.
void CDlArchive::FindNeighbour(bool previous, uint32_t current, const char* key, int32_t sort, uint32_t& found,
                               char* author, char* date, char* subject, const char* locale)
{
    rules::Placeholders p;
    if (key == nullptr || !rules::LoadPlaceholders(locale, p)) return;
    const std::string wanted = key;
    bool matched = false;
    uint32_t matchId = 0;
    rules::NavigationTexts matchTexts;
    CheckReloadFinished();
    int32_t end;
    {
        diamondBase base;
        archiveenv envelopes(base, m_szArchivePath, "archiveenv");
        if (envelopes.status() != db_ok || sort < 0 || sort > 2) return;
        int32_t failure = db_ok;
        // The previous message is the last match before the current number in key order, the
        // next one the first match after it: a walk from the current number, downwards for the
        // previous one, meets the answer first and reads nothing beyond it.
        if (previous)
            envelopes.seekBefore(current, 0);
        else
            envelopes.seekAfter(current, UINT16_MAX);
        for (envelopes.next(); envelopes.status() == db_ok; envelopes.next()) {
            const uint32_t id = envelopes.key().id;
            // The From list is decoded only when the order or the answer needs it.
            rules::FromAddress from;
            if (sort == 0 && (failure = rules::ReadFirstFrom(envelopes, from)) != db_ok) break;
            const char* storedDate = rules::StoredDate(envelopes);
            const char* storedSubject = rules::StoredSubject(envelopes);
            rules::NavigationTexts texts = rules::MakeNavigationTexts(from, storedDate, storedSubject, p);
            if (!rules::NeighbourMatches(sort, previous, wanted, texts)) continue;
            if (sort != 0) {
                if ((failure = rules::ReadFirstFrom(envelopes, from)) != db_ok) break;
                texts = rules::MakeNavigationTexts(from, storedDate, storedSubject, p);
            }
            matched = true;
            matchId = id;
            matchTexts = std::move(texts);
            break;
        }
        end = failure != db_ok ? failure : envelopes.status();
        // Stopped early on purpose: the answer is complete.
        if (end == db_ok) end = db_eof;
    }
    EndEnvelopeWalk(end, "Damage of archiveenv found by the navigation");
    if (!matched) return;
    found = matchId;
    CopyText(author, matchTexts.author);
    CopyText(date, matchTexts.date);
    CopyText(subject, matchTexts.subject);
}

void CDlArchive::GetPreviousArchiveMsg(uint32_t current, const char* key, int32_t sort, uint32_t& found, char* author,
                                       char* date, char* subject, const char* locale)
{
    FindNeighbour(true, current, key, sort, found, author, date, subject, locale);
}

void CDlArchive::GetNextArchiveMsg(uint32_t current, const char* key, int32_t sort, uint32_t& found, char* author,
                                   char* date, char* subject, const char* locale)
{
    FindNeighbour(false, current, key, sort, found, author, date, subject, locale);
}

// The archive search: every top-level message of the list tested against one criterion, in
// one walk of archiveenv that reads each record once, with the language table opened once.
#include <cstdio>
#include <new>
#include <string>

#include "dlarchive/archive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "dlarchive/string_chain.h"
#include "search/envelope_walk.h"
#include "search/match_rules.h"
#include "text/language_table.h"

namespace rules = dlarchive::search;

namespace {

// Appends at the end of a chain without walking it again for every element.
class ChainTail {
public:
    explicit ChainTail(ms** chain) : m_tail(chain)
    {
        while (*m_tail != nullptr) m_tail = &(*m_tail)->next;
    }
    bool Append(const std::string& text)
    {
        if (appendString(m_tail, text.c_str()) == 0) return false;
        m_tail = &(*m_tail)->next;
        return true;
    }

private:
    ms** m_tail;
};

}  // namespace

void CDlArchive::SearchArchiveMessages(ms** ids, ms** authors, ms** dates, ms** subjects, const char* searchText,
                                       const char* ignoreCase, SearchCriterion criterion, bool partialMatch,
                                       const char* locale)
{
    using namespace dlarchive::errors;
    std::string languageKey, charset;
    ResolveLanguageSelection(locale != nullptr ? locale : "", languageKey, charset);
    std::unique_ptr<LanguageTable> table(new (std::nothrow) LanguageTable);
    if (!table) ThrowError(kLanguageNoMemory);
    if (!table->Open(languageKey.c_str(), LanguageModuleDlArchives)) ThrowError(kLanguageTable);
    const rules::Placeholders p{table->GetString(122), table->GetString(127), table->GetString(128)};
    if (ids == nullptr || authors == nullptr || dates == nullptr || subjects == nullptr) return;
    CheckReloadFinished();

    const char* text = searchText != nullptr ? searchText : "";
    const bool folded = ignoreCase != nullptr;
    const std::string pattern = criterion == SearchByDate ? rules::DatePattern(text, p.noDate) : std::string();
    ChainTail idChain(ids), authorChain(authors), subjectChain(subjects), dateChain(dates);
    int32_t end;
    {
        diamondBase base;
        archiveenv envelopes(base, m_szArchivePath, "archiveenv");
        if (envelopes.status() != db_ok) ThrowError(kSearchEnvOpen);
        // Not read, but a search of a list whose body relation is gone fails like one that
        // would show the messages found.
        archivebody bodies(base, m_szArchivePath, "archivebody");
        if (bodies.status() != db_ok) ThrowError(kSearchBodyOpen);
        if (criterion != SearchByAuthor && criterion != SearchByDate && criterion != SearchBySubject) return;
        int32_t failure = db_ok;
        envelopes.begin(0);
        for (envelopes.first(); envelopes.status() == db_ok; envelopes.next()) {
            const idxkey key = envelopes.key();
            if (key.seq != 0) continue;  // the envelope of a message inside a message
            const char* subject = rules::StoredSubject(envelopes);
            const char* date = rules::StoredDate(envelopes);
            // The From list is decoded only when the criterion or a result needs it.
            rules::FromAddress from;
            bool match;
            if (criterion == SearchByAuthor) {
                if ((failure = rules::ReadFirstFrom(envelopes, from)) != db_ok) break;
                match = rules::AuthorMatches(from, text, folded, partialMatch, p.noAuthor);
            } else if (criterion == SearchBySubject) {
                match = rules::SubjectMatches(subject, text, folded, partialMatch, p.noSubject);
            } else {
                match = rules::DateMatches(date, pattern.c_str(), p.noDate);
            }
            if (!match) continue;
            if (criterion != SearchByAuthor && (failure = rules::ReadFirstFrom(envelopes, from)) != db_ok) break;
            char number[16];
            std::snprintf(number, sizeof number, "%ld", static_cast<long>(static_cast<int32_t>(key.id)));
            if (!idChain.Append(number) || !authorChain.Append(rules::DisplayAuthor(from, p)) ||
                !subjectChain.Append(rules::DisplaySubject(subject, p)) ||
                !dateChain.Append(rules::DisplayDate(date, p)))
                ThrowError(kCannotAllocate);
        }
        end = failure != db_ok ? failure : envelopes.status();
    }
    EndEnvelopeWalk(end, "Damage of archiveenv found by the search");
}

// The search criteria of the archive manager on one envelope, and the date input turned into
// the pattern the date criterion looks for. Each call opens the locale's language table for
// its placeholders; a table that does not open means no match (and no pattern).
#include "platform/cclient_records.h"

#include <cstring>

#include "dlarchive/archive.h"
#include "search/envelope_walk.h"
#include "search/match_rules.h"

namespace rules = dlarchive::search;

bool CDlArchive::CheckAuthorValue(const mail_envelope* envelope, const char* searchText, const char* ignoreCase,
                                  bool partialMatch, const char* locale)
{
    rules::Placeholders p;
    if (envelope == nullptr || !rules::LoadPlaceholders(locale, p)) return false;
    return rules::AuthorMatches(rules::FirstFrom(envelope->from), searchText != nullptr ? searchText : "",
                                ignoreCase != nullptr, partialMatch, p.noAuthor);
}

bool CDlArchive::CheckSubjectValue(const mail_envelope* envelope, const char* searchText, const char* ignoreCase,
                                   bool partialMatch, const char* locale)
{
    rules::Placeholders p;
    if (envelope == nullptr || !rules::LoadPlaceholders(locale, p)) return false;
    return rules::SubjectMatches(envelope->subject, searchText != nullptr ? searchText : "", ignoreCase != nullptr,
                                 partialMatch, p.noSubject);
}

bool CDlArchive::CheckDateValue(const mail_envelope* envelope, const char* datePattern, const char* /*ignoreCase*/,
                                bool /*partialMatch*/, const char* locale)
{
    rules::Placeholders p;
    if (envelope == nullptr || !rules::LoadPlaceholders(locale, p)) return false;
    return rules::DateMatches(reinterpret_cast<const char*>(envelope->date), datePattern != nullptr ? datePattern : "",
                              p.noDate);
}

void CDlArchive::ParseDateInput(const char* input, char* output, const char* locale)
{
    rules::Placeholders p;
    if (output == nullptr || !rules::LoadPlaceholders(locale, p)) return;
    const std::string pattern = rules::DatePattern(input != nullptr ? input : "", p.noDate);
    std::memcpy(output, pattern.c_str(), pattern.size() + 1);
}

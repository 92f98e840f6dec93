// Commands of the archive's reader: previous and next message in an order, and the search.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli.h"
#include "dlarchive/dlarchive.h"
#include "support/author_key.h"
#include "support/json_records.h"
#include "support/records_release.h"

namespace cli {
namespace {

// The options after the two positional arguments: "--name value" for those in `valued`,
// bare flags for the others.
struct Options {
    std::string sort, by, locale = "en-us";
    bool ignoreCase = false, partial = false;
};
Options ReadOptions(const Args& args, bool search)
{
    if (args.size() < 2) throw UsageError{"missing arguments"};
    Options o;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--locale" && hasValue)
            o.locale = args[++i];
        else if (!search && a == "--sort" && hasValue)
            o.sort = args[++i];
        else if (search && a == "--by" && hasValue)
            o.by = args[++i];
        else if (search && a == "--ignore-case")
            o.ignoreCase = true;
        else if (search && a == "--partial")
            o.partial = true;
        else
            throw UsageError{"unknown option " + a};
    }
    return o;
}

nlohmann::ordered_json Entry(long number, const char* author, const char* date, const char* subject)
{
    return {{"number", number},
            {"author", SanitizeUtf8(author)},
            {"date", SanitizeUtf8(date)},
            {"subject", SanitizeUtf8(subject)}};
}

// The neighbour of a message in author, date or thread order; the key is the message's own
// text in that order, as the navigation builds the texts of the other messages.
int Neighbour(const Args& args, bool previous)
{
    const Options o = ReadOptions(args, false);
    const int sort = o.sort == "author" ? 0 : o.sort == "date" ? 1 : o.sort == "thread" ? 2 : -1;
    if (sort < 0) throw UsageError{"--sort takes author, date or thread"};
    const uint32_t number = ParseNumber(args[1]);
    auto archive = OpenList(args[0]);
    StoredRecords stored;
    archive->GetArchiveEnv(number, 0, stored.envelope, stored.size, stored.header);
    char text[CDlArchive::kDisplayTextSize] = {};
    std::string key;
    if (sort == 0) {
        archive->GetAuthorOfMessage(nullptr, text, o.locale.c_str());
        key = AuthorKey(stored.envelope, text).substr(0, 259);
    } else if (sort == 1) {
        archive->GetDateOfMessage(stored.envelope, text, o.locale.c_str());
        key = std::string(text).substr(0, 63);
    } else {
        archive->GetSubjectOfMessage(stored.envelope, text, o.locale.c_str());
        key = std::string(text).substr(0, 259);
    }
    // A neighbour is never the message itself: its number left in place tells that there is none.
    uint32_t found = number;
    char author[260] = {}, date[64] = {}, subject[260] = {};
    if (previous)
        archive->GetPreviousArchiveMsg(number, key.c_str(), sort, found, author, date, subject, o.locale.c_str());
    else
        archive->GetNextArchiveMsg(number, key.c_str(), sort, found, author, date, subject, o.locale.c_str());
    const bool none = found == number;
    if (none) {
        std::fprintf(stderr, "dlarchive: no %s message of %u in %s order\n", previous ? "previous" : "next", number,
                     o.sort.c_str());
        return kExitFailure;
    }
    std::printf("%s\n", Entry(static_cast<long>(found), author, date, subject).dump().c_str());
    return kExitOk;
}

int Previous(const Args& args)
{
    return Neighbour(args, true);
}
const Register prev{{"prev", "LIST NUMBER --sort author|date|thread [--locale L]",
                     "print the previous message in that order as JSON", Previous}};

int Next(const Args& args)
{
    return Neighbour(args, false);
}
const Register next{{"next", "LIST NUMBER --sort author|date|thread [--locale L]",
                     "print the next message in that order as JSON", Next}};

// Releases the four result chains however the search ends.
struct ResultChains {
    ms* ids = nullptr;
    ms* authors = nullptr;
    ms* dates = nullptr;
    ms* subjects = nullptr;
    ResultChains() = default;
    ~ResultChains()
    {
        for (ms* chain : {ids, authors, dates, subjects}) freeStringChain(chain);
    }
    ResultChains(const ResultChains&) = delete;
    ResultChains& operator=(const ResultChains&) = delete;
};

int Search(const Args& args)
{
    const Options o = ReadOptions(args, true);
    const int by = o.by == "author"    ? SearchByAuthor
                   : o.by == "date"    ? SearchByDate
                   : o.by == "subject" ? SearchBySubject
                                       : -1;
    if (by < 0) throw UsageError{"--by takes author, date or subject"};
    auto archive = OpenList(args[0]);
    ResultChains r;
    archive->SearchArchiveMessages(&r.ids, &r.authors, &r.dates, &r.subjects, args[1].c_str(),
                                   o.ignoreCase ? "Y" : nullptr, static_cast<SearchCriterion>(by), o.partial,
                                   o.locale.c_str());
    // One match per line, written as it is read: a search that finds most of a large archive
    // never holds its whole answer twice.
    std::fputs("[", stdout);
    const char* separator = "\n  ";
    for (ms *i = r.ids, *a = r.authors, *d = r.dates, *s = r.subjects; i && a && d && s;
         i = i->next, a = a->next, d = d->next, s = s->next) {
        const long number = static_cast<long>(static_cast<uint32_t>(std::strtol(i->text, nullptr, 10)));
        std::printf("%s%s", separator, Entry(number, a->text, d->text, s->text).dump().c_str());
        separator = ",\n  ";
    }
    std::puts(*separator == ',' ? "\n]" : "]");
    return kExitOk;
}
const Register search{{"search", "LIST TEXT --by author|date|subject [--ignore-case] [--partial] [--locale L]",
                       "print the messages that match as a JSON array", Search}};

}  // namespace
}  // namespace cli

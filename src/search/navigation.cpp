// Previous and next message in the order the reader came from (0 author, 1 date, 2 thread):
// the nearest message on that side of the current number whose text in that order belongs to
// the current message's group. A walk of archiveenv in key order from the current number,
// which stops where no later record can change the answer; one that goes on too long builds
// the navigation index (navigation_index.h) and answers from it, as later calls do while the
// relation stays unchanged.
#include <algorithm>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "dlarchive/archive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "search/envelope_walk.h"
#include "search/match_rules.h"
#include "search/navigation_index.h"

namespace rules = dlarchive::search;

namespace dlarchive::search {

std::atomic<uint32_t> g_walkBeforeIndex{2000};
// Walks of this process that went past the limit so far.
std::atomic<uint32_t> g_longWalks{0};

namespace {

struct Entry {
    uint64_t group;  // hash of the tagged group text
    uint32_t id;
    uint16_t seq;
    bool operator<(const Entry& o) const
    {
        return group != o.group ? group < o.group : id != o.id ? id < o.id : seq < o.seq;
    }
};

struct Index {
    std::string path;
    Placeholders placeholders;  // the texts of missing values are part of the groups
    diaRel::Version version;
    std::vector<Entry> entries;  // sorted
};

struct Match {
    bool found = false;
    uint32_t id = 0;
    NavigationTexts texts;
};

std::mutex g_mutex;
std::list<std::shared_ptr<const Index>> g_indexes;  // most recently used first

uint64_t Hash(const NeighbourGroup& group)
{
    return std::hash<std::string_view>{}(group.text) ^ static_cast<uint8_t>(group.tag) * 0x9E3779B97F4A7C15ull;
}

bool SameArchive(const Index& index, const std::string& path, const Placeholders& p)
{
    const Placeholders& q = index.placeholders;
    return index.path == path && q.noSubject == p.noSubject && q.noAuthor == p.noAuthor && q.noDate == p.noDate;
}

// The index of the archive and language while the relation is still at its version; one of an
// older version is dropped.
std::shared_ptr<const Index> FindIndex(const std::string& path, const Placeholders& p, const diaRel::Version& version)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    for (auto it = g_indexes.begin(); it != g_indexes.end(); ++it) {
        if (!SameArchive(**it, path, p)) continue;
        std::shared_ptr<const Index> index = *it;
        g_indexes.erase(it);
        if (!(index->version == version)) return nullptr;
        g_indexes.push_front(index);
        return index;
    }
    return nullptr;
}

void KeepIndex(std::shared_ptr<const Index> index)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_indexes.remove_if([&](const auto& kept) { return SameArchive(*kept, index->path, index->placeholders); });
    g_indexes.push_front(std::move(index));
    if (g_indexes.size() > kMaxNavigationIndexes) g_indexes.pop_back();
}

// The texts of the record the relation object holds.
int32_t ReadTexts(const archiveenv& envelopes, const Placeholders& p, NavigationTexts& out)
{
    FromAddress from;
    const int32_t failure = ReadFirstFrom(envelopes, from);
    if (failure == db_ok) out = MakeNavigationTexts(from, StoredDate(envelopes), StoredSubject(envelopes), p);
    return failure;
}

// The walk from the current number, reading at most `limit` records (all for the largest
// value): its end status (17 once the answer is known or the relation ended); `cut` tells a
// walk stopped at the limit.
// `cut` tells that the walk read more than `limit` records; it ends there when `stopAtLimit`.
int32_t Walk(archiveenv& envelopes, bool previous, uint32_t current, int32_t sort, const std::string& wanted,
             const Placeholders& p, uint32_t limit, bool stopAtLimit, Match& match, bool& cut)
{
    // The previous message is the last match before the current number in key order, the
    // next one the first match after it: a walk from the current number, downwards for the
    // previous one, meets the answer first and reads nothing beyond it.
    if (previous)
        envelopes.seekBefore(current, 0);
    else
        envelopes.seekAfter(current, UINT16_MAX);
    int32_t failure = db_ok;
    uint32_t read = 0;
    for (envelopes.next(); envelopes.status() == db_ok; envelopes.next()) {
        if (!cut && limit != UINT32_MAX && read++ >= limit) {
            cut = true;
            if (stopAtLimit) return db_eof;
        }
        // The From list is decoded only when the order or the answer needs it.
        FromAddress from;
        if (sort == 0 && (failure = ReadFirstFrom(envelopes, from)) != db_ok) break;
        const char* storedDate = StoredDate(envelopes);
        const char* storedSubject = StoredSubject(envelopes);
        NavigationTexts texts = MakeNavigationTexts(from, storedDate, storedSubject, p);
        if (!NeighbourMatches(sort, previous, wanted, texts)) continue;
        if (sort != 0) {
            if ((failure = ReadFirstFrom(envelopes, from)) != db_ok) break;
            texts = MakeNavigationTexts(from, storedDate, storedSubject, p);
        }
        match = {true, envelopes.key().id, std::move(texts)};
        return db_eof;
    }
    return failure != db_ok ? failure : envelopes.status();
}

// One walk of the whole relation into a new index: its end status (17 when complete).
int32_t BuildIndex(archiveenv& envelopes, Index& index)
{
    int32_t failure = db_ok;
    envelopes.begin(0);
    for (envelopes.first(); envelopes.status() == db_ok; envelopes.next()) {
        NavigationTexts texts;
        if ((failure = ReadTexts(envelopes, index.placeholders, texts)) != db_ok) return failure;
        const idxkey key = envelopes.key();
        NeighbourGroup groups[4];
        const int count = CandidateGroups(texts, groups);
        for (int i = 0; i < count; ++i) index.entries.push_back({Hash(groups[i]), key.id, key.seq});
    }
    std::sort(index.entries.begin(), index.entries.end());
    index.entries.shrink_to_fit();
    return envelopes.status();
}

// The answer of the index: the candidates of the key's groups on the wanted side, nearest
// first, each read again and checked by the rules (a hash shared by another text, or a record
// gone since the version was read, is passed over or ends in a walk). 17 answered, 3 the index
// does not hold the relation's state, anything else the failure of a read.
int32_t AnswerFromIndex(archiveenv& envelopes, const Index& index, bool previous, uint32_t current, int32_t sort,
                        const std::string& wanted, Match& match)
{
    using It = std::vector<Entry>::const_iterator;
    struct Range {
        It next, end;  // next candidate; for the previous message the range is walked downwards
    };
    std::vector<Range> ranges;
    NeighbourGroup groups[2];
    const int count = KeyGroups(sort, previous, wanted, groups);
    for (int i = 0; i < count; ++i) {
        const uint64_t hash = Hash(groups[i]);
        const auto [lo, hi] = std::equal_range(index.entries.begin(), index.entries.end(), Entry{hash, 0, 0},
                                               [](const Entry& a, const Entry& b) { return a.group < b.group; });
        const It split =
            std::partition_point(lo, hi, [&](const Entry& e) { return previous ? e.id < current : e.id <= current; });
        if (previous)
            ranges.push_back({split, lo});  // entries below `split`, nearest first
        else
            ranges.push_back({split, hi});
    }
    // Nearer in the walk's order: by key alone, the ranges being of different groups.
    const auto before = [&](const Entry& a, const Entry& b) {
        return previous ? std::tie(b.id, b.seq) < std::tie(a.id, a.seq) : std::tie(a.id, a.seq) < std::tie(b.id, b.seq);
    };
    for (;;) {
        Range* best = nullptr;
        for (Range& r : ranges) {
            if (r.next == r.end) continue;
            const Entry& e = previous ? *(r.next - 1) : *r.next;
            if (best == nullptr || before(e, previous ? *(best->next - 1) : *best->next)) best = &r;
        }
        if (best == nullptr) return db_eof;
        const Entry e = previous ? *--best->next : *best->next++;
        envelopes.setKey({e.id, e.seq});
        const dbError read = envelopes.get(0);
        if (read != db_ok) return read;
        NavigationTexts texts;
        const int32_t failure = ReadTexts(envelopes, index.placeholders, texts);
        if (failure != db_ok) return failure;
        if (NeighbourMatches(sort, previous, wanted, texts)) {
            match = {true, e.id, std::move(texts)};
            return db_eof;
        }
    }
}

}  // namespace

std::size_t NavigationIndexEntries()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    std::size_t entries = 0;
    for (const auto& index : g_indexes) entries += index->entries.size();
    return entries;
}

}  // namespace dlarchive::search

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
// order is unknown. An index is used only while the relation is at the version it was built
// at; damage met while building it ends the call as damage met by a walk does.
void CDlArchive::FindNeighbour(bool previous, uint32_t current, const char* key, int32_t sort, uint32_t& found,
                               char* author, char* date, char* subject, const char* locale)
{
    rules::Placeholders p;
    if (key == nullptr || !rules::LoadPlaceholders(locale, p)) return;
    const std::string wanted = key;
    rules::Match match;
    CheckReloadFinished();
    int32_t end;
    {
        diamondBase base;
        archiveenv envelopes(base, m_szArchivePath, "archiveenv");
        if (envelopes.status() != db_ok || sort < 0 || sort > 2) return;
        const uint32_t limit = rules::g_walkBeforeIndex.load();
        diaRel::Version version;
        const bool versioned = limit != UINT32_MAX && envelopes.version(version) == db_ok;
        std::shared_ptr<const rules::Index> index;
        if (versioned) index = rules::FindIndex(envelopes.path(), p, version);
        // A long walk gives up for an index, except the first one of a process, which goes on
        // to the end: a process that walks far only once (a command-line call) would build an
        // index it never uses again.
        const bool indexing = limit == 0 || rules::g_longWalks.load() > 0;
        bool cut = false;
        end = index ? db_notfound
                    : rules::Walk(envelopes, previous, current, sort, wanted, p, versioned ? limit : UINT32_MAX,
                                  indexing, match, cut);
        if (cut) rules::g_longWalks.fetch_add(1);
        if (cut && indexing) {
            try {
                auto built = std::make_shared<rules::Index>();
                built->path = envelopes.path(), built->placeholders = p, built->version = version;
                end = rules::BuildIndex(envelopes, *built);
                if (end == db_eof) rules::KeepIndex(index = std::move(built));
            } catch (const std::bad_alloc&) {
                end = db_notfound;  // walked instead
            }
        }
        if (index) end = rules::AnswerFromIndex(envelopes, *index, previous, current, sort, wanted, match);
        // An index that does not hold what the relation holds now, or none: the whole walk.
        if (end == db_notfound) {
            match = {};
            end = rules::Walk(envelopes, previous, current, sort, wanted, p, UINT32_MAX, false, match, cut);
        }
    }
    EndEnvelopeWalk(end, "Damage of archiveenv found by the navigation");
    if (!match.found) return;
    found = match.id;
    CopyText(author, match.texts.author);
    CopyText(date, match.texts.date);
    CopyText(subject, match.texts.subject);
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

// The archive manager's index pages: listings, the three pages and the driver.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dlarchive/archive.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "dlarchive/string_chain.h"
#include "index_pages/page_render.h"
#include "platform/config.h"
#include "text/language_table.h"

using dlarchive::pages::EnvelopeSummary;
using dlarchive::pages::PageContext;
using dlarchive::pages::PageStrings;

// The archive manager's automatic rebuild policy, as the page run needs it.
class PagePolicy {
public:
    static bool Repair(CDlArchive& owner, const char* reason) { return owner.RunAutoRebuild(reason); }
    static void CheckReloadFinished(CDlArchive& owner) { owner.CheckReloadFinished(); }
};

namespace {

// The first string item of an encoded list field (count, then zero-terminated items).
std::string FirstItem(const dbData& field)
{
    if (field.data() == nullptr || field.length() < 4) return {};
    const uint8_t* p = field.data();
    const uint32_t count = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    const uint32_t available = std::min<uint32_t>(count, field.length() - 4);
    const char* items = reinterpret_cast<const char*>(p + 4);
    return std::string(items, strnlen(items, available));
}

std::string Text(const dbData& field)
{
    if (field.data() == nullptr) return {};
    return std::string(field.text(), strnlen(field.text(), field.length()));
}

struct Language {
    std::string key;
    PageStrings strings;
};

// The language key of a locale and the page strings of its table (code 26 when it does not open).
Language LoadLanguage(CDlArchive& owner, const char* locale)
{
    Language language;
    std::string charset;
    ResolveLanguageSelection(locale != nullptr ? locale : "", language.key, charset);
    LanguageTable table;
    if (!table.Open(language.key.c_str(), LanguageModuleDlArchives)) {
        ThrowArchiveError(owner, dlarchive::errors::kLanguageTable);
    }
    PageStrings& s = language.strings;
    s.help = table.GetString(94);
    s.dateIndex = table.GetString(110);
    s.authorIndex = table.GetString(111);
    s.threadIndex = table.GetString(112);
    s.noSubject = table.GetString(122);
    s.authorTitle = table.GetString(126);
    s.noAuthor = table.GetString(127);
    s.noDate = table.GetString(128);
    s.dateTitle = table.GetString(129);
    s.threadTitle = table.GetString(130);
    return language;
}

// Every envelope record of the archive, in key order, read in one walk.
std::vector<EnvelopeSummary> ReadEnvelopes(CDlArchive& owner)
{
    const char* path = owner.GetArchivePathText();
    std::vector<EnvelopeSummary> records;
    dbError end;
    {
        diamondBase base;
        archiveenv envelopes(base, path, "archiveenv");
        if (envelopes.status() != db_ok) {
            ThrowArchiveError(owner, dlarchive::errors::kEnvOpen);
        }
        archivebody bodies(base, path, "archivebody");
        if (bodies.status() != db_ok) {
            ThrowArchiveError(owner, dlarchive::errors::kBodyOpen);
        }
        envelopes.begin(0);
        for (envelopes.first(); envelopes.status() == db_ok; envelopes.next()) {
            EnvelopeSummary e;
            const idxkey key = envelopes.key();
            e.id = key.id;
            e.seq = key.seq;
            e.subject = Text(envelopes.subject);
            e.date = Text(envelopes.date);
            e.personal = FirstItem(envelopes.fromPersonal);
            e.mailbox = FirstItem(envelopes.fromMailbox);
            e.host = FirstItem(envelopes.fromHost);
            records.push_back(std::move(e));
        }
        end = envelopes.status();
    }
    if (end == db_eof) return records;
    // A walk cut short by damage would give pages that silently miss messages: the damage
    // is repaired (once the relations are closed) and reported instead.
    if (end == db_corrupt && PagePolicy::Repair(owner, "Damage of archiveenv found by the page walk"))
        ThrowArchiveError(owner, dlarchive::errors::kEnvRebuilt);
    ThrowArchiveError(owner, dlarchive::errors::kEnvOther);
}

std::vector<std::string> ChainTexts(const ms* chain)
{
    std::vector<std::string> texts;
    for (; chain != nullptr; chain = chain->next) texts.emplace_back(chain->text);
    return texts;
}

// Writes a page into a private temporary file beside it and renames it into place, so a
// reader sees the old page or the new one, and two runs never share a temporary file.
void WritePage(CDlArchive& owner, const std::string& languageKey, const char* kind, const std::string& content)
{
    const std::string page = std::string(owner.GetArchivePathText()) + languageKey + "-" + kind + ".html";
    // The process id in the name lets a later run remove what a killed one left behind.
    std::string temp = std::string(owner.GetArchivePathText()) + languageKey + "-" + kind + "." +
                       std::to_string(::getpid()) + ".tmp.XXXXXX";
    const bool fits = owner.GetArchivePathText()[0] != '\0' && page.size() < CDlArchive::kPathSize;
    const int fd = fits ? ::mkstemp(temp.data()) : -1;
    if (fd < 0) {
        ThrowArchiveError(owner, dlarchive::errors::kOutOfMemoryPage);
    }
    std::size_t done = 0;
    bool ok = ::fchmod(fd, 0644) == 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), page.c_str()) != 0) {
        ::unlink(temp.c_str());
        ThrowArchiveError(owner, dlarchive::errors::kOutOfMemoryPage);
    }
}

PageContext Context(const char* listName, const Language& language)
{
    return PageContext{listName != nullptr ? listName : "", language.key, language.strings};
}

}  // namespace

bool CDlArchive::SortArchiveRecords(const char* /*listName*/, ms** authors, ms** dates, ms** threads,
                                    const char* locale)
{
    const Language language = LoadLanguage(*this, locale);
    CheckReloadFinished();
    const auto listings = dlarchive::pages::BuildListings(ReadEnvelopes(*this), language.strings);
    const auto append = [this](ms** chain, const std::vector<std::string>& texts) {
        // Appending at the tail of a long chain would walk it every time: build it here.
        ms** tail = chain;
        while (*tail != nullptr) tail = &(*tail)->next;
        for (const std::string& text : texts) {
            if (appendString(tail, text.c_str()) == 0) ThrowError(dlarchive::errors::kCannotAllocate);
            tail = &(*tail)->next;
        }
    };
    append(authors, listings.authors);
    append(dates, listings.dates);
    append(threads, listings.threads);
    return true;
}

namespace {

using Renderer = std::string (*)(const PageContext&, const std::vector<std::string>&,
                                 const std::vector<EnvelopeSummary>&);

// One page of one locale from a chain the caller built.
void GeneratePage(CDlArchive& owner, const char* listName, const ms* chain, const char* locale, const char* kind,
                  Renderer render)
{
    const Language language = LoadLanguage(owner, locale);
    PagePolicy::CheckReloadFinished(owner);
    const auto records = ReadEnvelopes(owner);
    WritePage(owner, language.key, kind, render(Context(listName, language), ChainTexts(chain), records));
}

}  // namespace

bool CDlArchive::GenerateThreadPage(const char* listName, ms* threads, const char* locale)
{
    GeneratePage(*this, listName, threads, locale, "thread", dlarchive::pages::RenderThreadPage);
    return true;
}

bool CDlArchive::GenerateAuthorPage(const char* listName, ms* authors, const char* locale)
{
    GeneratePage(*this, listName, authors, locale, "author", dlarchive::pages::RenderAuthorPage);
    return true;
}

bool CDlArchive::GenerateDatePage(const char* listName, ms* dates, const char* locale)
{
    GeneratePage(*this, listName, dates, locale, "date", dlarchive::pages::RenderDatePage);
    return true;
}

void CDlArchive::GenerateIndexPages(const char* listName)
{
    // The locale names as the 4096-byte list of the profile lookup holds them: names that
    // do not fit are not seen, and names longer than a locale buffer (127) are passed over.
    std::vector<std::string> locales;
    std::size_t used = 1;
    for (const std::string& name : dlarchive::platform::GetProfileSectionKeys("Language Selection")) {
        if (used + name.size() + 1 > 4096) break;
        used += name.size() + 1;
        if (name.size() <= 127) locales.push_back(name);
    }
    if (locales.empty()) return;
    // One reading of the relation serves every page of every locale. It follows the first
    // language table, as each listing opens its table before the relations: a table that
    // does not open is what gets reported, whatever state the relations are in.
    std::optional<std::vector<EnvelopeSummary>> envelopes;
    for (const std::string& locale : locales) {
        const Language language = LoadLanguage(*this, locale.c_str());
        if (!envelopes) CheckReloadFinished();
        if (!envelopes) envelopes = ReadEnvelopes(*this);
        const std::vector<EnvelopeSummary>& records = *envelopes;
        const PageContext context = Context(listName, language);
        const auto listings = dlarchive::pages::BuildListings(records, language.strings);
        WritePage(*this, language.key, "author",
                  dlarchive::pages::RenderAuthorPage(context, listings.authors, records));
        WritePage(*this, language.key, "date", dlarchive::pages::RenderDatePage(context, listings.dates, records));
        WritePage(*this, language.key, "thread",
                  dlarchive::pages::RenderThreadPage(context, listings.threads, records));
    }
}

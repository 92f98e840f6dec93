// archivecgi: the archive's web front end. The web server maps "/vubo/scripts/archivecgi.exe"
// to it; the query names the command and the list. Started by a FastCGI server (its standard
// input a listening socket) it answers requests in a loop; otherwise it is a CGI/1.1 program
// answering one. It reads the configuration as the library does (kelmo.ini in
// $KELMO_CONFIG_DIR of its own environment, else /etc/kelmo).
#include <fcgiapp.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "body.h"
#include "dlarchive/dlarchive.h"
#include "page.h"
#include "query.h"
#include "search/navigation_index.h"
#include "support/author_key.h"
#include "support/records_release.h"
#include "text/language_table.h"

namespace archivecgi {
namespace {

// Larger message files are not read whole into memory.
constexpr off_t kMaxFileSize = 64 << 20;

// A failure of the archive that is not the reader's: answered with 500.
struct ArchiveFailure {};

// A regular file of the archive, never through a link, appended to `out`; false (and `out`
// as it was) when it is none or too large.
bool ReadFile(const std::string& path, std::string& out)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    const std::size_t start = out.size();
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileSize;
    if (ok) {
        out.resize(start + static_cast<std::size_t>(st.st_size));
        std::size_t done = start;
        while (ok && done < out.size()) {
            const ssize_t n = read(fd, out.data() + done, out.size() - done);
            if (n <= 0)
                ok = false;
            else
                done += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    if (!ok) out.resize(start);
    return ok;
}

// The strings of the request's language; one that this language lacks ("" or the "-" of an
// unused line) comes from en-us.
class Words {
public:
    explicit Words(const std::string& key)
    {
        m_own.Open(key.c_str(), LanguageModuleDlArchives);
        if (key != "en-us") m_fallback.Open("en-us", LanguageModuleDlArchives);
    }
    std::string operator()(int number)
    {
        std::string text = m_own.GetString(number);
        if ((text.empty() || text == "-") && m_fallback.IsOpened()) text = m_fallback.GetString(number);
        return text == "-" ? "" : text;
    }

private:
    LanguageTable m_own, m_fallback;
};

PageWords LoadWords(Words& s)
{
    PageWords w;
    w.dateIndex = s(110), w.authorIndex = s(111), w.threadIndex = s(112), w.noSubject = s(122);
    w.previous = s(137), w.next = s(138), w.source = s(139), w.search = s(140), w.searchTitle = s(141);
    w.searchFor = s(142), w.byAuthor = s(143), w.byDate = s(144), w.bySubject = s(145);
    w.ignoreCase = s(146), w.partial = s(147), w.noMatch = s(148), w.badRequest = s(149), w.notFound = s(150);
    return w;
}

BodyLabels LoadLabels(Words& s)
{
    return {s(151), s(131), s(132), s(133), s(134), s(135), s(136), s(152)};
}

std::string LanguageKey(const std::string& locale)
{
    std::string key, charset;
    ResolveLanguageSelection(locale.c_str(), key, charset);
    return key;
}

// The archive manager of an existing list archive; 404 for any other name.
std::unique_ptr<CDlArchive> OpenList(const std::string& list)
{
    auto archive = std::make_unique<CDlArchive>("DL Archive");
    if (!archive->SetListName(list.c_str())) throw HttpError{404};
    archive->GetArchivePath();
    const std::string path = archive->GetArchivePathText();
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !archive->CheckArchiveDatabase())
        throw HttpError{404};
    return archive;
}

// Runs a read of the archive; one that the library answered by rebuilding the relations
// (code 18) is asked once more. A message that is not stored is 404.
template <typename F>
void Retrieve(F read)
{
    for (int attempt = 0;; ++attempt) {
        try {
            read();
            return;
        } catch (const CDlArchiveException& e) {
            const int code = e.GetLastError();
            if (code == 18 && attempt == 0) continue;
            if (code == 3 || code == 9) throw HttpError{404};
            throw ArchiveFailure{};
        }
    }
}

struct Message {
    cli::StoredRecords records;
    std::string bodyText;
    MimePart tree;
};

void LoadMessage(CDlArchive& archive, uint32_t id, Message& m)
{
    Retrieve([&] {
        cli::FreeRecords(m.records.envelope, m.records.body);
        archive.GetArchiveEnv(id, 0, m.records.envelope, m.records.size, m.records.header);
        uint32_t size = 0, header = 0;
        archive.GetArchiveBody(id, 0, m.records.body, size, header);
    });
    char name[16];
    std::snprintf(name, sizeof name, "%x.msg", id);
    std::string file;
    if (!ReadFile(archive.GetArchivePathText() + std::string(name), file)) throw HttpError{404};
    m.bodyText = m.records.header <= file.size() ? file.substr(m.records.header) : std::string();
    m.tree = TreeFromBody(m.records.body);
}

void ServeIndex(const Request& r, std::string& out)
{
    auto archive = OpenList(r.list);
    static const char* const kPages[] = {"-thread.html", "-author.html", "-date.html"};
    const std::string page = std::string(archive->GetArchivePathText()) + LanguageKey(r.locale) +
                             kPages[static_cast<int>(r.command) - static_cast<int>(Command::ThreadIndex)];
    // The stored page begins with its own Content-type line, which ends the header.
    out = kSecurityHeaders;
    if (!ReadFile(page, out)) throw HttpError{404};
}

// The neighbour of the message in the reader's order, the key built from its envelope as the
// navigation builds the texts of the other messages.
Neighbour FindNeighbour(CDlArchive& archive, const Request& r, const mail_envelope* envelope, const std::string& key,
                        bool previous)
{
    char text[CDlArchive::kDisplayTextSize] = {};
    std::string order;
    if (r.sort == 0) {
        archive.GetAuthorOfMessage(nullptr, text, key.c_str());
        order = cli::AuthorKey(envelope, text).substr(0, 259);
    } else if (r.sort == 1) {
        archive.GetDateOfMessage(envelope, text, key.c_str());
        order = std::string(text).substr(0, 63);
    } else {
        archive.GetSubjectOfMessage(envelope, text, key.c_str());
        order = std::string(text).substr(0, 259);
    }
    uint32_t found = r.id;
    char author[260] = {}, date[64] = {}, subject[260] = {};
    Retrieve([&] {
        if (previous)
            archive.GetPreviousArchiveMsg(r.id, order.c_str(), r.sort, found, author, date, subject, key.c_str());
        else
            archive.GetNextArchiveMsg(r.id, order.c_str(), r.sort, found, author, date, subject, key.c_str());
    });
    return {found != r.id, found, TextToUtf8(subject, "")};
}

std::string PartHref(const Request& r, const std::string& key)
{
    return std::string(kCgiPath) + "?Command=GetPart&mailinglist=" + Query(r.list) +
           "&nId=" + std::to_string(static_cast<long>(static_cast<int32_t>(r.id))) + "&locale=" + Query(key) +
           "&amp;part=";
}

void ServeMessage(const Request& r, Words& words, std::string& out)
{
    auto archive = OpenList(r.list);
    const std::string key = LanguageKey(r.locale);
    Message m;
    LoadMessage(*archive, r.id, m);
    const BodyLabels labels = LoadLabels(words);
    MessagePage page;
    page.list = r.list, page.locale = key, page.id = r.id, page.sort = r.sort;
    const HeaderFields fields = FieldsFromEnvelope(m.records.envelope);
    page.subject = fields.subject;
    page.headersHtml = RenderHeaderFields(fields, labels);
    page.bodyHtml = RenderBody(m.tree, m.bodyText, PartHref(r, key), labels);
    page.previous = FindNeighbour(*archive, r, m.records.envelope, key, true);
    page.next = FindNeighbour(*archive, r, m.records.envelope, key, false);
    out = RenderMessagePage(page, LoadWords(words));
}

// Only letters, digits and a few marks reach a header line; the rest of a name becomes "_".
std::string SafeFileName(const std::string& name, int number)
{
    std::string out;
    for (unsigned char c : name)
        out += std::isalnum(c) || c == '.' || c == '-' || c == '_' ? static_cast<char>(c) : '_';
    if (out.empty() || out[0] == '.') out = "part" + std::to_string(number) + out;
    return out.substr(0, 100);
}

void ServeDownload(const Request& r, std::string& out)
{
    auto archive = OpenList(r.list);
    Message m;
    LoadMessage(*archive, r.id, m);
    std::string type, name, data;
    if (r.command == Command::GetSource) {
        char file[16];
        std::snprintf(file, sizeof file, "%x.msg", r.id);
        if (!ReadFile(archive->GetArchivePathText() + std::string(file), data)) throw HttpError{404};
        type = "message/rfc822", name = std::string(file) + ".eml";
    } else {
        const MimePart* part = FindPart(m.tree, r.part);
        if (part == nullptr || part->type == 1) throw HttpError{404};
        type = MediaType(*part), name = SafeFileName(part->name, r.part);
        data = DecodeContent(*part, m.bodyText);
    }
    // Whatever the part claims to be, it is a download: a sandboxed one that no browser shows
    // as a page of this site.
    out = std::string(kSecurityHeaders) + "Content-Security-Policy: sandbox\r\nContent-type: " + type +
          "\r\nContent-Disposition: attachment; filename=\"" + name +
          "\"\r\nContent-Length: " + std::to_string(data.size()) + "\r\n\r\n";
    out += data;
}

struct Chains {
    ms *ids = nullptr, *authors = nullptr, *dates = nullptr, *subjects = nullptr;
    ~Chains()
    {
        for (ms* chain : {ids, authors, dates, subjects}) freeStringChain(chain);
    }
};

void ServeSearch(const Request& r, Words& words, std::string& out)
{
    auto archive = OpenList(r.list);
    const std::string key = LanguageKey(r.locale);
    SearchForm form{r.list, key, r.text, r.by, r.ignoreCase, r.partial};
    std::vector<SearchResult> results;
    const bool searched = !r.text.empty();
    if (searched) {
        Chains c;
        Retrieve([&] {
            for (ms** chain : {&c.ids, &c.authors, &c.dates, &c.subjects}) freeStringChain(*chain), *chain = nullptr;
            archive->SearchArchiveMessages(&c.ids, &c.authors, &c.dates, &c.subjects, r.text.c_str(),
                                           r.ignoreCase ? "Y" : nullptr, static_cast<SearchCriterion>(r.by), r.partial,
                                           key.c_str());
        });
        for (ms *i = c.ids, *a = c.authors, *d = c.dates, *s = c.subjects; i && a && d && s;
             i = i->next, a = a->next, d = d->next, s = s->next)
            results.push_back({static_cast<uint32_t>(std::strtoll(i->text, nullptr, 10)), TextToUtf8(a->text, ""),
                               TextToUtf8(s->text, ""), TextToUtf8(d->text, "")});
    }
    out = RenderSearchPage(form, searched, results, LoadWords(words));
}

// One request, from its method and query to the whole response (HTTP header lines first).
// Whatever the request does, the response is its own: a refusal or a failure replaces all
// that was written for it, and nothing of it is kept for the next request.
std::string Serve(const char* method, const char* query)
{
    std::string out;
    std::string locale = "en-us";
    int status = 0;
    try {
        if (method != nullptr && std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
            throw HttpError{400};
        const Request r = ParseQuery(query != nullptr ? query : "");
        locale = r.locale;
        Words words(LanguageKey(r.locale));
        switch (r.command) {
            case Command::ThreadIndex:
            case Command::AuthorIndex:
            case Command::DateIndex:
                ServeIndex(r, out);
                break;
            case Command::ShowMessage:
                ServeMessage(r, words, out);
                break;
            case Command::GetPart:
            case Command::GetSource:
                ServeDownload(r, out);
                break;
            case Command::Search:
                ServeSearch(r, words, out);
                break;
        }
    } catch (const HttpError& e) {
        status = e.status;
    } catch (...) {
        status = 500;
    }
    if (status == 0) return out;
    out.clear();
    try {
        if (status == 500) throw ArchiveFailure{};
        std::string key = "en-us";
        for (char c : locale)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') locale.clear();
        if (!locale.empty() && locale.size() <= 32) key = LanguageKey(locale);
        Words words(key);
        return RenderErrorPage(status, LoadWords(words));
    } catch (...) {
        return std::string("Status: 500 Internal Server Error\r\n") + kSecurityHeaders +
               "Content-type: text/plain; charset=utf-8\r\n\r\nThe archive cannot be read now.\r\n";
    }
}

volatile sig_atomic_t g_stop = 0;

// The FastCGI server asks a process to end with SIGTERM (or SIGUSR1 for a graceful restart):
// the request under way is finished, a waiting accept() returns, and the process exits
// normally.
void Stop(int)
{
    g_stop = 1;
    FCGX_ShutdownPending();
}

// Requests of a FastCGI server, one after the other, each answered whole before the next is
// accepted. Only the request's own parameters are read; the process environment stays as the
// server started it.
int ServeFastCgi()
{
    struct sigaction action = {};
    action.sa_handler = Stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = SIG_IGN;  // a client gone away is an error of that request only
    sigaction(SIGPIPE, &action, nullptr);
    // The navigation index lives as long as the kept connection of its relation: a server that
    // is quiet for a while must not pay for building it again on its next visitor.
    diamondBase::SetIdleLimit(3600);
    if (FCGX_Init() != 0) return 1;
    FCGX_Request request;
    if (FCGX_InitRequest(&request, 0, FCGI_FAIL_ACCEPT_ON_INTR) != 0) return 1;
    while (g_stop == 0 && FCGX_Accept_r(&request) >= 0) {
        const std::string response =
            Serve(FCGX_GetParam("REQUEST_METHOD", request.envp), FCGX_GetParam("QUERY_STRING", request.envp));
        FCGX_PutStr(response.data(), static_cast<int>(response.size()), request.out);
        FCGX_Finish_r(&request);
    }
    FCGX_Free(&request, 1);
    return 0;
}

}  // namespace
}  // namespace archivecgi

int main()
{
    using namespace archivecgi;
    if (!FCGX_IsCGI()) return ServeFastCgi();
    // One request, so one message page at most: the navigation index would be built for nothing.
    dlarchive::search::g_walkBeforeIndex = UINT32_MAX;
    const std::string response = Serve(std::getenv("REQUEST_METHOD"), std::getenv("QUERY_STRING"));
    std::fwrite(response.data(), 1, response.size(), stdout);
    return 0;
}

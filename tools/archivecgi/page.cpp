#include "page.h"

#include "index_pages/page_render.h"
#include "query.h"

namespace archivecgi {

using dlarchive::pages::EscapeHtml;

const char* const kSecurityHeaders =
    "Content-Security-Policy: default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
    "base-uri 'none'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n";
const char* const kCgiPath = "/vubo/scripts/archivecgi.exe";

std::string Query(const std::string& value)
{
    return dlarchive::pages::PercentEncode(value);
}

std::string PageHead(const std::string& titleHtml, const std::string& list)
{
    return "<html>\r\n<head>\r\n<title>" + titleHtml +
           "</title>\r\n"
           "<LINK REL=STYLESHEET HREF=\"/vubo/style/vkmainstylesheet.css\">\n"
           "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n"
           "</head>\r\n<body>\r\n<font face=\"Arial Black\">" +
           EscapeHtml(list) + "</font>\n<p><font face=\"Arial\">" + titleHtml + "</font></p>\r\n" + BottomBar();
}

std::string BottomBar()
{
    return "<table width=\"100%\" heighth=\"10\" border=\"0\" cellspacing=\"0\" cellpadding=\"0\">\r\n<tr>\r\n"
           "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-left-fade.gif\" "
           "width=\"150\" height=\"10\" border=\"0\"></td>\r\n"
           "<td width=\"100%\" heighth=\"10\" background=\"/vubo/module-pictures/images/bot-line.gif\"><img "
           "src=\"/vubo/module-pictures/images/bot-line.gif\" width=\"150\" height=\"10\"></td>\r\n"
           "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-right-fade.gif\" "
           "width=\"150\" height=\"10\" border=\"0\"></td>\r\n</tr>\r\n</table>\r\n";
}

std::string Bracket(const std::string& href, const std::string& label)
{
    return "[<a href=\"" + href + "\">" + label + "</a>]";
}

namespace {

std::string Response(int status, const std::string& html)
{
    const char* line = status == 400 ? "Status: 400 Bad Request\r\n" : status == 404 ? "Status: 404 Not Found\r\n" : "";
    return std::string(line) + kSecurityHeaders + "Content-type: text/html; charset=utf-8\r\n\r\n" + html;
}

std::string End()
{
    return BottomBar() + "</body>\r\n</html>\r\n";
}

std::string IndexHref(const char* command, const std::string& list, const std::string& locale)
{
    return std::string(kCgiPath) + "?Command=" + command + "&mailinglist=" + Query(list) + "&locale=" + Query(locale);
}

std::string MessageHref(const std::string& list, uint32_t id, int sort, const std::string& locale)
{
    return std::string(kCgiPath) + "?Command=ShowMessage&mailinglist=" + Query(list) +
           "&nId=" + std::to_string(static_cast<long>(static_cast<int32_t>(id))) + "&sort=" + SortName(sort) +
           "&locale=" + Query(locale);
}

std::string Option(const char* value, const std::string& label, bool selected)
{
    return std::string("<option value=\"") + value + "\"" + (selected ? " selected" : "") + ">" + label + "</option>";
}

}  // namespace

std::string SearchFormHtml(const SearchForm& f, const PageWords& w)
{
    return "<form class=\"search\" method=\"get\" action=\"" + std::string(kCgiPath) +
           "\">\r\n<input type=\"hidden\" name=\"Command\" value=\"Search\">"
           "<input type=\"hidden\" name=\"mailinglist\" value=\"" +
           EscapeHtml(f.list) + "\"><input type=\"hidden\" name=\"locale\" value=\"" + EscapeHtml(f.locale) +
           "\">\r\n<label>" + w.searchFor + " <input type=\"text\" name=\"text\" size=\"30\" value=\"" +
           EscapeHtml(f.text) + "\"></label>\r\n<select name=\"by\">" + Option("author", w.byAuthor, f.by == 0) +
           Option("date", w.byDate, f.by == 1) + Option("subject", w.bySubject, f.by == 2) +
           "</select>\r\n<label><input type=\"checkbox\" name=\"case\" value=\"1\"" + (f.ignoreCase ? " checked" : "") +
           "> " + w.ignoreCase + "</label>\r\n<label><input type=\"checkbox\" name=\"partial\" value=\"1\"" +
           (f.partial ? " checked" : "") + "> " + w.partial + "</label>\r\n<input type=\"submit\" value=\"" + w.search +
           "\">\r\n</form>\r\n";
}

std::string RenderMessagePage(const MessagePage& m, const PageWords& w)
{
    const std::string title = m.subject.empty() ? w.noSubject : EscapeHtml(m.subject);
    static const char* const kIndex[] = {"GetAuthorIndex", "GetDateIndex", "GetThreadIndex"};
    const std::string& indexLabel = m.sort == 0 ? w.authorIndex : m.sort == 1 ? w.dateIndex : w.threadIndex;
    std::string nav = "<p class=\"navigation\"><font face=\"Arial\">" +
                      Bracket(IndexHref(kIndex[m.sort], m.list, m.locale), indexLabel) + "\r\n";
    const auto link = [&](const Neighbour& n, const std::string& label, const char* rel) {
        if (!n.exists) return "[" + label + "]\r\n";
        return "[<a rel=\"" + std::string(rel) + "\" href=\"" + MessageHref(m.list, n.id, m.sort, m.locale) +
               "\" title=\"" + EscapeHtml(n.subject) + "\">" + label + "</a>]\r\n";
    };
    nav += link(m.previous, w.previous, "prev") + link(m.next, w.next, "next");
    nav += Bracket(std::string(kCgiPath) + "?Command=GetSource&mailinglist=" + Query(m.list) + "&nId=" +
                       std::to_string(static_cast<long>(static_cast<int32_t>(m.id))) + "&locale=" + Query(m.locale),
                   w.source) +
           "</font></p>\r\n";
    SearchForm form{m.list, m.locale, "", 2, true, true};
    return Response(200, PageHead(title, m.list) + nav + m.headersHtml + "<div class=\"message\">\r\n" + m.bodyHtml +
                             "</div>\r\n" + SearchFormHtml(form, w) + End());
}

std::string RenderSearchPage(const SearchForm& f, bool searched, const std::vector<SearchResult>& results,
                             const PageWords& w)
{
    std::string html = PageHead(w.searchTitle, f.list) + "<p><font face=\"Arial\">" +
                       Bracket(IndexHref("GetDateIndex", f.list, f.locale), w.dateIndex) + "\r\n" +
                       Bracket(IndexHref("GetAuthorIndex", f.list, f.locale), w.authorIndex) + "\r\n" +
                       Bracket(IndexHref("GetThreadIndex", f.list, f.locale), w.threadIndex) + "</font></p>\r\n" +
                       SearchFormHtml(f, w);
    if (searched) {
        html += "<ul class=\"results\">\r\n";
        for (const SearchResult& r : results)
            html += "<li><a href=\"" + MessageHref(f.list, r.id, 1, f.locale) + "\">" + EscapeHtml(r.subject) +
                    "</a> - <em>" + EscapeHtml(r.author) + ", </em>" + EscapeHtml(r.date) + " </li>\r\n";
        html += "</ul>\r\n";
        if (results.empty()) html += "<p>" + w.noMatch + "</p>\r\n";
    }
    return Response(200, html + End());
}

std::string RenderErrorPage(int status, const PageWords& w)
{
    const std::string& word = status == 404 ? w.notFound : w.badRequest;
    return Response(status, PageHead(word, "") + "<p>" + std::to_string(status) + " " + word + "</p>\r\n" + End());
}

}  // namespace archivecgi

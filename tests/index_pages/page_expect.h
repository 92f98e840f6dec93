#pragma once
// The expected bytes of the index pages of the list "sales" with the English texts, written
// out by hand: the page frame, the navigation of each page and the message lines.
#include <cstdint>
#include <map>
#include <regex>
#include <string>

namespace pageexpect {

// How often each message number is linked from a page.
inline std::map<uint32_t, int> LinkedIds(const std::string& page)
{
    std::map<uint32_t, int> ids;
    const std::regex link("nId=(-?[0-9]+)&");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), link); it != std::sregex_iterator(); ++it)
        ++ids[static_cast<uint32_t>(std::stol((*it)[1].str()))];
    return ids;
}

inline const char* const kBar =
    "<table width=\"100%\" heighth=\"10\" border=\"0\" cellspacing=\"0\" cellpadding=\"0\">\r\n"
    "<tr>\r\n"
    "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-left-fade.gif\" width=\"150\" "
    "height=\"10\" border=\"0\"></td>\r\n"
    "<td width=\"100%\" heighth=\"10\" background=\"/vubo/module-pictures/images/bot-line.gif\"><img "
    "src=\"/vubo/module-pictures/images/bot-line.gif\" width=\"150\" height=\"10\"></td>\r\n"
    "<td width=\"150\" heighth=\"10\"><img src=\"/vubo/module-pictures/images/bot-right-fade.gif\" width=\"150\" "
    "height=\"10\" border=\"0\"></td>\r\n"
    "</tr>\r\n"
    "</table>\r\n";

inline std::string Head(const std::string& title)
{
    return "Content-type: text/html\r\n\r\n<html>\r\n<head>\r\n<title>" + title +
           "</title>\r\n<LINK REL=STYLESHEET HREF=\"/vubo/style/vkmainstylesheet.css\">\n"
           "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n</head>\r\n<body>\r\n"
           "<font face=\"Arial Black\">sales</font>\n<p><font face=\"Arial\">" +
           title + "</font></p>\r\n" + kBar;
}

inline std::string Tail(const std::string& page)
{
    return std::string(kBar) +
           "<p align=\"right\"><input type=\"button\" name=\"Help\" value=\"Help\" "
           "onClick=\"window.open('/vubo/help/dl/en-us/archive/" +
           page +
           "', '', "
           "'toolbar=no,location=no,directories=no,status=no,menubar=no,scrollbars=yes,resizable=yes,width=400,height="
           "300')\"></p>\r\n"
           "</body>\r\n</html>\r\n";
}

inline const std::string kThreadNav =
    "<p><font face=\"Arial\">[<a "
    "href=\"/vubo/scripts/archivecgi.exe?Command=GetDateIndex&mailinglist=sales&locale=en-us\">By date</a>]\r\n"
    "[<a href=\"/vubo/scripts/archivecgi.exe?Command=GetAuthorIndex&mailinglist=sales&locale=en-us\">By author</a>]"
    " [By thread] </font></p>\r\n<ul>\r\n";
inline const std::string kAuthorNav =
    "<p><font face=\"Arial\">[<a "
    "href=\"/vubo/scripts/archivecgi.exe?Command=GetDateIndex&mailinglist=sales&locale=en-us\">By date</a>]\r\n"
    "[By author]\r\n"
    "[<a href=\"/vubo/scripts/archivecgi.exe?Command=GetThreadIndex&mailinglist=sales&locale=en-us\">By thread</a>]\r\n"
    "</font></p>\r\n";
inline const std::string kDateNav =
    "<p><font face=\"Arial\">[By date]\r\n "
    "[<a href=\"/vubo/scripts/archivecgi.exe?Command=GetAuthorIndex&mailinglist=sales&locale=en-us\">By author</a>]\r\n"
    "[<a href=\"/vubo/scripts/archivecgi.exe?Command=GetThreadIndex&mailinglist=sales&locale=en-us\">By thread</a>] "
    "</font></p>\r\n";

inline std::string ThreadLine(int id, const std::string& subject, const std::string& author, const std::string& date)
{
    return "<li><a href=\"/vubo/scripts/archivecgi.exe?Command=ShowMessage&mailinglist=sales&nId=" +
           std::to_string(id) + "&sort=ByThread&locale=en-us\">" + subject + "</a> - <em>" + author + ", </em>" + date +
           " </li>\r\n";
}

inline std::string AuthorLine(int id, const std::string& subject, const std::string& date)
{
    return "<li><a href=\"/vubo/scripts/archivecgi.exe?Command=ShowMessage&mailinglist=sales&nId=" +
           std::to_string(id) + "&sort=ByAuthor&locale=en-us\">" + subject + "</a> - " + date + " </li>\r\n";
}

inline std::string DateLine(int id, const std::string& subject, const std::string& author)
{
    return "<li><a href=\"/vubo/scripts/archivecgi.exe?Command=ShowMessage&mailinglist=sales&nId=" +
           std::to_string(id) + "&sort=ByDate&locale=en-us\">" + subject + "</a> - " + author + " </li>\r\n";
}

// The heading and list opening of an author or date group.
inline std::string Group(const std::string& heading)
{
    return "<p><font face=\"Arial\"><strong>" + heading + "</strong></font>\r\n<ul>\r\n";
}

}  // namespace pageexpect

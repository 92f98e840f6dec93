// The CGI program's query parsing and body rendering, on messages parsed as the intake does.
#include <gtest/gtest.h>

#include "body.h"
#include "platform/cclient.h"
#include "query.h"

namespace archivecgi {
namespace {

TEST(ArchiveCgiQuery, ParsesOrRefuses)
{
    for (const auto& [query, list, id, sort] : std::vector<std::tuple<std::string, std::string, uint32_t, int>>{
             {"Command=ShowMessage&mailinglist=sales&nId=12&sort=ByAuthor&locale=de-de", "sales", 12, 0},
             {"Command=ShowMessage&mailinglist=my%20list&nId=-1&sort=ByDate", "my list", 0xFFFFFFFF, 1},
             {"Command=GetThreadIndex&mailinglist=s.a", "s.a", 0, 2}}) {
        const Request r = ParseQuery(query);
        EXPECT_EQ(std::tuple(r.list, r.id, r.sort), std::tuple(list, id, sort)) << query;
    }
    const std::string c = "Command=", m = c + "ShowMessage&mailinglist=s&nId=", t = c + "GetThreadIndex&mailinglist=";
    for (const std::string& query :
         {m + "4294967296", m + "12x", m, m + "1&sort=byauthor", c + "GetPart&mailinglist=s&nId=1&part=-1",
          c + "Search&mailinglist=sales&by=body", c + "Delete&mailinglist=sales", std::string("mailinglist=sales"),
          c + "GetThreadIndex", t + "..", t + "a%2Fb", t + "a%5Cb", t + "a..b", t + "a%0Ab", t, t + "sales&locale=../x",
          t + "sales%2", t + "sales%zz"}) {
        try {
            ParseQuery(query);
            ADD_FAILURE() << query;
        } catch (const HttpError& e) {
            EXPECT_EQ(e.status, 400) << query;
        }
    }
    const Request s = ParseQuery("Command=Search&mailinglist=a&text=x+%26y&by=author&case=1&partial=0");
    EXPECT_EQ(std::tuple(s.text, s.by, s.ignoreCase, s.partial), std::tuple("x &y", 0, true, false));
}

// Parses a whole message as the intake does and renders its body.
std::string Render(std::string message, MimePart* tree = nullptr, std::string* bodyText = nullptr)
{
    const std::size_t header = message.find("\n\n") + 2;
    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;
    dlarchive::cclient::ParseMessage(message.data(), static_cast<uint32_t>(message.size()),
                                     static_cast<uint32_t>(header), &envelope, &body);
    const MimePart root = TreeFromBody(body);
    dlarchive::cclient::FreeEnvelope(&envelope);
    dlarchive::cclient::FreeBody(&body);
    if (tree) *tree = root;
    if (bodyText) *bodyText = message.substr(header);
    return RenderBody(root, std::string_view(message).substr(header),
                      "/get?part=", {"Att", "From", "Date", "Subj", "To", "Cc", "RT", "bytes"});
}

std::string Multi(const std::string& subtype, const std::string& parts)
{
    return "MIME-Version: 1.0\nContent-Type: multipart/" + subtype + "; boundary=B\n\n--B\n" + parts + "\n--B--\n";
}

TEST(ArchiveCgiBody, DecodesConvertsAndNeverPassesMarkup)
{
    const std::string html =
        "Content-Type: text/html\n\n<script>alert(1)</script><b onclick=\"x()\">Hi &amp; "
        "<a href=\"javascript:y()\">bye</a></b>&#x263A; R&D";
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::vector<std::string>>> cases = {
        {"Content-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
         "caf=E9 =3D=\n1\n",
         {"café =1"},
         {"=E9"}},
        {"Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\nw7xiZXIgPGI+\n",
         {"über &lt;b&gt;"},
         {}},
        {"Content-Type: text/plain; charset=x-bogus\n\nna\xefve\n", {"naïve"}, {}},
        {html, {"Hi &amp; bye", "\u263A R&amp;D", "(text/html,"}, {"alert", "<b", "onclick", "javascript"}},
        {Multi("alternative", "Content-Type: text/plain\n\nplain words\n--B\n" + html),
         {"plain words", "/get?part=2\">part 2</a> (text/html"},
         {"Hi &amp;"}},
        {Multi("mixed",
               "Content-Type: message/rfc822\n\nFrom: Bo <bo@x.org>\nTo: all:;\nSubject: <i>inner\n\ninner body\n"),
         {"<blockquote", "Bo &lt;bo@x.org&gt;", "<td>all</td>", "&lt;i&gt;inner", "<pre class=\"body\">inner body"},
         {}},
        {Multi("mixed",
               "Content-Type: text/plain\n\nsee file\n--B\nContent-Type: application/pdf; name=\"a\\\"<b>.pdf\"\n"
               "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQK\n"),
         {"see file", "/get?part=2\">a&quot;&lt;b&gt;.pdf</a> (application/pdf, 9 bytes)"},
         {}},
    };
    for (const auto& [message, present, absent] : cases) {
        const std::string out = Render(message);
        SCOPED_TRACE(message + "\n=> " + out);
        for (const std::string& s : present) EXPECT_NE(out.find(s), std::string::npos) << s;
        for (const std::string& s : absent) EXPECT_EQ(out.find(s), std::string::npos) << s;
    }
}

TEST(ArchiveCgiBody, PartsAreFoundByTheirNumbersAndHostileTreesStayBounded)
{
    MimePart tree;
    std::string body;
    Render(Multi("mixed",
                 "Content-Type: text/plain\n\nx\n--B\nContent-Type: image/png\nContent-Transfer-Encoding: "
                 "base64\n\niVBORw0KGgo=\n"),
           &tree, &body);
    for (const auto& [number, type, bytes] : std::vector<std::tuple<int, std::string, std::string>>{
             {0, "multipart/mixed", ""}, {1, "text/plain", "x"}, {2, "image/png", "\x89PNG\r\n\x1a\n"}}) {
        const MimePart* part = FindPart(tree, number);
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(MediaType(*part), type);
        if (number > 0) EXPECT_EQ(DecodeContent(*part, body), bytes);
    }
    EXPECT_EQ(FindPart(tree, 3), nullptr);
    // Offsets that do not belong to the file give nothing; nesting deeper than c-client keeps.
    MimePart outside = *FindPart(tree, 2);
    outside.offset = static_cast<uint32_t>(body.size()) - 2;
    EXPECT_EQ(DecodeContent(outside, body), "");
    std::string deep;
    for (int i = 0; i < 200; ++i) deep += "Content-Type: message/rfc822\n\n";
    EXPECT_NE(Render(deep + "Content-Type: text/plain\n\nend\n").find("<blockquote"), std::string::npos);
}

}  // namespace
}  // namespace archivecgi

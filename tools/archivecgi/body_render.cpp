// Decoding and rendering of a message body for the message page.
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "body.h"
#include "index_pages/page_render.h"
#include "platform/encoded_words.h"
#include "record_store/convert_utf8.h"

namespace archivecgi {
namespace {

using dlarchive::pages::EscapeHtml;

constexpr int kTypeText = 0, kTypeMultipart = 1, kEncBase64 = 3, kEncQuotedPrintable = 4;

// Characters outside the alphabet (line ends, garbage) are passed over; "=" ends the data.
std::string DecodeBase64(std::string_view in)
{
    std::string out;
    out.reserve(in.size() / 4 * 3);
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : in) {
        if (c == '=') break;
        const int v = dlarchive::Base64Value(c);
        if (v < 0) continue;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) out += static_cast<char>(bits >> 4);
    if (count == 3) out += static_cast<char>(bits >> 10), out += static_cast<char>(bits >> 2);
    return out;
}

// "=XX" and soft line breaks undone; any other "=" is kept as written.
std::string DecodeQuotedPrintable(std::string_view in)
{
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '=') {
            out += in[i];
            continue;
        }
        if (i + 1 < in.size() && in[i + 1] == '\n') {
            i += 1;
        } else if (i + 2 < in.size() && in[i + 1] == '\r' && in[i + 2] == '\n') {
            i += 2;
        } else if (i + 2 < in.size() && dlarchive::HexValue(in[i + 1]) >= 0 && dlarchive::HexValue(in[i + 2]) >= 0) {
            out += static_cast<char>(dlarchive::HexValue(in[i + 1]) * 16 + dlarchive::HexValue(in[i + 2]));
            i += 2;
        } else {
            out += '=';
        }
    }
    return out;
}

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Is(const MimePart& p, int type, const char* subtype)
{
    return p.type == type && strcasecmp(p.subtype.c_str(), subtype) == 0;
}

// A code point as UTF-8; those no text may hold become U+FFFD.
void AppendCodePoint(std::string& out, uint32_t c)
{
    if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

class Renderer {
public:
    Renderer(std::string_view body, const std::string& href, const BodyLabels& labels)
        : m_body(body), m_href(href), m_labels(labels)
    {
    }

    std::string Run(const MimePart& root)
    {
        Part(root, 0);
        if (!m_attachments.empty())
            m_out += "<p class=\"attachments\"><strong>" + m_labels.attachments + "</strong></p>\r\n<ul>\r\n" +
                     m_attachments + "</ul>\r\n";
        return std::move(m_out);
    }

private:
    // Every part has the number of its place in the depth-first walk, whether it is shown,
    // listed or passed over, so that FindPart finds the same part.
    void Part(const MimePart& p, int depth)
    {
        const int number = m_next++;
        if (Is(p, kTypeMultipart, "ALTERNATIVE") && !p.parts.empty()) {
            std::size_t shown = 0;
            for (std::size_t i = 0; i < p.parts.size(); ++i)
                if (Is(p.parts[i], kTypeText, "PLAIN")) {
                    shown = i;
                    break;
                }
            for (std::size_t i = 0; i < p.parts.size(); ++i) {
                if (i == shown)
                    Part(p.parts[i], depth + 1);
                else
                    Listed(p.parts[i]);
            }
        } else if (p.type == kTypeMultipart) {
            for (const MimePart& child : p.parts) Part(child, depth + 1);
        } else if (p.message) {
            m_out += "<blockquote class=\"message\">\r\n" + RenderHeaderFields(p.headers, m_labels);
            for (const MimePart& child : p.parts) Part(child, depth + 1);
            m_out += "</blockquote>\r\n";
        } else if (p.type == kTypeText && !p.attachment) {
            std::string text = TextToUtf8(DecodeContent(p, m_body), p.charset);
            if (Is(p, kTypeText, "HTML")) {
                text = HtmlToText(text);
                Attachment(p, number);
            }
            m_out += "<pre class=\"body\">" + EscapeHtml(text) + "</pre>\r\n";
        } else {
            Attachment(p, number);
        }
    }

    // A part that is not shown: offered as a download, with the parts below it numbered.
    void Listed(const MimePart& p)
    {
        const int number = m_next++;
        if (p.type == kTypeMultipart || p.message) {
            for (const MimePart& child : p.parts) Listed(child);
        } else {
            Attachment(p, number);
        }
    }

    void Attachment(const MimePart& p, int number)
    {
        const std::string name = p.name.empty() ? "part " + std::to_string(number) : p.name;
        m_attachments += "<li><a href=\"" + m_href + std::to_string(number) + "\">" + EscapeHtml(name) + "</a> (" +
                         EscapeHtml(MediaType(p)) + ", " + std::to_string(DecodeContent(p, m_body).size()) + " " +
                         m_labels.bytes + ")</li>\r\n";
    }

    std::string_view m_body;
    const std::string& m_href;
    const BodyLabels& m_labels;
    std::string m_out, m_attachments;
    int m_next = 0;
};

const MimePart* Find(const MimePart& p, int number, int& next)
{
    if (next++ == number) return &p;
    for (const MimePart& child : p.parts)
        if (const MimePart* found = Find(child, number, next)) return found;
    return nullptr;
}

}  // namespace

std::string MediaType(const MimePart& p)
{
    static const char* const kTypes[] = {"text",  "multipart", "message", "application", "audio",
                                         "image", "video",     "model",   "application"};
    const char* type = p.type >= 0 && p.type < 9 ? kTypes[p.type] : "application";
    std::string subtype = p.type == 8 || p.subtype.empty() ? "octet-stream" : Lower(p.subtype);
    for (char& c : subtype)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '+') c = '-';
    return std::string(type) + "/" + subtype;
}

std::string DecodeContent(const MimePart& p, std::string_view bodyText)
{
    if (p.offset > bodyText.size() || p.size > bodyText.size() - p.offset) return "";
    const std::string_view raw = bodyText.substr(p.offset, p.size);
    if (p.encoding == kEncBase64) return DecodeBase64(raw);
    if (p.encoding == kEncQuotedPrintable) return DecodeQuotedPrintable(raw);
    return std::string(raw);
}

std::string TextToUtf8(const std::string& text, const std::string& charset)
{
    const std::string name = Lower(charset);
    if (!name.empty() && name != "us-ascii" && name != "utf-8" && name != "x-unknown") {
        iconv_t cd = iconv_open("UTF-8", charset.c_str());
        if (cd != reinterpret_cast<iconv_t>(-1)) {
            std::string out(text.size() * 4 + 16, '\0');
            char* in = const_cast<char*>(text.data());
            std::size_t inLeft = text.size(), outLeft = out.size();
            char* o = out.data();
            const std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
            const bool whole = r != static_cast<std::size_t>(-1) && iconv(cd, nullptr, nullptr, &o, &outLeft) == 0;
            iconv_close(cd);
            out.resize(out.size() - outLeft);
            if (whole && dlarchive::IsUtf8(out)) return out;
        }
    }
    return dlarchive::IsUtf8(text) ? text : dlarchive::Windows1252ToUtf8(text);
}

std::string HtmlToText(std::string_view html)
{
    std::string out;
    for (std::size_t i = 0; i < html.size();) {
        const char c = html[i];
        if (c == '<') {
            std::size_t end = html.find('>', i);
            if (end == std::string_view::npos) break;
            std::string tag;
            for (std::size_t j = i + 1;
                 j < end && (std::isalnum(static_cast<unsigned char>(html[j])) || html[j] == '/'); ++j)
                tag += static_cast<char>(std::tolower(static_cast<unsigned char>(html[j])));
            // The contents of scripts, styles and the head are no text of the message.
            if (tag == "script" || tag == "style" || tag == "head" || tag == "title") {
                std::string closing = "</" + tag;
                std::size_t j = end;
                for (; j < html.size(); ++j)
                    if (html[j] == '<' &&
                        strncasecmp(html.data() + j, closing.c_str(), std::min(closing.size(), html.size() - j)) == 0)
                        break;
                end = html.find('>', j);
                if (end == std::string_view::npos) break;
            } else if (tag == "br" || tag == "p" || tag == "/p" || tag == "div" || tag == "/div" || tag == "tr" ||
                       tag == "li" || tag == "/h1" || tag == "/h2" || tag == "/h3") {
                out += '\n';
            }
            i = end + 1;
        } else if (c == '&') {
            const std::size_t semi = html.find(';', i);
            const std::string_view ref =
                semi != std::string_view::npos && semi - i <= 10 ? html.substr(i + 1, semi - i - 1) : "";
            static const struct {
                const char* name;
                uint32_t code;
            } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0}};
            bool done = false;
            if (ref.size() > 1 && ref[0] == '#') {
                const bool hex = ref[1] == 'x' || ref[1] == 'X';
                const std::string digits(ref.substr(hex ? 2 : 1));
                char* stop = nullptr;
                const unsigned long code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
                if (!digits.empty() && *stop == '\0') {
                    AppendCodePoint(out, code > 0x10FFFF ? 0xFFFD : static_cast<uint32_t>(code));
                    done = true;
                }
            }
            for (const auto& n : kNamed)
                if (!done && ref == n.name) AppendCodePoint(out, n.code), done = true;
            if (done) {
                i = semi + 1;
            } else {
                out += '&';
                ++i;
            }
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

const MimePart* FindPart(const MimePart& root, int number)
{
    int next = 0;
    return Find(root, number, next);
}

std::string RenderHeaderFields(const HeaderFields& f, const BodyLabels& l)
{
    std::string out = "<table class=\"headers\">\r\n";
    const std::pair<const std::string&, const std::string&> rows[] = {
        {l.from, f.from}, {l.date, f.date}, {l.subject, f.subject}, {l.to, f.to}, {l.cc, f.cc}, {l.replyTo, f.replyTo}};
    for (const auto& [label, value] : rows)
        if (!value.empty())
            out += "<tr><th>" + label + "</th><td>" + EscapeHtml(TextToUtf8(value, "")) + "</td></tr>\r\n";
    return out + "</table>\r\n";
}

std::string RenderBody(const MimePart& root, std::string_view bodyText, const std::string& partHref,
                       const BodyLabels& labels)
{
    return Renderer(bodyText, partHref, labels).Run(root);
}

}  // namespace archivecgi

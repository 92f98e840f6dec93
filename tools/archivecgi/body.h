#pragma once
// A stored message's body as a reader sees it: the MIME tree in plain form, the decoding of
// its parts and their rendering as a fragment of a page. Only body_tree.cpp reads c-client's
// records; everything else works on the plain tree, so the rendering is tested on its own.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dlarchive/cclient_fwd.h"

namespace archivecgi {

// The header fields a reader expects, as UTF-8 text (not escaped).
struct HeaderFields {
    std::string from, date, subject, to, cc, replyTo;
};

// One part of the tree. Offsets count from the start of the top-level body text, also inside
// encapsulated messages.
struct MimePart {
    int type = 0;             // text 0, multipart 1, message 2, application 3, ... other 8
    std::string subtype;      // upper case
    int encoding = 0;         // 7bit 0, 8bit 1, binary 2, base64 3, quoted-printable 4
    std::string charset;      // as written
    std::string name;         // the file name of the disposition, else of the type
    bool attachment = false;  // Content-Disposition: attachment
    uint32_t offset = 0, size = 0;
    // The parts of a multipart; for an encapsulated message its body, when it has one.
    std::vector<MimePart> parts;
    bool message = false;  // an encapsulated message with its envelope in `headers`
    HeaderFields headers;
};

// From the stored records (body_tree.cpp). Trees nested deeper than 64 levels are cut there.
MimePart TreeFromBody(const mail_bodystruct* body);
HeaderFields FieldsFromEnvelope(const mail_envelope* envelope);

// "type/subtype" in lower case, as a download carries it.
std::string MediaType(const MimePart& part);
// The part's contents with its transfer encoding undone; empty when its bytes lie outside
// `bodyText` (a structure that does not belong to the file).
std::string DecodeContent(const MimePart& part, std::string_view bodyText);
// Text in `charset` as UTF-8. An unknown charset, or text that is not what it claims, is
// taken as UTF-8 when it is well formed, else as windows-1252.
std::string TextToUtf8(const std::string& text, const std::string& charset);
// The readable text of an HTML document: markup, scripts and styles dropped, character
// references resolved. The result is plain text, to be escaped like any other.
std::string HtmlToText(std::string_view html);
// The part numbered `number` in depth-first order (the root is 0); null when there is none.
const MimePart* FindPart(const MimePart& root, int number);

// Words of the rendering, from the language files.
struct BodyLabels {
    std::string attachments, from, date, subject, to, cc, replyTo, bytes;
};
// The body as HTML: text parts decoded, converted and escaped in <pre>; multipart/alternative
// by its plain part; encapsulated messages inline with their header fields; every other part
// (HTML included) listed as an attachment with name, type, size and a link `partHref` +
// its number. No text of the message reaches the fragment unescaped.
std::string RenderBody(const MimePart& root, std::string_view bodyText, const std::string& partHref,
                       const BodyLabels& labels);
// The header fields as rows of a table, each value escaped.
std::string RenderHeaderFields(const HeaderFields& fields, const BodyLabels& labels);

}  // namespace archivecgi

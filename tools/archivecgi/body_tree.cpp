// The one file of the CGI program that reads c-client's records.
#include "platform/cclient_records.h"

#include "body.h"
#include "record_store/convert_utf8.h"

namespace archivecgi {
namespace {

constexpr int kMaxDepth = 64;

std::string Text(const char* text)
{
    return text != nullptr ? text : "";
}

std::string Parameter(const mail_body_parameter* p, const char* name)
{
    for (; p != nullptr; p = p->next)
        if (p->attribute != nullptr && strcasecmp(p->attribute, name) == 0) return Text(p->value);
    return "";
}

// "Name <mailbox@host>, ..." with the names decoded to UTF-8.
std::string Addresses(const mail_address* a)
{
    std::string out;
    for (; a != nullptr; a = a->next) {
        if (a->mailbox == nullptr) continue;
        std::string one = Text(a->mailbox);
        if (a->host != nullptr && *a->host != '\0') one += "@" + Text(a->host);
        if (a->personal != nullptr && *a->personal != '\0')
            one = dlarchive::HeaderTextToUtf8(a->personal) + " <" + one + ">";
        out += (out.empty() ? "" : ", ") + one;
    }
    return out;
}

MimePart Convert(const mail_bodystruct* b, int depth)
{
    MimePart p;
    p.type = b->type;
    p.subtype = Text(b->subtype);
    p.encoding = b->encoding;
    p.charset = Parameter(b->parameter, "CHARSET");
    p.name = Parameter(b->disposition.parameter, "FILENAME");
    if (p.name.empty()) p.name = Parameter(b->parameter, "NAME");
    p.name = dlarchive::HeaderTextToUtf8(p.name.c_str());
    p.attachment = b->disposition.type != nullptr && strcasecmp(b->disposition.type, "ATTACHMENT") == 0;
    p.offset = b->contents.offset;
    p.size = b->contents.text.size;
    if (depth >= kMaxDepth) return p;
    if (b->type == TYPEMULTIPART) {
        for (const mail_body_part* part = b->nested.part; part != nullptr; part = part->next)
            p.parts.push_back(Convert(&part->body, depth + 1));
    } else if (b->type == TYPEMESSAGE && b->nested.msg != nullptr) {
        p.message = true;
        p.headers = FieldsFromEnvelope(b->nested.msg->env);
        if (b->nested.msg->body != nullptr) p.parts.push_back(Convert(b->nested.msg->body, depth + 1));
    }
    return p;
}

}  // namespace

HeaderFields FieldsFromEnvelope(const mail_envelope* e)
{
    HeaderFields f;
    if (e == nullptr) return f;
    f.from = Addresses(e->from);
    f.date = Text(reinterpret_cast<const char*>(e->date));
    f.subject = dlarchive::HeaderTextToUtf8(e->subject);
    f.to = Addresses(e->to);
    f.cc = Addresses(e->cc);
    // c-client fills Reply-To with From when the header has none: show it only when it differs.
    const std::string replyTo = Addresses(e->reply_to);
    if (replyTo != f.from) f.replyTo = replyTo;
    return f;
}

MimePart TreeFromBody(const mail_bodystruct* body)
{
    return body != nullptr ? Convert(body, 0) : MimePart{};
}

}  // namespace archivecgi

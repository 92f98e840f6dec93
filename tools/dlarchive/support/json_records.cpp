// The records header comes first: it brings the standard headers in before c-client and then
// removes c-client's macros, so nlohmann::json below compiles as usual.
#include "platform/cclient_records.h"

#include "json_records.h"

#include <unordered_set>

namespace cli {

using nlohmann::json;

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

json Text(const char* text)
{
    if (text == nullptr) return nullptr;
    return SanitizeUtf8(text);
}

json Text(const unsigned char* text)
{
    return Text(reinterpret_cast<const char*>(text));
}

json Text(const mail_sizedtext& text)
{
    if (text.data == nullptr) return nullptr;
    return SanitizeUtf8(std::string_view(reinterpret_cast<const char*>(text.data), text.size));
}

// Calls `visit` for each node of a c-client list. A damaged list that leads back to a node it
// already passed ends there instead of running forever.
template <typename Node, typename Visit>
void ForEachNode(const Node* head, Visit&& visit)
{
    std::unordered_set<const Node*> seen;
    for (const Node* node = head; node != nullptr && seen.insert(node).second; node = node->next) visit(*node);
}

json Addresses(const mail_address* list)
{
    json out = json::array();
    ForEachNode(list, [&](const mail_address& a) {
        out.push_back({{"personal", Text(a.personal)},
                       {"adl", Text(a.adl)},
                       {"mailbox", Text(a.mailbox)},
                       {"host", Text(a.host)}});
    });
    return out;
}

json Parameters(const mail_body_parameter* list)
{
    json out = json::array();
    ForEachNode(list, [&](const mail_body_parameter& p) {
        out.push_back({{"attribute", Text(p.attribute)}, {"value", Text(p.value)}});
    });
    return out;
}

json Texts(const string_list* list)
{
    json out = json::array();
    ForEachNode(list, [&](const string_list& s) { out.push_back(Text(s.text)); });
    return out;
}

json Span(const mail_body_text& text)
{
    return {{"offset", text.offset}, {"size", text.text.size}};
}

// The newsgroups-may-be-bogus flag is a member of the envelope in some c-client releases
// only (Debian's 2007f has none); where it is missing, c-client never flags anything.
template <typename Envelope>
auto NewsgroupsBogus(const Envelope& e, int) -> decltype(static_cast<bool>(e.ngbogus))
{
    return static_cast<bool>(e.ngbogus);
}
template <typename Envelope>
bool NewsgroupsBogus(const Envelope&, long)
{
    return false;
}

class BodyWriter {
public:
    json Write(const mail_bodystruct* body, int depth)
    {
        if (body == nullptr || depth > kMaxBodyDepth || !m_seen.insert(body).second) return nullptr;
        json out = {
            {"type", body->type},
            {"encoding", body->encoding},
            {"subtype", Text(body->subtype)},
            {"id", Text(body->id)},
            {"description", Text(body->description)},
            {"md5", Text(body->md5)},
            {"parameter", Parameters(body->parameter)},
            {"disposition",
             {{"type", Text(body->disposition.type)}, {"parameter", Parameters(body->disposition.parameter)}}},
            {"language", Texts(body->language)},
            {"mime", Span(body->mime)},
            {"contents", Span(body->contents)},
            {"size", {{"lines", body->size.lines}, {"bytes", body->size.bytes}}},
        };
        if (body->type == TYPEMULTIPART) {
            json parts = json::array();
            ForEachNode(body->nested.part,
                        [&](const mail_body_part& part) { parts.push_back(Write(&part.body, depth + 1)); });
            out["parts"] = std::move(parts);
        } else if (body->type == TYPEMESSAGE) {
            const mail_body_message* msg = body->nested.msg;
            if (msg == nullptr) {
                out["message"] = nullptr;
            } else {
                out["message"] = {{"envelope", EnvelopeToJson(msg->env)},
                                  {"body", Write(msg->body, depth + 1)},
                                  {"full", Span(msg->full)},
                                  {"header", Span(msg->header)},
                                  {"text", Span(msg->text)}};
            }
        }
        return out;
    }

private:
    std::unordered_set<const mail_bodystruct*> m_seen;
};

}  // namespace

std::string SanitizeUtf8(std::string_view text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::string out;
    out.reserve(n);
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = s[i];
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Number of continuation bytes, and the range the first of them must lie in: the
        // narrower ranges after E0, ED, F0 and F4 rule out overlongs, surrogates and code
        // points above U+10FFFF.
        int need = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            out.append(kReplacement);  // continuation byte, C0, C1 or F5..FF
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int have = 0;
        while (have < need && j < n) {
            const unsigned char c = s[j];
            if (c < (have == 0 ? low : 0x80) || c > (have == 0 ? high : 0xBF)) break;
            ++have;
            ++j;
        }
        if (have == need)
            out.append(text.substr(i, j - i));
        else
            out.append(kReplacement);  // the valid start of a sequence that stops short
        i = j;
    }
    return out;
}

json EnvelopeToJson(const mail_envelope* e)
{
    if (e == nullptr) return nullptr;
    return {
        {"date", Text(e->date)},
        {"subject", Text(e->subject)},
        {"from", Addresses(e->from)},
        {"sender", Addresses(e->sender)},
        {"reply_to", Addresses(e->reply_to)},
        {"to", Addresses(e->to)},
        {"cc", Addresses(e->cc)},
        {"bcc", Addresses(e->bcc)},
        {"in_reply_to", Text(e->in_reply_to)},
        {"message_id", Text(e->message_id)},
        {"newsgroups", Text(e->newsgroups)},
        {"followup_to", Text(e->followup_to)},
        {"references", Text(e->references)},
        {"ngbogus", NewsgroupsBogus(*e, 0)},
    };
}

json BodyToJson(const mail_bodystruct* body)
{
    BodyWriter writer;
    return writer.Write(body, 0);
}

json MessageToJson(uint32_t id, int seq, uint64_t size, uint64_t headerSize, const mail_envelope* envelope,
                   const mail_bodystruct* body)
{
    return {{"id", id},
            {"seq", seq},
            {"size", size},
            {"header_size", headerSize},
            {"envelope", EnvelopeToJson(envelope)},
            {"body", BodyToJson(body)}};
}

}  // namespace cli

#include "platform/cclient_records.h"

#include "record_store/record_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "record_store/convert_utf8.h"

namespace recordtest {

namespace {

bool Empty(const char* s)
{
    return s == nullptr || *s == '\0';
}

// An envelope text or list member: empty and null both read back as null.
void ExpectNullable(const char* parsed, const char* stored, const std::string& where)
{
    if (Empty(parsed))
        EXPECT_EQ(stored, nullptr) << where << ": expected null, got \"" << stored << '"';
    else
        EXPECT_STREQ(parsed, stored) << where;
}

// A body text: absent reads back as "".
void ExpectBodyText(const char* parsed, const char* stored, const std::string& where)
{
    ASSERT_NE(stored, nullptr) << where << ": body text read back as null";
    EXPECT_STREQ(parsed != nullptr ? parsed : "", stored) << where;
}

// Two lists member by member through `compare`; a single entry without any member leaves
// nothing to store, so it reads back as no list.
template <typename T, typename Compare, typename IsEmpty>
void ExpectSameList(const T* parsed, const T* stored, const std::string& where, Compare compare, IsEmpty isEmpty)
{
    if (parsed != nullptr && parsed->next == nullptr && isEmpty(parsed)) parsed = nullptr;
    int index = 0;
    for (; parsed != nullptr && stored != nullptr; parsed = parsed->next, stored = stored->next, ++index)
        compare(parsed, stored, where + "[" + std::to_string(index) + "]");
    EXPECT_EQ(parsed == nullptr, stored == nullptr) << where << ": lists differ in length at " << index;
}

void ExpectSameAddresses(const mail_address* parsed, const mail_address* stored, bool utf8Names,
                         const std::string& where)
{
    const auto compare = [utf8Names](const mail_address* p, const mail_address* s, const std::string& at) {
        const std::string name = utf8Names && !Empty(p->personal) ? dlarchive::HeaderTextToUtf8(p->personal) : "";
        ExpectNullable(utf8Names && !Empty(p->personal) ? name.c_str() : p->personal, s->personal, at + ".personal");
        ExpectNullable(p->adl, s->adl, at + ".adl");
        ExpectNullable(p->mailbox, s->mailbox, at + ".mailbox");
        ExpectNullable(p->host, s->host, at + ".host");
        EXPECT_TRUE(s->error == nullptr && s->orcpt.type == nullptr && s->orcpt.addr == nullptr) << at;
    };
    ExpectSameList(parsed, stored, where, compare, [](const mail_address* a) {
        return Empty(a->personal) && Empty(a->adl) && Empty(a->mailbox) && Empty(a->host);
    });
}

void ExpectSameParameters(const mail_body_parameter* parsed, const mail_body_parameter* stored,
                          const std::string& where)
{
    const auto compare = [](const mail_body_parameter* p, const mail_body_parameter* s, const std::string& at) {
        ExpectNullable(p->attribute, s->attribute, at + ".attribute");
        ExpectNullable(p->value, s->value, at + ".value");
    };
    ExpectSameList(parsed, stored, where, compare,
                   [](const mail_body_parameter* p) { return Empty(p->attribute) && Empty(p->value); });
}

void ExpectSamePartText(const mail_body_text& parsed, const mail_body_text& stored, const std::string& where)
{
    EXPECT_EQ(parsed.offset, stored.offset) << where << ".offset";
    EXPECT_EQ(parsed.text.size, stored.text.size) << where << ".text.size";
    EXPECT_EQ(stored.text.data, nullptr) << where << ".text.data";
}

}  // namespace

void ExpectSameEnvelope(const mail_envelope* parsed, const mail_envelope* stored, const std::string& where)
{
    ASSERT_NE(parsed, nullptr) << where;
    ASSERT_NE(stored, nullptr) << where;
    EXPECT_EQ(parsed->incomplete, stored->incomplete) << where << ".incomplete";
    EXPECT_TRUE(stored->imapenvonly == 0 && stored->remail == nullptr && stored->return_path == nullptr &&
                stored->sparep == nullptr)
        << where << ": members that are never stored";
    ExpectNullable(reinterpret_cast<const char*>(parsed->date), reinterpret_cast<const char*>(stored->date),
                   where + ".date");
    ExpectSameAddresses(parsed->from, stored->from, true, where + ".from");
    ExpectSameAddresses(parsed->sender, stored->sender, false, where + ".sender");
    ExpectSameAddresses(parsed->reply_to, stored->reply_to, false, where + ".reply_to");
    ExpectSameAddresses(parsed->to, stored->to, false, where + ".to");
    ExpectSameAddresses(parsed->cc, stored->cc, false, where + ".cc");
    ExpectSameAddresses(parsed->bcc, stored->bcc, false, where + ".bcc");
    if (parsed->subject != nullptr)
        ExpectNullable(dlarchive::HeaderTextToUtf8(parsed->subject).c_str(), stored->subject, where + ".subject");
    else
        EXPECT_EQ(stored->subject, nullptr) << where << ".subject";
    ExpectNullable(parsed->in_reply_to, stored->in_reply_to, where + ".in_reply_to");
    ExpectNullable(parsed->message_id, stored->message_id, where + ".message_id");
    ExpectNullable(parsed->newsgroups, stored->newsgroups, where + ".newsgroups");
    ExpectNullable(parsed->followup_to, stored->followup_to, where + ".followup_to");
    ExpectNullable(parsed->references, stored->references, where + ".references");
}

void ExpectSameBody(const mail_bodystruct* parsed, const mail_bodystruct* stored, const std::string& where)
{
    ASSERT_NE(parsed, nullptr) << where;
    ASSERT_NE(stored, nullptr) << where;
    EXPECT_EQ(parsed->type, stored->type) << where << ".type";
    EXPECT_EQ(parsed->encoding, stored->encoding) << where << ".encoding";
    ExpectBodyText(parsed->subtype, stored->subtype, where + ".subtype");
    ExpectSameParameters(parsed->parameter, stored->parameter, where + ".parameter");
    ExpectBodyText(parsed->id, stored->id, where + ".id");
    ExpectBodyText(parsed->description, stored->description, where + ".description");
    ExpectBodyText(parsed->disposition.type, stored->disposition.type, where + ".disposition.type");
    ExpectSameParameters(parsed->disposition.parameter, stored->disposition.parameter,
                         where + ".disposition.parameter");
    ExpectSameList(
        parsed->language, stored->language, where + ".language",
        [](const string_list* p, const string_list* s, const std::string& at) {
            ExpectNullable(reinterpret_cast<const char*>(p->text.data), reinterpret_cast<const char*>(s->text.data),
                           at);
            EXPECT_EQ(p->text.size, s->text.size) << at << ".size";
        },
        [](const string_list*) { return false; });
    EXPECT_EQ(stored->location, nullptr) << where << ".location";
    ExpectSamePartText(parsed->mime, stored->mime, where + ".mime");
    ExpectSamePartText(parsed->contents, stored->contents, where + ".contents");
    EXPECT_EQ(parsed->size.lines, stored->size.lines) << where << ".size.lines";
    EXPECT_EQ(parsed->size.bytes, stored->size.bytes) << where << ".size.bytes";
    ExpectBodyText(parsed->md5, stored->md5, where + ".md5");
    EXPECT_EQ(stored->sparep, nullptr) << where << ".sparep";

    if (parsed->type == TYPEMULTIPART) {
        const mail_body_part *p = parsed->nested.part, *s = stored->nested.part;
        int index = 0;
        for (; p != nullptr && s != nullptr; p = p->next, s = s->next, ++index)
            ExpectSameBody(&p->body, &s->body, where + ".part[" + std::to_string(index) + "]");
        EXPECT_EQ(p == nullptr, s == nullptr) << where << ": part lists differ at " << index;
    } else if (parsed->type == TYPEMESSAGE) {
        const mail_body_message *p = parsed->nested.msg, *s = stored->nested.msg;
        // A message without nested envelope and body reads back as none (offsets only).
        if (p == nullptr || (p->env == nullptr && p->body == nullptr)) {
            EXPECT_TRUE(s == nullptr || (s->env == nullptr && s->body == nullptr)) << where;
            return;
        }
        ASSERT_NE(s, nullptr) << where << ".msg";
        if (p->env != nullptr)
            ExpectSameEnvelope(p->env, s->env, where + ".msg.env");
        else
            EXPECT_EQ(s->env, nullptr) << where << ".msg.env";
        if (p->body != nullptr)
            ExpectSameBody(p->body, s->body, where + ".msg.body");
        else
            EXPECT_EQ(s->body, nullptr) << where << ".msg.body";
        ExpectSamePartText(p->full, s->full, where + ".msg.full");
        ExpectSamePartText(p->header, s->header, where + ".msg.header");
        ExpectSamePartText(p->text, s->text, where + ".msg.text");
        EXPECT_EQ(s->lines, nullptr) << where << ".msg.lines";
    } else {
        EXPECT_EQ(stored->nested.part, nullptr) << where << ".nested";
    }
}

}  // namespace recordtest

#include "platform/cclient_records.h"

#include "record_store/record_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/cclient.h"
#include "record_store/convert_utf8.h"
#include "support/test_env.h"

namespace recordtest {

namespace {

std::string ShowText(const char* text)
{
    if (text == nullptr) return "null";
    std::string shown(1, '"');
    shown.append(text).push_back('"');
    return shown;
}

// An envelope text or list member: empty and null both read back as null.
void ExpectNullable(const char* parsed, const char* stored, const std::string& where)
{
    if (parsed == nullptr || *parsed == '\0') {
        EXPECT_EQ(stored, nullptr) << where << ": expected null, got " << ShowText(stored);
    } else if (stored == nullptr) {
        ADD_FAILURE() << where << ": expected " << ShowText(parsed) << ", got null";
    } else {
        EXPECT_STREQ(parsed, stored) << where;
    }
}

// A body text: absent reads back as "".
void ExpectBodyText(const char* parsed, const char* stored, const std::string& where)
{
    if (stored == nullptr) {
        ADD_FAILURE() << where << ": body text read back as null";
        return;
    }
    EXPECT_STREQ(parsed != nullptr ? parsed : "", stored) << where;
}

bool AddressIsEmpty(const mail_address* a)
{
    auto empty = [](const char* s) { return s == nullptr || *s == '\0'; };
    return empty(a->personal) && empty(a->adl) && empty(a->mailbox) && empty(a->host);
}

void ExpectSameAddresses(const mail_address* parsed, const mail_address* stored, bool utf8Names,
                         const std::string& where)
{
    // A single address without any member leaves nothing to store.
    if (parsed != nullptr && parsed->next == nullptr && AddressIsEmpty(parsed)) parsed = nullptr;
    int index = 0;
    for (; parsed != nullptr && stored != nullptr; parsed = parsed->next, stored = stored->next, ++index) {
        std::string at = where + "[" + std::to_string(index) + "]";
        if (utf8Names && parsed->personal != nullptr && *parsed->personal != '\0') {
            std::string expected = dlarchive::HeaderTextToUtf8(parsed->personal);
            ExpectNullable(expected.c_str(), stored->personal, at + ".personal");
        } else {
            ExpectNullable(parsed->personal, stored->personal, at + ".personal");
        }
        ExpectNullable(parsed->adl, stored->adl, at + ".adl");
        ExpectNullable(parsed->mailbox, stored->mailbox, at + ".mailbox");
        ExpectNullable(parsed->host, stored->host, at + ".host");
        EXPECT_EQ(stored->error, nullptr) << at << ".error";
        EXPECT_EQ(stored->orcpt.type, nullptr) << at << ".orcpt.type";
        EXPECT_EQ(stored->orcpt.addr, nullptr) << at << ".orcpt.addr";
    }
    EXPECT_EQ(parsed == nullptr, stored == nullptr) << where << ": lists differ in length at " << index;
}

bool ParameterIsEmpty(const mail_body_parameter* p)
{
    return (p->attribute == nullptr || *p->attribute == '\0') && (p->value == nullptr || *p->value == '\0');
}

void ExpectSameParameters(const mail_body_parameter* parsed, const mail_body_parameter* stored,
                          const std::string& where)
{
    if (parsed != nullptr && parsed->next == nullptr && ParameterIsEmpty(parsed)) parsed = nullptr;
    int index = 0;
    for (; parsed != nullptr && stored != nullptr; parsed = parsed->next, stored = stored->next, ++index) {
        std::string at = where + "[" + std::to_string(index) + "]";
        ExpectNullable(parsed->attribute, stored->attribute, at + ".attribute");
        ExpectNullable(parsed->value, stored->value, at + ".value");
    }
    EXPECT_EQ(parsed == nullptr, stored == nullptr) << where << ": lists differ in length at " << index;
}

void ExpectSameStrings(const string_list* parsed, const string_list* stored, const std::string& where)
{
    int index = 0;
    for (; parsed != nullptr && stored != nullptr; parsed = parsed->next, stored = stored->next, ++index) {
        std::string at = where + "[" + std::to_string(index) + "]";
        ExpectNullable(reinterpret_cast<const char*>(parsed->text.data),
                       reinterpret_cast<const char*>(stored->text.data), at + ".text.data");
        EXPECT_EQ(parsed->text.size, stored->text.size) << at << ".text.size";
    }
    EXPECT_EQ(parsed == nullptr, stored == nullptr) << where << ": lists differ in length at " << index;
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
    EXPECT_EQ(stored->imapenvonly, 0u) << where << ".imapenvonly";
    EXPECT_EQ(stored->remail, nullptr) << where << ".remail";
    EXPECT_EQ(stored->return_path, nullptr) << where << ".return_path";
    ExpectNullable(reinterpret_cast<const char*>(parsed->date), reinterpret_cast<const char*>(stored->date),
                   where + ".date");
    ExpectSameAddresses(parsed->from, stored->from, true, where + ".from");
    ExpectSameAddresses(parsed->sender, stored->sender, false, where + ".sender");
    ExpectSameAddresses(parsed->reply_to, stored->reply_to, false, where + ".reply_to");
    if (parsed->subject != nullptr) {
        std::string expected = dlarchive::HeaderTextToUtf8(parsed->subject);
        ExpectNullable(expected.c_str(), stored->subject, where + ".subject");
    } else {
        EXPECT_EQ(stored->subject, nullptr) << where << ".subject";
    }
    ExpectSameAddresses(parsed->to, stored->to, false, where + ".to");
    ExpectSameAddresses(parsed->cc, stored->cc, false, where + ".cc");
    ExpectSameAddresses(parsed->bcc, stored->bcc, false, where + ".bcc");
    ExpectNullable(parsed->in_reply_to, stored->in_reply_to, where + ".in_reply_to");
    ExpectNullable(parsed->message_id, stored->message_id, where + ".message_id");
    ExpectNullable(parsed->newsgroups, stored->newsgroups, where + ".newsgroups");
    ExpectNullable(parsed->followup_to, stored->followup_to, where + ".followup_to");
    ExpectNullable(parsed->references, stored->references, where + ".references");
    EXPECT_EQ(stored->sparep, nullptr) << where << ".sparep";
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
    ExpectSameStrings(parsed->language, stored->language, where + ".language");
    EXPECT_EQ(stored->location, nullptr) << where << ".location";
    ExpectSamePartText(parsed->mime, stored->mime, where + ".mime");
    ExpectSamePartText(parsed->contents, stored->contents, where + ".contents");
    EXPECT_EQ(parsed->size.lines, stored->size.lines) << where << ".size.lines";
    EXPECT_EQ(parsed->size.bytes, stored->size.bytes) << where << ".size.bytes";
    ExpectBodyText(parsed->md5, stored->md5, where + ".md5");
    EXPECT_EQ(stored->sparep, nullptr) << where << ".sparep";

    if (parsed->type == TYPEMULTIPART) {
        const mail_body_part* p = parsed->nested.part;
        const mail_body_part* s = stored->nested.part;
        int index = 0;
        for (; p != nullptr && s != nullptr; p = p->next, s = s->next, ++index) {
            ExpectSameBody(&p->body, &s->body, where + ".part[" + std::to_string(index) + "]");
        }
        EXPECT_EQ(p == nullptr, s == nullptr) << where << ": part lists differ at " << index;
    } else if (parsed->type == TYPEMESSAGE) {
        const mail_body_message* p = parsed->nested.msg;
        const mail_body_message* s = stored->nested.msg;
        if (p == nullptr || (p->env == nullptr && p->body == nullptr)) {
            // Without a nested envelope or body only the offsets could be kept, and a
            // message without either reads back as none.
            if (s != nullptr) {
                EXPECT_EQ(s->env, nullptr) << where;
                EXPECT_EQ(s->body, nullptr) << where;
            }
            return;
        }
        ASSERT_NE(s, nullptr) << where << ".msg";
        if (p->env != nullptr) {
            ExpectSameEnvelope(p->env, s->env, where + ".msg.env");
        } else {
            EXPECT_EQ(s->env, nullptr) << where << ".msg.env";
        }
        if (p->body != nullptr) {
            ExpectSameBody(p->body, s->body, where + ".msg.body");
        } else {
            EXPECT_EQ(s->body, nullptr) << where << ".msg.body";
        }
        ExpectSamePartText(p->full, s->full, where + ".msg.full");
        ExpectSamePartText(p->header, s->header, where + ".msg.header");
        ExpectSamePartText(p->text, s->text, where + ".msg.text");
        EXPECT_EQ(s->lines, nullptr) << where << ".msg.lines";
    } else {
        EXPECT_EQ(stored->nested.part, nullptr) << where << ".nested";
    }
}

RecordCount CountRecords(const mail_bodystruct* body)
{
    RecordCount count;
    if (body == nullptr) return count;
    count.bodies = 1;
    if (body->type == TYPEMULTIPART) {
        for (const mail_body_part* p = body->nested.part; p != nullptr; p = p->next) {
            RecordCount nested = CountRecords(&p->body);
            count.bodies += nested.bodies;
            count.envelopes += nested.envelopes;
        }
    } else if (body->type == TYPEMESSAGE && body->nested.msg != nullptr) {
        if (body->nested.msg->env != nullptr) ++count.envelopes;
        RecordCount nested = CountRecords(body->nested.msg->body);
        count.bodies += nested.bodies;
        count.envelopes += nested.envelopes;
    }
    return count;
}

uint32_t HeaderSizeOf(const std::string& message)
{
    std::size_t lf = message.find("\n\n");
    std::size_t crlf = message.find("\r\n\r\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
        return static_cast<uint32_t>(crlf + 4);
    }
    if (lf != std::string::npos) return static_cast<uint32_t>(lf + 2);
    return static_cast<uint32_t>(message.size());
}

std::vector<MessageFile> LoadMessageFiles(const std::string& directory)
{
    std::vector<MessageFile> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".eml") continue;
        MessageFile file;
        file.name = entry.path().filename().string();
        file.bytes = testenv::ReadFile(entry.path().string());
        file.headerSize = HeaderSizeOf(file.bytes);
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(), [](const MessageFile& a, const MessageFile& b) { return a.name < b.name; });
    return files;
}

std::string MessageDirectory()
{
    return std::string(DLARCHIVE_SOURCE_DIR) + "/tests/data/messages";
}

ParsedMessage::ParsedMessage(std::string bytes) : buffer(std::move(bytes))
{
    headerSize = HeaderSizeOf(buffer);
    dlarchive::cclient::ParseMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), headerSize, &envelope, &body);
}

ParsedMessage::~ParsedMessage()
{
    dlarchive::cclient::FreeEnvelope(&envelope);
    dlarchive::cclient::FreeBody(&body);
}

Relations::Relations()
{
    EXPECT_EQ(diaRel::Create(dir.path().c_str(), "archiveenv"), db_ok);
    EXPECT_EQ(diaRel::Create(dir.path().c_str(), "archivebody"), db_ok);
    Reopen();
}

void Relations::Reopen()
{
    bodies.reset();
    envelopes.reset();
    envelopes = std::make_unique<archiveenv>(base, dir.path().c_str());
    bodies = std::make_unique<archivebody>(base, dir.path().c_str());
    EXPECT_EQ(envelopes->status(), db_ok);
    EXPECT_EQ(bodies->status(), db_ok);
}

std::vector<idxkey> Keys(diaRel& relation)
{
    std::vector<idxkey> keys;
    relation.begin(0);
    for (relation.first(); relation.status() == db_ok; relation.next()) {
        const auto* record = static_cast<const uint8_t*>(relation.recordData());
        idxkey key;
        std::memcpy(&key.id, record, 4);
        std::memcpy(&key.seq, record + 4, 2);
        keys.push_back(key);
    }
    EXPECT_EQ(relation.status(), db_eof);
    return keys;
}

std::string Show(const std::vector<idxkey>& keys)
{
    std::string text;
    for (const idxkey& key : keys) {
        if (!text.empty()) text += " ";
        text.push_back('(');
        text.append(std::to_string(key.id)).push_back(',');
        text.append(std::to_string(key.seq)).push_back(')');
    }
    return text;
}

std::vector<int> Bytes(const dbData& field)
{
    std::vector<int> bytes;
    for (uint32_t i = 0; i < field.length(); ++i) bytes.push_back(field.data()[i]);
    return bytes;
}

}  // namespace recordtest

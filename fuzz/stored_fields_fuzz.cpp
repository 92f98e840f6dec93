// Stored fields read back: item readers, the list decoders (whose output, stored again, must
// read back the same), and records of arbitrary bytes read through the record functions,
// which must neither loop nor leave their fields.
#include "platform/cclient_records.h"

#include <fuzzer/FuzzedDataProvider.h>

#include "dlarchive/encoders.h"
#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "fuzz.h"
#include "platform/cclient.h"
#include "record_store/record_internal.h"
#include "support/test_env.h"

namespace cc = dlarchive::cclient;

// Every member of a list, a null text shown apart from an empty one.
static std::string Show(const char* s)
{
    return s == nullptr ? "\1" : std::string(s) + '\2';
}
static std::string Show(const mail_address* a)
{
    return a ? Show(a->personal) + Show(a->adl) + Show(a->mailbox) + Show(a->host) + Show(a->next) : "";
}
static std::string Show(const mail_body_parameter* p)
{
    return p ? Show(p->attribute) + Show(p->value) + Show(p->next) : "";
}
static std::string Show(const string_list* s)
{
    return s ? Show(reinterpret_cast<const char*>(s->text.data)) + std::to_string(s->text.size) + Show(s->next) : "";
}

// Decodes the fields; the list read back, stored and read again reads the same (a single
// record without members is stored as nothing and reads back as no list).
template <typename Coder, typename List, typename... Fields>
static void RoundTrip(void (*release)(List**), Fields&... fields)
{
    List *first = nullptr, *again = nullptr;
    FUZZ_CHECK(Coder().Parse(fields..., &first) == 0);
    Coder coder;
    coder.Parse(first, fields...);
    FUZZ_CHECK(coder.Parse(fields..., &again) == 0);
    const std::string shown = Show(first);
    FUZZ_CHECK(Show(again) == shown || (again == nullptr && shown.find_first_not_of("\1") == std::string::npos));
    release(&first);
    release(&again);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static testenv::TempDir dir;
    static diamondBase base;
    static const bool made = diaRel::Create(dir.path().c_str(), "archiveenv") == db_ok &&
                             diaRel::Create(dir.path().c_str(), "archivebody") == db_ok;
    static archiveenv envelopes(base, dir.path().c_str());
    static archivebody bodies(base, dir.path().c_str());
    FUZZ_CHECK(made && envelopes.status() == db_ok && bodies.status() == db_ok);
    FuzzedDataProvider input(data, size);
    dbData f[4];
    for (dbData& field : f) {
        const std::string bytes = input.ConsumeRandomLengthString(64);
        field.cpy(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    StrParser reader(f[0]);  // every choice takes a byte of the input: the reads end
    while (!reader.IsEnd() && input.remaining_bytes() > 0) {
        if (input.ConsumeBool())
            reader.GetNum();
        else
            std::free(reader.GetStr());
    }
    RoundTrip<AddrParser>(cc::FreeAddress, f[0], f[1], f[2], f[3]);
    RoundTrip<ParamParser>(cc::FreeParameter, f[1], f[2]);
    RoundTrip<StrListParser>(cc::FreeStringList, f[2], f[3]);
    // Up to four records of either relation under message 1, made of the rest of the input.
    std::vector<idxkey> keys;
    for (uint16_t seq = 0; seq < 4 && input.remaining_bytes() > 0; ++seq) {
        diaRel& relation = input.ConsumeBool() ? static_cast<diaRel&>(envelopes) : bodies;
        const std::vector<uint8_t> fixed = input.ConsumeBytes<uint8_t>(relation.recordLength());
        if (!fixed.empty()) std::memcpy(relation.recordData(), fixed.data(), fixed.size());
        relation.setKey(0, &(keys.emplace_back() = idxkey{1, seq}));
        for (int i = 0; i < relation.fieldCount(); ++i) relation.putData(i, dbData());
        for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
            const std::string bytes = input.ConsumeRandomLengthString(32);
            relation.putData(input.ConsumeIntegralInRange(0, relation.fieldCount() - 1),
                             dbData(bytes.data(), bytes.size()));
        }
        relation.put();
    }
    for (idxkey key : keys) {
        mail_envelope* envelope = nullptr;
        mail_bodystruct* body = nullptr;
        uint32_t messageSize = 0, headerSize = 0;
        GetArchiveEnv(&envelopes, &key, &envelope, messageSize, headerSize);
        GetArchiveBody(&bodies, &envelopes, &key, &body, messageSize, headerSize);
        cc::FreeEnvelope(&envelope);
        cc::FreeBody(&body);
    }
    mail_body_part* parts = nullptr;
    mail_body_message* message = nullptr;
    PartParser().Parse(&bodies, &envelopes, 1, f[3], &parts);
    MsgParser().Parse(&bodies, &envelopes, 1, size & 3, (size >> 2) & 3, 1, 2, 3, 4, 5, 6, &message);
    mail_free_body_part(&parts);
    dlarchive::records::FreeMessage(&message);
    for (diaRel* relation : {static_cast<diaRel*>(&envelopes), static_cast<diaRel*>(&bodies)})
        for (idxkey key : keys)
            if (relation->setKey(0, &key), relation->get() == db_ok) FUZZ_CHECK(relation->del() == db_ok);
    return 0;
}

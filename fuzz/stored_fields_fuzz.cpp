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

namespace cc = dlarchive::cclient;

// Decodes the fields, stores the list and decodes again: the stored bytes must not change.
template <typename Coder, typename List, typename... Fields>
static void RoundTrip(void (*release)(List**), Fields&... fields)
{
    List* list = nullptr;
    std::string stored[2];
    for (std::string& bytes : stored) {
        FUZZ_CHECK(Coder().Parse(fields..., &list) == 0);
        Coder().Parse(list, fields...);
        release(&list);
        ((bytes += std::string(fields.length() ? fields.text() : "", fields.length()) + '\1'), ...);
    }
    FUZZ_CHECK(stored[0] == stored[1]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Home home;
    static diamondBase base;
    static archiveenv envelopes(base, home.Relations().c_str());
    static archivebody bodies(base, home.Relations().c_str());
    FUZZ_CHECK(envelopes.status() == db_ok && bodies.status() == db_ok);
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

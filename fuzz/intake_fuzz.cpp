// One message file through the whole intake, read back and compared with what c-client parses
// from the same bytes (the record tests' comparator). A message the intake refuses must leave
// nothing stored; a stored one must be removed without a trace.
#include "platform/cclient_records.h"

#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "dlarchive/archive.h"
#include "dlarchive/record_functions.h"
#include "fuzz.h"
#include "platform/cclient.h"
#include "record_store/record_support.h"
#include "support/archive_home.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static testenv::ArchiveHome home("N");  // failures surface instead of being rebuilt away
    static const std::string archive = home.CreateList("fz");
    if (size == 0) return 0;  // an empty file is refused by a throw (17), as documented
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string file = home.WriteMessage("fz", 1, bytes);
    CDlArchive manager("DL Manager");
    FUZZ_CHECK(manager.SetListName("fz") && (manager.GetArchivePath(), archive == manager.GetArchivePathText()));
    bool stored = false;
    try {
        stored = manager.AddArchive(archive.c_str(), 1);
        FUZZ_CHECK(stored || (manager.GetLastError() >= 13 && manager.GetLastError() <= 15));
        if (stored) {
            std::string buffer = bytes;
            mail_envelope *parsed = nullptr, *envelope = nullptr;
            mail_bodystruct *parsedBody = nullptr, *body = nullptr;
            dlarchive::cclient::ParseMessage(buffer.data(), size, manager.GetHdrSize(), &parsed, &parsedBody);
            uint32_t messageSize = 0, headerSize = 0;
            manager.GetArchiveEnv(1, 0, envelope, messageSize, headerSize);
            FUZZ_CHECK(messageSize == size && headerSize == manager.GetHdrSize());
            manager.GetArchiveBody(1, 0, body, messageSize, headerSize);
            testing::TestPartResultArray failures;
            {
                testing::ScopedFakeTestPartResultReporter reporter(&failures);
                recordtest::ExpectSameEnvelope(parsed, envelope, "envelope");
                recordtest::ExpectSameBody(parsedBody, body, "body");
            }
            for (int i = 0; i < failures.size(); ++i)
                std::fprintf(stderr, "%s\n", failures.GetTestPartResult(i).message());
            FUZZ_CHECK(failures.size() == 0);
            for (auto* e : {&parsed, &envelope}) dlarchive::cclient::FreeEnvelope(e);
            for (auto* b : {&parsedBody, &body}) dlarchive::cclient::FreeBody(b);
        }
    } catch (const CDlArchiveException& e) {
        std::fprintf(stderr, "intake threw %d: %s\n", e.GetLastError(), e.GetLastErrorMsg());
        std::abort();
    }
    diamondBase base;
    archiveenv envelopes(base, archive.c_str());
    archivebody bodies(base, archive.c_str());
    idxkey envelopeKey{1, 0}, bodyKey{1, 0};
    FUZZ_CHECK(RemoveArchiveBody(&bodies, &envelopes, &bodyKey) == (stored ? 0 : 3));
    FUZZ_CHECK(RemoveArchiveEnv(&envelopes, &envelopeKey) == (stored ? 0 : 3));
    for (diaRel* relation : {static_cast<diaRel*>(&envelopes), static_cast<diaRel*>(&bodies)})
        FUZZ_CHECK(relation->begin() == db_ok && relation->first() == db_eof);
    ::unlink(file.c_str());
    return 0;
}

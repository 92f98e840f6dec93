// One message file through the whole intake, with the robustness tests' checks (file kept,
// documented outcome, the stored message equal to c-client's parse of the same bytes, display
// texts bounded); none may fail and the intake may not throw. A refused message leaves nothing
// stored; a stored one must be removed without a trace.
#include "platform/cclient_records.h"

#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "dlarchive/record_functions.h"
#include "fuzz.h"
#include "robustness/hostile_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static hostile::HostileArchive archive("N");  // failures surface instead of being rebuilt away
    if (size == 0) return 0;                      // an empty file is refused by a throw (17), as documented
    testing::TestPartResultArray failures;
    hostile::Outcome outcome;
    {
        testing::ScopedFakeTestPartResultReporter reporter(&failures);
        outcome = archive.Feed(1, std::string(reinterpret_cast<const char*>(data), size), "input");
    }
    for (int i = 0; i < failures.size(); ++i) std::fprintf(stderr, "%s\n", failures.GetTestPartResult(i).message());
    FUZZ_CHECK(failures.size() == 0 && outcome.kind != hostile::Outcome::Thrown);
    const bool stored = outcome.kind == hostile::Outcome::Stored;
    diamondBase base;
    archiveenv envelopes(base, archive.archive().c_str());
    archivebody bodies(base, archive.archive().c_str());
    idxkey envelopeKey{1, 0}, bodyKey{1, 0};
    FUZZ_CHECK(RemoveArchiveBody(&bodies, &envelopes, &bodyKey) == (stored ? 0 : 3));
    FUZZ_CHECK(RemoveArchiveEnv(&envelopes, &envelopeKey) == (stored ? 0 : 3));
    for (diaRel* relation : {static_cast<diaRel*>(&envelopes), static_cast<diaRel*>(&bodies)})
        FUZZ_CHECK(relation->begin() == db_ok && relation->first() == db_eof);
    ::unlink((archive.archive() + testenv::MessageName(1)).c_str());
    return 0;
}

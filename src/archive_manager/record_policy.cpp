// The record functions for a mailing list: the plain forms plus the automatic rebuild policy.
#include <strings.h>
#include <string>

#include "archive_manager/rebuild_policy.h"
#include "dlarchive/archive.h"
#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "record_store/record_internal.h"

namespace {

// Rebuilds the list's relations when "AutoRebuild" is on; a rebuild that fails, or that
// would run inside a rebuild of the same list, makes the result 22.
int RebuildStep(int result, const char* listName, const char* operation)
{
    if (!dlarchive::archive::RecordFunctionsRebuildOn()) return result;
    const std::string list = listName != nullptr ? listName : "";
    const std::string reason = "Result " + std::to_string(result) + " of " + operation;
    if (!dlarchive::archive::RebuildUnlessRunning(list, reason.c_str())) return db_corrupt;
    return result;
}

bool GetFailed(int result)
{
    return result != db_ok && result != db_notfound && result != db_nomem;
}

}  // namespace

int AddArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope* envelope, uint32_t messageSize,
                  uint32_t headerSize, const char* listName)
{
    const int result = dlarchive::records::StoreEnvelope(envelopes, key, envelope, messageSize, headerSize, false);
    return result != db_ok && result != db_nomem ? RebuildStep(result, listName, "AddArchiveEnv on archiveenv")
                                                 : result;
}

int GetArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope** envelope, uint32_t& messageSize,
                  uint32_t& headerSize, const char* listName)
{
    const int result = GetArchiveEnv(envelopes, key, envelope, messageSize, headerSize);
    if (!GetFailed(result)) return result;
    if (envelope != nullptr) *envelope = nullptr;
    return RebuildStep(result, listName, "GetArchiveEnv on archiveenv");
}

int RemoveArchiveEnv(archiveenv* envelopes, idxkey* key, const char* listName)
{
    if (envelopes != nullptr && key != nullptr) {
        // Only a failing get takes the step; a failing delete is passed back as it is.
        envelopes->setKey(*key);
        const int found = envelopes->get(0);
        if (GetFailed(found)) return RebuildStep(found, listName, "RemoveArchiveEnv on archiveenv");
    }
    return RemoveArchiveEnv(envelopes, key);
}

int AddArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* bodyKey, idxkey* envelopeKey,
                   mail_bodystruct* body, uint32_t messageSize, uint32_t headerSize, const char* listName)
{
    bool ownPutFailed = false;
    const int result = dlarchive::records::StoreBodyTree(bodies, envelopes, bodyKey, envelopeKey, body, messageSize,
                                                         headerSize, &ownPutFailed);
    return ownPutFailed && result != db_nomem ? RebuildStep(result, listName, "AddArchiveBody on archivebody") : result;
}

int GetArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key, mail_bodystruct** body,
                   uint32_t& messageSize, uint32_t& headerSize, const char* listName)
{
    if (bodies != nullptr && key != nullptr) {
        // The step belongs to the get of the record itself, not to failures further down.
        bodies->setKey(*key);
        const int found = bodies->get(0);
        if (GetFailed(found)) return RebuildStep(found, listName, "GetArchiveBody on archivebody");
    }
    return GetArchiveBody(bodies, envelopes, key, body, messageSize, headerSize);
}

int RemoveArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key, const char* listName)
{
    if (bodies != nullptr && key != nullptr) {
        bodies->setKey(*key);
        const int found = bodies->get(0);
        if (GetFailed(found)) return RebuildStep(found, listName, "RemoveArchiveBody on archivebody");
    }
    return RemoveArchiveBody(bodies, envelopes, key);
}

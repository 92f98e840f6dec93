#pragma once
// Rebuild of a failing message store database, with its report mail.
#include <cstdint>

#include "dlarchive/export.h"

// The message store's databases; any other value is an unknown database.
enum DatabaseType : int32_t {
    DbMailbox = 2,          // "Mailbox"
    DbMessageEnvelope = 3,  // "Message Envelope"
    DbMessageBody = 4,      // "Message Body"
    DbMessageStatus = 5,    // "Message Status"
};

// True from the start to the end of every RebuildMbx call (false at load). Concurrent calls
// are not coordinated: the first one to end clears it. The archive rebuild neither sets nor
// reads it.
extern "C" DLARCHIVE_API bool bArcRebuild;

// Called by the message store when one of its databases fails: logs the failure, sends the
// report mail to "Options"/"QRNDebugEmailAddr" (none when empty, and none for error 11) with
// copies of the damaged files, kelmo.ini and kelmo.log attached, then rebuilds. A mailbox
// database (type 2) only logs success; for any other type the archive relations of the
// folder below "MsgStore"/"BaseDirectory" are replaced by the templates of
// "DLManager"/"DbPath" and checked. `path` is the store path of the user's mailbox or folder,
// with "/" or "\" between its components; `error` is the dbError code the database gave.
// True when the rebuild succeeded. A failing report never stops the rebuild.
DLARCHIVE_API bool RebuildMbx(const char* path, DatabaseType database, int error);

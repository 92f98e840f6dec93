#pragma once
// The only door to c-client. Its headers define macros (T, NIL, min, max, write, BODY, ...)
// that break ordinary C++, so only cclient.cpp and the files named *_cclient.cpp include
// them; everything else goes through these functions.
#include <cstdint>
#include <string>

#include "dlarchive/cclient_fwd.h"

namespace dlarchive::cclient {

// Installs the block-notify hook once (c-client's allocator otherwise saves and restores
// alarm() around every allocation). Called by every entry point below; cheap after the first.
void Initialize();

void FreeEnvelope(mail_envelope** envelope);
void FreeBody(mail_bodystruct** body);

}  // namespace dlarchive::cclient

// Standard headers first: c-client's macros must not reach them.
#include <cstdio>
#include <mutex>

#include "platform/cclient.h"

#include <c-client/c-client.h>

namespace dlarchive::cclient {

namespace {
void* NoBlockNotify(int, void*) { return nullptr; }
}  // namespace

void Initialize()
{
    static std::once_flag once;
    std::call_once(once, [] {
        mail_parameters(nullptr, SET_BLOCKNOTIFY, reinterpret_cast<void*>(&NoBlockNotify));
    });
}

void FreeEnvelope(mail_envelope** envelope)
{
    if (envelope != nullptr && *envelope != nullptr) mail_free_envelope(envelope);
}

void FreeBody(mail_bodystruct** body)
{
    if (body != nullptr && *body != nullptr) mail_free_body(body);
}

}  // namespace dlarchive::cclient

// Callbacks every c-client application must define. The library only parses messages, so
// they have nothing to do; mm_log forwards parse warnings to the current parse's collector.
#define DLARCHIVE_CALLBACK extern "C" __attribute__((visibility("default")))
DLARCHIVE_CALLBACK void mm_searched(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_exists(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_expunged(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_flags(MAILSTREAM*, unsigned long) {}
DLARCHIVE_CALLBACK void mm_notify(MAILSTREAM*, char*, long) {}
DLARCHIVE_CALLBACK void mm_list(MAILSTREAM*, int, char*, long) {}
DLARCHIVE_CALLBACK void mm_lsub(MAILSTREAM*, int, char*, long) {}
DLARCHIVE_CALLBACK void mm_status(MAILSTREAM*, char*, MAILSTATUS*) {}
DLARCHIVE_CALLBACK void mm_log(char*, long) {}
DLARCHIVE_CALLBACK void mm_dlog(char*) {}
DLARCHIVE_CALLBACK void mm_login(NETMBX*, char*, char*, long) {}
DLARCHIVE_CALLBACK void mm_critical(MAILSTREAM*) {}
DLARCHIVE_CALLBACK void mm_nocritical(MAILSTREAM*) {}
DLARCHIVE_CALLBACK long mm_diskerror(MAILSTREAM*, long, long) { return 1; }
DLARCHIVE_CALLBACK void mm_fatal(char*) {}

#pragma once
// The c-client record definitions (mail_envelope, mail_bodystruct, mail_address, ...) for
// the few sources that must read and fill their members, such as the record encoders.
//
// c-client's headers define macros that break ordinary C++ (T, NIL, min, max, write,
// BODY, ...): a template parameter named T stops compiling, and std::ostream::write would
// call c-client's safe_write. So the standard headers come first, then c-client, and then
// every macro that can collide is removed again. What stays defined is c-client's own
// upper-case vocabulary (TYPETEXT, ENCBASE64, ...), which nothing else uses.
//
// After this header, name the records by their struct names (mail_bodystruct,
// mail_address, mail_body_parameter, mail_body_part, mail_body_message, string_list) or
// ENVELOPE, use nullptr and true instead of NIL and T, and allocate and release them through
// platform/cclient.h. Files that include it need -fno-operator-names (the library has it):
// c-client names record members "or" and "not".
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <c-client/c-client.h>

// c-client's spellings of the ISO 646 operator names.
#undef and
#undef or
#undef not
// Short names that ordinary code uses as identifiers.
#undef T
#undef NIL
#undef LONGT
#undef VOIDT
#undef min
#undef max
#undef ERROR
#undef WARN
#undef PARSE
#undef BYE
#undef INIT
#undef SIZE
#undef GETPOS
#undef SETPOS
#undef CHR
// Record types as macros; the struct names remain.
#undef BODY
#undef ADDRESS
#undef MESSAGE
#undef PART
#undef PARAMETER
#undef STRINGLIST
#undef SIZEDTEXT
#undef PARTTEXT
#undef DRIVER
// C library and POSIX names redirected to c-client's wrappers.
#undef write
#undef flock
#undef direct
#undef setpgrp
#undef altflag
#undef myusername
#undef pmatch
#undef grim_pid_reap

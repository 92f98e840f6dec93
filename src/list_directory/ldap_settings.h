#pragma once
#include <string>

namespace dlarchive::directory {
// The "Port" value as atoi reads it; 0 (empty, not a number, "0") gives 389, a value outside
// 1..65535 gives -1 (no connection).
int LdapPortNumber(const std::string& text);
}  // namespace dlarchive::directory

#pragma once
// The private slapd of scripts/slapd.sh, started on first use in a test process and stopped
// when the process's tests end. Lists are entries "cn=<cn>,ou=lists,dc=example,dc=org".
#include <string>

namespace testenv {

struct Slapd {
    std::string dir, url, ldapiUrl, password;
    static Slapd& Get();
    // Replaces every list by the LDIF text (entries made with ListEntry).
    void Reset(const std::string& ldif) const;
    // The "Ldap" section that reaches the server (as its administrator by default).
    std::string Ini(const std::string& password = "", const std::string& host = "") const;
};

// An LDIF entry of object class vklist; `attributes` are "name: value" lines ending in "\n".
std::string ListEntry(const std::string& cn, const std::string& attributes);

}  // namespace testenv

#pragma once
// The directory client the mailing-list directory reads through, on OpenLDAP's libldap.
//
// Every network step is bounded: the TCP connect by LDAP_OPT_NETWORK_TIMEOUT, the bind and
// each search by a deadline on the wait for the server's answer (and a server-side time limit
// on searches), so a server that accepts and never answers fails the step instead of hanging.
// Values are handed over whole (cut only at a zero byte, as the record's texts are
// zero-terminated): a cut address or path would name another list or file; what does not fit
// where it goes is refused there.
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ldap;
struct ldapmsg;

namespace dlarchive::platform {

// One entry of a search result: its attributes in the server's order, one (name, value) pair
// per value, so an attribute with several values gives several pairs.
struct LdapEntry {
    std::vector<std::pair<std::string, std::string>> attributes;
};

class LdapClient {
public:
    // `timeoutSeconds` bounds each network step.
    explicit LdapClient(int timeoutSeconds = 10);
    ~LdapClient();  // unbinds
    LdapClient(const LdapClient&) = delete;
    LdapClient& operator=(const LdapClient&) = delete;

    // `host` is a host name or address (then `port` applies), or an ldap://, ldaps://
    // or ldapi:// URL.
    // 0 when the connection is made; anything else is failure.
    int Connect(const std::string& host, int port);
    // Simple bind; an empty user name binds anonymously. 0 on success.
    int Bind(const std::string& user, const std::string& password);
    // Whole-subtree search with `filter` below every naming context the server announces
    // (or below the empty base when it announces none). No result (nullopt) when nothing
    // could be searched or an answer did not arrive in time.
    std::optional<std::vector<LdapEntry>> SearchSubtree(const std::string& filter);
    void Unbind();

    // The URL Connect uses for (host, port); empty when `host` is neither a URL of those
    // schemes nor a plain host name or address, or when `port` is outside 1..65535.
    static std::string ServerUrl(const std::string& host, int port);

private:
    // Waits for the whole answer of `msgid`; abandons it when the deadline passes.
    ldapmsg* Await(int msgid);
    std::optional<std::vector<LdapEntry>> Search(const std::string& base, int scope, const std::string& filter,
                                                 char** attributes);

    ldap* m_ld = nullptr;
    int m_timeout;
};

}  // namespace dlarchive::platform

#include "platform/ldap_client.h"

#include <ldap.h>
#include <sys/time.h>

#include <cctype>
#include <chrono>

namespace dlarchive::platform {

namespace {

// A plain host: a name of letters, digits, "-", "." and "_", or an IPv6 address.
bool IsPlainHost(const std::string& host)
{
    if (host.empty()) return false;
    bool colon = false;
    for (const char c : host) {
        if (c == ':') {
            colon = true;
            continue;
        }
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return false;
    }
    return !colon || host.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
}

bool StartsWithIgnoreCase(const std::string& text, const char* prefix)
{
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

// A value as the record's zero-terminated texts hold it.
std::string ValueText(const berval* value)
{
    std::string text(value->bv_val, value->bv_len);
    const auto zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

}  // namespace

LdapClient::LdapClient(int timeoutSeconds) : m_timeout(timeoutSeconds > 0 ? timeoutSeconds : 10) {}

LdapClient::~LdapClient()
{
    Unbind();
}

std::string LdapClient::ServerUrl(const std::string& host, int port)
{
    if (StartsWithIgnoreCase(host, "ldap://") || StartsWithIgnoreCase(host, "ldaps://") ||
        StartsWithIgnoreCase(host, "ldapi://")) {
        // One server only: a list of URLs would make the bounds apply per server.
        return host.find_first_of(" \t,") == std::string::npos ? host : "";
    }
    if (!IsPlainHost(host) || port < 1 || port > 65535) return "";
    const bool ipv6 = host.find(':') != std::string::npos;
    return "ldap://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int LdapClient::Connect(const std::string& host, int port)
{
    Unbind();
    const std::string url = ServerUrl(host, port);
    if (url.empty()) return LDAP_PARAM_ERROR;
    int rc = ldap_initialize(&m_ld, url.c_str());
    if (rc != LDAP_SUCCESS) {
        m_ld = nullptr;
        return rc;
    }
    const int version = LDAP_VERSION3;
    const timeval network{m_timeout, 0};
    ldap_set_option(m_ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(m_ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
    ldap_set_option(m_ld, LDAP_OPT_TIMEOUT, &network);
    ldap_set_option(m_ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    rc = ldap_connect(m_ld);
    if (rc != LDAP_SUCCESS) Unbind();
    return rc;
}

ldapmsg* LdapClient::Await(int msgid)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_timeout);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        timeval wait{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
        LDAPMessage* result = nullptr;
        const int rc = ldap_result(m_ld, msgid, LDAP_MSG_ALL, &wait, &result);
        if (rc > 0) return result;
        if (result != nullptr) ldap_msgfree(result);
        if (rc < 0) return nullptr;
    }
    ldap_abandon_ext(m_ld, msgid, nullptr, nullptr);
    return nullptr;
}

int LdapClient::Bind(const std::string& user, const std::string& password)
{
    if (m_ld == nullptr) return LDAP_SERVER_DOWN;
    berval credentials{password.size(), const_cast<char*>(password.data())};
    int msgid = 0;
    int rc = ldap_sasl_bind(m_ld, user.empty() ? nullptr : user.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr,
                            nullptr, &msgid);
    if (rc != LDAP_SUCCESS) return rc;
    LDAPMessage* result = Await(msgid);
    if (result == nullptr) return LDAP_TIMEOUT;
    int code = LDAP_OTHER;
    rc = ldap_parse_result(m_ld, result, &code, nullptr, nullptr, nullptr, nullptr, 1);
    return rc == LDAP_SUCCESS ? code : rc;
}

std::optional<std::vector<LdapEntry>> LdapClient::Search(const std::string& base, int scope, const std::string& filter,
                                                         char** attributes)
{
    if (m_ld == nullptr) return std::nullopt;
    timeval limit{m_timeout, 0};
    int msgid = 0;
    if (ldap_search_ext(m_ld, base.c_str(), scope, filter.c_str(), attributes, 0, nullptr, nullptr, &limit,
                        LDAP_NO_LIMIT, &msgid) != LDAP_SUCCESS)
        return std::nullopt;
    LDAPMessage* result = Await(msgid);
    if (result == nullptr) return std::nullopt;
    std::vector<LdapEntry> entries;
    for (LDAPMessage* e = ldap_first_entry(m_ld, result); e != nullptr; e = ldap_next_entry(m_ld, e)) {
        LdapEntry& entry = entries.emplace_back();
        BerElement* ber = nullptr;
        for (char* name = ldap_first_attribute(m_ld, e, &ber); name != nullptr;
             name = ldap_next_attribute(m_ld, e, ber)) {
            berval** values = ldap_get_values_len(m_ld, e, name);
            for (int i = 0; values != nullptr && values[i] != nullptr; ++i)
                entry.attributes.emplace_back(name, ValueText(values[i]));
            ldap_value_free_len(values);
            ldap_memfree(name);
        }
        if (ber != nullptr) ber_free(ber, 0);
    }
    int code = LDAP_OTHER;
    ldap_parse_result(m_ld, result, &code, nullptr, nullptr, nullptr, nullptr, 1);
    // A base that does not exist is an empty answer; a search the server refused is none.
    if (code != LDAP_SUCCESS && code != LDAP_NO_SUCH_OBJECT && code != LDAP_SIZELIMIT_EXCEEDED &&
        code != LDAP_TIMELIMIT_EXCEEDED)
        return std::nullopt;
    return entries;
}

std::optional<std::vector<LdapEntry>> LdapClient::SearchSubtree(const std::string& filter)
{
    char namingContexts[] = "namingContexts";
    char* attributes[] = {namingContexts, nullptr};
    const auto root = Search("", LDAP_SCOPE_BASE, "(objectClass=*)", attributes);
    if (!root) return std::nullopt;
    std::vector<std::string> bases;
    for (const LdapEntry& entry : *root)
        for (const auto& [name, value] : entry.attributes) bases.push_back(value);
    if (bases.empty()) bases.emplace_back();
    std::optional<std::vector<LdapEntry>> all;
    for (const std::string& base : bases) {
        auto entries = Search(base, LDAP_SCOPE_SUBTREE, filter, nullptr);
        if (!entries) continue;
        if (!all) all.emplace();
        for (LdapEntry& entry : *entries) all->push_back(std::move(entry));
    }
    return all;
}

void LdapClient::Unbind()
{
    if (m_ld != nullptr) ldap_unbind_ext_s(m_ld, nullptr, nullptr);
    m_ld = nullptr;
}

}  // namespace dlarchive::platform

// MailingListDirectory: every "vklist" entry of the directory in one search, walked by name.
#include <strings.h>

#include <new>

#include "dlarchive/list_directory.h"
#include "list_directory/ldap_settings.h"
#include "platform/config.h"
#include "platform/ldap_client.h"

namespace {

using dlarchive::platform::EqualsIgnoreCase;
using dlarchive::platform::GetProfileString;
using dlarchive::platform::LdapEntry;

constexpr int kDefaultPort = 389;
constexpr int kDefaultTimeoutSeconds = 10;

const std::string* FirstMail(const LdapEntry& entry)
{
    for (const auto& [name, value] : entry.attributes)
        if (EqualsIgnoreCase(name, "mail")) return &value;
    return nullptr;
}

}  // namespace

int dlarchive::directory::LdapPortNumber(const std::string& text)
{
    const long port = std::strtol(text.c_str(), nullptr, 10);
    if (port == 0) return kDefaultPort;
    return port > 0 && port <= 65535 ? static_cast<int>(port) : -1;
}

MailingListDirectory::~MailingListDirectory()
{
    Free();
}

// Connect and bind failures give false with no records; a search without result gives true
// with none. Entries without "mail" get no record. The client unbinds on every path (its
// destructor), the search result is released with it.
bool MailingListDirectory::Load()
{
    Free();
    const std::string host = GetProfileString("Ldap", "HostName", "", 127);
    const int port = dlarchive::directory::LdapPortNumber(GetProfileString("Ldap", "Port", "", 15));
    const std::string user = GetProfileString("Ldap", "Username", "", 63);
    const std::string password = GetProfileString("Ldap", "Password", "", 63);
    const long timeout = std::strtol(GetProfileString("Ldap", "Timeout", "", 15).c_str(), nullptr, 10);
    dlarchive::platform::LdapClient client(timeout > 0 && timeout <= 3600 ? static_cast<int>(timeout)
                                                                          : kDefaultTimeoutSeconds);
    if (client.Connect(host, port) != 0 || client.Bind(user, password) != 0) {
        m_bConnected = false;
        client.Unbind();
        return false;
    }
    m_bConnected = true;
    try {
        const auto entries = client.SearchSubtree("objectclass=vklist");
        client.Unbind();
        if (!entries) return true;
        std::size_t named = 0;
        for (const LdapEntry& entry : *entries) named += FirstMail(entry) != nullptr;
        m_records.reserve(named);
        const std::time_t now = std::time(nullptr);
        for (const LdapEntry& entry : *entries) {
            const std::string* name = FirstMail(entry);
            if (name == nullptr) continue;
            m_records.push_back(ParseMailingListEntry(*name, entry.attributes));
            CreateDigestSchedule(m_records.back(), now);
        }
        m_nCount = static_cast<int32_t>(m_records.size());
        return true;
    } catch (const std::bad_alloc&) {
        Free();
        return false;
    }
}

int32_t MailingListDirectory::FindArchiveFlag(const char* name)
{
    if (m_nCount == 0) Load();
    if (name == nullptr) return -1;
    for (const MailingListRecord& record : m_records)
        if (strcasecmp(record.name.c_str(), name) == 0) return record.archive;
    return -1;
}

const char* MailingListDirectory::First()
{
    if (m_nCount == 0) return nullptr;
    m_nCursor = 0;
    return m_records[0].name.c_str();
}

const char* MailingListDirectory::Next()
{
    if (m_nCount == 0 || m_nCursor >= m_nCount) return nullptr;
    ++m_nCursor;
    return m_nCursor < m_nCount ? m_records[static_cast<std::size_t>(m_nCursor)].name.c_str() : nullptr;
}

void MailingListDirectory::Free()
{
    m_records.clear();
    m_records.shrink_to_fit();
    m_nCount = 0;
}

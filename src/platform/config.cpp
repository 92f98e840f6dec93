#include "platform/config.h"

#include <strings.h>
#include <cstdlib>
#include <fstream>

namespace dlarchive::platform {

namespace {

std::string_view Trim(std::string_view s)
{
    const char* blanks = " \t\r\n\f\v";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

std::string_view Unquote(std::string_view s)
{
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
        return s.substr(1, s.size() - 2);
    return s;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string ConfigDirectory()
{
    const char* dir = std::getenv("KELMO_CONFIG_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return "/etc/kelmo";
}

std::string ConfigFilePath(std::string_view fileName)
{
    std::string dir = ConfigDirectory();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir + std::string(fileName);
}

IniFile::IniFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        const std::string_view text = Trim(line);
        if (text.empty() || text.front() == ';' || text.front() == '#') continue;
        if (text.front() == '[') {
            const auto close = text.find(']');
            section =
                std::string(Trim(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1)));
            continue;
        }
        const auto eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = Trim(text.substr(0, eq));
        if (key.empty()) continue;
        m_entries.push_back({section, std::string(key), std::string(Unquote(Trim(text.substr(eq + 1))))});
    }
}

const IniFile::Entry* IniFile::Find(std::string_view section, std::string_view key) const
{
    for (const Entry& e : m_entries)
        if (EqualsIgnoreCase(e.section, section) && EqualsIgnoreCase(e.key, key)) return &e;
    return nullptr;
}

std::string IniFile::Get(std::string_view section, std::string_view key, std::string_view defaultValue,
                         std::size_t maxLength) const
{
    const Entry* e = Find(section, key);
    std::string_view value = e != nullptr ? std::string_view(e->value) : defaultValue;
    return std::string(value.substr(0, maxLength));
}

bool IniFile::Has(std::string_view section, std::string_view key) const
{
    return Find(section, key) != nullptr;
}

std::vector<std::string> IniFile::Keys(std::string_view section) const
{
    std::vector<std::string> keys;
    for (const Entry& e : m_entries) {
        if (!EqualsIgnoreCase(e.section, section)) continue;
        bool seen = false;
        for (const std::string& k : keys) seen = seen || EqualsIgnoreCase(k, e.key);
        if (!seen) keys.push_back(e.key);
    }
    return keys;
}

std::string GetProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                             std::size_t maxLength, std::string_view fileName)
{
    return IniFile::Load(fileName).Get(section, key, defaultValue, maxLength);
}

std::vector<std::string> GetProfileSectionKeys(std::string_view section, std::string_view fileName)
{
    return IniFile::Load(fileName).Keys(section);
}

}  // namespace dlarchive::platform

CIniSetting::CIniSetting(const char* fileName)
    : m_file(dlarchive::platform::ConfigFilePath(fileName != nullptr ? fileName : dlarchive::platform::kConfigFileName))
{
}

const char* CIniSetting::GetValue(const char* section, const char* key, const char* defaultValue)
{
    m_values.push_back(m_file.Get(section != nullptr ? section : "", key != nullptr ? key : "",
                                  defaultValue != nullptr ? defaultValue : "", kMaxValue));
    return m_values.back().c_str();
}

CQRNIniSetting::CQRNIniSetting()
{
    const auto ini = dlarchive::platform::IniFile::Load();
    m_postmaster = ini.Get("Options", "Postmaster", "postmaster@localhost", 259);
    const char* tmp = std::getenv("TMPDIR");
    m_tempDir = ini.Get("Options", "TempDirectory", tmp != nullptr && *tmp ? tmp : "/tmp", 259);
    m_smtpServer = ini.Get("Options", "SmtpServer", "smtp://127.0.0.1:25", 259);
}

#pragma once
// Reading "kelmo.ini", the server's configuration file.
//
// The file lives in the configuration directory: $KELMO_CONFIG_DIR when set, else
// /etc/kelmo. Lookups behave like the private-profile lookup the system was built around:
// section and key names compare without regard to case, the first occurrence of a key
// wins, a value is the text after the first "=" with surrounding blanks and one pair of
// matching quotes removed, lines starting with ";" or "#" are comments, and a missing
// file is simply an empty configuration.
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace dlarchive::platform {

inline constexpr const char* kConfigFileName = "kelmo.ini";

std::string ConfigDirectory();
// Path of a configuration file named without a directory (normally "kelmo.ini").
std::string ConfigFilePath(std::string_view fileName = kConfigFileName);

class IniFile {
public:
    // Reads and parses the file once; a missing or unreadable file gives no entries.
    explicit IniFile(const std::string& path);
    static IniFile Load(std::string_view fileName = kConfigFileName) { return IniFile(ConfigFilePath(fileName)); }

    // The value, or the default when the section or key is absent; cut to maxLength bytes.
    std::string Get(std::string_view section, std::string_view key, std::string_view defaultValue,
                    std::size_t maxLength) const;
    bool Has(std::string_view section, std::string_view key) const;
    // Key names of a section in file order, each once (first occurrence).
    std::vector<std::string> Keys(std::string_view section) const;

private:
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    const Entry* Find(std::string_view section, std::string_view key) const;
    std::vector<Entry> m_entries;
};

// One value of kelmo.ini (the private-profile lookup of a bare file name).
std::string GetProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                             std::size_t maxLength, std::string_view fileName = kConfigFileName);
// All key names of a section, in file order.
std::vector<std::string> GetProfileSectionKeys(std::string_view section, std::string_view fileName = kConfigFileName);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace dlarchive::platform

// The support library's reader: values stay valid while the object lives.
class CIniSetting {
public:
    static constexpr std::size_t kMaxValue = 1023;
    explicit CIniSetting(const char* fileName);
    const char* GetValue(const char* section, const char* key, const char* defaultValue);

private:
    dlarchive::platform::IniFile m_file;
    std::deque<std::string> m_values;  // a deque never moves its elements: results stay valid
};

// Server-wide settings of the "Options" section.
class CQRNIniSetting {
public:
    CQRNIniSetting();
    const char* GetPostmaster() const { return m_postmaster.c_str(); }
    const char* GetTempDir() const { return m_tempDir.c_str(); }
    const char* GetSmtpServer() const { return m_smtpServer.c_str(); }

private:
    std::string m_postmaster;
    std::string m_tempDir;
    std::string m_smtpServer;
};

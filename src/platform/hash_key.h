#pragma once
// Password keys: yescrypt through libxcrypt. The key text is the whole crypt string
// ("$y$..."), so it carries its own setting and verifies without the password ever being
// stored.
#include <string>

class CHashKey {
public:
    CHashKey() = default;
    // Hashes the text with a fresh random setting; false when hashing failed.
    bool Hash(const char* text);
    // The key of the last successful Hash, or the empty text.
    const char* GetKey() const { return m_key.c_str(); }
    // True when the password hashes to the key. Keys that are not yescrypt strings are
    // refused, since libxcrypt would silently fall back to DES for a malformed setting.
    static bool Verify(const char* password, const char* key);

private:
    std::string m_key;
};

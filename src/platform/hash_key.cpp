#include "platform/hash_key.h"

#include <crypt.h>
#include <cstring>
#include <memory>

namespace {

std::string CryptWith(const char* password, const char* setting)
{
    // struct crypt_data is large (32 KiB): keep it off the stack, and zeroed as required.
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* out = crypt_r(password, setting, data.get());
    if (out == nullptr || out[0] == '*') return {};
    return out;
}

}  // namespace

bool CHashKey::Hash(const char* text)
{
    m_key.clear();
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return false;
    m_key = CryptWith(text != nullptr ? text : "", setting);
    return !m_key.empty();
}

bool CHashKey::Verify(const char* password, const char* key)
{
    if (password == nullptr || key == nullptr || std::strncmp(key, "$y$", 3) != 0) return false;
    if (crypt_checksalt(key) != CRYPT_SALT_OK) return false;
    const std::string again = CryptWith(password, key);
    if (again.size() != std::strlen(key)) return false;
    unsigned char diff = 0;  // constant time: no early exit on the first differing byte
    for (std::size_t i = 0; i < again.size(); ++i) diff |= static_cast<unsigned char>(again[i] ^ key[i]);
    return diff == 0;
}

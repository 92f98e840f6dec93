// Encoded-word decoding of arbitrary header text. Besides what the sanitizers watch (no read
// past the text's terminator), the two calls must agree on whether a word decoded, the charset
// must be a token that the text holds right after an "=?", and decoding never lengthens a text.
#include <cstring>
#include <string>

#include "fuzz.h"
#include "platform/encoded_words.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);  // cut at a NUL by the calls
    const auto exact = ExactText(text);
    char* decoded = rfc1522decoding_wmc(exact.get());
    char* charset = Get1522Charset(exact.get());
    FUZZ_CHECK((decoded == nullptr) == (charset == nullptr));
    if (std::strstr(text.c_str(), "=?") == nullptr) FUZZ_CHECK(decoded == nullptr);
    if (charset != nullptr) {
        const std::size_t length = std::strlen(text.c_str());
        FUZZ_CHECK(*charset != '\0' && std::strpbrk(charset, " ()<>@,;:\"/[]?.=*") == nullptr);
        FUZZ_CHECK(text.substr(0, length).find("=?" + std::string(charset)) != std::string::npos);
        FUZZ_CHECK(std::strlen(decoded) <= length);
    }
    FreeString(decoded);
    FreeString(charset);
    return 0;
}

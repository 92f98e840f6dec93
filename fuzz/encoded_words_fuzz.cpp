// Encoded-word decoding of arbitrary header text. Besides what the sanitizers watch (no read
// past the text's terminator), the two calls must agree on whether a word decoded, the charset
// must be a token that the text holds right after an "=?", and decoding never lengthens a text.
#include <string>

#include "fuzz.h"
#include "platform/encoded_words.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string full(reinterpret_cast<const char*>(data), size), text = full.c_str();  // the calls stop at a NUL
    const auto exact = ExactText(full);
    char* decoded = rfc1522decoding_wmc(exact.get());
    char* charset = Get1522Charset(exact.get());
    FUZZ_CHECK((decoded == nullptr) == (charset == nullptr));
    FUZZ_CHECK(decoded == nullptr || text.find("=?") != std::string::npos);
    if (charset != nullptr) {
        FUZZ_CHECK(*charset != '\0' && std::strpbrk(charset, " ()<>@,;:\"/[]?.=*") == nullptr);
        FUZZ_CHECK(text.find("=?" + std::string(charset)) != std::string::npos && std::strlen(decoded) <= text.size());
    }
    FreeString(decoded);
    FreeString(charset);
    return 0;
}

// Conversion to UTF-8 from a charset the input picks (one met in mail, or a name of its own),
// and the whole header-text path. A conversion that succeeds gives well-formed UTF-8 that
// fits its buffer; the header path gives UTF-8 or the raw text unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz.h"
#include "record_store/convert_utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const kCharsets[] = {"utf-8",   "iso-8859-1",  "iso-8859-15", "windows-1252", "koi8-r",
                                            "gb18030", "big5",        "shift_jis",   "euc-kr",       "utf-16",
                                            "utf-7",   "iso-2022-jp", "ucs-4",       "us-ascii",     "utf-32le"};
    FuzzedDataProvider input(data, size);
    const std::string charset = input.ConsumeBool() ? input.ConsumeRandomLengthString(32)
                                                    : kCharsets[input.ConsumeIntegralInRange<size_t>(0, 14)];
    const std::string text = input.ConsumeRemainingBytesAsString();
    ConvertToUtf8 converter;
    if (converter.Open(charset.c_str(), "utf-8"))
        for (int round = 0; round < 2; ++round) {  // the second call reuses the descriptor and buffer
            const char* converted = converter.Convert(ExactText(text).get());
            FUZZ_CHECK(converted == nullptr ||
                       (std::strlen(converted) < converter.Capacity() && IsValidUtf8(converted)));
        }
    for (const std::string& raw : {text, "=?" + charset + "?Q?" + text + "?= " + text}) {
        const std::string stored = dlarchive::DecodeHeaderToUtf8(ExactText(raw).get());
        FUZZ_CHECK(stored == raw.c_str() || IsValidUtf8(stored));
    }
    return 0;
}

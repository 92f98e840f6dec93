// A language file (and, when the input says so, a damaged index beside it), opened and read
// string by string. With an index built here, every string must be what a simple model of the
// numbered lines gives; with any index, no read may leave the file or its buffers.
#include <fuzzer/FuzzedDataProvider.h>

#include <sys/stat.h>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz.h"
#include "support/test_env.h"
#include "text/language_table.h"

// Model: the strings of numbered lines (not led by white space) 1, 2, ...; false on a wrong number.
static bool ModelStrings(const std::string& file, std::vector<std::string>& strings)
{
    for (std::size_t start = 0; start < file.size();) {
        std::size_t end = std::min(file.find('\n', start), file.size());
        const std::string line = file.substr(start, end - start);
        start = end + 1;
        if (line.empty() || std::string_view(" \t\r\v\f").find(line[0]) != std::string_view::npos) continue;
        if (std::strtol(line.c_str(), nullptr, 10) != static_cast<long>(strings.size() + 1)) return false;
        const std::size_t space = line.find(' ', 1);
        std::string text = space == std::string::npos ? "" : line.substr(space + 1);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        strings.push_back(text.c_str());  // a NUL ends the string as read
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static testenv::TempDir home;
    static testenv::Config config("[Config]\nWebAdminDirectory=" + home.path() +
                                  "\n[Language Selection]\nxx=X,utf-8,xx.txt\n");
    static const std::string dir = home / "vubo/languages/dlarchives", file = dir + "/xx.txt";
    static const bool made = (testenv::MakeDirs(dir), true);
    FuzzedDataProvider input(data, size);
    const bool ownIndex = input.ConsumeBool();
    const std::string index = ownIndex ? input.ConsumeRandomLengthString(64) : "";
    const std::string text = input.ConsumeRemainingBytesAsString();
    testenv::WriteFile(file, text);
    ::unlink((file + ".idx").c_str());
    if (ownIndex) testenv::WriteFile(file + ".idx", index);  // not older than the file: kept

    std::vector<std::string> model;
    const bool numbered = ModelStrings(text, model);
    LanguageTable table;
    const bool opened = table.Open("xx", LanguageModuleDlArchives);
    // Lines longer than a read piece are read in pieces; the model leaves them out.
    const bool modelled = made && !ownIndex && text.size() < 1000;
    if (modelled) FUZZ_CHECK(opened == numbered);
    if (!opened) return 0;
    if (modelled) FUZZ_CHECK(table.GetCount() == static_cast<int32_t>(model.size()));
    for (int32_t n = -1; n <= table.GetCount() + 1; ++n) {
        const char* string = table.GetString(n);
        FUZZ_CHECK(std::strlen(string) <= text.size());
        if (modelled && n >= 1 && n <= table.GetCount()) FUZZ_CHECK(model[n - 1] == string);
    }
    return 0;
}

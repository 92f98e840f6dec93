// A language file (and, when the input says so, a damaged index beside it), opened and read
// string by string. With an index built here, every string must be what a simple model of the
// numbered lines gives; with any index, no read may leave the file or its buffers.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz.h"
#include "support/test_env.h"
#include "text/language_table.h"

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
    // The model: the strings of numbered lines (not led by white space) 1, 2, ...; a line of
    // another number makes the file unusable. A NUL ends a string as read.
    std::vector<std::string> model;
    bool numbered = true;
    for (const std::string& line : testenv::Lines(text)) {
        if (line.empty() || std::string_view(" \t\r\v\f").find(line[0]) != std::string_view::npos) continue;
        numbered = numbered && std::strtol(line.c_str(), nullptr, 10) == static_cast<long>(model.size() + 1);
        const std::size_t space = line.find(' ', 1);
        std::string string = space == std::string::npos ? "" : line.substr(space + 1);
        if (!string.empty() && string.back() == '\r') string.pop_back();
        model.push_back(string.c_str());
    }
    LanguageTable table;
    const bool opened = table.Open("xx", LanguageModuleDlArchives);
    const bool modelled = made && !ownIndex && text.size() < 1000;  // longer lines are read in pieces
    FUZZ_CHECK(!modelled ||
               (opened == numbered && (!opened || table.GetCount() == static_cast<int32_t>(model.size()))));
    for (int32_t n = -1; opened && n <= table.GetCount() + 1; ++n) {
        const char* string = table.GetString(n);
        FUZZ_CHECK(std::strlen(string) <= text.size());
        FUZZ_CHECK(!modelled || n < 1 || n > table.GetCount() || model[n - 1] == string);
    }
    return 0;
}

// Runs a fuzz entry point without libFuzzer over the files (and the files in the folders) its
// arguments name: in the test build the corpora, and the messages the tests ship, become
// regression tests. A failed check aborts with the input's name printed last.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i)
        if (std::filesystem::is_directory(argv[i]))
            for (const auto& entry : std::filesystem::directory_iterator(argv[i])) inputs.push_back(entry.path());
        else
            inputs.emplace_back(argv[i]);
    std::sort(inputs.begin(), inputs.end());
    for (const std::string& path : inputs) {
        std::fprintf(stderr, "%s\n", path.c_str());
        const std::string bytes = testenv::ReadFile(path);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}

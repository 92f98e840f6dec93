// The mbox reader. Raw input: the splitter's count, its offsets and the file reader agree.
// Messages the input makes: written as an mboxrd writer would (separator, quoted lines, one
// line end), they must be split back byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz.h"
#include "support/mbox.h"
#include "support/test_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static testenv::TempDir dir;
    const std::string raw(reinterpret_cast<const char*>(data), size);
    cli::MboxSplitter splitter(raw);
    std::size_t count = 0, last = 0;
    for (std::string message; splitter.Next(message); ++count) {
        FUZZ_CHECK((count == 0 || splitter.SeparatorOffset() > last) && splitter.Position() <= raw.size());
        FUZZ_CHECK(raw.compare(splitter.SeparatorOffset(), 5, "From ") == 0 && message.size() < raw.size());
        last = splitter.SeparatorOffset();
    }
    FUZZ_CHECK(count == splitter.Count() && (count > 0) <= (raw.find("From ") != std::string::npos));
    testenv::WriteFile(dir / "in", raw);
    cli::MessageFileReader reader(dir / "in");
    std::size_t read = 0;
    for (std::string message; reader.Next(message); ++read) FUZZ_CHECK(reader.IsMbox() || message == raw);
    FUZZ_CHECK(read == (reader.IsMbox() ? count : !raw.empty()) && reader.Count() == read);

    FuzzedDataProvider input(data, size);
    std::vector<std::string> messages;
    std::string mbox;
    while (input.remaining_bytes() > 0) {
        messages.push_back(input.ConsumeRandomLengthString(256));
        while (!messages.back().empty() && messages.back().back() == '\r') messages.back().pop_back();  // ambiguous
        mbox += "From a@b Mon Oct  1 09:00:00 2001\n";
        const std::string& m = messages.back();
        for (std::size_t line = 0, end; line < m.size(); line = end) {
            end = std::min(m.find('\n', line), m.size() - 1) + 1;
            if (m.compare(std::min(m.find_first_not_of('>', line), m.size()), 5, "From ") == 0) mbox += '>';
            mbox.append(m, line, end - line);
        }
        mbox += '\n';
    }
    cli::MboxSplitter back(mbox);
    std::string message;
    for (const std::string& expected : messages) FUZZ_CHECK(back.Next(message) && message == expected);
    FUZZ_CHECK(!back.Next(message));
    return 0;
}

#pragma once
// Shared by the robustness tests: a seeded random source, mutations of message bytes, and an
// archive whose intake of hostile messages is checked step by step.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dlarchive/archive.h"
#include "support/archive_home.h"

namespace hostile {

// SplitMix64: the same numbers everywhere, unlike <random>'s distributions.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }  // bound > 0
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    uint8_t Byte() { return static_cast<uint8_t>(Next()); }
    std::string Bytes(std::size_t count);

private:
    uint64_t m_state;
};

// One random damage to a message: flipped bytes, inserted hostile tokens ("\0", "=?", a
// boundary line, ...), a cut, a removed or repeated range. Never the empty text.
std::string Mutate(const std::string& message, Rng& rng);

// The shipped test messages and the sample list, in file name order.
std::vector<std::string> TestMessages();
std::vector<std::string> SampleListMessages();

// The bytes (and a zero for a C string) in a heap block of exactly that size: the sanitizer
// sees any read past them.
inline std::unique_ptr<char[]> ExactText(const std::string& text, bool terminated = true)
{
    std::unique_ptr<char[]> block(new char[std::max<std::size_t>(1, text.size() + terminated)]());
    std::memcpy(block.get(), text.data(), text.size());
    return block;
}

struct Outcome {
    enum Kind { Stored, Refused, Thrown, Escaped } kind = Escaped;
    int32_t code = 0;
};

// A list "sales" in a home of its own (`autoRebuild` is the "AuthoRebuild" value).
class HostileArchive {
public:
    explicit HostileArchive(const std::string& autoRebuild = "Y");
    const std::string& archive() const { return m_archive; }

    // Writes message file `number` and runs the intake: the file stays, the outcome is a
    // documented one, and a stored message reads back (failures name `what`).
    Outcome Feed(uint32_t number, const std::string& bytes, const std::string& what);
    // Regenerates the index pages: each whole, every stored message linked.
    void ExpectWholePages();
    std::set<uint32_t> StoredMessages();  // numbers with an envelope record
    int BodyRecords(uint32_t number);

private:
    // Compares the stored message with c-client's parse of its file and checks its display
    // texts; 0, or the code of a retrieval that threw.
    int32_t TryReadBack(uint32_t number, const std::string& bytes, const std::string& what);
    template <typename Relation>
    std::multiset<uint32_t> Ids();
    testenv::ArchiveHome m_home;
    std::string m_archive;
    CDlArchive m_manager{"DL Manager"};
};

// The "Content-type: text/html" frame and the closing "</html>\r\n" of a whole page.
bool IsWholePage(const std::string& page);

}  // namespace hostile

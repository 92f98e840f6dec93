#pragma once
// Shared by the robustness tests: a deterministic random source, mutations of message bytes,
// and an archive whose intake of hostile messages is checked step by step (the message
// file unchanged, the outcome one of the documented ones, whatever was stored reading back
// as c-client parses the same bytes, the display texts bounded, the index pages whole).
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "dlarchive/archive.h"
#include "support/archive_home.h"

namespace hostile {

// SplitMix64: the same numbers on every platform and library, unlike the distributions of
// <random>.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    // 0 .. bound-1 (bound > 0).
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    uint8_t Byte() { return static_cast<uint8_t>(Next()); }
    std::string Bytes(std::size_t count);

private:
    uint64_t m_state;
};

// One random damage to a message: flipped bytes, an inserted hostile token ("\0", "\r",
// "=?", "?=", a boundary line, ...), a cut, a removed or repeated range. Never returns the
// empty text.
std::string Mutate(const std::string& message, Rng& rng);

// The files of the shipped test messages and of the sample list, in name order.
std::vector<std::string> TestMessages();
std::vector<std::string> SampleListMessages();

struct Outcome {
    enum Kind { Stored, Refused, Thrown, Escaped } kind = Escaped;
    int32_t code = 0;
};

// A list "sales" in a DL manager home of its own, fed message by message through the intake.
class HostileArchive {
public:
    // `autoRebuild` is the "AuthoRebuild" value of the configuration.
    explicit HostileArchive(const std::string& autoRebuild = "Y");

    const std::string& archive() const { return m_archive; }
    testenv::ArchiveHome& home() { return m_home; }
    CDlArchive& manager() { return m_manager; }

    // Writes the bytes as message file `number`, runs the intake and checks everything the
    // outcome promises; GoogleTest failures name `what`.
    Outcome Feed(uint32_t number, const std::string& bytes, const std::string& what);
    // The stored envelope and body of a message agree with c-client's parse of its file; the
    // display texts stay within their buffers.
    void ExpectReadsBack(uint32_t number, const std::string& bytes, const std::string& what);
    // The same, but a retrieval that throws is not a failure: 0 when both were read (and
    // compared), else the code of the exception.
    int32_t TryReadBack(uint32_t number, const std::string& bytes, const std::string& what);
    // Regenerates the index pages and checks each: whole frame, no zero byte, as many list
    // items opened as closed, every stored message linked.
    void ExpectWholePages();
    // Message numbers with an envelope record (seq 0), read with a walk.
    std::set<uint32_t> StoredMessages();
    // Body records stored under a message number.
    int BodyRecords(uint32_t number);

private:
    testenv::ArchiveHome m_home;
    std::string m_archive;
    CDlArchive m_manager{"DL Manager"};
};

// "Content-type: text/html" frame and the closing "</html>\r\n" of a whole page.
bool IsWholePage(const std::string& page);
std::size_t CountOf(const std::string& text, const std::string& needle);

}  // namespace hostile

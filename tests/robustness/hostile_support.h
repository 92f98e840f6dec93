#pragma once
// Shared by the robustness tests and the intake fuzz target: an archive whose intake of
// hostile messages is checked step by step.
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

}  // namespace hostile

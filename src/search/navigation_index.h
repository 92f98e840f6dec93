#pragma once
// The navigation's index: per process, the groups of every envelope record of an archive
// (author, date, subject, the root a reply answers), each record kept as a 16-byte entry
// under the hash of its group, so a neighbour is found without walking to the end of
// archiveenv. An index answers only while the relation's version (diaRel::version) is the
// one it was built at, and every answer is read again from the relation and checked by the
// rules before it is given.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace dlarchive::search {

// How many records a navigation walks before it builds the index and answers from it
// instead (0: at once); the largest value turns the index off, so every call walks. Walks
// that find their answer soon never pay for an index: a CGI process that shows one message
// builds one only where the walk would read most of the archive anyway.
extern std::atomic<uint32_t> g_walkBeforeIndex;
// Indexes kept per process at most (one per archive and language), the least recently used
// dropped first.
constexpr std::size_t kMaxNavigationIndexes = 4;

// The entries of the indexes this process keeps, for measuring their memory.
std::size_t NavigationIndexEntries();

}  // namespace dlarchive::search

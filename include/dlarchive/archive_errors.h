#pragma once
// The archive manager's error codes and texts, named once. Call sites use the names; the
// numbers and texts are what callers and the log see, so they never change.
#include <cstdint>

namespace dlarchive {

struct ArchiveError {
    int32_t code;
    const char* text;
};

namespace errors {
// Opening the relations.
inline constexpr ArchiveError kEnvOpen{1, "Could not open archive envelope database"};
inline constexpr ArchiveError kBodyOpen{7, "Could not open archive body database"};
// The search opens both relations and says so in its own words.
inline constexpr ArchiveError kSearchEnvOpen{1, "Cannot open archive envelope database"};
inline constexpr ArchiveError kSearchBodyOpen{7, "Cannot open archive body database"};
// Record results of the envelope relation (the result mapping).
inline constexpr ArchiveError kEnvNotFound{3, "Archive envelope ID not found in archive envelope database"};
inline constexpr ArchiveError kEnvLocked{4, "Archive envelope database is currently in use"};
inline constexpr ArchiveError kEnvEnd{5, "Archive envelope ID not found in archive envelope database"};
inline constexpr ArchiveError kEnvRange{6, "Archive envelope database not in range"};
inline constexpr ArchiveError kEnvOther{20, "Error in archive envelope database"};
// Record results of the body relation.
inline constexpr ArchiveError kBodyNotFound{9, "Archive body ID not found in message body database"};
inline constexpr ArchiveError kBodyLocked{10, "Archive body database is currently in use"};
inline constexpr ArchiveError kBodyEnd{11, "Archive body ID not found in message body database"};
inline constexpr ArchiveError kBodyRange{12, "Archive body database not in range"};
inline constexpr ArchiveError kBodyOther{20, "Error in archive  database"};
// Codes left without an exception: success and a record already stored.
inline constexpr int32_t kStoredCode = 1;
inline constexpr int32_t kEnvDuplicateCode = 2;
inline constexpr int32_t kBodyDuplicateCode = 8;
// The intake of a message file; 16 carries the file reader's own text.
inline constexpr ArchiveError kNoHeader{13, "Message header is invalid"};
inline constexpr ArchiveError kHeaderInvalid{14, "Archive message header is invalid"};
inline constexpr ArchiveError kBodyInvalid{15, "Archive message body is invalid"};
inline constexpr int32_t kFileUnreadableCode = 16;
inline constexpr ArchiveError kFileEmpty{17, "Archive file not found or empty"};
// The relations were rebuilt instead of serving the request.
inline constexpr ArchiveError kRebuilt{18, "Archive Database was rebuild"};
inline constexpr ArchiveError kEnvRebuiltOnOpen{18, "Archive envelope database was rebuild"};
inline constexpr ArchiveError kBodyRebuiltOnOpen{18, "Archive body database was rebuild"};
inline constexpr ArchiveError kEnvRebuilt{18, "Archive envelope database was rebuilt."};
inline constexpr ArchiveError kBodyRebuilt{18, "Archive body database rebuilt"};
// Memory; also the remote access file that cannot be written.
inline constexpr ArchiveError kNoMemory{19, "No memory"};
inline constexpr ArchiveError kOutOfMemory{19, "Out of memory"};
inline constexpr ArchiveError kOutOfMemoryPage{19, "Out of memory."};
inline constexpr ArchiveError kCannotAllocate{19, "Unable to allocate memory."};
// Names and paths that do not fit or are not one file name.
inline constexpr ArchiveError kPathTooLong{20, "Archive path too long"};
inline constexpr ArchiveError kNoListName{20, "No list name"};
inline constexpr ArchiveError kInvalidListName{20, "Invalid list name"};
inline constexpr ArchiveError kListNameTooLong{20, "List name too long"};
// A reload or rebuild that did not finish left relations that look complete but are not.
inline constexpr ArchiveError kIncomplete{20, "Archive relations are incomplete: a run did not finish"};
// The remote access file.
inline constexpr ArchiveError kMemberNotFound{22, "Member's email not found."};
inline constexpr ArchiveError kPasswordNotFound{23, "Password not found."};
// Language tables of the pages and the search.
inline constexpr ArchiveError kLanguageNoMemory{25, "Out of memory"};
inline constexpr ArchiveError kLanguageTable{26, "Unable to initialize language table"};
}  // namespace errors

}  // namespace dlarchive

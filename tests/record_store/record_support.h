#pragma once
// Shared by the record store tests: real relations in a temporary directory, parsed message
// files, and a member-by-member comparison of the records c-client parsed from a message with the records
// the record functions read back, applying what the archive deliberately does not keep:
// remail and return_path are dropped, address errors and body locations are not stored,
// the MIME header and contents texts read back empty, absent body texts (subtype, id,
// description, disposition type, md5) read back as "", empty envelope texts and empty list
// members read back as null, the subject and the From names come back in UTF-8.
//
// Include platform/cclient_records.h before this header.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dlarchive/records.h"
#include "support/test_env.h"

namespace recordtest {

// Failures are reported through GoogleTest with `where` as the path to the member.
void ExpectSameEnvelope(const mail_envelope* parsed, const mail_envelope* stored, const std::string& where);
void ExpectSameBody(const mail_bodystruct* parsed, const mail_bodystruct* stored, const std::string& where);

// Number of records that storing the body takes: bodies and nested envelopes.
struct RecordCount {
    int bodies = 0;
    int envelopes = 0;
};
RecordCount CountRecords(const mail_bodystruct* body);

// A whole message file with its header size (offset after the empty line ending the header).
struct MessageFile {
    std::string name;
    std::string bytes;
    uint32_t headerSize = 0;
};
std::vector<MessageFile> LoadMessageFiles(const std::string& directory);
uint32_t HeaderSizeOf(const std::string& message);

// The directory of the shipped test messages.
std::string MessageDirectory();

// A message parsed by c-client; the buffer stays alive with the records.
struct ParsedMessage {
    std::string buffer;
    uint32_t headerSize = 0;
    mail_envelope* envelope = nullptr;
    mail_bodystruct* body = nullptr;

    explicit ParsedMessage(std::string bytes);
    ~ParsedMessage();
    ParsedMessage(const ParsedMessage&) = delete;
    ParsedMessage& operator=(const ParsedMessage&) = delete;
};

// Empty archiveenv and archivebody relations made in a fresh directory, opened.
struct Relations {
    testenv::TempDir dir;
    diamondBase base;
    std::unique_ptr<archiveenv> envelopes;
    std::unique_ptr<archivebody> bodies;

    Relations();
    // Closes and opens both again (a fresh unit of work).
    void Reopen();
};

// Every key of a relation, in key order, read with a walk.
std::vector<idxkey> Keys(diaRel& relation);
std::string Show(const std::vector<idxkey>& keys);

// The bytes of a field as a list of numbers, for readable failure messages.
std::vector<int> Bytes(const dbData& field);

}  // namespace recordtest

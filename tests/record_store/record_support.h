#pragma once
// The member-by-member comparison of the records c-client parsed from a message with the
// records the record functions read back, applying what the archive deliberately does not
// keep: remail and return_path are dropped, address errors and body locations are not stored,
// the MIME header and contents texts read back empty, absent body texts (subtype, id,
// description, disposition type, md5) read back as "", empty envelope texts and empty list
// members read back as null, the subject and the From names come back in UTF-8.
//
// Include platform/cclient_records.h before this header.
#include <string>

namespace recordtest {

// Failures are reported through GoogleTest with `where` as the path to the member.
void ExpectSameEnvelope(const mail_envelope* parsed, const mail_envelope* stored, const std::string& where);
void ExpectSameBody(const mail_bodystruct* parsed, const mail_bodystruct* stored, const std::string& where);

}  // namespace recordtest

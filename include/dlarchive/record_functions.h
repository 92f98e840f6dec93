#pragma once
// Storing parsed messages as archive records: one archiveenv record per envelope and one
// archivebody record per body part, keyed (message number, seq).
//
// All results are dbError values returned as int. The relation objects must be open; on one
// that is not, the store's own result (11) comes back. Records handed out are built with
// c-client's allocators and belong to the caller, who releases them with mail_free_envelope
// and mail_free_body.
//
// Envelopes. Every member is stored except remail and return_path (they read back null).
// The subject and the personal names of the From list are stored in UTF-8 when they hold
// encoded words whose charset can be converted, otherwise as written. Texts and list
// members that are empty read back as null. The record's flag byte keeps the envelope's
// first flag bit (`incomplete`).
//
// Bodies. A body is stored as a tree of records numbered depth first: the caller sets both
// keys to (id, 0); every nested body (a part of a multipart, the body of an encapsulated
// message) takes the next number on the body key, and every envelope of an encapsulated
// message the next number on the envelope key; a record is written after its nested
// records. Both keys end holding the last number used. The texts of the MIME header and the
// contents are not stored (offsets and sizes are); subtype, id, description, disposition
// type and md5 read back as "" when absent, and the body's location is not kept.
//
// Bounds, decided here:
//  - A multipart with more than 1023 parts is refused with 4 ("Not in range") before any of
//    its parts is stored.
//  - A record number that would run past 65535, on either key, is refused with 4.
//  - Bodies nested more than kMaxBodyDepth levels deep (c-client itself stops at 50) are
//    refused with 4 when stored; such a chain found when reading or removing gives 22.
//  - When adding fails, every record the failing body stored below it is deleted again
//    (as far as the deletions succeed), so nothing is left half stored. This holds also
//    when an encoder raises a dbError, which is then passed on to the caller as thrown.
//  - Reading checks that every nested record number is above the number of the record that
//    refers to it (as storing hands them out), so a damaged tree cannot make a read loop;
//    a reference that breaks the rule gives 22 ("Corrupt"). So does a MESSAGE body of another
//    subtype than RFC822 that refers to nested records: mail_free_body would not release them.
//  - A null envelope is stored as an envelope without any member, a null body as an empty
//    text body; null relation or key pointers give 4.
#include <cstdint>

#include "dlarchive/cclient_fwd.h"
#include "dlarchive/export.h"
#include "dlarchive/records.h"

constexpr int kMaxBodyDepth = 200;

// Stores the envelope under the key. Result of put (9 when the key is already stored).
DLARCHIVE_API int AddArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope* envelope, uint32_t messageSize,
                                uint32_t headerSize);

// Reads the envelope record of the key into a new envelope, with the message size and
// header size stored with it. Results 0, 3 (not found) and 18 hand out an envelope built
// from what the record object holds (an empty one for 3); any other result of the store is
// returned with the outputs untouched.
DLARCHIVE_API int GetArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope** envelope, uint32_t& messageSize,
                                uint32_t& headerSize);

// Deletes the envelope record of the key (flushes first, unlocks after). 0, 3 when there is
// none, or the store's failure.
DLARCHIVE_API int RemoveArchiveEnv(archiveenv* envelopes, idxkey* key);

// Stores the body tree under bodyKey (and the envelopes of encapsulated messages under
// envelopeKey's following numbers). 0 or the first failing result; the sizes are stored
// with the nested envelopes.
DLARCHIVE_API int AddArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* bodyKey, idxkey* envelopeKey,
                                 mail_bodystruct* body, uint32_t messageSize, uint32_t headerSize);

// Reads the body tree of the key into a new body. Result of the get of the record itself (0,
// 3 or 18, each handing out a body built from what the record object holds); any other
// result of that get is returned with the output untouched; a failure further down releases
// what was built, sets the output to null and is returned. The sizes are those of the
// nested envelopes read (left alone when there is none).
DLARCHIVE_API int GetArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key, mail_bodystruct** body,
                                 uint32_t& messageSize, uint32_t& headerSize);

// Deletes the body record of the key and every record below it, the envelopes of
// encapsulated messages included. 0 or the first failing result (3 when the key is not
// stored). Neither flushes nor unlocks the body relation.
DLARCHIVE_API int RemoveArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key);

// The same six functions for a mailing list: when the store fails (on put other than 0 and
// 18; on get other than 0, 3 and 18) and "DlManager"/"AutoRebuild" is "Y" (in either case;
// a missing value means off), the list's archive relations are rebuilt; a rebuild that
// fails, or that cannot start because one of the same list already runs in this process,
// turns the result into 22. AddArchiveEnv stores the From names as written here;
// GetArchiveEnv hands out a null envelope after a rebuild step; AddArchiveBody takes the
// step only when the put of the body's own record failed. Nested records go through the
// forms without a list name.
DLARCHIVE_API int AddArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope* envelope, uint32_t messageSize,
                                uint32_t headerSize, const char* listName);
DLARCHIVE_API int GetArchiveEnv(archiveenv* envelopes, idxkey* key, mail_envelope** envelope, uint32_t& messageSize,
                                uint32_t& headerSize, const char* listName);
DLARCHIVE_API int RemoveArchiveEnv(archiveenv* envelopes, idxkey* key, const char* listName);
DLARCHIVE_API int AddArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* bodyKey, idxkey* envelopeKey,
                                 mail_bodystruct* body, uint32_t messageSize, uint32_t headerSize,
                                 const char* listName);
DLARCHIVE_API int GetArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key, mail_bodystruct** body,
                                 uint32_t& messageSize, uint32_t& headerSize, const char* listName);
DLARCHIVE_API int RemoveArchiveBody(archivebody* bodies, archiveenv* envelopes, idxkey* key, const char* listName);

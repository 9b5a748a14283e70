// The keys file that the collector and the client read: one key a line,
//
//    NAME <base64 of 32 bytes>
//
// with the original base64 alphabet and its padding. A line whose first
// character other than blanks is '#' is a comment; blank lines are
// allowed. A name is 1 to SALVOR_KEY_NAME_MAX bytes without white space,
// control characters or '#'. A malformed line, a name twice, or a key twice refuses the whole
// file. The keys live in memory that libsodium guards and wipes when it
// is freed. Depends on nothing else of the project.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/salvorSeal.h"

constexpr size_t SALVOR_KEY_NAME_MAX = 64;
// The base64 text of a key: 44 characters, the last one '='.
constexpr size_t SALVOR_KEY_BASE64_SIZE = 44;

struct SalvorKey {
   char name[SALVOR_KEY_NAME_MAX + 1];
   uint8_t id[SALVOR_SEAL_ID_SIZE];
   uint8_t key[SALVOR_SEAL_KEY_SIZE];
};

/*
 * A loaded keys file, ordered by identity. `keys` is libsodium's guarded
 * memory, read-only once loaded; SalvorKeys_Free wipes and frees it.
 */
struct SalvorKeys {
   SalvorKey *keys = nullptr;
   size_t count = 0;
};

/*
 * Whether `name` can name a key; if not, *why says what is wrong with it
 * (empty, too long, white space, a control character, '#').
 */
bool SalvorKeys_NameIsValid(const char *name, std::string *why);

/*
 * Parses a keys file's text[0..len) into *out (which must be empty). On a
 * refusal returns false with *why naming the line and the reason, and
 * leaves *out empty.
 */
bool SalvorKeys_Parse(const char *text, size_t len, SalvorKeys *out, std::string *why);

void SalvorKeys_Free(SalvorKeys *keys);

// The key whose identity is id, or null; by binary search, allocation-free.
const SalvorKey *SalvorKeys_Find(const SalvorKeys &keys, const uint8_t *id);

// The lookup that SalvorSeal_Open asks; `which` is the key's index.
SalvorSealLookup SalvorKeys_Lookup(const SalvorKeys &keys);

// A key line "NAME <base64>" (without its newline) for the key's bytes.
std::string SalvorKeys_FormatLine(const char *name, const uint8_t key[SALVOR_SEAL_KEY_SIZE]);

// Reading the keys file from disk, for the collector and the client: the
// file must be readable by its owner alone (on Windows by SYSTEM, the
// Administrators and the user the program runs as), then its lines are parsed by salvorKeys.h. The
// one part of protocol/ that uses the support library (its file module).
#pragma once

#include <string>

#include "protocol/salvorKeys.h"

// The most bytes a keys file may hold.
constexpr size_t SALVOR_KEYS_FILE_MAX = 1 << 20;

/*
 * Loads the keys file at path into *out (empty before). On a refusal
 * returns false with *why saying why (the file's name, and the line for a
 * malformed one); *out stays empty. The file's bytes are wiped from memory
 * once parsed.
 */
bool SalvorKeys_Load(const char *path, SalvorKeys *out, std::string *why,
                     uint8_t *digest = nullptr);

// A hash of the file's bytes, to tell a changed file from the one loaded.
constexpr size_t SALVOR_KEYS_DIGEST_SIZE = 32;

/*
 * Reads the file, with the same checks as SalvorKeys_Load, and puts the
 * hash of its bytes in digest. False, with *why, when it cannot be read.
 * SalvorKeys_Load gives the same hash of the bytes it parsed.
 */
bool SalvorKeys_FileDigest(const char *path, uint8_t digest[SALVOR_KEYS_DIGEST_SIZE],
                           std::string *why);

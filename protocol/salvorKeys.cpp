// The keys file's parser; see salvorKeys.h.
#include "protocol/salvorKeys.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

bool
IsBlank(char c)
{
   return c == ' ' || c == '\t' || c == '\r';
}

bool
IsSpace(char c)
{
   return IsBlank(c) || c == '\n' || c == '\v' || c == '\f';
}

// Control characters, which a name would carry into log lines.
bool
IsControl(char c)
{
   return (unsigned char)c < 0x20 || c == 0x7f;
}

std::string_view
TrimBlanks(std::string_view s)
{
   while (!s.empty() && IsBlank(s.front())) {
      s.remove_prefix(1);
   }
   while (!s.empty() && IsBlank(s.back())) {
      s.remove_suffix(1);
   }
   return s;
}

// Whether a line holds a key (neither blank nor a comment).
bool
HoldsKey(std::string_view line)
{
   line = TrimBlanks(line);
   return !line.empty() && line.front() != '#';
}

// Calls fn(lineNumber, line) for each line of text, the newline left out.
template <typename F>
bool
EachLine(std::string_view text, F fn)
{
   size_t number = 0;
   while (!text.empty()) {
      size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (!fn(++number, line)) {
         return false;
      }
   }
   return true;
}

std::string
LineError(size_t number, const std::string &what)
{
   return "line " + std::to_string(number) + ": " + what;
}

// Decodes the 44 characters of a key; false for anything else.
bool
DecodeKey(std::string_view text, uint8_t key[SALVOR_SEAL_KEY_SIZE])
{
   size_t length = 0;
   const char *end = nullptr;
   return text.size() == SALVOR_KEY_BASE64_SIZE &&
          sodium_base642bin(key, SALVOR_SEAL_KEY_SIZE, text.data(), text.size(), nullptr, &length,
                            &end, sodium_base64_VARIANT_ORIGINAL) == 0 &&
          length == SALVOR_SEAL_KEY_SIZE && end == text.data() + text.size();
}

// Reads one key line into *key; false with *why when it is malformed.
bool
ParseLine(std::string_view line, SalvorKey *key, std::string *why)
{
   std::memset(key, 0, sizeof *key);
   line = TrimBlanks(line);
   size_t gap = line.find_first_of(" \t");
   if (gap == std::string_view::npos) {
      *why = "a name without a key";
      return false;
   }
   std::string name(line.substr(0, gap));
   std::string_view rest = TrimBlanks(line.substr(gap));
   if (!SalvorKeys_NameIsValid(name.c_str(), why)) {
      return false;
   }
   if (rest.find_first_of(" \t") != std::string_view::npos) {
      *why = "more than a name and a key";
      return false;
   }
   if (!DecodeKey(rest, key->key)) {
      *why = "the key of \"" + name + "\" is not the base64 of 32 bytes";
      return false;
   }
   std::memcpy(key->name, name.c_str(), name.size() + 1);
   SalvorSeal_KeyId(key->key, key->id);
   return true;
}

// Whether a key's name, key or identity is an earlier key's; *why names
// both lines. lines[i] is the line of keys[i], in file order.
bool
FindDuplicate(const SalvorKey *keys, const size_t *lines, size_t count, std::string *why)
{
   for (size_t i = 0; i < count; i++) {
      for (size_t j = 0; j < i; j++) {
         const char *what = nullptr;
         if (std::strcmp(keys[i].name, keys[j].name) == 0) {
            what = "the name \"%s\" is given on line %zu already";
         } else if (sodium_memcmp(keys[i].key, keys[j].key, SALVOR_SEAL_KEY_SIZE) == 0) {
            what = "the key of \"%s\" is given on line %zu already";
         } else if (std::memcmp(keys[i].id, keys[j].id, SALVOR_SEAL_ID_SIZE) == 0) {
            what = "the key of \"%s\" has the identity of the key on line %zu";
         }
         if (what != nullptr) {
            char text[160 + SALVOR_KEY_NAME_MAX];
            std::snprintf(text, sizeof text, what, keys[i].name, lines[j]);
            *why = LineError(lines[i], text);
            return true;
         }
      }
   }
   return false;
}

bool
ById(const SalvorKey &a, const SalvorKey &b)
{
   return std::memcmp(a.id, b.id, SALVOR_SEAL_ID_SIZE) < 0;
}

const uint8_t *
FindForSeal(const void *ctx, const uint8_t *id, int *which)
{
   const SalvorKeys &keys = *static_cast<const SalvorKeys *>(ctx);
   const SalvorKey *key = SalvorKeys_Find(keys, id);
   if (key == nullptr) {
      return nullptr;
   }
   *which = (int)(key - keys.keys);
   return key->key;
}

}  // namespace

bool
SalvorKeys_NameIsValid(const char *name, std::string *why)
{
   size_t length = std::strlen(name);
   if (length == 0) {
      *why = "an empty name";
   } else if (length > SALVOR_KEY_NAME_MAX) {
      *why = "a name longer than " + std::to_string(SALVOR_KEY_NAME_MAX) + " bytes";
   } else if (std::find_if(name, name + length, IsSpace) != name + length) {
      *why = "white space in the name \"" + std::string(name) + "\"";
   } else if (std::strchr(name, '#') != nullptr) {
      *why = "'#' in the name \"" + std::string(name) + "\"";
   } else if (std::find_if(name, name + length, IsControl) != name + length) {
      *why = "a control character in the name";
   } else {
      return true;
   }
   return false;
}

bool
SalvorKeys_Parse(const char *text, size_t len, SalvorKeys *out, std::string *why)
{
   if (std::memchr(text, '\0', len) != nullptr) {
      *why = "a NUL byte in the file";
      return false;
   }
   std::string_view all(text, len);
   size_t count = 0;
   EachLine(all, [&](size_t, std::string_view line) {
      count += HoldsKey(line) ? 1 : 0;
      return true;
   });
   if (!SalvorSeal_Init()) {
      *why = "libsodium cannot be started";
      return false;
   }
   SalvorKeys keys;
   if (count > 0) {
      keys.keys = static_cast<SalvorKey *>(sodium_allocarray(count, sizeof(SalvorKey)));
      if (keys.keys == nullptr) {
         *why = "no memory for " + std::to_string(count) + " keys";
         return false;
      }
   }
   std::vector<size_t> lines(count);
   bool ok = EachLine(all, [&](size_t number, std::string_view line) {
      if (!HoldsKey(line)) {
         return true;
      }
      std::string reason;
      if (!ParseLine(line, &keys.keys[keys.count], &reason)) {
         *why = LineError(number, reason);
         return false;
      }
      lines[keys.count++] = number;
      return true;
   });
   if (!ok || FindDuplicate(keys.keys, lines.data(), keys.count, why)) {
      SalvorKeys_Free(&keys);
      return false;
   }
   std::sort(keys.keys, keys.keys + keys.count, ById);
   if (keys.keys != nullptr) {
      sodium_mprotect_readonly(keys.keys);
   }
   *out = keys;
   return true;
}

void
SalvorKeys_Free(SalvorKeys *keys)
{
   if (keys->keys != nullptr) {
      sodium_free(keys->keys);  // wipes the memory first
   }
   keys->keys = nullptr;
   keys->count = 0;
}

const SalvorKey *
SalvorKeys_Find(const SalvorKeys &keys, const uint8_t *id)
{
   size_t low = 0, high = keys.count;
   while (low < high) {
      size_t mid = low + (high - low) / 2;
      int order = std::memcmp(keys.keys[mid].id, id, SALVOR_SEAL_ID_SIZE);
      if (order == 0) {
         return &keys.keys[mid];
      }
      if (order < 0) {
         low = mid + 1;
      } else {
         high = mid;
      }
   }
   return nullptr;
}

SalvorSealLookup
SalvorKeys_Lookup(const SalvorKeys &keys)
{
   return SalvorSealLookup{FindForSeal, &keys};
}

std::string
SalvorKeys_FormatLine(const char *name, const uint8_t key[SALVOR_SEAL_KEY_SIZE])
{
   char text[SALVOR_KEY_BASE64_SIZE + 1];
   sodium_bin2base64(text, sizeof text, key, SALVOR_SEAL_KEY_SIZE, sodium_base64_VARIANT_ORIGINAL);
   return std::string(name) + " " + text;
}

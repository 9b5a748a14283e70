// Expansion of "$NAME" references; see utilMisc.h.
#include "lib/misc/utilMisc.h"

#include <cstdlib>
#include <cstring>

#include "lib/misc/hostinfo.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/misc/strFixed.h"
#include "lib/misc/utilMiscPlatform.h"
#include "lib/string/str.h"

namespace {

constexpr int UTIL_MAX_CHUNKS = 100;
constexpr size_t UTIL_KEPT_CHUNK_SIZE = 100;  // bytes, with the NUL

struct UtilChunk {
   const char *start;
   size_t length;
   char *expansion;  // null: the chunk stays as it is
};

bool
UtilIsNameChar(char c)
{
   return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
          c == '_';
}

bool
UtilEqualIgnoreCase(const char *a, const char *b)
{
   for (; *a != '\0' && *b != '\0'; a++, b++) {
      char ca = (*a >= 'a' && *a <= 'z') ? (char)(*a - 'a' + 'A') : *a;
      char cb = (*b >= 'a' && *b <= 'z') ? (char)(*b - 'a' + 'A') : *b;
      if (ca != cb) {
         return false;
      }
   }
   return *a == *b;
}

// Length of the chunk that begins at text.
size_t
UtilChunkLength(const char *text)
{
   const char *end = text;
   if (*end == '$') {
      end++;
      while (UtilIsNameChar(*end)) {
         end++;
      }
   } else {
      while (*end != '\0' && *end != '$') {
         end++;
      }
   }
   return (size_t)(end - text);
}

/*
 * What a "$NAME" chunk becomes: the environment variable, the process id,
 * the user name, or the chunk itself. Null (logged) when out of memory.
 */
char *
UtilExpandChunk(const char *chunk, const char *text)
{
   const char *name = chunk + 1;
   char *expansion = UtilPlatGetEnv(name);
   if (expansion != nullptr) {
      return expansion;
   }
   if (UtilEqualIgnoreCase(name, "PID")) {
      expansion = Str_Asprintf(nullptr, "%u", (unsigned)Hostinfo_ProcessId());
   } else if (UtilEqualIgnoreCase(name, "USER")) {
      char user[UTIL_USER_NAME_BYTES];
      expansion = strdup(UtilPlatUserName(user, sizeof user) ? user : "unknown");
   } else {
      LogHook_Warning("Environment variable '%s' not defined in '%s'.\n", name, text);
      char kept[UTIL_KEPT_CHUNK_SIZE];
      Str_FormatFixed(kept, sizeof kept, "%s", chunk);
      expansion = strdup(kept);
   }
   if (expansion == nullptr) {
      LogHook_Log("%s: Cannot allocate memory to expand \"%s\" in \"%s\".\n",
                  "Util_ExpandString", chunk, text);
   }
   return expansion;
}

}  // namespace

char *
Util_ExpandString(const char *text)
{
   if (text[0] != '~' && std::strchr(text, '$') == nullptr) {
      return Util_SafeStrdup(text);
   }

   UtilChunk chunks[UTIL_MAX_CHUNKS];
   int numChunks = 0;
   for (const char *at = text; *at != '\0'; at += chunks[numChunks - 1].length) {
      if (numChunks == UTIL_MAX_CHUNKS) {
         LogHook_Log("%s: Filename \"%s\" has too many chunks.\n", "Util_ExpandString", text);
         return nullptr;
      }
      chunks[numChunks++] = UtilChunk{at, UtilChunkLength(at), nullptr};
   }

   char *result = nullptr;
   bool failed = false;
   size_t total = 0;
   for (int i = 0; i < numChunks && !failed; i++) {
      UtilChunk &c = chunks[i];
      if (c.start[0] == '$' && c.length > 1) {
         char *chunk = Util_SafeStrndup(c.start, c.length);
         c.expansion = UtilExpandChunk(chunk, text);
         std::free(chunk);
         if (c.expansion == nullptr) {
            failed = true;
            break;
         }
         c.length = std::strlen(c.expansion);
      }
      total += c.length;
   }

   if (!failed) {
      result = (char *)std::malloc(total + 1);
      if (result == nullptr) {
         LogHook_Log("%s: Cannot allocate memory for the expansion of \"%s\".\n",
                     "Util_ExpandString", text);
      } else {
         char *out = result;
         for (int i = 0; i < numChunks; i++) {
            const char *src = chunks[i].expansion != nullptr ? chunks[i].expansion
                                                             : chunks[i].start;
            std::memcpy(out, src, chunks[i].length);
            out += chunks[i].length;
         }
         *out = '\0';
      }
   }
   for (int i = 0; i < numChunks; i++) {
      std::free(chunks[i].expansion);
   }
   return result;
}

// Fuzzes the dictionary loader and its typed reads: the input is written
// to a file and loaded; then every name that a line of the input seems to
// define (the text before its '=') is asked for in each type, in an order
// that changes from line to line, so that every type gets to convert the
// text first. Every text handed out must be UTF-8.
#include "fuzz/fuzzTmp.h"
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/user/dictionary.h"
#include "lib/misc/msgList.h"

namespace {

std::string
TempPath()
{
   static std::string path;
   if (path.empty()) {
      std::string dirTemplate = FuzzTempTemplate("salvorFuzzDict");
      char *dir = dirTemplate.data();
      if (mkdtemp(dir) == nullptr) {
         std::abort();
      }
      path = std::string(dir) + "/fuzz.ini";
   }
   return path;
}

std::string
Trim(const std::string &s)
{
   size_t b = s.find_first_not_of(" \t\r");
   size_t e = s.find_last_not_of(" \t\r");
   return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Every value the dictionary hands out is UTF-8, whatever the file held.
void
CheckUtf8(const char *s)
{
   const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
   while (*p != 0) {
      int more = *p < 0x80 ? 0 : *p >= 0xC2 && *p <= 0xDF ? 1 : *p >= 0xE0 && *p <= 0xEF ? 2
                 : *p >= 0xF0 && *p <= 0xF4 ? 3 : -1;
      if (more < 0) {
         std::abort();
      }
      for (p++; more > 0; more--, p++) {
         if ((*p & 0xC0) != 0x80) {
            std::abort();
         }
      }
   }
}

void
AskEveryType(Dictionary *dict, const char *name, int first, MsgList **messages)
{
   for (int k = 0; k < 7; k++) {
      switch ((first + k) % 7) {
      case 0: Dictionary_GetBool(dict, true, name, messages); break;
      case 1: Dictionary_GetTriState(dict, -1, name, messages); break;
      case 2: Dictionary_GetLong(dict, 17, name, messages); break;
      case 3: Dictionary_GetInt64(dict, -5, name, messages); break;
      case 4: Dictionary_GetDouble(dict, 2.5, name, messages); break;
      case 5: {
         const char *s = Dictionary_GetString(dict, "default", name, messages);
         if (s != nullptr) {
            CheckUtf8(s);
         }
         break;
      }
      default: {
         const void *any = Dictionary_Get(dict, nullptr, DICT_ANY, name, messages);
         if (any != nullptr) {
            CheckUtf8(static_cast<const char *>(any));
         }
         break;
      }
      }
   }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size > 16384) {
      return 0;
   }
   const std::string path = TempPath();
   FILE *f = std::fopen(path.c_str(), "wb");
   if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
      std::abort();
   }

   Dictionary *dict = Dictionary_Create();
   MsgList *messages = nullptr;
   const char *encoding = size > 0 && (data[0] & 1) ? nullptr : "UTF-8";
   Dictionary_Load(dict, path.c_str(), true, encoding, &messages);

   std::string text(reinterpret_cast<const char *>(data), size);
   std::vector<std::string> names;
   size_t at = 0;
   while (at < text.size() && names.size() < 64) {
      size_t nl = text.find('\n', at);
      std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
      at = nl == std::string::npos ? text.size() : nl + 1;
      size_t eq = line.find('=');
      if (eq != std::string::npos) {
         std::string name = Trim(line.substr(0, eq));
         if (!name.empty() && name.find('\0') == std::string::npos) {
            names.push_back(name);
         }
      }
   }
   for (size_t i = 0; i < names.size(); i++) {
      Dictionary_IsDefined(dict, names[i].c_str());
      AskEveryType(dict, names[i].c_str(), (int)(i % 7), &messages);
   }
   for (int i = 0; i < Dictionary_NumLines(dict); i++) {
      const char *line = Dictionary_LineText(dict, i);
      if (line != nullptr) {
         (void)std::strlen(line);
      }
   }
   Dictionary_GetEncoding(dict);
   Dictionary_Free(dict);
   MsgList_Free(messages);
   return 0;
}

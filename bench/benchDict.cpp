// Dictionary load and lookup speed.
//
// Generates dictionary files of 10,000, 100,000 and 1,000,000 lines (one
// line in ten a comment; values plain, quoted with blanks, and with "|XX"
// escapes), loads each with Dictionary_Load, looks up every key, and
// parses the same file with the inih INI reader for comparison. Prints
// lines per second and nanoseconds per line for each size, so that one
// can see the time per line stay flat as the file grows.
//
//   build/bench/bench-dict [directory]   (default: $TMPDIR or /tmp)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include <ini.h>

#include "lib/coreDump/fatalPath.h"
#include "lib/user/dictionary.h"
#include "lib/misc/msgList.h"

namespace {

double
Seconds(std::chrono::steady_clock::time_point since)
{
   return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Writes the file; returns the number of keys.
int
Generate(const std::string &path, int lines)
{
   std::ofstream out(path, std::ios::binary);
   int keys = 0;
   for (int i = 0; i < lines; i++) {
      if (i % 10 == 0) {
         out << "# comment line " << i << "\n";
         continue;
      }
      switch (keys % 3) {
      case 0: out << "section.key" << keys << " = " << i * 7 << "\n"; break;
      case 1: out << "section.key" << keys << " = \"quoted value " << i << " # kept\"\n"; break;
      default: out << "section.key" << keys << " = C:|5Cpath|5C" << i << " # note\n"; break;
      }
      keys++;
   }
   return keys;
}

int
IniHandler(void *user, const char *, const char *, const char *)
{
   ++*static_cast<long *>(user);
   return 1;
}

}  // namespace

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   const char *tmp = std::getenv("TMPDIR");
   std::string dir = argc > 1 ? argv[1] : (tmp != nullptr ? tmp : "/tmp");
   std::string path = dir + "/bench-dict-" + std::to_string(getpid()) + ".ini";
   std::printf("%10s %14s %10s %14s %10s %12s\n", "lines", "dict lines/s", "ns/line",
               "inih lines/s", "ns/line", "lookups/s");
   for (int lines : {10000, 100000, 1000000}) {
      int keys = Generate(path, lines);

      auto start = std::chrono::steady_clock::now();
      Dictionary *dict = Dictionary_Create();
      MsgList *messages = nullptr;
      bool ok = Dictionary_Load(dict, path.c_str(), true, "UTF-8", &messages);
      double load = Seconds(start);

      start = std::chrono::steady_clock::now();
      long found = 0;
      char name[64];
      for (int k = 0; k < keys; k++) {
         std::snprintf(name, sizeof name, "SECTION.KEY%d", k);
         found += Dictionary_GetString(dict, nullptr, name, nullptr) != nullptr;
      }
      double lookup = Seconds(start);
      Dictionary_Free(dict);
      MsgList_Free(messages);
      if (!ok || found != keys) {
         std::fprintf(stderr, "load failed or keys missing (%ld of %d)\n", found, keys);
         return 1;
      }

      start = std::chrono::steady_clock::now();
      long pairs = 0;
      ini_parse(path.c_str(), IniHandler, &pairs);
      double ini = Seconds(start);

      std::printf("%10d %14.0f %10.1f %14.0f %10.1f %12.0f\n", lines, lines / load,
                  load * 1e9 / lines, lines / ini, ini * 1e9 / lines, keys / lookup);
   }
   std::remove(path.c_str());
   return 0;
}

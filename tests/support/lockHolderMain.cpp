// A process that takes advisory locks for the lock-file tests and for
// testutil::LockHolder.
//
//   file_lock_holder hold <path> <S|X> <budget ms> <room dir>
//      Takes the lock and writes "held\n" (or "failed <err>\n") to stdout.
//      While it holds the lock it keeps a file "<pid>-<S|X>" in the room
//      directory; before it says "held" it checks that nobody it must
//      exclude is in the room, and writes "violation\n" instead if somebody
//      is. It releases the lock when stdin reaches its end (or reads a
//      line), then writes "released\n".
//   file_lock_holder count <path> <counter file> <rounds>
//      Rounds times: take the exclusive lock, read the number in the
//      counter file, write it back one higher, release. Exit status 0 when
//      every round went through.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "lib/coreDump/fatalPath.h"
#include "lib/file/fileLock.h"
#include "lib/misc/hostinfo.h"

namespace {

bool
RoomAllows(const std::string &room, bool exclusive, const std::string &self)
{
   std::error_code ec;
   bool ok = true;
   for (const auto &entry : std::filesystem::directory_iterator(room, ec)) {
      std::string name = entry.path().filename().string();
      if (name == self) {
         continue;
      }
      bool otherExclusive = name.size() > 2 && name.compare(name.size() - 2, 2, "-X") == 0;
      if (exclusive || otherExclusive) {
         ok = false;
      }
   }
   return ok && !ec;
}

int
Hold(const char *path, const char *type, const char *budget, const char *room)
{
   bool exclusive = std::strcmp(type, "X") == 0;
   int err = 0;
   FileLockToken *token =
      FileLock_Acquire(path, !exclusive, (uint32_t)std::strtoul(budget, nullptr, 10), &err,
                       nullptr);
   if (token == nullptr) {
      std::printf("failed %d\n", err);
      std::fflush(stdout);
      return 1;
   }
   std::string self = std::to_string(Hostinfo_ProcessId()) + "-" + type;
   std::string marker = (std::filesystem::path(room) / self).string();
   FILE *f = std::fopen(marker.c_str(), "w");
   if (f != nullptr) {
      std::fclose(f);
   }
   std::printf("%s\n", RoomAllows(room, exclusive, self) ? "held" : "violation");
   std::fflush(stdout);

   char line[64];
   (void)std::fgets(line, sizeof line, stdin);
   std::error_code ec;
   std::filesystem::remove(marker, ec);
   bool ok = FileLock_Release(token, &err, nullptr);
   std::printf("%s\n", ok ? "released" : "release failed");
   std::fflush(stdout);
   return ok ? 0 : 1;
}

int
Count(const char *path, const char *counter, const char *rounds)
{
   long n = std::strtol(rounds, nullptr, 10);
   for (long i = 0; i < n; i++) {
      int err = 0;
      FileLockToken *token = FileLock_Acquire(path, false, FILELOCK_WAIT_FOREVER, &err, nullptr);
      if (token == nullptr) {
         std::fprintf(stderr, "acquire failed: %d\n", err);
         return 1;
      }
      long value = 0;
      FILE *f = std::fopen(counter, "r");
      if (f != nullptr) {
         if (std::fscanf(f, "%ld", &value) != 1) {
            value = 0;
         }
         std::fclose(f);
      }
      f = std::fopen(counter, "w");
      if (f == nullptr) {
         return 1;
      }
      std::fprintf(f, "%ld\n", value + 1);
      std::fclose(f);
      if (!FileLock_Release(token, &err, nullptr)) {
         std::fprintf(stderr, "release failed: %d\n", err);
         return 1;
      }
   }
   return 0;
}

}  // namespace

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   if (argc == 6 && std::strcmp(argv[1], "hold") == 0) {
      return Hold(argv[2], argv[3], argv[4], argv[5]);
   }
   if (argc == 5 && std::strcmp(argv[1], "count") == 0) {
      return Count(argv[2], argv[3], argv[4]);
   }
   std::fprintf(stderr, "usage: %s hold <path> <S|X> <budget> <room> | "
                        "count <path> <counter> <rounds>\n", argv[0]);
   return 2;
}

// salvor-send: sends one file to a collector as one core dump, or asks a
// collector whether it is alive.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/salvorProto.h"
#include "tools/salvorClient.h"
#include "tools/salvorProgress.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

void
Usage(FILE *out)
{
   std::fputs("usage: salvor-send [options] FILE\n"
              "       salvor-send --status [--server HOST:PORT] [--from ADDR]\n"
              "options:\n"
              "  --server HOST:PORT  collector to send to (default 127.0.0.1:6500)\n"
              "  --from ADDR         local IPv4 address to send from\n"
              "  --window N          most data messages in flight, 1 to 4096 (default 32);\n"
              "                      fewer while the network loses datagrams\n"
              "  --timeout MS        wait before the first resend, until round trips are\n"
              "                      measured (default 200)\n"
              "  --retries N         resends of one message before giving up (default 20)\n"
              "  --timestamp N       nonzero time stamp of the dump (default: now in microseconds)\n"
              "  --quiet             no summary line\n"
              "  --status            only ask whether the collector is alive\n"
              "  --test-loss PCT     (testing) drop PCT% of the datagrams each way, and\n"
              "                      delay as many behind the next one; 0 to 50\n",
              out);
}

template <typename T>
bool
ParseNumber(std::string_view text, T min, T max, T *out)
{
   T v{};
   auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
   if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max) {
      return false;
   }
   *out = v;
   return true;
}

struct Args {
   std::string server = "127.0.0.1";
   std::optional<std::string> from;
   SalvorSendOptions opts;
   bool quiet = false;
   bool status = false;
   std::optional<std::string> file;
};

// Returns an error text, empty on success.
std::string
ParseArgs(int argc, char **argv, Args *args)
{
   for (int i = 1; i < argc; i++) {
      std::string_view arg = argv[i];
      std::string_view value;
      bool hasValue = false;
      if (arg.starts_with("--")) {
         if (size_t eq = arg.find('='); eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
         }
      }
      auto needValue = [&]() -> bool {
         if (!hasValue) {
            if (i + 1 >= argc) {
               return false;
            }
            value = argv[++i];
         }
         return true;
      };
      auto bad = [&]() { return "bad value for " + std::string(arg) + ": '" + std::string(value) + "'"; };

      if (arg == "--quiet" || arg == "-q") {
         args->quiet = true;
      } else if (arg == "--status") {
         args->status = true;
      } else if (arg == "--server" || arg == "--from" || arg == "--window" ||
                 arg == "--timeout" || arg == "--retries" || arg == "--timestamp" ||
                 arg == "--test-loss") {
         if (!needValue()) {
            return "missing value for " + std::string(arg);
         }
         if (arg == "--server") {
            args->server = value;
         } else if (arg == "--from") {
            args->from = value;
         } else if (arg == "--window") {
            if (!ParseNumber<unsigned>(value, 1, 4096, &args->opts.window)) {
               return bad();
            }
         } else if (arg == "--timeout") {
            unsigned ms;
            if (!ParseNumber<unsigned>(value, 1, 600000, &ms)) {
               return bad();
            }
            args->opts.timeout = std::chrono::milliseconds(ms);
         } else if (arg == "--test-loss") {
            unsigned pct;
            if (!ParseNumber<unsigned>(value, 0, 50, &pct)) {
               return bad();
            }
            args->opts.testLoss = pct / 100.0;
            // Each process its own sequence: hosts started together differ.
            args->opts.testLossSeed = (uint32_t)getpid();
         } else if (arg == "--retries") {
            if (!ParseNumber<unsigned>(value, 0, 1000000, &args->opts.retries)) {
               return bad();
            }
         } else {
            int64_t ts;
            if (!ParseNumber<int64_t>(value, INT64_MIN, INT64_MAX, &ts) || ts == 0) {
               return bad();
            }
            args->opts.timestamp = ts;
         }
      } else if (arg == "--") {
         if (i + 2 != argc || args->file) {
            return "exactly one file must follow --";
         }
         args->file = argv[++i];
      } else if (arg.starts_with("-") && arg != "-") {
         return "unknown option " + std::string(arg);
      } else if (!args->file) {
         args->file = arg;
      } else {
         return "only one file can be sent at a time";
      }
   }
   if (args->status && args->file) {
      return "--status takes no file";
   }
   if (!args->status && !args->file) {
      return "no file given";
   }
   return {};
}

int
Fail(const std::string &message)
{
   std::fprintf(stderr, "salvor-send: %s\n", message.c_str());
   return EXIT_FAILED;
}

}  // namespace

int
main(int argc, char **argv)
{
   SalvorIgnoreBrokenPipe();
   if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
      Usage(stdout);
      return 0;
   }
   Args args;
   if (std::string error = ParseArgs(argc, argv, &args); !error.empty()) {
      std::fprintf(stderr, "salvor-send: %s\n", error.c_str());
      Usage(stderr);
      return EXIT_USAGE;
   }

   NetAddr server;
   std::string error;
   if (!SalvorParseServer(args.server, SALVOR_DEFAULT_PORT, &server, &error)) {
      return Fail(error);
   }
   std::optional<uint32_t> from;
   if (args.from) {
      uint32_t addr;
      if (!SalvorParseAddress(*args.from, &addr)) {
         return Fail("bad source address '" + *args.from + "'");
      }
      from = addr;
   }

   SalvorClient client;
   if (SalvorResult res = client.Open(server, from); !res) {
      return Fail(res.message);
   }
   std::string serverName = SalvorFormatAddress(server);

   if (args.status) {
      if (SalvorResult res = client.StatusCheck(args.opts); !res) {
         return Fail(res.message);
      }
      if (!args.quiet) {
         std::printf("collector at %s is alive\n", serverName.c_str());
      }
      return 0;
   }

   const std::string &path = *args.file;
   int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
   if (fd < 0) {
      return Fail("cannot open " + path + ": " + strerror(errno));
   }
   struct FdCloser {
      int fd;
      ~FdCloser() { close(fd); }
   } closer{fd};
   struct stat st;
   if (fstat(fd, &st) != 0) {
      return Fail("cannot stat " + path + ": " + strerror(errno));
   }
   if (!S_ISREG(st.st_mode)) {
      return Fail(path + " is not a regular file");
   }
   uint64_t size = (uint64_t)st.st_size;
   if (size > SALVOR_MAX_DUMP_SIZE) {
      return Fail(path + " is too large (" + std::to_string(size) +
                  " bytes): a dump cannot exceed 4 GiB");
   }
   posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

   SalvorProgress progress(stderr);
   if (progress.Enabled()) {
      args.opts.progress = [&progress](uint64_t acked, uint64_t total) {
         progress.Update(acked, total);
      };
   }
   SalvorSendStats stats;
   SalvorResult res = client.SendDump(fd, size, args.opts, &stats);
   progress.Finish();
   if (!res) {
      return Fail(res.message);
   }
   if (!args.quiet) {
      double mbps = stats.seconds > 0 ? (double)stats.bytes / 1e6 / stats.seconds : 0;
      std::printf("sent %s (%llu bytes) to %s as dump %u in %.2f s, %.1f MB/s, "
                  "%llu datagrams, %llu resent, window cut %u times\n",
                  path.c_str(), (unsigned long long)stats.bytes, serverName.c_str(),
                  stats.dumpID, stats.seconds, mbps, (unsigned long long)stats.datagrams,
                  (unsigned long long)stats.retransmits, stats.windowCuts);
   }
   return 0;
}

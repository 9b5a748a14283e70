// salvor-send: sends one file or stream to a collector as one core dump,
// or asks a collector whether it is alive.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "lib/coreDump/fatalPath.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/utilArgs.h"
#include "lib/misc/utilScoped.h"
#include "protocol/salvorKeys.h"
#include "protocol/salvorProto.h"
#include "protocol/salvorSeal.h"
#include "tools/salvorClient.h"
#include "tools/salvorProgress.h"
#include "tools/toolsPlatform.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

void
SalvorSendUsage(FILE *out)
{
   std::fputs("usage: salvor-send [options] FILE|-\n"
              "       salvor-send --status [--server HOST:PORT] [--from ADDR]\n"
              "                            [--key-file FILE]\n"
              "       salvor-send --make-key NAME\n"
              "       salvor-send --help | --version\n"
              "FILE is sent as one dump; \"-\" (standard input) and other pipes are read\n"
              "to their end, of a size not known in advance.\n"
              "options:\n"
              "  --server HOST:PORT  collector to send to (default 127.0.0.1:6500); an IPv6\n"
              "                      address goes in brackets: [::1]:6500\n"
              "  --from ADDR         local address to send from, of the collector's family\n"
              "  --window N          most data messages in flight, 1 to 4096 (default 32);\n"
              "                      fewer while the network loses datagrams\n"
              "  --timeout MS        wait before the first resend, until round trips are\n"
              "                      measured (default 200)\n"
              "  --retries N         resends of one message before giving up (default 20)\n"
              "  --wait SECONDS      once the collector has answered, wait this long for it\n"
              "                      when it falls silent or refuses in the middle of the\n"
              "                      dump (a restart), and retry an init it refuses for\n"
              "                      want of a slot for this long (default 120; 0: neither)\n"
              "  --timestamp N       nonzero time stamp of the dump (default: now in microseconds)\n"
              "  --key-file FILE     seal every datagram with this host's key: FILE holds the\n"
              "                      host's line of the collector's keys file, and only its\n"
              "                      owner may read it\n"
              "  --flat              FILE is in the flattened format (makedumpfile -F): each\n"
              "                      record's bytes are stored at its offset\n"
              "  --quiet             no summary line\n"
              "  --status            only ask whether the collector is alive\n"
              "  --make-key NAME     print a new key line \"NAME <key>\" for a keys file\n"
              "  --help              this text\n"
              "  --version           the program's version\n"
              "  --test-loss PCT     (testing) drop PCT% of the datagrams each way, and\n"
              "                      delay as many behind the next one; 0 to 50\n",
              out);
}

template <typename T>
bool
SalvorSendParseNumber(std::string_view text, T min, T max, T *out)
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
   bool help = false;
   bool flat = false;
   bool version = false;
   std::optional<std::string> makeKey;
   std::optional<std::string> keyFile;
   std::optional<std::string> file;
};

// An option that takes a value; `apply` stores it, or is false when the
// value is bad.
struct ValueOption {
   std::string_view name;
   bool (*apply)(std::string_view value, Args *args);
};

const ValueOption VALUE_OPTIONS[] = {
   {"--server", [](std::string_view v, Args *a) { a->server = v; return true; }},
   {"--from", [](std::string_view v, Args *a) { a->from = v; return true; }},
   {"--make-key", [](std::string_view v, Args *a) { a->makeKey = v; return true; }},
   {"--key-file", [](std::string_view v, Args *a) { a->keyFile = v; return !v.empty(); }},
   {"--window",
    [](std::string_view v, Args *a) {
       return SalvorSendParseNumber<unsigned>(v, 1, 4096, &a->opts.window);
    }},
   {"--timeout",
    [](std::string_view v, Args *a) {
       unsigned ms;
       if (!SalvorSendParseNumber<unsigned>(v, 1, 600000, &ms)) {
          return false;
       }
       a->opts.timeout = std::chrono::milliseconds(ms);
       return true;
    }},
   {"--test-loss",
    [](std::string_view v, Args *a) {
       unsigned pct;
       if (!SalvorSendParseNumber<unsigned>(v, 0, 50, &pct)) {
          return false;
       }
       a->opts.testLoss = pct / 100.0;
       // Each process its own sequence: hosts started together differ.
       a->opts.testLossSeed = (uint32_t)Hostinfo_ProcessId();
       return true;
    }},
   {"--wait",
    [](std::string_view v, Args *a) {
       unsigned seconds;
       if (!SalvorSendParseNumber<unsigned>(v, 0, 86400, &seconds)) {
          return false;
       }
       a->opts.wait = std::chrono::seconds(seconds);
       return true;
    }},
   {"--retries",
    [](std::string_view v, Args *a) {
       return SalvorSendParseNumber<unsigned>(v, 0, 1000000, &a->opts.retries);
    }},
   {"--timestamp",
    [](std::string_view v, Args *a) {
       int64_t ts;
       if (!SalvorSendParseNumber<int64_t>(v, INT64_MIN, INT64_MAX, &ts) || ts == 0) {
          return false;
       }
       a->opts.timestamp = ts;
       return true;
    }},
};

const ValueOption *
SalvorSendFindValueOption(std::string_view name)
{
   for (const ValueOption &option : VALUE_OPTIONS) {
      if (option.name == name) {
         return &option;
      }
   }
   return nullptr;
}

// Splits "--name=value" into its name, left in *arg, and its value.
std::optional<std::string_view>
SalvorSendSplitInlineValue(std::string_view *arg)
{
   if (!arg->starts_with("--")) {
      return std::nullopt;
   }
   size_t eq = arg->find('=');
   if (eq == std::string_view::npos) {
      return std::nullopt;
   }
   std::string_view value = arg->substr(eq + 1);
   *arg = arg->substr(0, eq);
   return value;
}

// A word that is neither an option with a value nor "--"; an error text,
// empty on success.
std::string
SalvorSendTakeFlagOrFile(std::string_view arg, Args *args)
{
   if (arg == "--quiet" || arg == "-q") {
      args->quiet = true;
   } else if (arg == "--help" || arg == "-h") {
      args->help = true;
   } else if (arg == "--version") {
      args->version = true;
   } else if (arg == "--flat") {
      args->flat = true;
   } else if (arg == "--status") {
      args->status = true;
   } else if (arg.starts_with("-") && arg != "-") {
      return "unknown option " + std::string(arg);
   } else if (!args->file) {
      args->file = arg;
   } else {
      return "only one file can be sent at a time";
   }
   return {};
}

// Returns an error text, empty on success.
std::string
SalvorSendParseArgs(int argc, char **argv, Args *args)
{
   for (int i = 1; i < argc; i++) {
      std::string_view arg = argv[i];
      std::optional<std::string_view> value = SalvorSendSplitInlineValue(&arg);
      std::string error;
      if (const ValueOption *option = SalvorSendFindValueOption(arg)) {
         if (!value && i + 1 < argc) {
            value = argv[++i];
         }
         if (!value) {
            error = "missing value for " + std::string(arg);
         } else if (!option->apply(*value, args)) {
            error = "bad value for " + std::string(arg) + ": '" + std::string(*value) + "'";
         }
      } else if (arg == "--") {
         if (i + 2 != argc || args->file) {
            return "exactly one file must follow --";
         }
         args->file = argv[++i];
      } else {
         error = SalvorSendTakeFlagOrFile(arg, args);
      }
      if (!error.empty() || args->help || args->version) {
         return error;
      }
   }
   if (args->makeKey) {
      return args->status || args->file || args->flat || args->keyFile
                ? "--make-key takes no other option"
                : std::string();
   }
   if (args->status && args->file) {
      return "--status takes no file";
   }
   if (args->status && args->flat) {
      return "--status takes no --flat";
   }
   if (!args->status && !args->file) {
      return "no file given";
   }
   return {};
}

int
SalvorSendFail(const std::string &message)
{
   std::fprintf(stderr, "salvor-send: %s\n", message.c_str());
   return EXIT_FAILED;
}

// Prints a new key line for the keys files of a host and its collector.
int
SalvorSendMakeKey(const std::string &name)
{
   std::string why;
   if (!SalvorKeys_NameIsValid(name.c_str(), &why)) {
      std::fprintf(stderr, "salvor-send: cannot name a key so: %s\n", why.c_str());
      return EXIT_USAGE;
   }
   uint8_t key[SALVOR_SEAL_KEY_SIZE];
   if (!SalvorSeal_MakeKey(key)) {
      return SalvorSendFail("no random source for a key");
   }
   std::string line = SalvorKeys_FormatLine(name.c_str(), key) + "\n";
   SalvorSeal_Wipe(key, sizeof key);
   bool written = std::fputs(line.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
   SalvorSeal_Wipe(line.data(), line.size());
   return written ? 0 : SalvorSendFail("cannot write the key line");
}

// Loads the host's key named by --key-file into *keys, and has the
// options seal with it; an error text, empty on success.
std::string
SalvorSendLoadKey(Args *args, SalvorKeys *keys)
{
   std::string why;
   if (!SalvorLoadHostKey(args->keyFile->c_str(), keys, &why)) {
      return why;
   }
   args->opts.key = &keys->keys[0];
   return {};
}

// A file descriptor closed when it goes out of scope.
struct ClosingFd {
   int fd = -1;
   ClosingFd() = default;
   ClosingFd(const ClosingFd &) = delete;
   ClosingFd &operator=(const ClosingFd &) = delete;
   ~ClosingFd()
   {
      if (fd >= 0) {
         ToolsPlat_Close(fd);
      }
   }
};

// Opens the client's socket towards the collector named in the arguments;
// an error text, empty on success.
std::string
SalvorSendOpenClient(const Args &args, SalvorClient *client, std::string *serverName)
{
   NetPeer server;
   std::string error;
   if (!SalvorParseServer(args.server, SALVOR_DEFAULT_PORT, &server, &error)) {
      return error;
   }
   std::optional<NetPeer> from;
   if (args.from) {
      NetPeer local;
      if (!SalvorParseSource(*args.from, &local, &error)) {
         return error;
      }
      from = local;
   }
   if (SalvorResult res = client->Open(server, from); !res) {
      return res.message;
   }
   *serverName = SalvorFormatPeer(server);
   return {};
}

int
SalvorSendCheckStatus(SalvorClient &client, const Args &args, const std::string &serverName)
{
   if (SalvorResult res = client.StatusCheck(args.opts); !res) {
      return SalvorSendFail(res.message);
   }
   if (!args.quiet) {
      std::printf("collector at %s is alive\n", serverName.c_str());
   }
   return 0;
}

// Opens the dump named in the arguments ("-": standard input) as a source:
// a regular file is read where it lies, anything else (a pipe) as a
// stream of unknown size; --flat reads the flattened format. An error
// text, empty on success.
std::string
SalvorSendOpenSource(const Args &args, ClosingFd *file, std::unique_ptr<SalvorDumpSource> *out)
{
   const std::string &path = *args.file;
   int fd = -1;
   if (path == "-") {
      fd = ToolsPlat_StandardInput();
   } else {
      file->fd = ToolsPlat_OpenRead(path.c_str());
      if (file->fd < 0) {
         return "cannot open " + path + ": " + strerror(errno);
      }
      fd = file->fd;
   }
   ToolsFileKind kind;
   uint64_t size = 0;
   if (!ToolsPlat_FileInfo(fd, &kind, &size)) {
      return "cannot stat " + path + ": " + strerror(errno);
   }
   if (kind == ToolsFileKind::Directory) {
      return path + " is a directory";
   }
   ToolsPlat_AdviseSequential(fd);
   if (args.flat) {
      *out = SalvorFlatSource(fd, kind == ToolsFileKind::Regular);
   } else if (kind != ToolsFileKind::Regular) {
      *out = SalvorStreamSource(fd);
   } else if (size > SALVOR_MAX_DUMP_SIZE) {
      return path + " is too large (" + std::to_string(size) +
             " bytes): a dump cannot exceed 4 GiB";
   } else {
      *out = SalvorFileSource(fd, size);
   }
   return {};
}

/*
 * What the client says while it waits: on the progress line, and on
 * standard error unless --quiet (that the collector is full only once).
 * A dump started again is always said.
 */
void
SalvorSendTell(const SalvorNotice &notice, bool quiet, bool *toldFull, SalvorProgress *progress)
{
   bool print = notice.kind == SalvorNotice::Restarting ||
                (!quiet && (notice.kind != SalvorNotice::Full || !*toldFull));
   *toldFull = *toldFull || notice.kind == SalvorNotice::Full;
   if (print) {
      progress->Print("salvor-send: " + notice.text);
   }
   progress->Note(notice.kind == SalvorNotice::Back || notice.kind == SalvorNotice::Restarting
                     ? std::string()
                     : notice.text);
}

int
SalvorSendSendFile(SalvorClient &client, Args &args, const std::string &serverName)
{
   ClosingFd file;
   std::unique_ptr<SalvorDumpSource> source;
   if (std::string error = SalvorSendOpenSource(args, &file, &source); !error.empty()) {
      return SalvorSendFail(error);
   }
   SalvorProgress progress(stderr);
   if (progress.Enabled()) {
      args.opts.progress = [&progress](uint64_t acked, uint64_t total) {
         progress.Update(acked, total);
      };
   }
   bool toldFull = false;
   args.opts.notice = [&](const SalvorNotice &notice) {
      SalvorSendTell(notice, args.quiet, &toldFull, &progress);
   };
   SalvorSendStats stats;
   SalvorResult res = client.SendDump(*source, args.opts, &stats);
   progress.Finish();
   if (!res) {
      return SalvorSendFail(res.message);
   }
   if (!args.quiet) {
      double mbps = stats.seconds > 0 ? (double)stats.bytes / 1e6 / stats.seconds : 0;
      std::string name = *args.file == "-" ? "standard input" : *args.file;
      std::printf("sent %s (%llu bytes) to %s as dump %u in %.2f s, %.1f MB/s, "
                  "%llu datagrams, %llu resent, window cut %u times%s\n",
                  name.c_str(), (unsigned long long)stats.bytes, serverName.c_str(),
                  stats.dumpID, stats.seconds, mbps, (unsigned long long)stats.datagrams,
                  (unsigned long long)stats.retransmits, stats.windowCuts,
                  stats.restarts == 0 ? ""
                                      : (", started again " + std::to_string(stats.restarts) +
                                         (stats.restarts == 1 ? " time" : " times"))
                                           .c_str());
   }
   return 0;
}

}  // namespace

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   // The file's name may hold any character (Windows: not only those of
   // the ANSI code page).
   Util_Utf8Args(&argc, &argv);
   SalvorIgnoreBrokenPipe();
   Args args;
   std::string error = SalvorSendParseArgs(argc, argv, &args);
   if (args.help) {
      SalvorSendUsage(stdout);
      return 0;
   }
   if (args.version) {
      std::printf("salvor-send %s\n", SALVOR_VERSION);
      return 0;
   }
   if (!error.empty()) {
      std::fprintf(stderr, "salvor-send: %s\n", error.c_str());
      SalvorSendUsage(stderr);
      return EXIT_USAGE;
   }
   if (args.makeKey) {
      return SalvorSendMakeKey(*args.makeKey);
   }
   SalvorKeys keys;
   UtilScopeExit freeKeys([&keys] { SalvorKeys_Free(&keys); });
   if (args.keyFile) {
      if (std::string why = SalvorSendLoadKey(&args, &keys); !why.empty()) {
         std::fprintf(stderr, "salvor-send: %s\n", why.c_str());
         return EXIT_USAGE;
      }
   }
   // Windows' socket library must be started before names are looked up
   // or sockets made; elsewhere this does nothing.
   uint16_t granted = 0;
   if (int err = Net_Startup(0x0202, &granted); err != 0) {
      return SalvorSendFail("cannot start the socket library (error " + std::to_string(err) +
                            ")");
   }
   SalvorClient client;
   std::string serverName;
   if (std::string error = SalvorSendOpenClient(args, &client, &serverName); !error.empty()) {
      return SalvorSendFail(error);
   }
   return args.status ? SalvorSendCheckStatus(client, args, serverName)
                      : SalvorSendSendFile(client, args, serverName);
}

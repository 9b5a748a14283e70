// Dump throughput: how fast salvor-send's client code streams a dump, for
// each window asked for, into (a) a bare recvfrom/sendto loop, (a') a
// bare recvmmsg/sendmmsg loop, (a+w) the bare loop that also writes each
// payload to a file before its reply, and (b) the real collector, whose
// copy is then compared byte by byte with the source. Each round runs all
// of them back to back, so that they see the machine alike; the collector's rate
// is given as the median over the rounds of its ratio to each loop in the
// same round. Then (d) 64 hosts send a share of the same bytes each at
// once, against one host's rate; and (c) the collector's peak memory
// while it receives a large dump.
//
// usage: bench-dump-throughput [--salvor PATH] [--size-mib N] [--big-mib N]
//                              [--windows N,N...] [--hosts N] [--runs N]
//                              [--tmp DIR] [--pin] [--sealed] [--resume]
//
// --resume turns the collector's resumeDumps on, so that its cost (the
// state file's write of each batch) shows against a run without it.
//
// --sealed makes a host key, gives the collector a keys file holding it
// (plain datagrams still allowed from loopback), and has each round also
// send (s) the dump sealed with that key to the collector: its rate is
// given as the median over the rounds of its ratio to the plain dump of
// the same round.
//
// --pin runs the receivers on the last processor and the senders on the
// others, as when the senders are other machines: the many-hosts case then
// shows what the receiver does with many hosts, not how many processes the
// machine can run at once.
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/benchPeers.h"
#include "lib/coreDump/fatalPath.h"
#include "protocol/salvorKeys.h"
#include "protocol/salvorSeal.h"
#include "tests/support/collectorProcess.h"
#include "tools/salvorClient.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t BLOCK = 1 << 20;

// Byte i of every pattern file, so that any misplaced piece shows.
inline uint8_t
PatternByte(uint64_t i)
{
   uint64_t w = (i >> 3) * 0x9E3779B97F4A7C15ull;
   return (uint8_t)(w >> ((i & 7) * 8 + 3)) ^ (uint8_t)(i >> 20);
}

bool
WritePattern(const fs::path &path, uint64_t size)
{
   std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "wb"), std::fclose);
   if (!f) {
      return false;
   }
   std::vector<uint8_t> buf(BLOCK);
   for (uint64_t off = 0; off < size; off += BLOCK) {
      size_t n = (size_t)std::min<uint64_t>(BLOCK, size - off);
      for (size_t i = 0; i < n; i++) {
         buf[i] = PatternByte(off + i);
      }
      if (std::fwrite(buf.data(), 1, n, f.get()) != n) {
         return false;
      }
   }
   return true;
}

// True if `path` holds exactly the pattern of `size` bytes.
bool
MatchesPattern(const fs::path &path, uint64_t size, std::string *why)
{
   std::error_code ec;
   if (fs::file_size(path, ec) != size || ec) {
      *why = "size " + std::to_string(fs::file_size(path, ec)) + " instead of " +
             std::to_string(size);
      return false;
   }
   std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "rb"), std::fclose);
   if (!f) {
      *why = "cannot open " + path.string();
      return false;
   }
   std::vector<uint8_t> buf(BLOCK);
   for (uint64_t off = 0; off < size; off += BLOCK) {
      size_t n = (size_t)std::min<uint64_t>(BLOCK, size - off);
      if (std::fread(buf.data(), 1, n, f.get()) != n) {
         *why = "short read at " + std::to_string(off);
         return false;
      }
      for (size_t i = 0; i < n; i++) {
         if (buf[i] != PatternByte(off + i)) {
            *why = "first difference at byte " + std::to_string(off + i);
            return false;
         }
      }
   }
   return true;
}

struct Measure {
   bool ok = false;
   std::string error;
   SalvorSendStats stats;
   double MBps() const { return stats.seconds > 0 ? (double)stats.bytes / 1e6 / stats.seconds : 0; }
   double Dps() const { return stats.seconds > 0 ? (double)stats.datagrams / stats.seconds : 0; }
};

Measure
SendFile(const NetAddr &to, const fs::path &file, uint64_t size, unsigned window,
         std::optional<uint32_t> from = {}, const SalvorKey *key = nullptr)
{
   Measure m;
   SalvorClient client;
   SalvorResult res = client.Open(to, from);
   int fd = open(file.c_str(), O_RDONLY);
   if (fd < 0) {
      m.error = "cannot open " + file.string();
      return m;
   }
   SalvorSendOptions opts;
   opts.window = window;
   opts.key = key;
   if (res) {
      res = client.SendDump(fd, size, opts, &m.stats);
   }
   close(fd);
   m.ok = (bool)res;
   m.error = res.message;
   return m;
}

// The single dump file the collector wrote, wherever below its data
// directory (a sealed dump's host may be named otherwise than by address);
// the resume state beside the host directories is no dump.
std::optional<fs::path>
FindDump(const fs::path &dataDir)
{
   std::error_code ec;
   for (const auto &e : fs::recursive_directory_iterator(dataDir, ec)) {
      if (e.is_regular_file(ec) && e.path().filename().string().starts_with("zdump_")) {
         return e.path();
      }
   }
   return std::nullopt;
}

void
Row(const char *what, uint64_t size, const Measure &m, const std::string &note)
{
   if (!m.ok) {
      std::printf("%-26s %6llu MiB  %s\n", what, (unsigned long long)(size >> 20),
                  m.error.c_str());
      return;
   }
   std::string resent;
   if (m.stats.retransmits > 0) {
      resent = std::to_string(m.stats.retransmits) + " resent; ";
   }
   std::printf("%-26s %6llu MiB %8.2f s %12.0f %9.1f  %s%s\n", what,
               (unsigned long long)(size >> 20), m.stats.seconds, m.Dps(), m.MBps(),
               resent.c_str(), note.c_str());
}

std::string
DefaultSalvorPath()
{
   std::error_code ec;
   fs::path self = fs::read_symlink("/proc/self/exe", ec);
   return (self.parent_path() / ".." / "collector" / "salvor").lexically_normal().string();
}

// CPU seconds (user and system) a process has used so far; -1 if unknown.
double
CpuSeconds(pid_t pid)
{
   std::string path = "/proc/" + std::to_string(pid) + "/stat";
   std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "r"), std::fclose);
   char buf[1024];
   if (!f || std::fgets(buf, sizeof buf, f.get()) == nullptr) {
      return -1;
   }
   // Fields 14 and 15 (utime, stime), counted after the name's closing parenthesis.
   const char *p = std::strrchr(buf, ')');
   unsigned long long utime = 0, stime = 0;
   if (p == nullptr ||
       std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                   &stime) != 2) {
      return -1;
   }
   return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

struct Args {
   std::string salvor = DefaultSalvorPath();
   uint64_t sizeMiB = 64;
   uint64_t bigMiB = 1024;
   std::vector<unsigned> windows{32, 1};
   unsigned hosts = 64;
   unsigned runs = 5;
   std::string tmp = "/tmp";
   bool pin = false;
   bool sealed = false;
   bool resume = false;
};

bool
ParseArgs(int argc, char **argv, Args *a)
{
   for (int i = 1; i < argc; i++) {
      std::string arg = argv[i];
      if (arg == "--pin" || arg == "--sealed" || arg == "--resume") {
         (arg == "--pin" ? a->pin : arg == "--sealed" ? a->sealed : a->resume) = true;
         continue;
      }
      if (i + 1 >= argc) {
         return false;
      }
      std::string v = argv[++i];
      if (arg == "--salvor") {
         a->salvor = v;
      } else if (arg == "--size-mib") {
         a->sizeMiB = std::stoull(v);
      } else if (arg == "--big-mib") {
         a->bigMiB = std::stoull(v);
      } else if (arg == "--windows" || arg == "--window") {
         a->windows.clear();
         for (size_t at = 0; at <= v.size();) {
            size_t comma = std::min(v.find(',', at), v.size());
            a->windows.push_back((unsigned)std::stoul(v.substr(at, comma - at)));
            at = comma + 1;
         }
      } else if (arg == "--hosts") {
         a->hosts = (unsigned)std::stoul(v);
      } else if (arg == "--runs") {
         a->runs = std::max(1u, (unsigned)std::stoul(v));
      } else if (arg == "--tmp") {
         a->tmp = v;
      } else {
         return false;
      }
   }
   for (unsigned w : a->windows) {
      if (w == 0) {
         return false;
      }
   }
   return !a->windows.empty() && a->sizeMiB > 0 && a->bigMiB <= 4096 && a->hosts <= 250;
}

// The host key of the sealed rounds, and the collector's keys file that
// holds it.
struct SealKey {
   SalvorKeys keys;
   fs::path file;

   SealKey() = default;
   SealKey(const SealKey &) = delete;
   SealKey &operator=(const SealKey &) = delete;
   ~SealKey() { SalvorKeys_Free(&keys); }
   const SalvorKey *Key() const { return keys.count > 0 ? &keys.keys[0] : nullptr; }
};

// Makes a key and writes its line, readable by its owner alone, as the
// keys file scratch/keys.
bool
MakeSealKey(const fs::path &scratch, SealKey *out)
{
   uint8_t key[SALVOR_SEAL_KEY_SIZE];
   if (!SalvorSeal_MakeKey(key)) {
      std::fprintf(stderr, "no random source for a key\n");
      return false;
   }
   std::string line = SalvorKeys_FormatLine("bench", key) + "\n";
   SalvorSeal_Wipe(key, sizeof key);
   out->file = scratch / "keys";
   int fd = open(out->file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
   bool ok = fd >= 0 && write(fd, line.data(), line.size()) == (ssize_t)line.size();
   if (fd >= 0) {
      close(fd);
   }
   std::string why;
   ok = ok && SalvorKeys_Parse(line.data(), line.size(), &out->keys, &why);
   SalvorSeal_Wipe(line.data(), line.size());
   if (!ok) {
      std::fprintf(stderr, "cannot write the keys file %s %s\n", out->file.c_str(), why.c_str());
   }
   return ok;
}

// The receivers every case sends to, each in a process of its own.
struct Receivers {
   explicit Receivers(const fs::path &scratch)
      : bareFile((scratch / "bare-copy.bin").string()), writingLoop(false, bareFile.c_str())
   {
   }

   BareReplyLoop loop;                                   // (a)
   BareReplyLoop batchedLoop{true};                      // (a')
   std::string bareFile;
   BareReplyLoop writingLoop;                            // (a+w)
   std::optional<testutil::CollectorProcess> collector;  // (b)
   SealKey seal;                                         // (s), with --sealed
};

bool
StartCollector(const Args &args, const fs::path &scratch, Receivers *receivers)
{
   std::string skipped;
   std::string keys;
   if (args.sealed) {
      if (!MakeSealKey(scratch, &receivers->seal)) {
         return false;
      }
      // The plain rounds go on from loopback.
      keys = "<keysFile>" + receivers->seal.file.string() +
             "</keysFile><allowPlainFrom>127.0.0.0/8</allowPlainFrom>";
   }
   if (args.resume) {
      keys += "<resumeDumps>true</resumeDumps>";
   }
   if (access(args.salvor.c_str(), X_OK) != 0) {
      skipped = "collector binary not found at " + args.salvor;
   } else {
      receivers->collector.emplace(
         args.salvor, testutil::CollectorOptions{
                         .dir = scratch / "collector", .maxSize = 2, .extraConfig = keys});
      if (!receivers->collector->WaitReady(&skipped)) {
         receivers->collector.reset();
      }
   }
   if (!receivers->collector) {
      std::printf("collector skipped: %s\n", skipped.c_str());
      return false;
   }
   return true;
}

// Receivers on the last processor, this process and the senders it forks
// on the others; false when there are not two processors.
bool
PinProcessors(const Receivers &receivers)
{
   long cpus = sysconf(_SC_NPROCESSORS_ONLN);
   if (cpus < 2) {
      std::fprintf(stderr, "--pin needs two processors\n");
      return false;
   }
   cpu_set_t receiverSet, senderSet;
   CPU_ZERO(&receiverSet);
   CPU_ZERO(&senderSet);
   CPU_SET((int)cpus - 1, &receiverSet);
   for (long c = 0; c + 1 < cpus; c++) {
      CPU_SET((int)c, &senderSet);
   }
   for (pid_t pid : {receivers.loop.Pid(), receivers.batchedLoop.Pid(),
                     receivers.writingLoop.Pid(), receivers.collector->Pid()}) {
      sched_setaffinity(pid, sizeof receiverSet, &receiverSet);
   }
   sched_setaffinity(0, sizeof senderSet, &senderSet);  // and the senders forked later
   std::printf("receivers on processor %ld, senders on the others\n\n", cpus - 1);
   return true;
}

void
KeepBest(Measure *best, const Measure &m)
{
   if (!best->ok || (m.ok && m.stats.seconds < best->stats.seconds)) {
      *best = m;
   }
}

// The middle value (the mean of the two middle ones for an even count).
double
Median(std::vector<double> v)
{
   std::sort(v.begin(), v.end());
   size_t n = v.size();
   return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The rounds of one window: the best time of each receiver, and the
// collector's ratio to each loop round by round.
struct WindowCase {
   Measure bare, batched, writing, best, sealed;
   std::vector<double> toBare, toBatched, toWriting, sealedToPlain;
   std::string verdict = "bytes on disk identical";
   std::string sealedVerdict = "bytes on disk identical";
};

// True when the collector's copy of the dump, at `dump`, holds the source;
// otherwise the reason in *verdict.
bool
DumpMatches(const std::optional<fs::path> &dump, uint64_t size, std::string *verdict)
{
   std::string why;
   if (!dump || !MatchesPattern(*dump, size, &why)) {
      *verdict = "BYTES ON DISK DIFFER: " + (dump ? why : "no dump file");
      return false;
   }
   return true;
}

// One dump into the collector, plain or sealed with `key`, whose copy is
// then checked and removed; *failed is set when it failed or differs.
Measure
SendToCollector(const Receivers &receivers, const fs::path &source, uint64_t size,
                unsigned window, const SalvorKey *key, std::string *verdict, bool *failed)
{
   Measure m = SendFile(receivers.collector->Address(), source, size, window, {}, key);
   if (!m.ok) {
      *failed = true;
      return m;
   }
   std::optional<fs::path> dump = FindDump(receivers.collector->DataDir());
   *failed |= !DumpMatches(dump, size, verdict);
   if (dump) {
      fs::remove(*dump);
   }
   return m;
}

// Runs the rounds until one fails; *failed stays set once set.
void
RunWindowRounds(Receivers &receivers, const fs::path &source, uint64_t size, unsigned window,
                unsigned runs, WindowCase *c, bool *failed)
{
   for (unsigned r = 0; r < runs && !*failed; r++) {
      Measure a = SendFile(receivers.loop.Address(), source, size, window);
      *failed |= !a.ok;
      KeepBest(&c->bare, a);
      Measure a2 = SendFile(receivers.batchedLoop.Address(), source, size, window);
      *failed |= !a2.ok;
      KeepBest(&c->batched, a2);
      Measure aw = SendFile(receivers.writingLoop.Address(), source, size, window);
      *failed |= !aw.ok;
      KeepBest(&c->writing, aw);
      Measure m = SendToCollector(receivers, source, size, window, nullptr, &c->verdict, failed);
      if (!m.ok) {
         c->best = m;
         break;
      }
      KeepBest(&c->best, m);
      if (a.ok && a2.ok && aw.ok) {
         c->toBare.push_back(m.MBps() / a.MBps());
         c->toBatched.push_back(m.MBps() / a2.MBps());
         c->toWriting.push_back(m.MBps() / aw.MBps());
      }
      if (const SalvorKey *key = receivers.seal.Key()) {
         Measure s = SendToCollector(receivers, source, size, window, key, &c->sealedVerdict,
                                     failed);
         KeepBest(&c->sealed, s);
         if (s.ok) {
            c->sealedToPlain.push_back(s.MBps() / m.MBps());
         }
      }
   }
}

void
PrintWindowCase(unsigned window, uint64_t size, const WindowCase &c)
{
   std::printf("window %u\n", window);
   Row("(a) recvfrom/sendto loop", size, c.bare, "");
   Row("(a') recvmmsg/sendmmsg loop", size, c.batched, "");
   Row("(a+w) loop writing a file", size, c.writing, "");
   Row("(b) salvor", size, c.best, c.verdict);
   if (c.sealed.ok || !c.sealed.error.empty()) {
      Row("(s) salvor, sealed", size, c.sealed, c.sealedVerdict);
      if (!c.sealedToPlain.empty()) {
         std::printf("%-30s %10s %10s %12s %9.2f\n", "    sealed / (b)", "", "", "",
                     Median(c.sealedToPlain));
      }
   }
   if (!(c.best.ok && c.bare.ok && c.batched.ok && c.writing.ok)) {
      return;
   }
   double target = window >= 32 ? 1.0 : window == 1 ? 0.95 : 0;
   double ratio = Median(c.toBare);
   std::printf("%-30s %10s %10s %12s %9.2f  ", "    salvor / (a)", "", "", "", ratio);
   if (target > 0) {
      std::printf("target >= %.2f: %s", target, ratio >= target ? "met" : "NOT MET");
   }
   std::printf("\n%-30s %10s %10s %12s %9.2f\n", "    salvor / (a')", "", "", "",
               Median(c.toBatched));
   std::printf("%-30s %10s %10s %12s %9.2f\n", "    salvor / (a+w)", "", "", "",
               Median(c.toWriting));
}

// All hosts at once into `to`, each from 127.0.20.(h + 1) in a process of
// its own; the wall time, or -1 when one failed.
double
SendFromManyHosts(const NetAddr &to, const fs::path &part, uint64_t share, unsigned hosts)
{
   auto start = std::chrono::steady_clock::now();
   std::vector<pid_t> children;
   for (unsigned h = 0; h < hosts; h++) {
      pid_t pid = fork();
      if (pid == 0) {
         Measure m = SendFile(to, part, share, 32, 0x7F001400u + h + 1);
         _exit(m.ok ? 0 : 1);
      }
      children.push_back(pid);
   }
   unsigned bad = 0;
   for (pid_t pid : children) {
      int status = 0;
      waitpid(pid, &status, 0);
      bad += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
   }
   double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
   return bad == 0 ? seconds : -1.0;
}

// The dumps of the many hosts that hold their share exactly; all removed.
unsigned
CountWholeDumps(const testutil::CollectorProcess &collector, unsigned hosts, uint64_t share)
{
   unsigned whole = 0;
   for (unsigned h = 0; h < hosts; h++) {
      fs::path dir = collector.DataDir() + "/127/0/20/" + std::to_string(h + 1);
      std::error_code ec;
      for (const auto &e : fs::directory_iterator(dir, ec)) {
         std::string why;
         whole += MatchesPattern(e.path(), share, &why);
         fs::remove(e.path());
      }
   }
   return whole;
}

// The best of each receiver with one host and a window of 32.
struct OneHost {
   Measure salvor, bare, batched;
};

// Wall times of the many hosts into each receiver, and what the collector did.
struct ManyHosts {
   unsigned hosts = 0;
   uint64_t bytes = 0;
   double bareSeconds = 0, batchedSeconds = 0, seconds = 0;
   double busyPercent = -1;
   unsigned whole = 0;
};

void
PrintManyHosts(const ManyHosts &d, const OneHost &one)
{
   const unsigned long long mib = d.bytes >> 20;
   double bareMbps = (double)d.bytes / 1e6 / d.bareSeconds;
   std::printf("(d) %u hosts at once: (a)   %5llu MiB %8.2f s %12s %9.1f  %.2f of (a) with one "
               "host\n", d.hosts, mib, d.bareSeconds, "", bareMbps, bareMbps / one.bare.MBps());
   double batchedMbps = (double)d.bytes / 1e6 / d.batchedSeconds;
   std::printf("(d) %u hosts at once: (a')  %5llu MiB %8.2f s %12s %9.1f  %.2f of (a') with one "
               "host\n", d.hosts, mib, d.batchedSeconds, "", batchedMbps,
               batchedMbps / one.batched.MBps());
   double mbps = (double)d.bytes / 1e6 / d.seconds;
   double ratio = mbps / one.salvor.MBps();
   std::printf("(d) %u hosts at once: salvor %5llu MiB %8.2f s %12s %9.1f  %u of %u dumps "
               "identical; collector busy %.0f%% of the time\n", d.hosts, mib, d.seconds, "",
               mbps, d.whole, d.hosts, d.busyPercent);
   std::printf("%-30s %10s %10s %12s %9.2f  target >= 0.90: %s\n",
               "    / one host, window 32", "", "", "", ratio,
               ratio >= 0.9 ? "met" : "NOT MET");
   std::printf("%-30s %10s %10s %12s %9.2f\n", "    / (a) with as many hosts", "", "", "",
               mbps / bareMbps);
}

// (d) Many hosts at once: each sends an equal share of the bytes, from an
// address of its own, with a window of 32, in a process of its own. False
// when a host failed or a dump differs.
bool
RunManyHosts(Receivers &receivers, unsigned hosts, const fs::path &scratch, uint64_t size,
             const OneHost &one)
{
   const uint64_t share = size / hosts;
   const fs::path part = scratch / "share.bin";
   WritePattern(part, share);
   const testutil::CollectorProcess &collector = *receivers.collector;
   ManyHosts d{.hosts = hosts, .bytes = share * hosts};
   d.bareSeconds = SendFromManyHosts(receivers.loop.Address(), part, share, hosts);
   d.batchedSeconds = SendFromManyHosts(receivers.batchedLoop.Address(), part, share, hosts);
   double cpuBefore = CpuSeconds(collector.Pid());
   d.seconds = SendFromManyHosts(collector.Address(), part, share, hosts);
   double cpuUsed = CpuSeconds(collector.Pid()) - cpuBefore;
   if (cpuBefore >= 0) {
      d.busyPercent = 100 * cpuUsed / d.seconds;
   }
   d.whole = CountWholeDumps(collector, hosts, share);
   PrintManyHosts(d, one);
   fs::remove(part);
   bool bad = d.seconds < 0 || d.bareSeconds < 0 || d.batchedSeconds < 0;
   return !bad && d.whole == hosts;
}

// (c) Peak memory of the collector while it takes a large dump; false
// when the dump failed or differs.
bool
RunBigDump(const testutil::CollectorProcess &collector, uint64_t bigMiB, const fs::path &scratch,
           const fs::path &source)
{
   const uint64_t bigSize = bigMiB << 20;
   fs::remove(source);
   const fs::path big = scratch / "big.bin";
   if (!WritePattern(big, bigSize)) {
      std::fprintf(stderr, "cannot write %s\n", big.c_str());
      return false;
   }
   Measure m = SendFile(collector.Address(), big, bigSize, 32);
   std::string note;
   bool ok = m.ok;
   if (m.ok) {
      if (!DumpMatches(FindDump(collector.DataDir()), bigSize, &note)) {
         note += "; ";
         ok = false;
      }
      long kib = collector.PeakRssKiB();
      char buf[96];
      std::snprintf(buf, sizeof buf, "collector peak RSS %.1f MiB (limit 16 MiB: %s)",
                    (double)kib / 1024, kib >= 0 && kib < 16 * 1024 ? "met" : "NOT MET");
      note += buf;
   }
   Row("(c) salvor, large dump", bigSize, m, note);
   return ok;
}

std::optional<Args>
ParseArgsOrUsage(int argc, char **argv)
{
   Args args;
   try {
      if (ParseArgs(argc, argv, &args)) {
         return args;
      }
   } catch (const std::exception &) {
   }
   std::fprintf(stderr, "usage: %s [--salvor PATH] [--size-mib N] [--big-mib N] "
                        "[--windows N,N...] [--hosts N] [--runs N] [--tmp DIR] [--pin] "
                        "[--sealed] [--resume]\n",
                argv[0]);
   return std::nullopt;
}

// The cases one after the other, with a window each, then many hosts and
// the large dump; false when one failed.
bool
RunCases(const Args &args, const fs::path &scratch, const fs::path &source, uint64_t size,
         Receivers &receivers)
{
   bool failed = false;
   OneHost oneHost32;
   for (unsigned window : args.windows) {
      WindowCase c;
      RunWindowRounds(receivers, source, size, window, args.runs, &c, &failed);
      PrintWindowCase(window, size, c);
      if (window == 32) {
         oneHost32 = OneHost{c.best, c.bare, c.batched};
      }
   }
   if (!failed && args.hosts > 1 && oneHost32.salvor.ok) {
      failed |= !RunManyHosts(receivers, args.hosts, scratch, size, oneHost32);
   }
   if (!failed && args.bigMiB > 0) {
      failed |= !RunBigDump(*receivers.collector, args.bigMiB, scratch, source);
   }
   return !failed;
}

}  // namespace

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   std::optional<Args> args = ParseArgsOrUsage(argc, argv);
   if (!args) {
      return 2;
   }
   std::optional<testutil::TempDir> scratchDir;
   try {
      scratchDir.emplace(args->tmp);
   } catch (const std::exception &e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
   }
   const fs::path scratch = scratchDir->Path();
   const uint64_t size = args->sizeMiB << 20;
   const fs::path source = scratch / "source.bin";
   if (!WritePattern(source, size)) {
      std::fprintf(stderr, "cannot write %s\n", source.c_str());
      return 1;
   }
   std::printf("dump throughput, %u rounds: best time of each receiver, median ratio of "
               "the rounds\n\n", args->runs);
   std::printf("%-30s %10s %10s %12s %9s  %s\n", "receiver", "size", "time", "datagrams/s",
               "MB/s", "notes");

   Receivers receivers(scratch);
   if (!StartCollector(*args, scratch, &receivers)) {
      return 1;
   }
   if (args->pin && !PinProcessors(receivers)) {
      return 2;
   }
   return RunCases(*args, scratch, source, size, receivers) ? 0 : 1;
}

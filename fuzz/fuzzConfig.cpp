// Fuzzes the XML configuration reader: the input is written to a file and
// read as the configuration. The probe of each configured directory is
// confined to the fuzzer's temporary directory (the current directory
// while it runs): only short relative paths of a few fixed names reach the
// real probe; every other path is answered as a failed probe, so that the
// fuzzer neither creates nor removes anything elsewhere.
//
// The parser's own error reports are dropped: written to stderr they
// cost more than the parse, and nothing here reads them.
#include "fuzz/fuzzTmp.h"
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorConfigFile.h"

extern "C" int __real__Z25SalvorWin32ProbeDirectoryPKc(const char *dir);

namespace {

// "a", "b/c", "d/a/b/": one to three components, each one of "abcd".
bool
ConfinedPath(const char *dir)
{
   int components = 0;
   const char *p = dir;
   while (*p != '\0') {
      if (*p < 'a' || *p > 'd' || (p[1] != '\0' && p[1] != '/')) {
         return false;
      }
      components++;
      p += p[1] == '/' ? 2 : 1;
   }
   return components >= 1 && components <= 3;
}

void
IgnoreGenericError(void *, const char *, ...)
{
}

void
IgnoreStructuredError(void *, xmlErrorPtr)
{
}

std::string
TempDir()
{
   static std::string dir;
   if (dir.empty()) {
      std::string nameTemplate = FuzzTempTemplate("salvorFuzzConfig");
      char *name = nameTemplate.data();
      if (mkdtemp(name) == nullptr || chdir(name) != 0) {
         std::abort();
      }
      dir = name;
      xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
      xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
   }
   return dir;
}

}  // namespace

extern "C" int
__wrap__Z25SalvorWin32ProbeDirectoryPKc(const char *dir)
{
   if (dir == nullptr) {
      std::abort();
   }
   if (!ConfinedPath(dir)) {
      return EACCES;
   }
   return __real__Z25SalvorWin32ProbeDirectoryPKc(dir);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size > 65536) {
      return 0;
   }
   const std::string path = TempDir() + "/config.xml";
   FILE *f = std::fopen(path.c_str(), "wb");
   if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
      std::abort();
   }
   SalvorConfigReset();  // every input starts from the defaults
   int result = SalvorWin32ReadConfig(path.c_str());
   if (result == 0 && SalvorConfig.port != SALVOR_DEFAULT_PORT &&
       (SalvorConfig.port < 1024 || SalvorConfig.port > 65535)) {
      std::abort();  // a refused port was taken
   }
   if (std::memchr(SalvorConfig.dataDir, '\0', sizeof SalvorConfig.dataDir) == nullptr ||
       std::memchr(SalvorConfig.logFile, '\0', sizeof SalvorConfig.logFile) == nullptr) {
      std::abort();
   }
   return 0;
}

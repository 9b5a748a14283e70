// The table of configuration elements; see salvorElements.h.
#include "collector/startup/salvorElements.h"

#include <cstdint>

#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorNetConfig.h"
#include "collector/startup/salvorNetElements.h"
#include "collector/startup/salvorNumberElements.h"
#include "collector/startup/salvorOpsConfig.h"
#include "collector/startup/salvorPathElements.h"
#include "collector/startup/salvorStartup.h"

namespace {

using Kind = SalvorElementKind;

// A port counts only after a defaultValues element, once per such element.
int
SalvorArmPort(const SalvorElementValue &)
{
   SalvorConfig.sawDefaultValues = 1;
   return 0;
}

bool
SalvorPortArmed()
{
   return SalvorConfig.sawDefaultValues == 1;
}

int
SalvorSetPort(const SalvorElementValue &value)
{
   SalvorConfig.port = (int32_t)value.number;
   SalvorConfig.sawDefaultValues = 0;
   return 0;
}

// Ports 1 to 1023 exist but are reserved; anything else outside the row's
// range is no port at all.
void
SalvorRefusePort(int64_t port)
{
   if (port < 1 || port > 65535) {
      SalvorWin32InitLog("An invalid port was specified. \n");
   } else {
      SalvorWin32InitLog("Selected port is in reserved range. \n");
   }
}

// Any level above 0 turns the extra messages on; 0 leaves them as they are.
int
SalvorRaiseVerbose(const SalvorElementValue &value)
{
   if (value.number > 0) {
      SalvorConfig.verbose = 1;
   }
   return 0;
}

// The ports, directories and numbers the collector always had; then where
// it listens and whom it hears; then the operations features. A new
// element is one more row (and its field in a settings record).
constexpr SalvorElementRow SALVOR_ELEMENTS[] = {
   {.name = "defaultLogPath", .kind = Kind::Directory, .what = "log directory",
    .says = "Log file will be: ", .fileName = SALVOR_LOG_FILE_NAME,
    .sets = SalvorSets(SalvorConfig.logFile)},
   {.name = "defaultDataPath", .kind = Kind::Directory, .what = "data directory",
    .says = "output dir will be: ", .sets = SalvorSets(SalvorConfig.dataDir)},
   {.name = "defaultValues", .kind = Kind::Flag, .sets = SalvorSets(SalvorArmPort)},
   {.name = "port", .kind = Kind::LooseNumber, .min = 1024, .max = 65535,
    .says = "Port will be : ", .takesEffect = SalvorPortArmed, .refuse = SalvorRefusePort,
    .sets = SalvorSets(SalvorSetPort)},
   {.name = "level", .kind = Kind::LooseNumber, .min = 0, .max = INT32_MAX,
    .says = "Log level will be: ", .sets = SalvorSets(SalvorRaiseVerbose)},
   {.name = "maxSize", .kind = Kind::LooseNumber, .min = 0, .max = INT32_MAX,
    .says = "Data directory limit is ", .sets = SalvorSets(&SalvorConfig.maxSize)},

   {.name = "listenAddress", .kind = Kind::ListenAddress, .max = SALVOR_MAX_LISTEN,
    .repeats = true,
    .sets = SalvorSets(SalvorListenList{SalvorNetConfig.listen, SalvorNetConfig.listenZone,
                                        &SalvorNetConfig.listenCount})},
   {.name = "allowFrom", .kind = Kind::Network, .max = SALVOR_MAX_ALLOW, .repeats = true,
    .what = "allowFrom", .says = "Datagrams will be accepted from: ",
    .sets = SalvorSets(SalvorNetworkList{SalvorNetConfig.allow, &SalvorNetConfig.allowCount})},
   {.name = "keysFile", .kind = Kind::FilePath, .what = "keys file",
    .says = "The keys file will be: ", .sets = SalvorSets(SalvorNetConfig.keysFile)},
   {.name = "allowPlainFrom", .kind = Kind::Network, .max = SALVOR_MAX_ALLOW, .repeats = true,
    .what = "allowPlainFrom", .says = "Plain datagrams will be accepted from: ",
    .sets = SalvorSets(SalvorNetworkList{SalvorNetConfig.allowPlain,
                                         &SalvorNetConfig.allowPlainCount})},

   {.name = "dumpHook", .kind = Kind::Program, .what = "dump hook",
    .says = "The dump hook will be: ", .sets = SalvorSets(SalvorOpsConfig.dumpHook)},
   {.name = "hookTimeout", .kind = Kind::WholeNumber, .min = 1, .max = 86400,
    .sets = SalvorSets(&SalvorOpsConfig.hookTimeout)},
   {.name = "keepFreeMiB", .kind = Kind::WholeNumber, .min = 0, .max = INT64_MAX >> 20,
    .sets = SalvorSets(&SalvorOpsConfig.keepFreeMiB)},
   {.name = "keepDays", .kind = Kind::WholeNumber, .min = 1, .max = 100000,
    .sets = SalvorSets(&SalvorOpsConfig.keepDays)},
   {.name = "keepPerHost", .kind = Kind::WholeNumber, .min = 1, .max = 1000000,
    .sets = SalvorSets(&SalvorOpsConfig.keepPerHost)},
   {.name = "metricsFile", .kind = Kind::FilePath, .what = "metrics file",
    .says = "The metrics file will be: ", .sets = SalvorSets(SalvorOpsConfig.metricsFile)},
   {.name = "resumeDumps", .kind = Kind::Boolean,
    .says = "Dumps in progress survive a restart: ", .sets = SalvorSets(&SalvorOpsConfig.resumeDumps)},
};

static_assert(SalvorElementTableIsSound(SALVOR_ELEMENTS),
              "each element sets what its kind fills, and no name begins with another");

int
SalvorReadElement(const SalvorElementRow &row, const char *name, const char *text)
{
   if (row.takesEffect != nullptr && !row.takesEffect()) {
      return 0;
   }
   switch (row.kind) {
   case Kind::Flag:
      return SalvorReadFlagElement(row, name);
   case Kind::LooseNumber:
      return SalvorReadLooseNumberElement(row, name, text);
   case Kind::WholeNumber:
      return SalvorReadWholeNumberElement(row, name, text);
   case Kind::Directory:
      return SalvorReadDirectoryElement(row, name, text);
   case Kind::FilePath:
      return SalvorReadFilePathElement(row, name, text);
   case Kind::Program:
      return SalvorReadProgramElement(row, name, text);
   case Kind::ListenAddress:
      return SalvorReadListenAddressElement(row, name, text);
   case Kind::Network:
      return SalvorReadNetworkElement(row, name, text);
   case Kind::Boolean:
      return SalvorReadBooleanElement(row, name, text);
   }
   return 0;
}

}  // namespace

std::span<const SalvorElementRow>
SalvorConfigElements()
{
   return SALVOR_ELEMENTS;
}

const SalvorElementRow *
SalvorConfigFindElement(const char *name)
{
   for (const SalvorElementRow &row : SALVOR_ELEMENTS) {
      if (SalvorElementNameBegins(name, row.name)) {
         return &row;
      }
   }
   return nullptr;
}

int
SalvorConfigApplyElement(const char *name, const char *value)
{
   const SalvorElementRow *row = SalvorConfigFindElement(name);
   return row != nullptr ? SalvorReadElement(*row, name, value) : 0;
}

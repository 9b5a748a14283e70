// The XML configuration file; see salvorConfigFile.h.
//
// Elements are recognised by name prefix, case-sensitively, anywhere in
// the document, in document order. A port counts only after a
// defaultValues element has been met, and only once per such element.
#include "collector/startup/salvorConfigFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <libxml/parser.h>

#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorNetConfig.h"
#include "collector/startup/salvorOpsConfig.h"
#include "collector/startup/salvorStartup.h"
#include "lib/file/file.h"
#include "lib/string/str.h"

namespace {

/*
 * The configuration's number conversion: leading white space, an optional
 * sign, then digits up to the first other character; no digits give 0.
 * A value beyond the int range is clamped to it rather than wrapped, so
 * that "4294973796" is refused as a port instead of read as 6500.
 */
int
SalvorConfigAtoi(const char *text)
{
   int savedErrno = errno;  // an overflow's ERANGE is not a platform error
   long long value = std::strtoll(text, nullptr, 10);  // clamps on overflow
   errno = savedErrno;
   if (value > INT_MAX) {
      return INT_MAX;
   }
   if (value < INT_MIN) {
      return INT_MIN;
   }
   return (int)value;
}

bool
SalvorConfigNameStartsWith(const xmlNode *node, const char *key)
{
   return std::strncmp(reinterpret_cast<const char *>(node->name), key, std::strlen(key)) == 0;
}

/*
 * Applies one element; returns 0 or the failure code. A path too long for
 * its field is refused, never cut, so that the collector never writes
 * somewhere it was not told to.
 */
int
SalvorConfigApplyElement(xmlNode *node)
{
   xmlChar *content = xmlNodeGetContent(node);
   const char *value = content != nullptr ? reinterpret_cast<const char *>(content) : "";
   int result = 0;

   if (SalvorConfigApplyNetElement(reinterpret_cast<const char *>(node->name), value, &result)) {
      // listenAddress, allowFrom
   } else if ((SalvorConfigNameStartsWith(node, "defaultLogPath") ||
        SalvorConfigNameStartsWith(node, "defaultDataPath")) &&
       value[0] == '\0') {
      // An empty path would put the probe and the dumps at the root.
      SalvorWin32InitLog("The element %s names no directory.\n",
                         reinterpret_cast<const char *>(node->name));
      result = -1;
   } else if (SalvorConfigNameStartsWith(node, "defaultLogPath")) {
      result = SalvorWin32ProbeDirectory(value);
      if (result == 0) {
         if (Str_Snprintf(SalvorConfig.logFile, SALVOR_PATH_SIZE, "%s%s%s", value, DIRSEPS,
                          SALVOR_LOG_FILE_NAME) < 0) {
            SalvorConfig.logFile[0] = '\0';
            SalvorWin32InitLog("The log directory is too long (at most %d bytes): %s\n",
                               SALVOR_PATH_SIZE - 1, value);
            result = ENAMETOOLONG;
         } else {
            SalvorWin32InitLog("Log file will be: %s%s%s\n", value, DIRSEPS, SALVOR_LOG_FILE_NAME);
         }
      }
   } else if (SalvorConfigNameStartsWith(node, "defaultDataPath")) {
      result = SalvorWin32ProbeDirectory(value);
      if (result == 0) {
         if (Str_Snprintf(SalvorConfig.dataDir, SALVOR_PATH_SIZE, "%s", value) < 0) {
            SalvorConfig.dataDir[0] = '\0';
            SalvorWin32InitLog("The data directory is too long (at most %d bytes): %s\n",
                               SALVOR_PATH_SIZE - 1, value);
            result = ENAMETOOLONG;
         } else {
            SalvorWin32InitLog("output dir will be: %s\n", value);
         }
      }
   } else if (SalvorConfigNameStartsWith(node, "defaultValues")) {
      SalvorConfig.sawDefaultValues = 1;
   } else if (SalvorConfigNameStartsWith(node, "port")) {
      if (SalvorConfig.sawDefaultValues == 1) {
         SalvorConfig.port = SalvorConfigAtoi(value);
         SalvorWin32InitLog("Port will be : %d\n", SalvorConfig.port);
         SalvorConfig.sawDefaultValues = 0;
         if (SalvorConfig.port < 1 || SalvorConfig.port > 65535) {
            SalvorWin32InitLog("An invalid port was specified. \n");
            result = -1;
         } else if (SalvorConfig.port < 1024) {
            SalvorWin32InitLog("Selected port is in reserved range. \n");
            result = -1;
         }
      }
   } else if (SalvorConfigNameStartsWith(node, "level")) {
      int level = SalvorConfigAtoi(value);
      SalvorWin32InitLog("Log level will be: %d\n", level);
      if (level < 0) {
         result = -1;
      } else if (level > 0) {
         SalvorConfig.verbose = 1;
      }
   } else if (SalvorOpsConfigApply(reinterpret_cast<const char *>(node->name), value,
                                   &result)) {
      // one of the operations settings
   } else if (SalvorConfigNameStartsWith(node, "maxSize")) {
      SalvorConfig.maxSize = SalvorConfigAtoi(value);
      SalvorWin32InitLog("Data directory limit is %d\n", SalvorConfig.maxSize);
      if (SalvorConfig.maxSize < 0) {
         result = -1;
      }
   }
   xmlFree(content);
   return result;
}

}  // namespace

int
SalvorWin32ParseElements(xmlNode *node, int pending)
{
   if (pending != 0) {
      SalvorWin32InitLog("SalvorWin32ParseElements returning from %s\n",
                         node != nullptr && node->name != nullptr
                            ? reinterpret_cast<const char *>(node->name) : "null");
      return pending;
   }
   for (xmlNode *cur = node; cur != nullptr; cur = cur->next) {
      if (cur->type == XML_ELEMENT_NODE) {
         int result = SalvorConfigApplyElement(cur);
         if (result != 0) {
            return result;
         }
      }
      pending = SalvorWin32ParseElements(cur->children, pending);
   }
   return pending;
}

int
SalvorWin32ReadConfig(const char *path)
{
   xmlCheckVersion(20630);
   // A pipe or a device would hold the start for ever, and a directory
   // has nothing to read: only a regular file is a configuration.
   int notRegular = File_CheckRegular(path);
   if (notRegular != 0) {
      SalvorWin32InitLog("Could not read config file.. %s (error = %d)\n", path, notRegular);
      return notRegular;
   }
   errno = 0;
   // No network access and no external entities: the file is ours to read,
   // nothing it names is.
   xmlDoc *doc = xmlReadFile(path, nullptr, XML_PARSE_NONET);
   if (doc == nullptr) {
      int err = errno;
      SalvorWin32InitLog("Could not read config file.. %s (error = %d)\n", path, err);
      return err != 0 ? err : -1;
   }
   int result = SalvorWin32ParseElements(xmlDocGetRootElement(doc), 0);
   xmlFreeDoc(doc);
   return result;
}

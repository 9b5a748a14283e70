// The XML configuration file; see salvorConfigFile.h.
//
// Elements are applied wherever they stand in the document, in document
// order; salvorElements.h says which there are and how each is read.
#include "collector/startup/salvorConfigFile.h"

#include <cerrno>
#include <libxml/parser.h>

#include "collector/startup/salvorElements.h"
#include "collector/startup/salvorStartup.h"
#include "lib/file/file.h"
#include "lib/misc/utilScoped.h"

namespace {

// Applies one element with its text content (that of all its descendants).
int
SalvorApplyNode(const xmlNode *node)
{
   xmlChar *content = xmlNodeGetContent(node);
   UtilScopeExit freeContent([content] { xmlFree(content); });
   const char *value = content != nullptr ? reinterpret_cast<const char *>(content) : "";
   return SalvorConfigApplyElement(reinterpret_cast<const char *>(node->name), value);
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
         int result = SalvorApplyNode(cur);
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
   UtilScopeExit freeDoc([doc] { xmlFreeDoc(doc); });
   return SalvorWin32ParseElements(xmlDocGetRootElement(doc), 0);
}

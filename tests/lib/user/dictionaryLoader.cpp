// A process that loads one dictionary file in the host's encoding, for
// the tests that need a locale set before the process starts.
//
//   dictionaryLoader <path> <name>
//      Writes the host encoding on the first line, "loaded" or "failed"
//      on the second and the value of <name> (or "<none>") on the third,
//      then the load's reports. Exit status 0.
#include <cstdio>
#include <cstdlib>

#include "lib/coreDump/fatalPath.h"
#include "lib/user/dictionary.h"
#include "lib/misc/msgList.h"

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   if (argc != 3) {
      std::fprintf(stderr, "usage: dictionaryLoader <path> <name>\n");
      return 2;
   }
   Dictionary *dict = Dictionary_Create();
   MsgList *messages = nullptr;
   bool ok = Dictionary_Load(dict, argv[1], true, nullptr, &messages);
   const char *value = Dictionary_IsDefined(dict, argv[2])
                          ? Dictionary_GetString(dict, nullptr, argv[2], &messages)
                          : nullptr;
   std::printf("%s\n%s\n%s\n", Dictionary_HostEncoding(), ok ? "loaded" : "failed",
               value != nullptr ? value : "<none>");
   for (const MsgList *m = messages; m != nullptr; m = m->next) {
      char *text = MsgList_FormatNode(m);
      std::printf("[%s]%s", m->id, text);
      std::free(text);
   }
   MsgList_Free(messages);
   Dictionary_Free(dict);
   return 0;
}

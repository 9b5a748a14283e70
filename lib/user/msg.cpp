// User messages; see msg.h. Questions are logged and answered with their
// default: the collector runs without anybody at a screen.
#include "lib/user/msg.h"

#include <cstdarg>
#include <cstring>

#include "lib/log/log.h"
#include "lib/string/str.h"

int
Msg_Question(const char *const buttons[], int defaultAnswer, const char *format, ...)
{
   (void)buttons;
   char text[1024];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(text, sizeof text, format, args);
   va_end(args);
   Log("Msg_Question:\n%s\n---------------------------------------\n",
       Msg_StripMSGID(text));
   return defaultAnswer;
}

const char *
Msg_StripMSGID(const char *text)
{
   size_t magicLen = std::strlen(MSG_MAGIC);
   if (std::strncmp(text, MSG_MAGIC, magicLen) == 0 && text[magicLen] == '(') {
      const char *close = std::strchr(text + magicLen, ')');
      if (close != nullptr) {
         return close + 1;
      }
   }
   return text;
}

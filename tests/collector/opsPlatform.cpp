// The portable part of opsPlatform.h.
#include "tests/collector/opsPlatform.h"

namespace testutil {

std::string
HostDumpDir(const std::string &data, const std::string &ip)
{
   std::string dir = data;
   size_t from = 0;
   for (size_t dot; (dot = ip.find('.', from)) != std::string::npos; from = dot + 1) {
      dir += DUMP_PATH_SEP + ip.substr(from, dot - from);
   }
   return dir + DUMP_PATH_SEP + ip.substr(from);
}

std::string
Quoted(const std::string &text)
{
   std::string out;
   for (char c : text) {
      if (c == '\\' || c == '"') {
         out += '\\';
      }
      out += c;
   }
   return out;
}

}  // namespace testutil

// Fuzzes the message-format parser: the input is a format. Its argument
// types are read without arguments; when they are valid, arguments of
// exactly those types are made up and the format is formatted with them,
// and with a copy of them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/misc/msgFmt.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size > 4096) {
      return 0;
   }
   std::string format(reinterpret_cast<const char *>(data), size);
   format = format.c_str();  // up to the first NUL, as a caller's string

   int32_t *types = nullptr;
   int numArgs = -1;
   const char *error = nullptr;
   if (!MsgFmt_GetTypes(format.c_str(), &types, &numArgs, &error)) {
      if (error == nullptr) {
         std::abort();  // a failure always says why
      }
      std::free(types);
      return 0;
   }
   if (numArgs < 0 || (numArgs > 0 && types == nullptr)) {
      std::abort();
   }

   // A width or precision of five digits or more asks for a text of that
   // size, as printf would: not worth the fuzzer's memory.
   int digits = 0;
   for (char c : format) {
      digits = (c >= '0' && c <= '9') ? digits + 1 : 0;
      if (digits >= 5) {
         std::free(types);
         return 0;
      }
   }

   static char text[] = "t\xc3\xa9xt";
   MsgFmt_Arg *args = static_cast<MsgFmt_Arg *>(std::calloc((size_t)numArgs + 1, sizeof *args));
   for (int i = 0; i < numArgs; i++) {
      args[i].type = types[i];
      switch (types[i]) {
      case MSGFMT_ARG_INT32:
         // Small: an int may be a "*" width.
         args[i].v.signed32 = (i % 2 == 0) ? -123 : 77;
         break;
      case MSGFMT_ARG_INT64:
         args[i].v.signed64 = (i % 2 == 0) ? INT64_MIN : 1234567890123LL;
         break;
      case MSGFMT_ARG_FLOAT64:
         args[i].v.float64 = (i % 2 == 0) ? -1.5e300 : 0.125;
         break;
      case MSGFMT_ARG_STRING8:
         args[i].v.string8 = (i % 3 == 2) ? nullptr : text;
         break;
      case MSGFMT_ARG_PTR:
         args[i].v.ptr = text;
         break;
      default:
         std::abort();  // a valid format asks only for known types
      }
   }
   std::free(types);

   size_t length = 0;
   char *out = MsgFmt_Asprintf(&length, format.c_str(), args, numArgs);
   if (out != nullptr && std::strlen(out) != length) {
      std::abort();
   }
   MsgFmt_Arg *copy = MsgFmt_CopyArgs(args, numArgs);
   size_t copyLength = 0;
   char *again = MsgFmt_Asprintf(&copyLength, format.c_str(), copy, numArgs);
   if ((out == nullptr) != (again == nullptr) ||
       (out != nullptr && std::strcmp(out, again) != 0)) {
      std::abort();  // the copy formats as the original does
   }
   std::free(out);
   std::free(again);
   MsgFmt_FreeArgs(copy, numArgs);
   std::free(args);  // the strings here are not owned by the array
   return 0;
}

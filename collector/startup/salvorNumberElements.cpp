// Number and flag elements; see salvorNumberElements.h.
#include "collector/startup/salvorNumberElements.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "collector/startup/salvorStartup.h"
#include "lib/misc/utilScoped.h"

namespace {

// A value beyond the int range is clamped rather than wrapped, so that
// "4294973796" is refused as a port instead of read as 6500.
int
SalvorClampedAtoi(const char *text)
{
   UtilSavedError saved;  // an overflow's ERANGE is not a platform error
   long long value = std::strtoll(text, nullptr, 10);  // clamps on overflow
   if (value > INT_MAX) {
      return INT_MAX;
   }
   if (value < INT_MIN) {
      return INT_MIN;
   }
   return (int)value;
}

bool
SalvorIsBlank(char c)
{
   return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool
SalvorParseWholeNumber(const char *text, int64_t min, int64_t max, int64_t *out)
{
   char *end = nullptr;
   errno = 0;
   long long value = std::strtoll(text, &end, 10);
   while (SalvorIsBlank(*end)) {
      end++;
   }
   if (end == text || *end != '\0' || errno == ERANGE || value < min || value > max) {
      return false;
   }
   *out = value;
   return true;
}

int
SalvorStoreNumber(const SalvorElementRow &row, const SalvorElementValue &value)
{
   switch (row.sets.kind) {
   case SalvorSetsKind::Int32:
      *row.sets.int32 = (int32_t)value.number;
      return 0;
   case SalvorSetsKind::Int64:
      *row.sets.int64 = value.number;
      return 0;
   default:
      return row.sets.set(value);
   }
}

}  // namespace

int
SalvorReadFlagElement(const SalvorElementRow &row, const char *name)
{
   return row.sets.set(SalvorElementValue{name, "", 0});
}

int
SalvorReadLooseNumberElement(const SalvorElementRow &row, const char *name, const char *text)
{
   SalvorElementValue value{name, text, SalvorClampedAtoi(text)};
   int result = SalvorStoreNumber(row, value);
   SalvorWin32InitLog("%s%d\n", row.says, (int)value.number);
   if (result != 0) {
      return result;
   }
   if (value.number < row.min || value.number > row.max) {
      if (row.refuse != nullptr) {
         row.refuse(value.number);
      }
      return -1;
   }
   return 0;
}

int
SalvorReadWholeNumberElement(const SalvorElementRow &row, const char *name, const char *text)
{
   SalvorElementValue value{name, text, 0};
   if (!SalvorParseWholeNumber(text, row.min, row.max, &value.number)) {
      SalvorWin32InitLog("The element %s needs a whole number from %lld to %lld, not \"%s\".\n",
                         name, (long long)row.min, (long long)row.max, text);
      return -1;
   }
   int result = SalvorStoreNumber(row, value);
   if (result == 0 && value.number != 0) {
      if (row.says != nullptr) {
         SalvorWin32InitLog("%s%lld\n", row.says, (long long)value.number);
      } else {
         SalvorWin32InitLog("%s will be: %lld\n", name, (long long)value.number);
      }
   }
   return result;
}

int
SalvorReadBooleanElement(const SalvorElementRow &row, const char *name, const char *text)
{
   const char *start = text;
   while (SalvorIsBlank(*start)) {
      start++;
   }
   const char *end = start + std::strlen(start);
   while (end > start && SalvorIsBlank(end[-1])) {
      end--;
   }
   std::string word(start, end);
   int32_t value;
   if (word == "true" || word == "1") {
      value = 1;
   } else if (word == "false" || word == "0") {
      value = 0;
   } else {
      SalvorWin32InitLog("The element %s needs true or false (1 or 0), not \"%s\".\n", name,
                         text);
      return -1;
   }
   *row.sets.int32 = value;
   SalvorWin32InitLog("%s%s\n", row.says, value != 0 ? "yes" : "no");
   return 0;
}

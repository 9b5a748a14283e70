// Fuzzes the reader of the collector's resume state, which a crash may
// leave cut short and a stranger may have written. Whatever it reads, the
// records it vouches for read again the same, and whole.
#include <cstdint>
#include <cstdlib>

#include "collector/operations/salvorResumeFile.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   SalvorResumeRead read = SalvorResumeParse(data, size);
   if (read.goodBytes > size || (read.result == SALVOR_RESUME_READ_WHOLE && read.goodBytes != size)) {
      std::abort();
   }
   if (read.result == SALVOR_RESUME_READ_DAMAGED) {
      return 0;
   }
   SalvorResumeRead again = SalvorResumeParse(data, read.goodBytes);
   if (again.result != SALVOR_RESUME_READ_WHOLE || again.goodBytes != read.goodBytes ||
       again.slots.size() != read.slots.size()) {
      std::abort();
   }
   for (size_t i = 0; i < read.slots.size(); i++) {
      if (again.slots[i].live != read.slots[i].live) {
         std::abort();
      }
   }
   return 0;
}

// The broken-pipe check against the error a real pipe gives.
#include <gtest/gtest.h>

#include <windows.h>

#include "lib/misc/platError.h"
#include "lib/misc/utilScoped.h"

namespace {

TEST(PlatErrorTest, ReadFromAPipeWithoutWriterIsBrokenPipe)
{
   HANDLE readEnd, writeEnd;
   ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
   UtilWinHandle reader(readEnd);
   CloseHandle(writeEnd);
   char byte;
   DWORD n = 0;
   ASSERT_FALSE(ReadFile(reader.Get(), &byte, 1, &n, nullptr));
   EXPECT_TRUE(PlatError_IsBrokenPipe(GetLastError()));
}

TEST(PlatErrorTest, OtherErrorsAreNot)
{
   for (DWORD err : {ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_NO_DATA, ERROR_HANDLE_EOF,
                     ERROR_ACCESS_DENIED}) {
      EXPECT_FALSE(PlatError_IsBrokenPipe(err)) << err;
   }
}

}  // namespace

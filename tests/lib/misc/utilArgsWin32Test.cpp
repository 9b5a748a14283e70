// The program's arguments on Windows come from the wide command line alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

#include "lib/misc/utilArgs.h"

namespace {

TEST(Utf8ArgsWin32, WideSplitIsTakenWhateverTheNarrowOneCounted)
{
   int wideCount = 0;
   wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
   ASSERT_NE(wide, nullptr);
   LocalFree(wide);
   // The run-time's narrow split may count otherwise (its quoting rule
   // differs): the arguments must not then stay in the code page.
   for (int narrowCount : {wideCount, wideCount + 1, wideCount - 1}) {
      int argc = narrowCount;
      char *narrow[] = {nullptr};
      char **argv = narrow;
      ASSERT_TRUE(Util_Utf8Args(&argc, &argv)) << narrowCount;
      EXPECT_EQ(argc, wideCount);
      ASSERT_NE(argv, narrow);
      EXPECT_NE(argv[0], nullptr);
      EXPECT_EQ(argv[argc], nullptr);
      for (int i = 0; i <= argc; i++) {
         std::free(argv[i]);
      }
      std::free(argv);
   }
}

}  // namespace

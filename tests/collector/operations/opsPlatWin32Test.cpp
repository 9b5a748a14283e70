// A hook's environment block on Windows: what the collector passes comes
// first, what it inherited stays, and the names are in the system's order.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "collector/platform/salvorOpsPlatWin32.h"

namespace {

std::vector<std::wstring>
Entries(const std::wstring &block)
{
   std::vector<std::wstring> out;
   for (size_t at = 0; at < block.size() && block[at] != L'\0'; at = block.find(L'\0', at) + 1) {
      out.push_back(block.c_str() + at);
   }
   return out;
}

size_t
IndexOf(const std::vector<std::wstring> &entries, const std::wstring &entry)
{
   for (size_t i = 0; i < entries.size(); i++) {
      if (entries[i] == entry) {
         return i;
      }
   }
   return entries.size();
}

TEST(HookEnvironmentWin32, EntryWithoutAValueKeepsTheInheritedOnes)
{
   ASSERT_TRUE(SetEnvironmentVariableW(L"SALVOR_INHERITED_PROBE", L"kept"));
   const char *env[] = {"SALVOR_NO_VALUE", "SALVOR_FILE=C:\\d\\zdump", nullptr};
   std::vector<std::wstring> entries = Entries(SalvorOpsEnvironmentBlock(env));
   SetEnvironmentVariableW(L"SALVOR_INHERITED_PROBE", nullptr);
   EXPECT_LT(IndexOf(entries, L"SALVOR_INHERITED_PROBE=kept"), entries.size());
   EXPECT_LT(IndexOf(entries, L"SALVOR_FILE=C:\\d\\zdump"), entries.size());
   EXPECT_EQ(IndexOf(entries, L"SALVOR_NO_VALUE"), entries.size());
}

TEST(HookEnvironmentWin32, PassedValuesReplaceInheritedOnesWhateverTheCase)
{
   ASSERT_TRUE(SetEnvironmentVariableW(L"Salvor_Host", L"old"));
   const char *env[] = {"SALVOR_HOST=10.0.0.1", nullptr};
   std::vector<std::wstring> entries = Entries(SalvorOpsEnvironmentBlock(env));
   SetEnvironmentVariableW(L"Salvor_Host", nullptr);
   EXPECT_LT(IndexOf(entries, L"SALVOR_HOST=10.0.0.1"), entries.size());
   EXPECT_EQ(IndexOf(entries, L"Salvor_Host=old"), entries.size());
}

TEST(HookEnvironmentWin32, NamesAreInTheSystemsOrder)
{
   // By name in upper case: "_" (0x5F) comes after the letters, and a
   // name comes before the longer names it begins.
   const char *env[] = {"SALVOR_Z=1", "SALVOR_A_B=2", "SALVOR_AB=3", "SALVOR_A0=4", "SALVOR_A=5",
                        nullptr};
   std::vector<std::wstring> entries = Entries(SalvorOpsEnvironmentBlock(env));
   const wchar_t *order[] = {L"SALVOR_A=5", L"SALVOR_A0=4", L"SALVOR_AB=3", L"SALVOR_A_B=2",
                             L"SALVOR_Z=1"};
   for (size_t i = 1; i < sizeof order / sizeof order[0]; i++) {
      EXPECT_LT(IndexOf(entries, order[i - 1]), IndexOf(entries, order[i])) << i;
   }
   EXPECT_LT(IndexOf(entries, L"SALVOR_Z=1"), entries.size());
}

}  // namespace

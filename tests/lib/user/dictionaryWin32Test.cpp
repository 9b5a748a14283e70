// The dictionary's Windows back end where it differs from POSIX: the code
// page as the host encoding, paths with drive letters, and paths too long
// for the system without the long-path prefix.
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

#include "lib/misc/msgList.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"
#include "lib/user/dictionary.h"
#include "tests/lib/user/userTestUtil.h"
#include "tests/support/testFiles.h"

namespace {

class DictionaryWin32 : public testing::Test {
protected:
   ~DictionaryWin32() override
   {
      Dictionary_Free(dict);
      MsgList_Free(messages);
   }

   bool Load(const std::string &path, const char *encoding = "UTF-8")
   {
      MsgList_Free(messages);
      messages = nullptr;
      return Dictionary_Load(dict, path.c_str(), true, encoding, &messages);
   }

   // The temporary directory as the system names it: drive letter, backslashes.
   std::string FullPath()
   {
      wchar_t full[1024];
      UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(dir.Path().c_str()));
      DWORD n = GetFullPathNameW(wide.get(), 1024, full, nullptr);
      EXPECT_GT(n, 0u);
      EXPECT_LT(n, 1024u);
      UtilCString utf8(Win32Text_ToUtf8(full));
      return utf8 != nullptr ? std::string(utf8.get()) : std::string();
   }

   testutil::TempDir dir;
   Dictionary *dict = Dictionary_Create();
   MsgList *messages = nullptr;
};

}  // namespace

// Bytes above 127 read as the code page has them: the name handed to the
// converters is one for the same character set.
TEST_F(DictionaryWin32, HostEncodingReadsTheCodePagesCharacters)
{
   const char bytes[] = "\x80\xE9\xFC";
   wchar_t wide[8];
   int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, -1, wide, 8);
   if (n <= 0 || GetACP() == CP_UTF8) {
      GTEST_SKIP() << "code page " << GetACP() << " has no single-byte characters there";
   }
   char want[32];
   ASSERT_GT(WideCharToMultiByte(CP_UTF8, 0, wide, -1, want, sizeof want, nullptr, nullptr), 0);
   testutil::WriteFile(dir / "host.ini", std::string("v = ") + bytes + "\n");
   ASSERT_TRUE(Load(dir / "host.ini", nullptr)) << usertest::Messages(messages);
   EXPECT_STREQ(Dictionary_GetString(dict, nullptr, "v", nullptr), want);
   EXPECT_EQ(std::string(Dictionary_GetEncoding(dict)).rfind("windows-", 0), 0u);
}

TEST_F(DictionaryWin32, PathsWithDriveLettersEitherSlash)
{
   std::string full = FullPath();
   ASSERT_TRUE(full.size() > 3 && full[1] == ':' && full[2] == '\\') << full;
   testutil::WriteFile(dir / "d.ini", "a = 1\n");
   EXPECT_TRUE(Load(full + "\\d.ini")) << usertest::Messages(messages);
   std::string forward = full + "/d.ini";
   for (char &c : forward) {
      c = c == '\\' ? '/' : c;
   }
   EXPECT_TRUE(Load(forward)) << usertest::Messages(messages);

   // Directories, by any of their names, are directories.
   for (const std::string &d : {full, full + "\\", full.substr(0, 3)}) {
      EXPECT_FALSE(Load(d));
      EXPECT_EQ(usertest::Messages(messages),
                "[msg.dictionary.load.isDirectory]\"" + d + "\" is a directory.\n");
   }
}

TEST_F(DictionaryWin32, PathsOfMaxPathCharactersNeedTheLongPathPrefix)
{
   // Two levels of 120 characters below the directory: past MAX_PATH.
   std::string deep = FullPath();
   for (int i = 0; i < 2; i++) {
      deep += "\\" + std::string(120, (char)('a' + i));
      UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(("\\\\?\\" + deep).c_str()));
      ASSERT_TRUE(CreateDirectoryW(wide.get(), nullptr)) << GetLastError();
   }
   std::string file = deep + "\\long.ini";
   ASSERT_GE(file.size(), (size_t)MAX_PATH);
   {
      UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(("\\\\?\\" + file).c_str()));
      HANDLE h = CreateFileW(wide.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
      DWORD written;
      WriteFile(h, "k = v\n", 6, &written, nullptr);
      CloseHandle(h);
   }

   EXPECT_FALSE(Load(file));
   std::string r = usertest::Messages(messages);
   EXPECT_EQ(r.find("[msg.dictionary.load.openFailed]Cannot open file \"" + file + "\": "), 0u)
      << r;
   EXPECT_TRUE(Load("\\\\?\\" + file)) << usertest::Messages(messages);
   EXPECT_STREQ(Dictionary_GetString(dict, nullptr, "k", nullptr), "v");

   // What the temporary directory's removal may not manage.
   UtilHeapPtr<wchar_t> wideFile(Win32Text_ToUtf16(("\\\\?\\" + file).c_str()));
   DeleteFileW(wideFile.get());
   for (int i = 0; i < 2; i++) {
      UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(("\\\\?\\" + deep).c_str()));
      RemoveDirectoryW(wide.get());
      deep.resize(deep.rfind('\\'));
   }
}

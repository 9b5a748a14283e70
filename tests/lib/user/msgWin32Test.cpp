// User messages on Windows: where a post is shown (never a real box here:
// nobody could close it), the console streams, and the thread-exit hook
// on threads that the threads library did not start.
#include <gtest/gtest.h>
#include <io.h>
#include <string>
#include <vector>
#include <windows.h>

#include "lib/user/msg.h"
#include "lib/user/msgBoxWin32.h"
#include "lib/user/msgPlatform.h"
#include "tests/lib/user/userTestUtil.h"

TEST(MsgBoxWin32, OnlyAProgramStartedFromTheDesktopShowsABox)
{
   EXPECT_TRUE(MsgBox_Wanted({true, false, false}));
   EXPECT_FALSE(MsgBox_Wanted({false, false, false})) << "a service has no visible desktop";
   EXPECT_FALSE(MsgBox_Wanted({true, true, false})) << "a console, or streams that lead somewhere";
   EXPECT_FALSE(MsgBox_Wanted({true, false, true})) << "a test's own console streams";
}

// The tests run with their streams on pipes or a console: what they post
// never waits for somebody to close a box.
TEST(MsgBoxWin32, TestsHaveStreamsSoTheirPostsNeverReachABox)
{
   MsgBoxSetting setting = MsgBox_CurrentSetting();
   EXPECT_TRUE(setting.streams);
   EXPECT_FALSE(MsgBox_Wanted(setting));
   int out[2];
   ASSERT_TRUE(usertest::Pipe(out));
   Msg_SetConsoleForTest(-1, out[1]);
   EXPECT_TRUE(MsgBox_CurrentSetting().consoleForTest);
   Msg_SetConsoleForTest(-1, -1);
   EXPECT_FALSE(MsgBox_CurrentSetting().consoleForTest);
   _close(out[0]);
   _close(out[1]);
}

TEST(MsgWin32, PipesAreNoTerminalsAndReadToTheirEnd)
{
   int fds[2];
   ASSERT_TRUE(usertest::Pipe(fds));
   EXPECT_FALSE(MsgPlat_IsTerminal(fds[0]));
   EXPECT_FALSE(MsgPlat_IsTerminal(fds[1]));
   int nul = _open("NUL", _O_WRONLY);
   ASSERT_GE(nul, 0);
   EXPECT_FALSE(MsgPlat_IsTerminal(nul)) << "a character device, but not a console";
   _close(nul);

   ASSERT_TRUE(MsgPlat_Write(fds[1], "ab", 2));
   _close(fds[1]);
   char c;
   EXPECT_EQ(MsgPlat_ReadByte(fds[0], &c), 1);
   EXPECT_EQ(c, 'a');
   EXPECT_EQ(MsgPlat_ReadByte(fds[0], &c), 1);
   EXPECT_EQ(MsgPlat_ReadByte(fds[0], &c), 0) << "the writer has gone: the end, not an error";
   _close(fds[0]);
}

namespace {

std::vector<std::string> win32ExitEvents;

void
RecordWin32ExitValue(void *value)
{
   win32ExitEvents.push_back("hook " + std::to_string((intptr_t)value));
}

struct Win32ExitValueSetter {
   bool armed = false;
   ~Win32ExitValueSetter()
   {
      if (armed) {
         win32ExitEvents.push_back("thread_local");
         MsgPlat_SetThreadExitValue(RecordWin32ExitValue, (void *)2);
      }
   }
};
thread_local Win32ExitValueSetter win32ExitValueSetter;

DWORD WINAPI
SetExitValueAndEnd(LPVOID)
{
   win32ExitValueSetter.armed = true;
   MsgPlat_SetThreadExitValue(RecordWin32ExitValue, (void *)1);
   return 0;
}

}  // namespace

TEST(MsgWin32, ThreadExitValueRunsLastOnThreadsOfCreateThreadToo)
{
   win32ExitEvents.clear();
   HANDLE thread = CreateThread(nullptr, 0, SetExitValueAndEnd, nullptr, 0, nullptr);
   ASSERT_NE(thread, nullptr);
   WaitForSingleObject(thread, INFINITE);
   CloseHandle(thread);
   EXPECT_EQ(win32ExitEvents, (std::vector<std::string>{"thread_local", "hook 2"}));
   // A thread's first message gives the hook back to the library.
   HANDLE again = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
         Msg_Append(MSG_MAGIC "(msg.x)x");
         return 0;
      },
      nullptr, 0, nullptr);
   ASSERT_NE(again, nullptr);
   WaitForSingleObject(again, INFINITE);
   CloseHandle(again);
}

// The message-box front end of user messages; see msgBoxWin32.h.
//
// Where to show a post is decided at each post, as consoles come and go
// (a program may allocate one, a test substitutes its own streams). A box
// that cannot be shown (no window system) leaves the post to the console.
#include "lib/user/msgBoxWin32.h"

#include <string>
#include <windows.h>

#include "lib/misc/productState.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"
#include "lib/user/msgInt.h"

namespace {

bool
MsgBoxVisibleDesktop()
{
   USEROBJECTFLAGS flags = {};
   DWORD needed = 0;
   HWINSTA station = GetProcessWindowStation();
   return station != nullptr &&
          GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
          (flags.dwFlags & WSF_VISIBLE) != 0;
}

// A standard stream that leads somewhere: a console, a pipe, a file.
bool
MsgBoxHasStream(DWORD which)
{
   HANDLE h = GetStdHandle(which);
   return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

UINT
MsgBoxIcon(int severity)
{
   switch (severity) {
   case MSG_WARNING: return MB_ICONWARNING;
   case MSG_ERROR: return MB_ICONERROR;
   default: return MB_ICONINFORMATION;
   }
}

// False when no box could be shown.
bool
MsgBoxShow(int severity, const char *text)
{
   std::string caption = std::string(ProductState_GetName()) + " " + MsgSeverityCaption(severity);
   UtilHeapPtr<wchar_t> wideCaption(Win32Text_ToUtf16(caption.c_str()));
   UtilHeapPtr<wchar_t> wideText(Win32Text_ToUtf16(text));
   if (wideCaption == nullptr || wideText == nullptr) {
      return false;
   }
   // With only an OK button, closing the box answers OK as well.
   return MessageBoxW(nullptr, wideText.get(), wideCaption.get(),
                      MB_OK | MB_SETFOREGROUND | MsgBoxIcon(severity)) == IDOK;
}

void
MsgBoxPost(int severity, const char *msgID, const char *text)
{
   if (MsgBox_Wanted(MsgBox_CurrentSetting()) && MsgBoxShow(severity, text)) {
      return;
   }
   msgConsoleFrontEnd.post(severity, msgID, text);
}

}  // namespace

bool
MsgBox_Wanted(const MsgBoxSetting &setting)
{
   return setting.visibleDesktop && !setting.streams && !setting.consoleForTest;
}

MsgBoxSetting
MsgBox_CurrentSetting()
{
   MsgBoxSetting setting;
   setting.visibleDesktop = MsgBoxVisibleDesktop();
   setting.streams = GetConsoleWindow() != nullptr || MsgBoxHasStream(STD_INPUT_HANDLE) ||
                     MsgBoxHasStream(STD_OUTPUT_HANDLE) || MsgBoxHasStream(STD_ERROR_HANDLE);
   setting.consoleForTest = MsgConsoleIsSubstituted();
   return setting;
}

const MsgFrontEnd *
MsgBox_FrontEnd()
{
   static const MsgFrontEnd frontEnd = [] {
      MsgFrontEnd fe = msgConsoleFrontEnd;
      fe.post = MsgBoxPost;
      return fe;
   }();
   return &frontEnd;
}

// Child processes of the tests on Windows: CreateProcessW with a quoted
// command line; see process.h.
#include "tests/support/process.h"
#include "tests/support/testWide.h"

#include <windows.h>

#include <cwchar>
#include <stdexcept>

namespace testutil {

bool
ExitInfo::Exited() const
{
   return true;
}

int
ExitInfo::Code() const
{
   return status;
}

int
ExitInfo::Signal() const
{
   return 0;
}

namespace {

// One argument as the C run-time's parser reads it back: quoted, with the
// backslashes before a quote (or before the closing one) doubled.
void
AppendQuoted(std::wstring &line, const std::wstring &arg)
{
   line += L'"';
   size_t backslashes = 0;
   for (wchar_t c : arg) {
      if (c == L'\\') {
         backslashes++;
         continue;
      }
      line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
      backslashes = 0;
      line += c;
   }
   line.append(2 * backslashes, L'\\');
   line += L'"';
}

// The test's environment with `extra` added, as a block for
// CreateProcessW; an entry of `extra` replaces one of the same name.
std::wstring
MergedEnvironment(const std::vector<std::string> &extra)
{
   std::vector<std::wstring> added;
   for (const std::string &x : extra) {
      added.push_back(Wide(x));
   }
   std::wstring block;
   wchar_t *all = GetEnvironmentStringsW();
   for (const wchar_t *e = all; *e != L'\0'; e += wcslen(e) + 1) {
      std::wstring entry = e;
      size_t eq = entry.find(L'=', 1);  // "=C:=..." entries start with one
      std::wstring name = entry.substr(0, eq + 1);
      bool replaced = false;
      for (const std::wstring &x : added) {
         replaced |= _wcsnicmp(x.c_str(), name.c_str(), name.size()) == 0;
      }
      if (!replaced) {
         block.append(entry).push_back(L'\0');
      }
   }
   FreeEnvironmentStringsW(all);
   for (const std::wstring &x : added) {
      block.append(x).push_back(L'\0');
   }
   block.push_back(L'\0');
   return block;
}

// An inheritable handle for the child's standard output (`std` is
// STD_OUTPUT_HANDLE) or error, as `r` says; `out` is the output's, for
// ToStdout.
HANDLE
OpenRedirect(const Redirect &r, DWORD std, HANDLE out)
{
   SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
   HANDLE self = GetCurrentProcess();
   HANDLE h = INVALID_HANDLE_VALUE;
   DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
   switch (r.kind) {
   case Redirect::Inherit:
   case Redirect::Capture:
      // None when the test has none.
      if (!DuplicateHandle(self, GetStdHandle(std), self, &h, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
         h = nullptr;
      }
      break;
   case Redirect::ToStdout:
      if (!DuplicateHandle(self, out, self, &h, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
         h = INVALID_HANDLE_VALUE;
      }
      break;
   case Redirect::File:
      h = CreateFileW(Wide(r.path).c_str(), GENERIC_WRITE, share, &sa, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
   case Redirect::Null:
      h = CreateFileW(L"NUL", GENERIC_WRITE, share, &sa, OPEN_EXISTING, 0, nullptr);
      break;
   case Redirect::BrokenPipe: {
      HANDLE reader;
      if (!CreatePipe(&reader, &h, &sa, 0)) {
         return INVALID_HANDLE_VALUE;
      }
      CloseHandle(reader);
      break;
   }
   }
   return h;
}

/*
 * A pipe for the child's standard input: its reading end is returned; the
 * writing end, which no child may inherit (or this one would never read
 * the end of its input), goes to *writer.
 */
HANDLE
OpenInputPipe(HANDLE *writer)
{
   // Made uninheritable, the reading end then inheritable: a child that
   // another thread starts meanwhile gets neither end.
   HANDLE reader;
   if (!CreatePipe(&reader, writer, nullptr, 0)) {
      return INVALID_HANDLE_VALUE;
   }
   SetHandleInformation(reader, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
   return reader;
}

void
CloseIfOpen(HANDLE h)
{
   if (h != INVALID_HANDLE_VALUE && h != nullptr) {
      CloseHandle(h);
   }
}

}  // namespace

Process::Process(const std::vector<std::string> &args, const SpawnOptions &options)
{
   if (args.empty() || options.out.kind == Redirect::ToStdout ||
       options.out.kind == Redirect::Capture || options.err.kind == Redirect::Capture) {
      throw std::invalid_argument("Process: no program, or an output it cannot take");
   }
   std::wstring line;
   for (const std::string &arg : args) {
      if (!line.empty()) {
         line += L' ';
      }
      AppendQuoted(line, Wide(arg));
   }
   std::wstring env = MergedEnvironment(options.env);
   STARTUPINFOW si{};
   si.cb = sizeof si;
   si.dwFlags = STARTF_USESTDHANDLES;
   HANDLE inputWriter = INVALID_HANDLE_VALUE;
   si.hStdInput = options.inputPipe ? OpenInputPipe(&inputWriter)
                                    : OpenRedirect(Redirect{}, STD_INPUT_HANDLE, nullptr);
   si.hStdOutput = OpenRedirect(options.out, STD_OUTPUT_HANDLE, nullptr);
   si.hStdError = OpenRedirect(options.err, STD_ERROR_HANDLE, si.hStdOutput);
   PROCESS_INFORMATION pi{};
   BOOL started = si.hStdInput != INVALID_HANDLE_VALUE && si.hStdOutput != INVALID_HANDLE_VALUE &&
                  si.hStdError != INVALID_HANDLE_VALUE &&
                  CreateProcessW(Wide(args[0]).c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_UNICODE_ENVIRONMENT, env.data(), nullptr, &si, &pi);
   DWORD error = GetLastError();
   CloseIfOpen(si.hStdInput);
   CloseIfOpen(si.hStdOutput);
   CloseIfOpen(si.hStdError);
   if (!started) {
      CloseIfOpen(inputWriter);
      throw std::runtime_error("CreateProcessW " + args[0] + ": error " + std::to_string(error));
   }
   CloseHandle(pi.hThread);
   handle_ = pi.hProcess;
   pid_ = (pid_t)pi.dwProcessId;
   input_ = (std::intptr_t)inputWriter;
}

Process::~Process()
{
   Kill();
   CloseInput();
   CloseIfOpen(handle_);
}

void
Process::CloseInput()
{
   CloseIfOpen((HANDLE)input_);
   input_ = (std::intptr_t)INVALID_HANDLE_VALUE;
}

void
Process::Kill()
{
   if (!ended_) {
      TerminateProcess(handle_, 1);
      Reap(true);
   }
}

bool
Process::Reap(bool block)
{
   if (ended_) {
      return true;
   }
   if (WaitForSingleObject(handle_, block ? INFINITE : 0) != WAIT_OBJECT_0) {
      return false;
   }
   DWORD code = 0;
   GetExitCodeProcess(handle_, &code);
   ended_ = ExitInfo{(int)code};
   return true;
}

// No signal asks a Windows program to end: it is ended at once.
void
Process::Stop(std::chrono::milliseconds)
{
   Kill();
}

}  // namespace testutil

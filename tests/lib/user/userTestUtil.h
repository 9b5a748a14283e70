// Helpers of the dictionary, message and preference tests: the text of a
// message list, and the few calls that differ between the platforms.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "lib/misc/msgList.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace usertest {

// "[id]text" of every message of a list, head first.
inline std::string
Messages(const MsgList *list)
{
   std::string out;
   for (const MsgList *m = list; m != nullptr; m = m->next) {
      char *t = MsgList_FormatNode(m);
      out += std::string("[") + m->id + "]" + t;
      std::free(t);
   }
   return out;
}

// A pipe of runtime-library descriptors: fds[0] reads, fds[1] writes.
inline bool
Pipe(int fds[2])
{
#if defined(_WIN32)
   return _pipe(fds, 65536, _O_BINARY) == 0;
#else
   return pipe(fds) == 0;
#endif
}

// Sets an environment variable; null removes it.
inline void
SetEnv(const char *name, const char *value)
{
#if defined(_WIN32)
   _putenv_s(name, value != nullptr ? value : "");
#else
   if (value != nullptr) {
      setenv(name, value, 1);
   } else {
      unsetenv(name);
   }
#endif
}

/*
 * Things that are neither files nor directories, to be given as a
 * dictionary's path: a FIFO without a writer and a device on POSIX, a
 * named pipe with a server waiting and the NUL device on Windows. They
 * live as long as the object.
 */
class NonRegularFiles {
public:
   explicit NonRegularFiles(const std::string &dir)
   {
#if defined(_WIN32)
      (void)dir;
      std::string name = "\\\\.\\pipe\\salvor-test-" + std::to_string(GetCurrentProcessId());
      pipe_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                               1, 4096, 4096, 0, nullptr);
      if (pipe_ != INVALID_HANDLE_VALUE) {
         paths.push_back(name);
      }
      paths.push_back("NUL");
#else
      std::string fifo = dir + "/fifo";
      if (mkfifo(fifo.c_str(), 0600) == 0) {
         paths.push_back(fifo);
      }
      paths.push_back("/dev/zero");
#endif
   }
   ~NonRegularFiles()
   {
#if defined(_WIN32)
      if (pipe_ != INVALID_HANDLE_VALUE) {
         CloseHandle(pipe_);
      }
#endif
   }
   NonRegularFiles(const NonRegularFiles &) = delete;
   NonRegularFiles &operator=(const NonRegularFiles &) = delete;

   std::vector<std::string> paths;  // the pipe or FIFO first, when it could be made

private:
#if defined(_WIN32)
   HANDLE pipe_ = INVALID_HANDLE_VALUE;
#endif
};

}  // namespace usertest

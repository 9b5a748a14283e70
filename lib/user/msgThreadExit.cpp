// The thread-exit hook of the pending lists (MsgPlat_SetThreadExitValue in
// msgPlatform.h), on both platforms a key of the threads library.
//
// Key destructors run after the C++ thread-local destructors where the
// runtime destroys those on its own (glibc), and in the order the keys
// were made where the runtime uses a key for them too (the Windows
// toolchain's): ours is made after the runtime's, so it runs after the
// objects either way, and again, for a few rounds, for a value they set.
#include "lib/user/msgPlatform.h"

#include <atomic>
#include <pthread.h>

namespace {

pthread_once_t exitKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t exitKey;
bool exitKeyMade = false;
std::atomic<void (*)(void *)> exitHook{nullptr};

// Some threads libraries call a key's destructor even for a value set
// back to null; nothing is to run then.
void
MsgRunExitHook(void *value)
{
   void (*hook)(void *) = exitHook.load();
   if (hook != nullptr && value != nullptr) {
      hook(value);
   }
}

// A thread-local object with a destructor: the first one made has a
// runtime that destroys them through a key make its key.
struct MsgDestructible {
   ~MsgDestructible() {}
};
thread_local MsgDestructible msgDestructible;

void
MsgMakeExitKey()
{
   (void)&msgDestructible;
   exitKeyMade = pthread_key_create(&exitKey, MsgRunExitHook) == 0;
}

}  // namespace

bool
MsgPlat_SetThreadExitValue(void (*atExit)(void *), void *value)
{
   exitHook.store(atExit);
   pthread_once(&exitKeyOnce, MsgMakeExitKey);
   return exitKeyMade && pthread_setspecific(exitKey, value) == 0;
}

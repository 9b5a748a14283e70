// The platform layer of user messages, through its own interface: the hook
// that frees an ending thread's pending list. In a file of its own, as the
// compiler makes every thread-local object of a file together.
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "lib/user/msg.h"
#include "lib/user/msgPlatform.h"

namespace {

// What happens while a thread ends, in order (read after the join).
std::vector<std::string> exitEvents;

void
RecordExitValue(void *value)
{
   exitEvents.push_back("hook " + std::to_string((intptr_t)value));
}

// Sets the exit value again from its destructor, as a message appended
// there does.
struct ExitValueSetter {
   bool armed = false;
   ~ExitValueSetter()
   {
      if (armed) {
         exitEvents.push_back("thread_local");
         MsgPlat_SetThreadExitValue(RecordExitValue, (void *)2);
      }
   }
};
thread_local ExitValueSetter exitValueSetter;

}  // namespace

// The pending list of an ending thread is freed by this hook: it must come
// after every thread-local destructor, which may still append messages.
TEST(MsgPlatform, ThreadExitValueRunsAfterThreadLocalsAndAgainForAValueTheySet)
{
   exitEvents.clear();
   std::thread([] {
      exitValueSetter.armed = true;
      EXPECT_TRUE(MsgPlat_SetThreadExitValue(RecordExitValue, (void *)1));
   }).join();
   EXPECT_EQ(exitEvents, (std::vector<std::string>{"thread_local", "hook 2"}));

   exitEvents.clear();
   std::thread([] {
      EXPECT_TRUE(MsgPlat_SetThreadExitValue(RecordExitValue, (void *)3));
      EXPECT_TRUE(MsgPlat_SetThreadExitValue(RecordExitValue, nullptr));
   }).join();
   EXPECT_EQ(exitEvents, std::vector<std::string>{}) << "a null value runs nothing";
   // A thread's first message gives the hook back to the library.
   std::thread([] { Msg_Append(MSG_MAGIC "(msg.x)x"); }).join();
}

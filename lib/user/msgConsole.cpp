// The console front end of user messages: posts and hints on standard
// error, questions answered by number on standard input, progress on
// standard output. A process without a terminal is never kept waiting.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "lib/misc/productState.h"
#include "lib/string/str.h"
#include "lib/user/msgInt.h"
#include "lib/user/msgPlatform.h"

namespace {

constexpr size_t MSG_CONSOLE_LINE_MAX = 1024;

// Console streams; -1 for the real ones (tests substitute their own).
std::atomic<int> consoleIn{-1};
std::atomic<int> consoleOut{-1};

int
MsgConsoleInFd()
{
   int fd = consoleIn.load();
   return fd >= 0 ? fd : MsgPlat_StdinFd();
}

int
MsgConsoleErrFd()
{
   int fd = consoleOut.load();
   return fd >= 0 ? fd : MsgPlat_StderrFd();
}

int
MsgConsoleStdoutFd()
{
   int fd = consoleOut.load();
   return fd >= 0 ? fd : MsgPlat_StdoutFd();
}

bool
MsgConsoleCanAsk()
{
   if (consoleIn.load() >= 0) {
      return true;
   }
   return MsgPlat_IsTerminal(MsgPlat_StdinFd()) && MsgPlat_IsTerminal(MsgPlat_StderrFd());
}

void
MsgConsoleWrite(int fd, const std::string &text)
{
   MsgPlat_Write(fd, text.data(), text.size());
}

// One line of at most MSG_CONSOLE_LINE_MAX bytes (the rest is dropped);
// false at the end of input.
bool
MsgConsoleReadLine(std::string *line)
{
   line->clear();
   int fd = MsgConsoleInFd();
   for (;;) {
      char c;
      int n = MsgPlat_ReadByte(fd, &c);
      if (n <= 0) {
         return !line->empty();
      }
      if (c == '\n') {
         return true;
      }
      if (line->size() < MSG_CONSOLE_LINE_MAX) {
         *line += c;
      }
   }
}

std::string
MsgConsolePrompt(int highest)
{
   char *prompt = Msg_Format(MSG_MAGIC "(msg.msg.chooseNumber)Select a number from 0-%d: ",
                             highest);
   std::string out = prompt;
   std::free(prompt);
   return out;
}

std::string
MsgConsoleHeader(const char *captionMarked, const char *text, const char *const buttons[], int n)
{
   std::string out = std::string("\n\n") + ProductState_GetName() + " " +
                     MsgLocalize(captionMarked) + ":\n" + text + "\n";
   for (int i = 0; i < n; i++) {
      out += std::to_string(i) + ") " + MsgStripUnderscores(buttons[i]) + "\n";
   }
   out += "\n";
   return out;
}

void
MsgConsolePost(int severity, const char *msgID, const char *text)
{
   (void)msgID;
   if (consoleOut.load() < 0 && !MsgPlat_IsTerminal(MsgPlat_StderrFd())) {
      return;  // no one is watching: the log already holds the post
   }
   std::string out = std::string(ProductState_GetName()) + " " +
                     MsgSeverityCaption(severity) + ": " + text;
   if (out.back() != '\n') {
      out += '\n';
   }
   MsgConsoleWrite(MsgConsoleErrFd(), out);
}

int
MsgConsoleQuestion(const char *const buttons[], int defaultAnswer, const char *msgID,
                   const char *text)
{
   (void)msgID;
   if (!MsgConsoleCanAsk()) {
      return defaultAnswer;  // a daemon never waits on a prompt
   }
   int n = MsgCountButtons(buttons);
   int fd = MsgConsoleErrFd();
   MsgConsoleWrite(fd, MsgConsoleHeader(MSG_MAGIC "(msg.msg.question)Question", text, buttons, n));
   std::string prompt = MsgConsolePrompt(n - 1);
   MsgConsoleWrite(fd, prompt);
   std::string line;
   while (MsgConsoleReadLine(&line)) {
      const char *p = line.c_str();
      while (*p == ' ' || *p == '\t' || *p == '\r') {
         p++;
      }
      if (*p == '\0') {
         MsgConsoleWrite(fd, prompt);
         continue;
      }
      const char *digits = p;
      long value = 0;
      while (*p >= '0' && *p <= '9') {
         value = value < 1000000 ? value * 10 + (*p - '0') : value;
         p++;
      }
      bool any = p != digits;
      while (*p == ' ' || *p == '\t' || *p == '\r') {
         p++;
      }
      if (any && *p == '\0' && value < n) {
         return (int)value;
      }
      MsgConsoleWrite(fd, "\n\n" + prompt);
   }
   return defaultAnswer;  // standard input ended
}

int
MsgConsoleHint(int kind, const char *text)
{
   int highest = kind == MSG_HINT_OK ? 0 : 1;
   int giveUp = highest;  // nobody answered: Cancel where there is one
   if (!MsgConsoleCanAsk()) {
      return giveUp;
   }
   std::vector<std::string> labels = {MsgLocalize(msgOKButtons[0])};
   if (highest == 1) {
      labels.push_back(MsgLocalize(MSG_MAGIC "(button.cancel)Cancel"));
   }
   const char *buttons[3] = {labels[0].c_str(), highest == 1 ? labels[1].c_str() : nullptr,
                             nullptr};
   int fd = MsgConsoleErrFd();
   MsgConsoleWrite(fd, MsgConsoleHeader(MSG_MAGIC "(msg.msg.hint)Hint", text, buttons, highest + 1));
   std::string prompt = MsgConsolePrompt(highest);
   std::string line;
   for (;;) {
      MsgConsoleWrite(fd, prompt);
      if (!MsgConsoleReadLine(&line)) {
         return giveUp;
      }
      char *end;
      long value = std::strtol(line.c_str(), &end, 10);
      if (end != line.c_str() && value >= 0 && value <= highest) {
         return (int)value;
      }
   }
}

void
MsgConsoleProgress(const char *caption, int percent)
{
   static std::mutex progressMutex;
   static char progressCaption[80];
   std::lock_guard<std::mutex> guard(progressMutex);
   if (percent < 0 && caption != nullptr) {
      Str_Snprintf(progressCaption, sizeof progressCaption, "%s", caption);
   }
   char text[80];
   Str_Snprintf(text, sizeof text, "%.*s (%d%%)", 64, progressCaption, percent);
   char line[128];
   Str_Snprintf(line, sizeof line, "\r%-79s", text);
   std::string out = line;
   if (percent > 100) {
      out += "\n";
   }
   MsgConsoleWrite(MsgConsoleStdoutFd(), out);
}

}  // namespace

const MsgFrontEnd msgConsoleFrontEnd = {
   MsgConsolePost, MsgConsoleQuestion, MsgConsoleProgress, MsgConsoleHint, nullptr, nullptr,
};

bool
MsgConsoleIsSubstituted()
{
   return consoleIn.load() >= 0 || consoleOut.load() >= 0;
}

void
Msg_SetConsoleForTest(int inFd, int outFd)
{
   consoleIn = inFd;
   consoleOut = outFd;
}

// Terminal progress bar; see salvorProgress.h.
#include "tools/salvorProgress.h"

#include <algorithm>

#include "tools/toolsPlatform.h"

SalvorProgress::SalvorProgress(FILE *out)
   : out_(out),
     enabled_(ToolsPlat_IsTerminal(out)),
     start_(std::chrono::steady_clock::now())
{
}

void
SalvorProgress::Update(uint64_t done, uint64_t total)
{
   lastDone_ = done;
   lastTotal_ = total;
   auto now = std::chrono::steady_clock::now();
   if (!enabled_ || (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))) {
      return;
   }
   lastDraw_ = now;
   Draw(done, total);
}

void
SalvorProgress::Finish()
{
   if (enabled_ && drawn_) {
      Draw(lastDone_, lastTotal_);
      std::fputc('\n', out_);
      drawn_ = false;
   }
}

void
SalvorProgress::Note(const std::string &note)
{
   note_ = note;
   if (enabled_) {
      Draw(lastDone_, lastTotal_);
   }
}

void
SalvorProgress::Print(const std::string &line)
{
   if (enabled_ && drawn_) {
      std::fputc('\n', out_);
      drawn_ = false;
   }
   std::fprintf(out_, "%s\n", line.c_str());
   std::fflush(out_);
}

void
SalvorProgress::Draw(uint64_t done, uint64_t total)
{
   constexpr int WIDTH = 40;
   double frac = total ? (double)done / (double)total : 1.0;
   int filled = (int)(frac * WIDTH);
   char bar[WIDTH + 1];
   for (int i = 0; i < WIDTH; i++) {
      bar[i] = i < filled ? '#' : '.';
   }
   bar[WIDTH] = '\0';
   double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
   double mbps = secs > 0 ? (double)done / 1e6 / secs : 0;
   // Blanks after the note erase what is left of a longer one drawn before.
   int pad = (int)std::max(note_.size(), drawnNote_);
   std::fprintf(out_, "\r[%s] %3d%%  %.1f / %.1f MiB  %.1f MB/s %-*s", bar, (int)(frac * 100),
                (double)done / (1 << 20), (double)total / (1 << 20), mbps, pad, note_.c_str());
   drawnNote_ = note_.size();
   std::fflush(out_);
   drawn_ = true;
}

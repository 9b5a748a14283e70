// A progress bar on a terminal; silent when the stream is not a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class SalvorProgress {
public:
   explicit SalvorProgress(FILE *out);
   ~SalvorProgress() { Finish(); }

   bool Enabled() const { return enabled_; }
   // Redraws the bar, at most a few times a second.
   void Update(uint64_t done, uint64_t total);
   // Draws the final state and ends the line.
   void Finish();
   // Shows `note` after the bar from now on (empty: none).
   void Note(const std::string &note);
   // Prints a line of its own, below the bar if one is drawn.
   void Print(const std::string &line);

private:
   void Draw(uint64_t done, uint64_t total);

   FILE *out_;
   bool enabled_;
   bool drawn_ = false;
   std::string note_;
   size_t drawnNote_ = 0;  // length of the note last drawn
   uint64_t lastDone_ = 0;
   uint64_t lastTotal_ = 0;
   std::chrono::steady_clock::time_point start_;
   std::chrono::steady_clock::time_point lastDraw_;
};

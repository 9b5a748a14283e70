// Helper programs run as child processes: their output sent to files, to
// /dev/null or to a pipe nobody reads, their input from the test's own or
// from a pipe the test closes, extra environment, an open-file limit;
// waited for with a time limit.
//
// On Windows a child has no signals: Stop and Kill end it at once
// (TerminateProcess, exit code 1), ExitInfo's status is the exit code
// and Signal() is always 0. The open-file limit has no meaning there
// and is ignored; Null is NUL.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

// Where a child's standard output or standard error goes.
struct Redirect {
   enum Kind {
      Inherit,     // the test's own
      File,        // `path`, created or truncated
      Null,        // /dev/null
      BrokenPipe,  // a pipe whose reader has gone: writes fail with EPIPE
      ToStdout,    // standard error only: wherever standard output goes
      Capture,     // Run() only: kept in its result
   };
   Redirect(Kind kind = Inherit, std::string path = "") : kind(kind), path(std::move(path)) {}
   static Redirect ToFile(const std::string &path) { return {File, path}; }

   Kind kind;
   std::string path;
};

struct SpawnOptions {
   Redirect out;
   Redirect err;
   // "NAME=value" entries added to (or replacing in) the test's environment.
   std::vector<std::string> env;
   // The child's standard input is a pipe that stays open until
   // Process::CloseInput, so that the child can wait for the end of its
   // input; otherwise it is the test's own.
   bool inputPipe = false;
   // Nonzero: the child's open-file limit (soft, hard).
   std::uint64_t openFilesSoft = 0;
   std::uint64_t openFilesHard = 0;
};

// How a child ended, from its wait status.
struct ExitInfo {
   int status = 0;  // as waitpid gives it; the exit code on Windows
   bool Exited() const;
   // The exit code, or -1 when a signal ended the child.
   int Code() const;
   // The signal that ended the child, or 0.
   int Signal() const;
};

// A child running args[0] (a path) with args; killed and reaped at the end
// if it is still running.
class Process {
public:
   Process(const std::vector<std::string> &args, const SpawnOptions &options = {});
   ~Process();
   Process(const Process &) = delete;
   Process &operator=(const Process &) = delete;

   pid_t Pid() const { return pid_; }
   // False once the child has ended (it is reaped then).
   bool Running();
   // How the child ended, waiting at most `limit`; nothing if it still runs.
   std::optional<ExitInfo> WaitFor(std::chrono::milliseconds limit);
   // How the child ended, waiting as long as it takes.
   ExitInfo Wait();
   // Asks the child to end (SIGTERM), then kills it if it has not within `grace`.
   void Stop(std::chrono::milliseconds grace);
   // Ends the child at once (SIGKILL) and reaps it.
   void Kill();
   // With SpawnOptions::inputPipe: the child reads the end of its input.
   void CloseInput();

private:
   // Whether the child has ended, waiting for it when `block`.
   bool Reap(bool block);

   pid_t pid_ = -1;
   void *handle_ = nullptr;  // the process handle on Windows
   // The writing end of the input pipe: a descriptor, or a handle on
   // Windows; -1 when there is none.
   std::intptr_t input_ = -1;
   std::optional<ExitInfo> ended_;
};

// The lines a child writes to a file, taken one by one as they come.
class OutputLines {
public:
   explicit OutputLines(std::string path) : path_(std::move(path)) {}
   // The next whole line, without its end ("\n" or "\r\n"); empty when
   // none came within `limit`.
   std::string Next(std::chrono::milliseconds limit);

private:
   std::string path_;
   size_t taken_ = 0;  // bytes of the file handed out so far
};

// A run of a program to its end.
struct RunResult {
   ExitInfo exit;
   std::string out;  // standard output, when captured
   std::string err;  // standard error, when captured apart from the output
};

struct RunOptions {
   Redirect out{Redirect::Capture};
   Redirect err{Redirect::Capture};
   std::vector<std::string> env;
};

// Runs args to their end (a minute at most, then kills the child).
RunResult Run(const std::vector<std::string> &args, const RunOptions &options = {});

}  // namespace testutil

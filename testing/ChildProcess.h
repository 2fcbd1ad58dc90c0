#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "FileDescriptor.h"

namespace Tavix::Testing {

/// How a program ended and what it wrote.
struct ProgramResult {
  int status = -1;  ///< exit status; -1 when a signal ended it
  std::string out;  ///< standard output
  std::string err;  ///< standard error, when collected
};

/// A program started by a test or benchmark, whose standard output (and standard error,
/// unless left to the caller's) is collected as it comes. Killed if it still runs when
/// the object goes away.
class ChildProcess {
 public:
  enum class Stderr { Collect, Inherit };

  /// Starts `program` with `arguments`. Throws std::runtime_error if it cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               Stderr stderr_mode = Stderr::Collect);
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }

  /// Standard output collected so far.
  const std::string& Out() const { return result_.out; }

  /// Collects output until standard output holds `lines` lines or `within` passes;
  /// true when it holds them.
  bool WaitForLines(std::size_t lines, std::chrono::milliseconds within);

  /// Sends `signal` to the program.
  void Signal(int signal);

  /// Waits up to `within` for the program to end by itself; returns its exit status
  /// (-1 if a signal ended it), or nothing if it is still running.
  std::optional<int> ExitStatusWithin(std::chrono::milliseconds within);

  /// Sends SIGTERM (unless the program has ended) and waits for it. Returns its exit
  /// status, or -1 if a signal ended it. Later calls return the same.
  int Stop();

  /// Collects the rest of the output and waits for the end, at most 20 seconds (then
  /// kills the program, which shows as status -1).
  ProgramResult Finish();

 private:
  bool Collect(std::chrono::milliseconds within);
  bool Reap(bool wait);

  pid_t pid_ = -1;
  CommandLine::FileDescriptor out_fd_;  ///< closed at the end of the program's output
  CommandLine::FileDescriptor err_fd_;  ///< likewise; never open when standard error is inherited
  std::optional<int> exit_status_;
  ProgramResult result_;
};

}  // namespace Tavix::Testing

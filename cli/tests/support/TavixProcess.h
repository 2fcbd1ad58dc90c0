#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Tavix::Testing {

/// How a run of `tavix` ended and what it wrote.
struct TavixResult {
  int status = -1;     ///< exit status; -1 when a signal ended it
  std::string out;     ///< standard output
  std::string err;     ///< standard error
};

/// A running `tavix`, the command-line tool built with the tests, whose standard output
/// and standard error are collected as they come.
class TavixProcess {
 public:
  /// Starts `tavix` with `arguments`. Throws std::runtime_error if it cannot be started.
  explicit TavixProcess(const std::vector<std::string>& arguments);
  /// Kills the tool if it still runs.
  ~TavixProcess();

  TavixProcess(const TavixProcess&) = delete;
  TavixProcess& operator=(const TavixProcess&) = delete;

  /// Collects output until standard output holds `lines` lines or `within` passes;
  /// true when it holds them.
  bool WaitForLines(std::size_t lines, std::chrono::milliseconds within);

  /// Sends `signal` to the tool.
  void Signal(int signal);

  /// Collects the rest of the output and waits for the end, at most 20 seconds (then
  /// kills the tool, which shows as status -1).
  TavixResult Finish();

 private:
  bool Collect(std::chrono::milliseconds within);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  TavixResult result_;
};

/// Runs `tavix` with `arguments` to its end.
TavixResult RunTavix(const std::vector<std::string>& arguments);

}  // namespace Tavix::Testing

#pragma once

#include <cstdio>
#include <string>

namespace Tavix::Cli {

/// A changing status on an output stream: on a terminal one line rewritten in place,
/// otherwise each update a line of its own, so that logs and pipes keep every one.
class StatusLine {
 public:
  /// A status shown on `stream` (stdout or stderr), which must outlive it.
  explicit StatusLine(std::FILE* stream);

  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  /// Replaces the status with `text` (one line, no newline).
  void Show(const std::string& text);

  /// Erases the status from the terminal, so that other output starts on a clean line.
  void Clear();

  /// Leaves the status on the terminal and moves to the next line.
  void Keep();

 private:
  std::FILE* stream_;
  bool in_place_;
  bool showing_ = false;
};

}  // namespace Tavix::Cli

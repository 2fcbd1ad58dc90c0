#pragma once

#include <string>

namespace Tavix::Cli {

/// A changing status on standard output: on a terminal one line rewritten in place,
/// otherwise each update a line of its own, so that logs and pipes keep every one.
class StatusLine {
 public:
  StatusLine();

  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  /// Replaces the status with `text` (one line, no newline).
  void Show(const std::string& text);

  /// Erases the status from the terminal, so that other output starts on a clean line.
  void Clear();

  /// Leaves the status on the terminal and moves to the next line.
  void Keep();

 private:
  bool in_place_;
  bool showing_ = false;
};

}  // namespace Tavix::Cli

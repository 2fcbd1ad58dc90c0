#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Tavix::Testing {

/// Captures everything written to file descriptor 2 from construction until `Lines()`.
class StderrCapture {
 public:
  StderrCapture() { testing::internal::CaptureStderr(); }
  ~StderrCapture() {
    if (!taken_) testing::internal::GetCapturedStderr();
  }

  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  /// Stops capturing and returns the captured text split into lines.
  std::vector<std::string> Lines() {
    taken_ = true;
    const std::string text = testing::internal::GetCapturedStderr();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return lines;
  }

 private:
  bool taken_ = false;
};

}  // namespace Tavix::Testing

#pragma once

#include <unistd.h>

#include <utility>

namespace Tavix::CommandLine {

/// Owns one open file descriptor and closes it when destroyed or reset; -1 when it owns
/// none. It moves and never copies, so a descriptor is closed exactly once.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  /// Takes `fd` over; -1 (or any value below 0, as a failed open(2) returns) is none.
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() { Reset(); }

  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    Reset(other.Release());
    return *this;
  }

  int Get() const noexcept { return fd_; }
  bool IsOpen() const noexcept { return fd_ >= 0; }

  /// Gives the descriptor up without closing it; -1 afterwards.
  int Release() noexcept { return std::exchange(fd_, -1); }
  /// Closes the descriptor it owns, if any, and takes `fd` over.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace Tavix::CommandLine

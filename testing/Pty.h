#pragma once

#include <string>

namespace Tavix::Testing {

/// A new pseudo-terminal for a test or benchmark to play a device on: the library opens
/// `Path()` (the slave side) as a device's port; the device side is `MasterFd()`,
/// non-blocking. The line is raw from the start. A descriptor of its own on the slave
/// side stays open as long as the object lives, so the line settings and the queue
/// towards the library can be inspected, and the master never reports a hang-up merely
/// because the library closed its port.
class Pty {
 public:
  /// Throws std::system_error when no pseudo-terminal can be had.
  Pty();
  ~Pty();

  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& Path() const { return path_; }
  /// The device side; -1 once it is closed.
  int MasterFd() const { return master_; }
  /// The descriptor of its own on the library's side of the line.
  int SlaveFd() const { return slave_; }

  /// Bytes sent by the device that the library has not read yet; -1 if that cannot be asked.
  int QueuedTowardsLibrary() const;

  /// Closes the device side: the library's port hangs up.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace Tavix::Testing

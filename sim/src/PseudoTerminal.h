#pragma once

#include <string>

#include "FileDescriptor.h"
#include "NonCopyable.h"

namespace Tavix::Simulator {

/// A new pseudo-terminal whose slave side is the simulated device's serial port: the
/// host opens `PortPath()`, the simulator talks through `DeviceFd()` (the master side,
/// non-blocking). The line is raw from the start, so no byte is translated or echoed
/// even before the host configures the port.
///
/// Keeps a descriptor of its own on the slave side as long as it lives: without one,
/// the master reports a hang-up (POLLHUP, EIO) whenever the host closes the port, and a
/// poll loop on it would spin. Closing everything (`HangUp`, or destruction) is what
/// the host sees as the device going away.
class PseudoTerminal : CommandLine::NonCopyable {
 public:
  /// Throws std::system_error when no pseudo-terminal can be had.
  PseudoTerminal();
  ~PseudoTerminal();

  const std::string& PortPath() const { return port_path_; }
  /// The device side; -1 once hung up.
  int DeviceFd() const { return master_.Get(); }
  /// The descriptor of its own on the host's side of the line (through which the line
  /// settings can be inspected); -1 once hung up.
  int HostFd() const { return slave_.Get(); }

  /// Bytes sent by the device that the host has not read yet; -1 if that cannot be asked.
  int QueuedTowardsHost() const;

  /// Makes `link_path` a symbolic link to the port, replacing an earlier symbolic link
  /// there; removed again by `HangUp`. Throws std::system_error if it cannot be made.
  void AddLink(const std::string& link_path);

  /// Closes both sides and removes the link: the host's port hangs up.
  void HangUp();

 private:
  CommandLine::FileDescriptor master_;
  CommandLine::FileDescriptor slave_;
  std::string port_path_;
  std::string link_path_;
};

}  // namespace Tavix::Simulator

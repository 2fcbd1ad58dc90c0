#pragma once

#include <cstddef>
#include <memory>

#include "Bytes.h"
#include "FileDescriptor.h"
#include "NonCopyable.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::Testing {

/// A device played on a socket pair, for tests that need speed more than a terminal:
/// the library's stream holds one end, the test the other. What the test sends is
/// queued for the library by the time `Send` returns, and what the library writes can
/// be read back at once; nothing crosses a pseudo-terminal's line discipline.
///
/// The stream stands for a port whose traffic has all arrived: a wait of the library
/// for more bytes than are queued ends at once, as at its deadline (the library's own
/// wait runs, with a deadline that has already passed). The fuzz harnesses feed their
/// inputs through it, thousands a second.
class SocketPeer : CommandLine::NonCopyable {
 public:
  /// Throws std::system_error when no socket pair can be had.
  SocketPeer();
  ~SocketPeer();

  /// The library's stream on its end.
  HardwareAPI::IO::SerialStream& Stream();

  /// Queues `bytes` for the library.
  void Send(const Bytes& bytes);
  /// Bytes sent towards the library that it has not read yet.
  int QueuedTowardsLibrary() const;
  /// What the library wrote and nobody read yet, at most `count` bytes; does not wait.
  Bytes Receive(std::size_t count);

  /// Readies the peer for the next exchange: drops what either side has not read and
  /// clears the stream's state flags (the library never clears them).
  void Reset();

 private:
  class AdoptedStream;

  CommandLine::FileDescriptor device_fd_;  ///< closed after the stream, which is destroyed first
  int library_fd_ = -1;                    ///< owned by the stream
  std::unique_ptr<AdoptedStream> stream_;
};

}  // namespace Tavix::Testing

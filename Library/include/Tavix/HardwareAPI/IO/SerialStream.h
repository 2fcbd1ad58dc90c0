#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

#include "Tavix/HardwareAPI/IO/Deadline.h"
#include "Tavix/HardwareAPI/IO/WaitStatus.h"
#include "Tavix/HardwareAPI/IO/serialib.h"

namespace Tavix::HardwareAPI::IO {

/// The library's handle on one serial port: an iostream whose unbuffered stream buffer
/// (`serialib`) reads and writes the port's descriptor directly.
///
/// Only terminals are opened. The port is opened at 115200 baud, 8 data bits, no
/// parity, 1 stop bit, raw mode, VMIN = VTIME = 0, non-blocking, with DTR raised and,
/// where the driver offers it, low latency; bytes already waiting on it are dropped.
/// Only one stream at a time can hold a port. Devices hold a non-owning pointer
/// to a stream, so a stream must outlive every device built on it.
///
/// Failures never throw: a port that cannot be opened leaves the stream closed (reads
/// time out at once as end-of-file, writes send nothing, `Available` is 0), and a
/// failed write prints one line on stderr. The stream's state flags are never cleared
/// by the library, so after the first failure every later read or write on the stream
/// fails at once.
///
/// Not thread-safe: one thread at a time.
class SerialStream : public std::iostream {
 public:
  /// Stores a copy of `port_path` (null means no path) and, if `open_now`, opens the
  /// port, ignoring the result. Until `Open` runs the stream has no buffer and is bad.
  explicit SerialStream(const char* port_path, bool open_now = true);
  /// Closes the port if it is open.
  ~SerialStream() override;

  SerialStream(const SerialStream&) = delete;
  SerialStream& operator=(const SerialStream&) = delete;

  /// Closes the port if it is open. Final: the stream is not opened again.
  virtual void Close();

  /// Bytes waiting in the driver's receive queue; 0 when no port is open or the query
  /// fails. A byte held in the buffer's push-back slot is not counted.
  virtual int Available();

  /// Writes `length` bytes with one write(2). On a short or failed write prints
  /// "[err] Library/src/SerialStream:53> unable to write '<length>' bytes to stream:
  /// [errno] <strerror>" on stderr. Writes nothing and prints nothing when an earlier
  /// read left end-of-file on the stream.
  virtual void Write(const uint8_t* data, std::size_t length);

  /// Creates and installs the stream buffer, opens and configures the port, and drops
  /// whatever was waiting in its receive queue. Returns 1 when the port was opened, -2
  /// when open(2) failed, when the path is not a terminal (not a character device whose
  /// line settings can be read, such as a regular file or /dev/null; errno is then
  /// ENOTTY and nothing was written to it), or when another stream (in this or any other
  /// process) holds the port; the stream then stays closed and keeps no descriptor. The
  /// port is held with an advisory lock (flock) until `Close` or destruction. Runs once:
  /// a second call changes nothing and reports the first call's outcome.
  int8_t Open();

  /// Drops every received byte not yet read: the driver's receive queue (tcflush
  /// TCIFLUSH) and a byte held back in the buffer's push-back slot. The stream's state
  /// flags are left as they are. Does nothing else on a stream without an open port.
  virtual void DiscardInput();

  /// Blocks until at least `count` bytes wait in the driver's receive queue, the
  /// deadline passes, or the port fails or hangs up (errno then tells why). Costs no CPU
  /// while it waits. A stream without an open port waits out the deadline. Every wait
  /// of a device for its reply is this one.
  virtual WaitStatus WaitForBytes(std::size_t count, const Deadline& deadline);

  /// True while a port is open.
  bool IsOpen() const noexcept;

  /// The open port's file descriptor, -1 without one. The stream keeps owning it: for
  /// watching the port beside other descriptors, or for bare reads and writes that
  /// bypass the stream (and its push-back slot).
  int Descriptor() const noexcept;

  /// The path given at construction ("" for a null path).
  const std::string& PortPath() const noexcept { return port_path; }

 protected:
  /// Makes `fd` the stream's port as it is: no terminal check, no lock, no line
  /// settings, nothing dropped. For stand-ins of a port that are not terminals, such as
  /// one end of a socket pair a test plays the device on; tcflush(3) refuses those, so a
  /// subclass that adopts one also overrides `DiscardInput`. The stream then owns `fd`
  /// as a port it opened. Only for a stream built with `open_now` false on which `Open`
  /// has not run: returns false otherwise, leaving `fd` alone.
  bool Adopt(int fd);

 private:
  void InstallBuffer();

  std::string port_path;
  std::unique_ptr<serialib> buffer;
};

}  // namespace Tavix::HardwareAPI::IO

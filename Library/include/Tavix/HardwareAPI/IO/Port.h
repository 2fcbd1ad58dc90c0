#pragma once

#include <atomic>
#include <string>

#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::HardwareAPI::IO {

/// A serial port for programs that must tell every failure apart from data: a
/// `SerialStream` that is open from construction on, and that carries the reply
/// time-out of the devices built on it.
///
/// Devices (`Morvek3`, `Handle`) built on a Port behave as on any stream, with these
/// differences (see `Devices::Device`): they take the port's time-out at the start of
/// every operation; on a closed port they fail at once with EBADF and send nothing; an
/// operation stops at its first failure, so one time-out costs one wait; and after a
/// wrong header code they drop what the device sends until the line is quiet, instead
/// of waiting for 1024 bytes. Every failure is reported by `Device::LastError()`.
///
/// Not thread-safe, except `Timeout` and `SetTimeout`, which any thread may call while
/// another uses the port.
class Port : public SerialStream {
 public:
  static constexpr double kDefaultTimeout = 5.0;  ///< seconds
  /// The shortest time-out, in seconds: a positive one below it is taken as this one,
  /// so that no tiny time-out ever turns into "no limit" (the devices keep their
  /// time-out as a float, in which 1e-300 is 0).
  static constexpr double kMinTimeout = 1e-6;

  /// Opens and configures `path` as `SerialStream::Open` does (115200 8N1 raw, DTR,
  /// exclusive). Throws std::system_error when it cannot: `code()` holds the errno of
  /// the failing call in `std::system_category()` (ENOENT, EACCES, ENOTTY for a path that
  /// is not a terminal, EWOULDBLOCK when another stream holds the port, ...), and
  /// `what()` reads "cannot open <path>: <strerror>". `timeout_seconds` as `SetTimeout`.
  explicit Port(const std::string& path, double timeout_seconds = kDefaultTimeout);

  /// The reply time-out of the devices on this port, in seconds; 0 means no limit.
  double Timeout() const noexcept { return timeout_.load(std::memory_order_relaxed); }

  /// Sets the reply time-out; 0 or less (or NaN) means no limit, and a positive time-out
  /// below `kMinTimeout` is raised to it. Takes effect at the start of each device
  /// operation.
  void SetTimeout(double seconds) noexcept;

 private:
  std::atomic<double> timeout_;
};

}  // namespace Tavix::HardwareAPI::IO

#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::HardwareAPI::Devices {
class Device;
}
namespace Tavix::HardwareAPI::Servo {
class DrivenArms;
}

namespace Tavix::HardwareAPI::IO {

class OwedReplies;

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
/// While a servo loop drives the arm on the port (`Servo::ServoLoop`, from its start until
/// it has sent its last zero force) the port is the loop's: every operation of any other
/// device on it (another `Morvek3` object on the port, the one the loop was made with
/// included, or a `Handle`) fails at once with `std::errc::device_or_resource_busy`,
/// sending and reading nothing, from whatever thread it is called. Closing the port
/// meanwhile is the caller's fault: it races with the loop's I/O, and a loop that finds
/// its port closed stops at once, without its last zero force. Stop the loop first.
///
/// Not thread-safe, except `Timeout`, `SetTimeout` and `Driven`, which any thread may
/// call while another uses the port.
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
  ~Port() override;

  /// The reply time-out of the devices on this port, in seconds; 0 means no limit.
  double Timeout() const noexcept { return timeout_.load(std::memory_order_relaxed); }

  /// Sets the reply time-out; 0 or less (or NaN) means no limit, and a positive time-out
  /// below `kMinTimeout` is raised to it. Takes effect at the start of each device
  /// operation.
  void SetTimeout(double seconds) noexcept;

  /// True while a servo loop drives the arm on this port.
  bool Driven() const noexcept { return driver_.load(std::memory_order_acquire) != nullptr; }

 private:
  friend class Devices::Device;    // its operations are admitted and leave
  friend class Servo::DrivenArms;  // a loop claims and gives back the arm

  /// At the start of an operation of `device` (the outermost of nested ones): false when
  /// a servo loop drives the arm through another device, and the operation is refused.
  /// True otherwise, and then `counted` says whether the operation must `Leave` at its
  /// end: the loop's own operations are not counted, and cost one atomic load.
  bool Admit(const Devices::Device& device, bool& counted) noexcept {
    counted = false;
    if (driver_.load(std::memory_order_acquire) == &device) return true;
    // Counted before the driver is read, and a loop claims the arm before it reads the
    // count (both sequentially consistent): either this operation sees the claim, or the
    // loop sees it under way and waits for it to end.
    operations_.fetch_add(1, std::memory_order_seq_cst);
    if (driver_.load(std::memory_order_seq_cst) != nullptr) {
      operations_.fetch_sub(1, std::memory_order_release);
      return false;
    }
    counted = true;
    return true;
  }

  /// At the end of an admitted, counted operation. Release: what it did on the port
  /// happens before the ticks of a loop that waited for it.
  void Leave() noexcept { operations_.fetch_sub(1, std::memory_order_release); }

  std::atomic<double> timeout_;
  /// The device through which a servo loop drives the arm on this port; null when none.
  std::atomic<const Devices::Device*> driver_{nullptr};
  /// The device operations under way on this port, the loop's own aside.
  std::atomic<int> operations_{0};
  /// The bytes that replies still owe, for every device on the port: a reply one device
  /// gave up on (or the servo loop's last, never read) is not taken by another's read.
  /// Used by whoever may use the port's I/O, so guarded as that is.
  std::unique_ptr<OwedReplies> owed_;
};

}  // namespace Tavix::HardwareAPI::IO

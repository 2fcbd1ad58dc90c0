#pragma once

#include <string>
#include <type_traits>

#include <pybind11/pybind11.h>

#include "DeviceErrors.h"
#include "LogRouting.h"
#include "Tavix/HardwareAPI/Devices/Device.h"
#include "Tavix/HardwareAPI/IO/Port.h"

namespace Tavix::HardwareAPI::Python {

/// What a device method does with the interpreter lock on a plain SerialStream. On a
/// Port every device method releases it.
enum class OnPlainStream { ReleasesLock, KeepsLock };

/// Raises the module's exception for the outcome of the device's last operation, run
/// as the method `method`, if it failed. Needs the lock.
inline void RaiseIfFailed(const Devices::Device& device, const IO::Port& port, const char* method) {
  if (const std::error_code error = device.LastError()) {
    RaiseDeviceError(error, method, port.PortPath(), device.timeout);
  }
}

/// Runs `work`, one operation of `device` behind the method `method` (such as
/// "Morvek3.end_effector_force"), and returns what it returns. Called with the lock held,
/// after the arguments are converted (and any deprecation warning issued).
///   - On a plain SerialStream, as the compatible surface has always done: the lock is
///     released or kept as `plain` says, and failures stay in the values returned.
///   - On a Port, with the lock released, raising the module's exception for the
///     operation's outcome (`Device::LastError`) instead of returning failure values.
/// Either way the log lines made meanwhile reach Python's logging (when routed there)
/// before it returns or raises.
template <typename Work>
auto CallDevice(Devices::Device& device, const char* method, OnPlainStream plain, Work&& work)
    -> decltype(work()) {
  const QueuedLogLines log_lines;
  const IO::Port* const port = dynamic_cast<const IO::Port*>(device.stream);
  if (port == nullptr && plain == OnPlainStream::KeepsLock) return work();
  if constexpr (std::is_void_v<decltype(work())>) {
    {
      pybind11::gil_scoped_release release;
      work();
    }
    if (port != nullptr) RaiseIfFailed(device, *port, method);
  } else {
    auto result = [&] {
      pybind11::gil_scoped_release release;
      return work();
    }();
    if (port != nullptr) RaiseIfFailed(device, *port, method);
    return result;
  }
}

}  // namespace Tavix::HardwareAPI::Python

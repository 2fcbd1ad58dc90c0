#pragma once

#include <string>
#include <system_error>

namespace Tavix::HardwareAPI::Python {

/// Raises the module's PortError for the errno `error` on the port `path`: `errno`,
/// `strerror` and `filename` (the path) are set, and its text reads
/// "<what> <path>: [<errno>] <strerror>", with a hint where one helps: for permission
/// and busy ports when `opening`, for a hang-up (EIO) and a closed port (EBADF) after.
/// Throws pybind11::error_already_set; needs the interpreter lock.
[[noreturn]] void RaisePortError(int error, const std::string& what, const std::string& path, bool opening);

/// Raises the module's exception for the outcome `error` of the device method `method`
/// ("Morvek3.end_effector_force") on the port `path`, whose time-out was `timeout`
/// seconds: PortError for an errno, DeviceTimeoutError for a time-out, ProtocolError for
/// a wrong or malformed reply, RuntimeError "<method> on <path>: a servo loop drives the
/// arm: ..." for std::errc::device_or_resource_busy (the call was refused, nothing was
/// sent), DeviceError for anything else. Needs the interpreter lock.
[[noreturn]] void RaiseDeviceError(std::error_code error, const std::string& method, const std::string& path,
                                   double timeout);

}  // namespace Tavix::HardwareAPI::Python

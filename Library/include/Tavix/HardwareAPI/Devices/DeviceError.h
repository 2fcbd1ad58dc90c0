#pragma once

#include <system_error>
#include <type_traits>

namespace Tavix::HardwareAPI::Devices {

/// Why a device operation failed when the operating system had no part in it. Failures
/// of the port itself come as `std::system_category()` codes holding the errno of the
/// failing call; these are the others. Read them from `Device::LastError()`.
enum class DeviceErrc {
  /// The reply, or part of it, did not arrive within the device's time-out.
  /// Equivalent to `std::errc::timed_out`.
  timed_out = 1,
  /// The reply began with a header code the operation does not expect (a code 0 that
  /// did arrive included). Equivalent to `std::errc::protocol_error`.
  wrong_header,
  /// The reply arrived but does not hold what its layout requires: an identifier whose
  /// length byte is not 16, or a compact status frame that does not unstuff to an
  /// 18-byte body. Equivalent to `std::errc::protocol_error`.
  malformed_reply,
};

/// The category of `DeviceErrc` codes, named "tavix-device".
const std::error_category& DeviceCategory() noexcept;

std::error_code make_error_code(DeviceErrc error) noexcept;

}  // namespace Tavix::HardwareAPI::Devices

namespace std {
template <>
struct is_error_code_enum<Tavix::HardwareAPI::Devices::DeviceErrc> : true_type {};
}  // namespace std

#include "Tavix/HardwareAPI/Devices/DeviceError.h"

#include <string>

namespace Tavix::HardwareAPI::Devices {
namespace {

class DeviceErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "tavix-device"; }

  std::string message(int value) const override {
    switch (static_cast<DeviceErrc>(value)) {
      case DeviceErrc::timed_out:
        return "no reply from the device within the time-out";
      case DeviceErrc::wrong_header:
        return "the reply began with an unexpected header code";
      case DeviceErrc::malformed_reply:
        return "malformed reply";
    }
    return "unknown device error";
  }

  std::error_condition default_error_condition(int value) const noexcept override {
    switch (static_cast<DeviceErrc>(value)) {
      case DeviceErrc::timed_out:
        return std::errc::timed_out;
      case DeviceErrc::wrong_header:
      case DeviceErrc::malformed_reply:
        return std::errc::protocol_error;
    }
    return std::error_condition(value, *this);
  }
};

}  // namespace

const std::error_category& DeviceCategory() noexcept {
  static const DeviceErrorCategory category;
  return category;
}

std::error_code make_error_code(DeviceErrc error) noexcept {
  return std::error_code(static_cast<int>(error), DeviceCategory());
}

}  // namespace Tavix::HardwareAPI::Devices

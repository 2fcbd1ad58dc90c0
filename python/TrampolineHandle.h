#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "Tavix/HardwareAPI/Devices/Handle.h"

namespace Tavix::HardwareAPI::Python {

/// The native object behind an instance of a Python subclass of Handle: forwards the
/// three field-form callbacks to the subclass's overrides; the record forms keep their
/// defaults. `Receive` calls them with the interpreter lock released, so each takes the
/// lock itself. An override's exception leaves as pybind11::error_already_set and
/// reaches the Python caller of `Receive` unchanged.
class TrampolineHandle : public Devices::Handle {
 public:
  using Devices::Handle::Handle;

  void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                           uint8_t device_model_number, uint8_t hardware_version,
                           uint8_t firmware_version) override {
    pybind11::gil_scoped_acquire gil;
    if (pybind11::function override = Override("OnReceiveHandleInfo")) {
      override(tool_data_remaining, device_id, device_model_number, hardware_version,
               firmware_version);
    }
  }

  /// Without a Python override this throws std::runtime_error (RuntimeError in Python):
  /// a subclass must handle status messages.
  void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                    uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                    uint8_t user_data_length, const uint8_t* user_data) override {
    const std::vector<float> quaternion_copy(quaternion, quaternion + 4);
    const std::vector<uint8_t> user_data_copy(user_data, user_data + user_data_length);
    pybind11::gil_scoped_acquire gil;
    pybind11::function override = Override("OnReceiveHandleStatusMessage");
    if (!override) {
      pybind11::pybind11_fail(
          "Tried to call pure virtual function "
          "\"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
    }
    override(device_id, quaternion_copy, error_flag, hall_effect_sensor_level, user_data_length,
             user_data_copy);
  }

  void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
    pybind11::gil_scoped_acquire gil;
    if (pybind11::function override = Override("OnReceiveHandleErrorResponse")) {
      override(device_id, error_code);
    }
  }

 private:
  /// The method `name` of a Python subclass, or a null function when none is defined or
  /// when the call comes from within that same override (which then reaches the
  /// default). Needs the interpreter lock.
  pybind11::function Override(const char* name) const {
    return pybind11::get_override(static_cast<const Devices::Handle*>(this), name);
  }
};

}  // namespace Tavix::HardwareAPI::Python

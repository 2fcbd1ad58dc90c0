#include <array>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "DeviceCall.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "TrampolineHandle.h"
#include "WarnDeprecated.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using Devices::Handle;
using ByteString = std::variant<py::bytes, py::bytearray>;

// Python subclasses get a TrampolineHandle (first factory for Handle itself, second for
// subclasses), so that only they pay for the callback lookups.
template <typename Native>
std::unique_ptr<Native> MakeHandle(IO::SerialStream* stream) {
  if (stream == nullptr) {
    throw py::type_error("Handle() argument 1 must be a SerialStream, not None");
  }
  return std::make_unique<Native>(stream);
}

// `user_data` holds at least `data_length` bytes owned by the caller: a bytearray could be
// resized by another thread while the lock is released, so it is never sent from directly.
void SendWithLockReleased(Handle& handle, uint16_t device_id, uint8_t data_length,
                          const uint8_t* user_data) {
  CallDevice(handle, "Handle.SendHandleState", OnPlainStream::ReleasesLock,
             [&] { handle.SendHandleState(device_id, data_length, user_data); });
}

// A request that only sends.
auto RequestMethod(void (Handle::*request)(), const char* method) {
  return [request, method](Handle& handle) {
    CallDevice(handle, method, OnPlainStream::ReleasesLock, [&] { (handle.*request)(); });
  };
}

int Receive(Handle& handle) {
  return CallDevice(handle, "Handle.Receive", OnPlainStream::ReleasesLock, [&] { return handle.Receive(); });
}

void SendOneByteHandleState(Handle& handle, uint16_t device_id, uint8_t data_length,
                            uint8_t user_data) {
  if (data_length > 1) {
    throw py::value_error("SendHandleState: an int user_data is one byte, but data_length is " +
                          std::to_string(data_length));
  }
  SendWithLockReleased(handle, device_id, data_length, &user_data);
}

void SendBytesHandleState(Handle& handle, uint16_t device_id, uint8_t data_length,
                          const std::optional<ByteString>& user_data) {
  const std::string bytes =
      user_data ? std::visit([](const auto& data) { return std::string(data); }, *user_data) : "";
  if (bytes.size() < data_length) {
    throw py::value_error("SendHandleState: data_length is " + std::to_string(data_length) +
                          ", but user_data holds only " + std::to_string(bytes.size()) +
                          " bytes");
  }
  SendWithLockReleased(handle, device_id, data_length,
                       reinterpret_cast<const uint8_t*>(bytes.data()));
}

// A direct call gives one quaternion component and one user-data byte; the callback gets
// the full-size arrays it expects, padded with zeros.
void CallStatusMessage(Handle& handle, uint16_t device_id, float quaternion, uint8_t error_flag,
                       uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                       uint8_t user_data) {
  const std::array<float, 4> quaternion_padded{quaternion, 0.0f, 0.0f, 0.0f};
  std::array<uint8_t, 255> user_data_padded{};
  user_data_padded[0] = user_data;
  handle.OnReceiveHandleStatusMessage(device_id, quaternion_padded.data(), error_flag,
                                      hall_effect_sensor_level, user_data_length,
                                      user_data_padded.data());
}

int ReceiveObsolete(Handle& handle, uint8_t /*obsolete*/) {
  WarnDeprecated("Receive with one argument is deprecated");
  return Receive(handle);
}

py::dict GetGantrelStatusDict(Handle& handle) {
  const Devices::GantrelStatus status = CallDevice(handle, "Handle.GetGantrelStatus", OnPlainStream::ReleasesLock,
                                                   [&] { return handle.GetGantrelStatus(); });
  py::dict result;
  result["device_id"] = status.device_id;
  result["quaternion"] =
      std::vector<float>(std::begin(status.quaternion), std::end(status.quaternion));
  result["error_flag"] = status.error_flag;
  result["hall_effect_sensor_level"] = status.hall_effect_sensor_level;
  result["buttons"] = status.buttons;
  result["battery_level"] = status.battery_level;
  return result;
}

}  // namespace

// The handle keeps its SerialStream alive (keep_alive<1, 2>): the library only borrows the
// stream, and a stream freed first would leave the handle writing through a dangling pointer.
void BindHandle(py::module_& module) {
  py::class_<Handle, TrampolineHandle>(module, "Handle", "The gantrel handle class")
      .def(py::init(&MakeHandle<Handle>, &MakeHandle<TrampolineHandle>), py::keep_alive<1, 2>())
      .def("SendDeviceWakeup", RequestMethod(&Handle::SendDeviceWakeup, "Handle.SendDeviceWakeup"))
      .def("SendHandleState", &SendOneByteHandleState, py::arg("device_id") = 0,
           py::arg("data_length") = 0, py::arg("user_data") = py::none(), "send handle state")
      .def("SendHandleState", &SendBytesHandleState, py::arg("device_id") = 0,
           py::arg("data_length") = 0, py::arg("user_data") = py::none(), "send handle state")
      .def("RequestStatus", RequestMethod(&Handle::RequestStatus, "Handle.RequestStatus"),
           "request handle status")
      .def("OnReceiveHandleInfo", &Handle::OnReceiveHandleInfo, py::arg("tool_data_remaining"),
           py::arg("device_id"), py::arg("device_model_number"), py::arg("hardware_version"),
           py::arg("firmware_version"), "OnReceiveHandleInfo")
      .def("OnReceiveHandleStatusMessage", &CallStatusMessage, py::arg("device_id"),
           py::arg("quaternion"), py::arg("error_flag"), py::arg("hall_effect_sensor_level"),
           py::arg("user_data_length"), py::arg("user_data"), "OnReceiveHandleStatusMessage")
      .def("OnReceiveHandleErrorResponse", &Handle::OnReceiveHandleErrorResponse,
           py::arg("device_id"), py::arg("error_code"), "OnReceiveHandleErrorResponse")
      .def("Receive", &Receive, "Receive data from the handle")
      .def("Receive", &ReceiveObsolete, py::arg("obsolete"),
           "[DEPRECATED] Receive current and return current")
      .def("GetGantrelStatus", &GetGantrelStatusDict, "Get the most recent Gantrel informations");
}

}  // namespace Tavix::HardwareAPI::Python

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "DeviceCall.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "WarnDeprecated.h"
#include "to_python_uuid.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using Devices::ArmState;
using Devices::DeviceInfo;
using Arm = Devices::Morvek3;
using Floats = std::vector<float>;

const Floats kZeroVector{0.0f, 0.0f, 0.0f};

constexpr const char* kReceiveDeviceInfoDoc =
    "\n"
    "            Receive device info and return a tuple with the following fields: \n"
    "\n"
    "            device_id (uint16_t)\n"
    "            \n"
    "            device_model_num (uint8_t)\n"
    "            \n"
    "            hardware_version (uint8_t)\n"
    "            \n"
    "            firmware_version (uint8_t)\n"
    "            \n"
    "            device_id_ext (UUID)\n"
    "            ";

// The three values a command or reply buffer needs; shorter sequences are refused
// before any I/O, longer ones keep their extra values untouched.
Vector3 FirstThree(const Floats& values, const char* parameter) {
  if (values.size() < 3) {
    throw py::value_error(std::string(parameter) + " needs at least 3 values, got " +
                          std::to_string(values.size()));
  }
  return {values[0], values[1], values[2]};
}

// `values` with its first three elements replaced by `first_three`.
Floats WithFirstThree(Floats values, const Vector3& first_three) {
  std::copy(first_three.begin(), first_three.end(), values.begin());
  return values;
}

constexpr OnPlainStream kReleases = OnPlainStream::ReleasesLock;
constexpr OnPlainStream kKeeps = OnPlainStream::KeepsLock;

// Runs one operation of the arm as the method `method` (see CallDevice).
template <typename Work>
auto Exchange(Arm& arm, const char* method, OnPlainStream plain, Work&& work) {
  return CallDevice(arm, method, plain, std::forward<Work>(work));
}

py::tuple StateTuple(const ArmState& state) { return py::make_tuple(state.position, state.velocity); }

// An exchange that answers with the device information, returned as a tuple whose last
// field is what `identifier` makes of the device's UUID.
template <typename Identifier>
auto InfoTupleMethod(DeviceInfo (Arm::*exchange)(), const char* method, Identifier identifier) {
  return [exchange, method, identifier](Arm& arm) {
    const DeviceInfo info = Exchange(arm, method, kReleases, [&] { return (arm.*exchange)(); });
    return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version, info.firmware_version,
                          identifier(info.device_id_ext));
  };
}

// A command that answers with the arm's state.
auto CommandMethod(ArmState (Arm::*exchange)(const Vector3&), const char* method, const char* parameter) {
  return [exchange, method, parameter](Arm& arm, const Floats& values) {
    const Vector3 command = FirstThree(values, parameter);
    return StateTuple(Exchange(arm, method, kReleases, [&] { return (arm.*exchange)(command); }));
  };
}

// A send-only command of the older interface; `warning` is null for the ones not deprecated.
auto SendMethod(void (Arm::*send)(const Vector3&), const char* method, const char* parameter,
                const char* warning) {
  return [send, method, parameter, warning](Arm& arm, const Floats& values) {
    const Vector3 command = FirstThree(values, parameter);
    if (warning != nullptr) WarnDeprecated(warning);
    Exchange(arm, method, kReleases, [&] { (arm.*send)(command); });
  };
}

// A reply-only state read of the older interface: the reply overwrites the first three
// values of copies of the two buffers, which are returned.
auto ReceiveStateMethod(void (Arm::*read)(Vector3&, Vector3&), const char* method,
                        const char* first_parameter, const char* second_parameter, const char* warning) {
  return [=](Arm& arm, const Floats& first, const Floats& second) {
    Vector3 first_three = FirstThree(first, first_parameter);
    Vector3 second_three = FirstThree(second, second_parameter);
    WarnDeprecated(warning);
    Exchange(arm, method, kReleases, [&] { (arm.*read)(first_three, second_three); });
    return py::make_tuple(WithFirstThree(first, first_three), WithFirstThree(second, second_three));
  };
}

// A query that keeps the interpreter lock on a plain stream.
template <typename Result>
auto QueryMethod(Result (Arm::*query)(), const char* method) {
  return [query, method](Arm& arm) { return Exchange(arm, method, kKeeps, [&] { return (arm.*query)(); }); };
}

void BindIdentity(py::class_<Arm>& arm) {
  arm.def("device_wakeup",
          InfoTupleMethod(&Arm::DeviceWakeup, "Morvek3.device_wakeup",
                          [](const UUID& identifier) { return py::cast(identifier.bytes); }),
          "Wakeup the device and return the device info as a tuple.")
      .def(
          "device_wakeup_dict",
          [](Arm& self) {
            const DeviceInfo info =
                Exchange(self, "Morvek3.device_wakeup_dict", kReleases, [&] { return self.DeviceWakeup(); });
            py::dict result;
            result["device_id"] = info.device_id;
            result["device_model_number"] = info.device_model_number;
            result["hardware_version"] = info.hardware_version;
            result["firmware_version"] = info.firmware_version;
            result["device_id_ext"] = to_python_uuid(info.device_id_ext);
            return result;
          },
          "Wakeup the device and return the device info as a dict.")
      .def(
          "get_firmware_version",
          [](Arm& self) {
            return to_python_uuid(QueryMethod(&Arm::GetFirmwareVersion, "Morvek3.get_firmware_version")(self));
          },
          "Receive the firmware version of the device.")
      .def(
          "get_device_id",
          [](Arm& self) { return to_python_uuid(QueryMethod(&Arm::GetDeviceID, "Morvek3.get_device_id")(self)); },
          "Receive the UUID of the device.");
}

void BindStatusQueries(py::class_<Arm>& arm) {
  arm.def("get_motor_currents", QueryMethod(&Arm::GetMotorCurrents, "Morvek3.get_motor_currents"),
          "Receive the motor currents of the device.")
      .def("get_device_orientation", QueryMethod(&Arm::GetDeviceOrientation, "Morvek3.get_device_orientation"),
           "Receive the orientation of the base of the device.")
      .def("get_power_status", QueryMethod(&Arm::GetPowerStatus, "Morvek3.get_power_status"),
           "Receive the power status of the device.")
      .def("get_temperature", QueryMethod(&Arm::GetTemperature, "Morvek3.get_temperature"),
           "Receive the temperature of the device.");
}

void BindGeometry(py::class_<Arm>& arm) {
  arm.def(
         "get_end_effector_position",
         [](Arm& self, bool onboard) {
           return StateTuple(Exchange(self, "Morvek3.get_end_effector_position", kReleases,
                                      [&] { return self.GetEndEffectorPosition(onboard); }));
         },
         py::arg("onboard") = true, "Get the end-effector position and velocity")
      .def(
          "adjust_angles",
          [](Arm& self, const Floats& angles) {
            const Vector3 target = FirstThree(angles, "angles");
            Exchange(self, "Morvek3.adjust_angles", kReleases, [&] { self.AdjustAngles(target); });
          },
          py::arg("angles") = kZeroVector, "Adjust the angles of the device")
      .def(
          "adjust_lengths",
          [](Arm& self, float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
             float extension) {
            py::gil_scoped_release release;
            // The arm's own model on a Port, the one shared by the process otherwise.
            self.Geometry().configure(inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
          },
          // Double defaults, so that the signature shows 0.14 rather than its binary32 value.
          py::arg("inner_arm_1") = 0.14, py::arg("outer_arm_1") = 0.14, py::arg("inner_arm_2") = 0.165,
          py::arg("outer_arm_2") = 0.165, py::arg("extension") = 0.0765,
          "Adjust the lengths of the linkages");
}

void BindForceCommand(py::class_<Arm>& arm) {
  arm.def("end_effector_force",
          CommandMethod(&Arm::EndEffectorForce, "Morvek3.end_effector_force", "force request vector"),
          py::arg("force request vector") = kZeroVector,
          "Send forces to the device and receive device states");
}

void BindJointAndPositionCommands(py::class_<Arm>& arm) {
  arm.def("joint_torques",
          CommandMethod(&Arm::JointTorques, "Morvek3.joint_torques", "joint torque request vector"),
          py::arg("joint torque request vector") = kZeroVector,
          "Send joint torques to the device and receive the joint states")
      .def("end_effector_position",
           CommandMethod(&Arm::EndEffectorPosition, "Morvek3.end_effector_position", "position request vector"),
           py::arg("position request vector") = kZeroVector,
           "Send end-effector position and receive device states")
      .def("joint_angles",
           CommandMethod(&Arm::JointAngles, "Morvek3.joint_angles", "joint angle request vector"),
           py::arg("joint angle request vector") = kZeroVector,
           "Send joint angles to the device and receive the joint states");
}

void BindOlderInterface(py::class_<Arm>& arm) {
  arm.def(
         "SendDeviceWakeup",
         [](Arm& self) {
           WarnDeprecated("SendDeviceWakeup is deprecated, use device_wakeup instead");
           Exchange(self, "Morvek3.SendDeviceWakeup", kReleases, [&] { self.SendDeviceWakeup(); });
         },
         "[DEPRECATED] Send a device wakeup command")
      .def("ReceiveDeviceInfo",
           InfoTupleMethod(&Arm::ReceiveDeviceInfo, "Morvek3.ReceiveDeviceInfo",
                           [](const UUID& identifier) { return py::cast(identifier); }),
           kReceiveDeviceInfoDoc)
      .def("SendForce",
           SendMethod(&Arm::SendForce, "Morvek3.SendForce", "force",
                      "SendForce is deprecated, use end_effector_force instead"),
           py::arg("force") = kZeroVector, "[Deprecated] Send force to the device")
      .def(
          "SendForce",
          [](Arm& self, float x, float y, float z) {
            WarnDeprecated("SendForce is deprecated, use end_effector_force instead");
            Exchange(self, "Morvek3.SendForce", kReleases, [&] { self.SendForce({x, y, z}); });
          },
          py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
          "[Deprecated] Send force to the device")
      .def("ReceiveState",
           ReceiveStateMethod(&Arm::ReadEndEffectorState, "Morvek3.ReceiveState", "position", "velocity",
                              "ReceiveState is deprecated, use end_effector instead"),
           py::arg("position") = kZeroVector, py::arg("velocity") = kZeroVector,
           "[Deprecated] receive state and return position and velocity")
      .def("ReceiveJointState",
           ReceiveStateMethod(&Arm::ReadJointState, "Morvek3.ReceiveJointState", "joint_position",
                              "joint_velocity",
                              "ReceiveJointState is deprecated, use joint_torques instead"),
           py::arg("joint_position") = kZeroVector, py::arg("joint_velocity") = kZeroVector,
           "[Deprecated] receive joint state and return position and velocity in the joint "
           "reference frame")
      .def("SendJointTorques",
           SendMethod(&Arm::SendJointTorques, "Morvek3.SendJointTorques", "joint_torque",
                      "SendJointTorques is deprecated, use joint_torques instead"),
           py::arg("joint_torque") = kZeroVector, "[Deprecated] send joint torque")
      .def("SendAngle", SendMethod(&Arm::SendAngle, "Morvek3.SendAngle", "angle", nullptr),
           py::arg("angle") = kZeroVector, "Send angles to the device")
      .def(
          "RequestCurrent",
          [](Arm& self) { Exchange(self, "Morvek3.RequestCurrent", kReleases, [&] { self.RequestCurrent(); }); },
          "request current")
      .def(
          "ReceiveCurrent",
          [](Arm& self, const Floats& current) {
            Vector3 currents = FirstThree(current, "current");
            Exchange(self, "Morvek3.ReceiveCurrent", kReleases, [&] { self.ReceiveCurrent(currents); });
            return WithFirstThree(current, currents);
          },
          py::arg("current") = kZeroVector, "receive current and return current")
      .def("SendPosition",
           SendMethod(&Arm::SendPosition, "Morvek3.SendPosition", "position",
                      "SendPosition is deprecated, use end_effector_position instead"),
           py::arg("position") = kZeroVector, "[Deprecated] Send Position to the device");
}

}  // namespace

void BindMorvek3(py::module_& module) {
  py::class_<Arm> arm(module, "Morvek3", "Morvek3 Device Class");
  // The arm keeps its stream alive, so the stream cannot be destroyed under it.
  arm.def(py::init([](IO::SerialStream* stream) {
            if (stream == nullptr) {
              throw py::type_error("Morvek3() needs an open SerialStream, not None");
            }
            return std::make_unique<Arm>(stream);
          }),
          py::keep_alive<1, 2>());
  // Registration order is the order the methods are listed in.
  BindIdentity(arm);
  BindStatusQueries(arm);
  BindForceCommand(arm);
  BindGeometry(arm);
  BindJointAndPositionCommands(arm);
  BindOlderInterface(arm);
}

}  // namespace Tavix::HardwareAPI::Python

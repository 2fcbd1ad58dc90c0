#include <pybind11/pybind11.h>

#include "Bindings.h"
#include "Tavix/HardwareAPI/Version.h"

namespace py = pybind11;
using namespace Tavix::HardwareAPI::Python;

// A class must be registered before any function that takes or returns it, so that
// its signature names the Python class instead of the C++ type.
PYBIND11_MODULE(TavixHardwareAPI, module) {
  module.doc() = "Python Implementation of the Tavix Hardware API";
  BindSerialStream(module);
  BindUUID(module);
  BindDevice(module);
  BindVersionFunctions(module);
  BindDetection(module);
  BindMorvek3(module);
  BindHandle(module);
  // The modern surface, beside the compatible one: exceptions before the Port that
  // raises them.
  BindExceptions(module);
  BindPort(module);
  BindLogRouting(module);
  // Finding devices: after Port, Morvek3 and Handle, which open_arm and open_handle build.
  BindScan(module);
  // The servo loop, after the effects it takes.
  BindServoEffects(module);
  BindServoLoop(module);
  // Haptic rendering: a Scene is an effect.
  BindRendering(module);
  module.attr("__version__") = Tavix::HardwareAPI::GetLibraryVersion();
}

#pragma once

#include <typeinfo>

#include <pybind11/pybind11.h>

#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/Damper.h"
#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"
#include "Tavix/HardwareAPI/Servo/ServoState.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"
#include "Tavix/HardwareAPI/Servo/Wall.h"
#include "Tavix/HardwareAPI/UUID.h"

namespace Tavix::HardwareAPI::Python {

/// Raises TypeError when `source` is an instance of the bound class for `type` whose C++
/// object was never made: one created by `cls.__new__(cls)` without `__init__`. pybind11
/// would hand such an object's methods freshly allocated, uninitialised memory. Anything
/// else passes, to be converted (or refused) as usual.
void RefuseUninitialised(pybind11::handle source, const std::type_info& type);

}  // namespace Tavix::HardwareAPI::Python

// Every conversion of a Python object to one of the module's classes, `self` of each
// method included, checks first that the object was initialised. The specialisations
// must be seen before any use of the class in a binding: Bindings.h includes this.
#define TAVIX_REFUSE_UNINITIALISED(Type)                                                   \
  namespace pybind11::detail {                                                             \
  template <>                                                                              \
  class type_caster<Type> : public type_caster_base<Type> {                                \
   public:                                                                                 \
    bool load(handle source, bool convert) {                                               \
      ::Tavix::HardwareAPI::Python::RefuseUninitialised(source, typeid(Type));             \
      return type_caster_base<Type>::load(source, convert);                                \
    }                                                                                      \
  };                                                                                       \
  }

TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::IO::SerialStream)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::IO::Port)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::UUID)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Devices::Device)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Devices::Morvek3)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Devices::Handle)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Servo::Effect)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Servo::Spring)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Servo::Damper)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Servo::Wall)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Servo::ConstantForce)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Servo::ServoState)
TAVIX_REFUSE_UNINITIALISED(Tavix::HardwareAPI::Servo::ServoLoop)

#pragma once

#include <pybind11/pybind11.h>

#include "UninitialisedObjects.h"

// One function per bound piece of the library; module.cpp calls them in registration
// order, which decides how signatures name the classes.
namespace Tavix::HardwareAPI::Python {

void BindSerialStream(pybind11::module_& module);
void BindUUID(pybind11::module_& module);
void BindDevice(pybind11::module_& module);
void BindVersionFunctions(pybind11::module_& module);
void BindDetection(pybind11::module_& module);
void BindMorvek3(pybind11::module_& module);
void BindHandle(pybind11::module_& module);
void BindExceptions(pybind11::module_& module);
void BindPort(pybind11::module_& module);
void BindLogRouting(pybind11::module_& module);
void BindScan(pybind11::module_& module);
void BindServoEffects(pybind11::module_& module);
void BindServoLoop(pybind11::module_& module);
void BindRendering(pybind11::module_& module);

}  // namespace Tavix::HardwareAPI::Python

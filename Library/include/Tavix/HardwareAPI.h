#pragma once

// Every public header of the Tavix hardware library.
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/ArmState.h"
#include "Tavix/HardwareAPI/Devices/Device.h"
#include "Tavix/HardwareAPI/Devices/DeviceInfo.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Deadline.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "Tavix/HardwareAPI/IO/WaitStatus.h"
#include "Tavix/HardwareAPI/IO/serialib.h"
#include "Tavix/HardwareAPI/UUID.h"
#include "Tavix/HardwareAPI/Vector3.h"
#include "Tavix/HardwareAPI/Version.h"

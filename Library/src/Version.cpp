#include "Tavix/HardwareAPI/Version.h"

#include <iostream>

namespace Tavix::HardwareAPI {

const char* GetLibraryVersion() noexcept { return "0.1.9"; }

void PrintLibraryVersion() { std::cout << "Library version: " << GetLibraryVersion() << std::endl; }

}  // namespace Tavix::HardwareAPI

#include "Tavix/HardwareAPI/Version.h"

#include <iostream>

// The build defines TAVIX_HARDWARE_API_VERSION as the version in pyproject.toml
// (cmake/TavixVersion.cmake reads it); a build that compiles this file must do the same.
#ifndef TAVIX_HARDWARE_API_VERSION
#error "TAVIX_HARDWARE_API_VERSION is not defined: define it as pyproject.toml's version"
#endif

namespace Tavix::HardwareAPI {

const char* GetLibraryVersion() noexcept { return TAVIX_HARDWARE_API_VERSION; }

void PrintLibraryVersion() { std::cout << "Library version: " << GetLibraryVersion() << std::endl; }

}  // namespace Tavix::HardwareAPI

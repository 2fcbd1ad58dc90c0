#pragma once

namespace Tavix::HardwareAPI {

/// The library version, "0.1.9": static text, never null.
const char* GetLibraryVersion() noexcept;

/// Writes "Library version: 0.1.9" and a newline to std::cout and flushes it.
void PrintLibraryVersion();

}  // namespace Tavix::HardwareAPI

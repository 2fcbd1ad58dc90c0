#pragma once

namespace Tavix::HardwareAPI {

/// The library version, such as "0.1.9": the version of the Python package built from
/// the same sources (its __version__). Static text, never null.
const char* GetLibraryVersion() noexcept;

/// Writes "Library version: " followed by GetLibraryVersion() and a newline to std::cout
/// and flushes it.
void PrintLibraryVersion();

}  // namespace Tavix::HardwareAPI

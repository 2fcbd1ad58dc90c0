#pragma once

#include <string>
#include <vector>

#include "Tavix/HardwareAPI/Discovery.h"

namespace Tavix::Cli {

/// The library's candidate ports in `directory`, sorted by path, each port once (a link
/// and its target name the same port). Throws CommandFailure if the directory is
/// missing, is not a directory or cannot be read.
std::vector<HardwareAPI::PortCandidate> CandidatePorts(const std::string& directory);

/// A candidate port and the name the user's device directory gives it.
struct NamedCandidate {
  /// The port as `tavix scan` names it (see `HardwareAPI::ListScanTargets`): the device
  /// node in the directory, or else the first entry by name linking to it; the resolved
  /// path when no entry names it any more.
  std::string name;
  HardwareAPI::PortCandidate port;  ///< `port.path` resolved
};

/// `CandidatePorts(directory)`, each with its name, sorted by name. Throws as
/// `CandidatePorts` does.
std::vector<NamedCandidate> NamedCandidatePorts(const std::string& directory);

/// Throws CommandFailure unless `directory` is a directory: the library takes a missing
/// one for one without ports, but a user who mistyped --dev is told.
void RequireDeviceDirectory(const std::string& directory);

/// "acm", "usb" or "rfcomm".
const char* KindName(HardwareAPI::PortKind kind);

/// What a kind of port is and which devices use it, for example
/// "USB CDC-ACM: arms".
const char* KindUse(HardwareAPI::PortKind kind);

}  // namespace Tavix::Cli

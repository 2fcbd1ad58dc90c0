#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Tavix::HardwareAPI {

/// The device directory detection looks in unless told otherwise.
inline constexpr const char* kDeviceDirectory = "/dev";

/// Which kind of serial port a candidate is, by the marker in its name.
enum class PortKind {
  Acm = 1,     ///< "ttyACM": USB CDC-ACM (arms)
  Usb = 2,     ///< "ttyUSB": USB serial adapter (wired handles)
  Rfcomm = 3,  ///< "rfcomm": Bluetooth RFCOMM (wireless handles)
};

/// A serial port that might have a device attached.
struct PortCandidate {
  std::string path;  ///< absolute path with symbolic links resolved
  PortKind kind;
};

/// The kind of serial port an entry named `name` is: the first of "ttyACM", "ttyUSB" and
/// "rfcomm" found anywhere in the name; nothing for a name with none of them.
std::optional<PortKind> PortKindOfName(const std::string& name);

/// Lists the entries of `directory` (not recursively) whose names contain "ttyACM",
/// "ttyUSB" or "rfcomm" (checked in that order), in the order the directory yields
/// them, each resolved to its canonical path. A missing directory gives an empty list;
/// an entry that cannot be resolved (a dangling link, a port that vanished meanwhile)
/// is skipped. Throws std::filesystem::filesystem_error if the directory cannot be read.
std::vector<PortCandidate> ListCandidatePorts();
std::vector<PortCandidate> ListCandidatePorts(const std::string& directory);

/// Opens `port`, sends the wake-up request and returns 1 if the reply is a complete
/// device-information reply of model 4 (an arm), otherwise 0. Closes the port. A silent
/// port costs two device time-outs (10 to 12 s). Never throws: an exception is printed
/// as "exception: <what>" on stdout and gives 0.
int ProbeMorvek3(const char* port);

/// Opens `port`, sends the wake-up request, reads one reply and returns 1 if it is a
/// complete handle-information or handle-status message, otherwise 0. Closes the port.
/// A silent port costs one device time-out (5 to 6 s). Never throws: an exception is
/// written to std::cerr and gives 0.
int ProbeHandle(const char* port);

/// Runs `ProbeMorvek3` on a thread of its own and accepts the port only if the probe
/// said yes within 3 s. A late probe is still waited for (and its verdict ignored), so
/// the time-out never shortens the wait.
bool ProbeMorvek3WithTimeout(const char* port);

/// Runs `ProbeHandle` on a thread of its own and accepts the port only if the probe
/// said yes within 5 s. A late probe is still waited for (and its verdict ignored), so
/// the time-out never shortens the wait.
bool ProbeHandleWithTimeout(const char* port);

/// Ports of kind Acm with an arm, probed one after another (3 s rule per probe).
std::vector<std::string> DetectMorvek3s();
std::vector<std::string> DetectMorvek3s(const std::string& directory);

/// Ports of every kind with a handle, probed one after another (5 s rule per probe).
std::vector<std::string> DetectHandles();
std::vector<std::string> DetectHandles(const std::string& directory);

/// Ports of kind Usb with a handle.
std::vector<std::string> DetectWiredHandles();
std::vector<std::string> DetectWiredHandles(const std::string& directory);

/// Ports of kind Rfcomm with a handle.
std::vector<std::string> DetectWirelessHandles();
std::vector<std::string> DetectWirelessHandles(const std::string& directory);

}  // namespace Tavix::HardwareAPI

#pragma once

#include <string>
#include <vector>

#include "Tavix/HardwareAPI/Discovery.h"
#include "Tavix/HardwareAPI/Scan.h"

namespace Tavix::Cli {

/// The commands of the tool.
enum class Command { None, Ports, Detect, Scan, Info, Monitor, Latency, Doctor, UdevRules };

/// Which devices `detect` looks for; all false means arms and handles.
struct DetectTargets {
  bool arms = false;      ///< arms on acm ports
  bool handles = false;   ///< handles on every kind of port
  bool wired = false;     ///< handles on usb ports
  bool wireless = false;  ///< handles on rfcomm ports
};

/// What the command line asks the tool to do.
struct Options {
  Command command = Command::None;
  bool show_help = false;
  bool show_version = false;
  std::string port;                                                  ///< info, monitor, latency
  std::vector<std::string> ports;                                    ///< doctor
  std::string device_directory = HardwareAPI::kDeviceDirectory;      ///< ports, detect, scan, doctor
  std::string sysfs_root = HardwareAPI::kSysfsRoot;                  ///< scan, doctor
  std::string proc_root = "/proc";                                   ///< doctor
  double scan_timeout = HardwareAPI::ScanOptions::kDefaultTimeout;   ///< scan
  bool json = false;                                                 ///< scan
  DetectTargets targets;                                             ///< detect
  bool handle = false;                                               ///< info
  double rate_hz = 10.0;                                             ///< monitor
  bool joint_space = false;                                          ///< monitor
  unsigned long round_trips = 1000;                                  ///< latency
};

/// Reads the arguments after the program name. Throws std::invalid_argument with a
/// message for the user when they are wrong; `CommandOf` then tells which command's
/// usage to show.
Options ParseOptions(int argc, const char* const* argv);

/// The command named by the first argument, or None when there is none or it is unknown.
Command CommandOf(int argc, const char* const* argv);

}  // namespace Tavix::Cli

#pragma once

#include <string>
#include <vector>

#include "Tavix/HardwareAPI/Discovery.h"
#include "Tavix/HardwareAPI/ScanRecord.h"
#include "Tavix/HardwareAPI/UsbIdentity.h"

namespace Tavix::HardwareAPI {

/// Where and how long `Scan` looks.
struct ScanOptions {
  static constexpr double kDefaultTimeout = 0.5;  ///< seconds

  /// How long each port has, from the wake-up request on, to send its whole reply.
  double timeout = kDefaultTimeout;
  std::string device_directory = kDeviceDirectory;
  std::string sysfs_root = kSysfsRoot;
};

/// A port `Scan` probes.
struct ScanTarget {
  std::string path;   ///< as in `ScanRecord::path`
  std::string by_id;  ///< as in `ScanRecord::by_id`
};

/// The ports a scan of `device_directory` probes, sorted by path, each device once:
///   - the entries whose names mark a serial port (the rule of `ListCandidatePorts`:
///     "ttyACM", "ttyUSB", "rfcomm"), by their path in the directory, not resolved;
///     entries that resolve to the same port count once, a device node (or the first
///     by name) standing for its links; an entry that resolves to nothing is skipped;
///   - the links in `<device_directory>/serial/by-id`: each is recorded as the `by_id` of
///     the entry that resolves to the same port (the first by name, if several do), or,
///     when no entry does, makes a port of its own, named by the link's target.
/// A missing directory gives no ports. Throws std::filesystem::filesystem_error if the
/// device directory exists but cannot be read.
std::vector<ScanTarget> ListScanTargets(const std::string& device_directory = kDeviceDirectory);

/// Probes every port of `ListScanTargets(options.device_directory)` at once, each on a
/// thread of its own, and returns one record per port in the same order, with its USB
/// identity read from sysfs under `options.sysfs_root` (see `ReadUsbIdentity`; the
/// port's kernel name is the last component of its path). Takes about one time-out in
/// all, however many ports there are. See `ScanPort` for the probe. Nothing is logged.
/// Throws std::invalid_argument unless `options.timeout` is above 0 (and not NaN),
/// std::filesystem::filesystem_error as `ListScanTargets` does, and std::system_error if a
/// thread cannot be started (after the threads already started have finished).
std::vector<ScanRecord> Scan(const ScanOptions& options = {});

/// Probes the one port `path` as `Scan` does, without its USB identity or by-id link:
///   1. opens it as an `IO::Port` does; a port another stream holds (EWOULDBLOCK, or
///      EBUSY for one opened for exclusive use) is `Busy` and left alone; a port that
///      cannot be opened otherwise is `Unknown`, the note saying why;
///   2. sends the wake-up request, the byte 0x0A, once;
///   3. reads the reply, all of which must arrive within `timeout_seconds` of the
///      request: nothing is `Silent`; 0x0B and the 21-byte device information of model 4
///      is an `Arm`; 0xD0 and the 6-byte handle information is a `Handle` with its
///      information; 0xDA (a status message) is a `Handle` without it; anything else, an
///      incomplete reply, or an arm of another model is `Unknown`;
///   4. closes the port.
/// Never throws for anything the port does. Throws std::invalid_argument unless
/// `timeout_seconds` is above 0.
ScanRecord ScanPort(const std::string& path, double timeout_seconds = ScanOptions::kDefaultTimeout);

}  // namespace Tavix::HardwareAPI

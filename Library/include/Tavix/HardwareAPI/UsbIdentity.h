#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Tavix::HardwareAPI {

/// The root sysfs is mounted at unless told otherwise.
inline constexpr const char* kSysfsRoot = "/sys";

/// Who made the USB device a serial port belongs to, as the kernel read it from the
/// device's descriptors. A plain copyable record.
struct UsbIdentity {
  uint16_t vendor_id = 0;     ///< idVendor
  uint16_t product_id = 0;    ///< idProduct
  std::string serial_number;  ///< "" when the device reports none
  std::string manufacturer;   ///< "" when the device reports none
  std::string product;        ///< "" when the device reports none
};

/// The USB identity of the serial port whose kernel name is `port_name` ("ttyACM0",
/// "ttyUSB1"), read from sysfs under `sysfs_root`: `class/tty/<port_name>/device` leads
/// to the port's USB interface (for ttyACM ports directly, for ttyUSB ports through the
/// adapter's port directory below it), and the first directory above it, at most three
/// levels up and still under `sysfs_root`, that holds `idVendor` is the USB device,
/// whose `idVendor`, `idProduct`, `serial`, `manufacturer` and `product` files fill the
/// record. Nothing when the port is not on USB (an RFCOMM port, a pseudo-terminal), when
/// sysfs does not know it, or when `idVendor` or `idProduct` is not a hexadecimal
/// number. Reads files only; never throws.
std::optional<UsbIdentity> ReadUsbIdentity(const std::string& port_name,
                                           const std::string& sysfs_root = kSysfsRoot);

}  // namespace Tavix::HardwareAPI

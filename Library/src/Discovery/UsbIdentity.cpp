#include "Tavix/HardwareAPI/UsbIdentity.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace Tavix::HardwareAPI {
namespace fs = std::filesystem;
namespace {

// How far above the port's `device` link the USB device may be: the interface is the
// link's target for ttyACM ports and one level above it for ttyUSB ports, and the
// device is the interface's parent.
constexpr int kLevelsUp = 3;

// The first line of a sysfs attribute file, "" when it cannot be read.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// A 16-bit hexadecimal id as sysfs writes it ("0403").
std::optional<uint16_t> HexId(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (errno != 0 || *end != '\0' || value > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(value);
}

bool IsWithin(const fs::path& path, const fs::path& root) {
  const auto [root_end, ignored] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return root_end == root.end();
}

}  // namespace

std::optional<UsbIdentity> ReadUsbIdentity(const std::string& port_name, const std::string& sysfs_root) {
  std::error_code error;
  const fs::path root = fs::canonical(sysfs_root, error);
  if (error || port_name.empty()) return std::nullopt;
  fs::path directory = fs::canonical(root / "class" / "tty" / port_name / "device", error);
  if (error) return std::nullopt;
  for (int level = 0; level <= kLevelsUp && IsWithin(directory, root) && directory != root; ++level) {
    if (fs::exists(directory / "idVendor", error)) {
      const std::optional<uint16_t> vendor = HexId(Attribute(directory / "idVendor"));
      const std::optional<uint16_t> product = HexId(Attribute(directory / "idProduct"));
      if (!vendor || !product) return std::nullopt;
      UsbIdentity identity;
      identity.vendor_id = *vendor;
      identity.product_id = *product;
      identity.serial_number = Attribute(directory / "serial");
      identity.manufacturer = Attribute(directory / "manufacturer");
      identity.product = Attribute(directory / "product");
      return identity;
    }
    directory = directory.parent_path();
  }
  return std::nullopt;
}

}  // namespace Tavix::HardwareAPI

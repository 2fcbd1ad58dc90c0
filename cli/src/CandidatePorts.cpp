#include "CandidatePorts.h"

#include <algorithm>
#include <filesystem>

#include "CommandFailure.h"

namespace Tavix::Cli {

using HardwareAPI::PortCandidate;
using HardwareAPI::PortKind;

std::vector<PortCandidate> CandidatePorts(const std::string& directory) {
  std::vector<PortCandidate> candidates;
  try {
    candidates = HardwareAPI::ListCandidatePorts(directory);
  } catch (const std::filesystem::filesystem_error& error) {
    throw CommandFailure("cannot read the device directory " + directory + ": " + error.code().message());
  }
  const auto by_path = [](const PortCandidate& a, const PortCandidate& b) { return a.path < b.path; };
  const auto same_path = [](const PortCandidate& a, const PortCandidate& b) { return a.path == b.path; };
  std::stable_sort(candidates.begin(), candidates.end(), by_path);
  candidates.erase(std::unique(candidates.begin(), candidates.end(), same_path), candidates.end());
  return candidates;
}

const char* KindName(PortKind kind) {
  switch (kind) {
    case PortKind::Acm:
      return "acm";
    case PortKind::Usb:
      return "usb";
    case PortKind::Rfcomm:
      return "rfcomm";
  }
  return "?";
}

const char* KindUse(PortKind kind) {
  switch (kind) {
    case PortKind::Acm:
      return "USB CDC-ACM: arms";
    case PortKind::Usb:
      return "USB serial adapter: wired handles";
    case PortKind::Rfcomm:
      return "Bluetooth RFCOMM: wireless handles";
  }
  return "?";
}

}  // namespace Tavix::Cli

#include "CandidatePorts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

#include "CommandFailure.h"

namespace Tavix::Cli {

using HardwareAPI::PortCandidate;
using HardwareAPI::PortKind;

namespace {

[[noreturn]] void FailToRead(const std::string& directory, const std::string& reason) {
  throw CommandFailure("cannot read the device directory " + directory + ": " + reason);
}

// What is said of a kind of port: its short name and what is found on such ports.
struct KindTexts {
  const char* name;
  const char* use;
};

KindTexts TextsOf(PortKind kind) {
  switch (kind) {
    case PortKind::Acm:
      return {"acm", "USB CDC-ACM: arms"};
    case PortKind::Usb:
      return {"usb", "USB serial adapter: wired handles"};
    case PortKind::Rfcomm:
      return {"rfcomm", "Bluetooth RFCOMM: wireless handles"};
  }
  return {"?", "?"};
}

}  // namespace

void RequireDeviceDirectory(const std::string& directory) {
  struct stat status {};
  if (stat(directory.c_str(), &status) != 0) {
    FailToRead(directory, errno == ENOENT ? "no such directory" : std::strerror(errno));
  }
  if (!S_ISDIR(status.st_mode)) FailToRead(directory, "not a directory");
}

std::vector<PortCandidate> CandidatePorts(const std::string& directory) {
  RequireDeviceDirectory(directory);
  std::vector<PortCandidate> candidates;
  try {
    candidates = HardwareAPI::ListCandidatePorts(directory);
  } catch (const std::filesystem::filesystem_error& error) {
    FailToRead(directory, error.code().message());
  }
  const auto by_path = [](const PortCandidate& a, const PortCandidate& b) { return a.path < b.path; };
  const auto same_path = [](const PortCandidate& a, const PortCandidate& b) { return a.path == b.path; };
  std::stable_sort(candidates.begin(), candidates.end(), by_path);
  candidates.erase(std::unique(candidates.begin(), candidates.end(), same_path), candidates.end());
  return candidates;
}

const char* KindName(PortKind kind) { return TextsOf(kind).name; }

const char* KindUse(PortKind kind) { return TextsOf(kind).use; }

}  // namespace Tavix::Cli

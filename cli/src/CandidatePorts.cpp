#include "CandidatePorts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sys/stat.h>

#include "CommandFailure.h"
#include "Tavix/HardwareAPI/Scan.h"

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

std::vector<NamedCandidate> NamedCandidatePorts(const std::string& directory) {
  const std::vector<PortCandidate> candidates = CandidatePorts(directory);
  // The scan's name of each port, by the port's resolved path.
  std::map<std::string, std::string> names;
  try {
    for (const HardwareAPI::ScanTarget& target : HardwareAPI::ListScanTargets(directory)) {
      std::error_code error;
      const std::filesystem::path resolved = std::filesystem::canonical(target.path, error);
      if (!error) names.emplace(resolved.string(), target.path);
    }
  } catch (const std::filesystem::filesystem_error& error) {
    FailToRead(directory, error.code().message());
  }
  std::vector<NamedCandidate> named;
  for (const PortCandidate& candidate : candidates) {
    const auto name = names.find(candidate.path);
    named.push_back({name != names.end() ? name->second : candidate.path, candidate});
  }
  std::stable_sort(named.begin(), named.end(),
                   [](const NamedCandidate& a, const NamedCandidate& b) { return a.name < b.name; });
  return named;
}

const char* KindName(PortKind kind) { return TextsOf(kind).name; }

const char* KindUse(PortKind kind) { return TextsOf(kind).use; }

}  // namespace Tavix::Cli

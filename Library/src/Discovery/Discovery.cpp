#include "Tavix/HardwareAPI/Discovery.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <future>
#include <iostream>
#include <optional>

#include "Devices/ArmProtocol.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::HardwareAPI {
namespace fs = std::filesystem;
namespace {

using Probe = int (*)(const char*);

constexpr std::chrono::seconds kArmProbeTimeout{3};
constexpr std::chrono::seconds kHandleProbeTimeout{5};

// A handle that only notes whether a message marking a handle arrived.
class MyHandle : public Devices::Handle {
 public:
  using Handle::Handle;

  bool found = false;

  void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override { found = true; }
  void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                    const uint8_t*) override {
    found = true;
  }
};

// Runs `probe` on a thread of its own. Its verdict counts only if it arrives within
// `timeout`; a late probe is still waited for, so the time-out never shortens detection.
bool ProbeWithTimeout(Probe probe, const char* port, std::chrono::seconds timeout) {
  std::future<int> verdict = std::async(std::launch::async, probe, port);
  if (verdict.wait_for(timeout) != std::future_status::ready) {
    verdict.get();  // the late verdict is not used; an exception it carries propagates
    return false;
  }
  try {
    return verdict.get() != 0;
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return false;
  }
}

// Probes the candidates of `kind` (all of them without one), one after another.
std::vector<std::string> Detect(const std::string& directory, std::optional<PortKind> kind,
                                bool (*probe_with_timeout)(const char*)) {
  std::vector<std::string> found;
  for (const PortCandidate& candidate : ListCandidatePorts(directory)) {
    if (kind && candidate.kind != *kind) continue;
    if (probe_with_timeout(candidate.path.c_str())) found.push_back(candidate.path);
  }
  return found;
}

}  // namespace

std::optional<PortKind> PortKindOfName(const std::string& name) {
  if (name.find("ttyACM") != std::string::npos) return PortKind::Acm;
  if (name.find("ttyUSB") != std::string::npos) return PortKind::Usb;
  if (name.find("rfcomm") != std::string::npos) return PortKind::Rfcomm;
  return std::nullopt;
}

std::vector<PortCandidate> ListCandidatePorts() { return ListCandidatePorts(kDeviceDirectory); }

std::vector<PortCandidate> ListCandidatePorts(const std::string& directory) {
  std::vector<PortCandidate> candidates;
  if (!fs::exists(fs::status(directory))) return candidates;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    const std::optional<PortKind> kind = PortKindOfName(name);
    if (!kind) continue;
    std::error_code error;
    const fs::path resolved = fs::canonical(fs::path(directory) / name, error);
    if (error) continue;  // a dangling link, or a port that vanished since the listing
    candidates.push_back({resolved.string(), *kind});
  }
  return candidates;
}

int ProbeMorvek3(const char* port) {
  try {
    IO::SerialStream stream(port, false);
    if (stream.Open() != 1) return 0;
    Devices::Morvek3 arm(&stream);
    const uint8_t model = arm.DeviceWakeup().device_model_number;
    stream.Close();
    return model == ArmProtocol::kMorvek3ModelNumber ? 1 : 0;
  } catch (const std::exception& error) {
    std::printf("exception: %s\n", error.what());
    return 0;
  }
}

int ProbeHandle(const char* port) {
  try {
    IO::SerialStream stream(port, false);
    if (stream.Open() != 1) return 0;
    MyHandle handle(&stream);
    handle.SendDeviceWakeup();
    handle.Receive();
    stream.Close();
    return handle.found ? 1 : 0;
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return 0;
  }
}

bool ProbeMorvek3WithTimeout(const char* port) {
  return ProbeWithTimeout(ProbeMorvek3, port, kArmProbeTimeout);
}

bool ProbeHandleWithTimeout(const char* port) {
  return ProbeWithTimeout(ProbeHandle, port, kHandleProbeTimeout);
}

std::vector<std::string> DetectMorvek3s() { return DetectMorvek3s(kDeviceDirectory); }
std::vector<std::string> DetectMorvek3s(const std::string& directory) {
  return Detect(directory, PortKind::Acm, ProbeMorvek3WithTimeout);
}

std::vector<std::string> DetectHandles() { return DetectHandles(kDeviceDirectory); }
std::vector<std::string> DetectHandles(const std::string& directory) {
  return Detect(directory, std::nullopt, ProbeHandleWithTimeout);
}

std::vector<std::string> DetectWiredHandles() { return DetectWiredHandles(kDeviceDirectory); }
std::vector<std::string> DetectWiredHandles(const std::string& directory) {
  return Detect(directory, PortKind::Usb, ProbeHandleWithTimeout);
}

std::vector<std::string> DetectWirelessHandles() { return DetectWirelessHandles(kDeviceDirectory); }
std::vector<std::string> DetectWirelessHandles(const std::string& directory) {
  return Detect(directory, PortKind::Rfcomm, ProbeHandleWithTimeout);
}

}  // namespace Tavix::HardwareAPI

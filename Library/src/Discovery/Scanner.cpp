#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "Devices/ArmProtocol.h"
#include "Devices/HandleProtocol.h"
#include "Devices/InfoDecoders.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/Scan.h"

namespace Tavix::HardwareAPI {
namespace fs = std::filesystem;
namespace {

namespace AP = ArmProtocol;
namespace HP = HandleProtocol;

// The longest reply the probe reads after its code: the arm's device information.
constexpr std::size_t kLongestPayload = std::max(AP::kDeviceInfoLength, HP::InfoPayload::kLength);

void RequireTimeout(double seconds) {
  if (!(seconds > 0.0) || !std::isfinite(seconds)) {
    throw std::invalid_argument("a scan's time-out must be a number of seconds above 0");
  }
}

// The text of errno `error`; thread-safe, unlike strerror.
std::string ErrorText(int error) { return std::system_category().message(error); }

// One probe: the port, the single deadline its whole reply must meet, and the record.
class Probe {
 public:
  Probe(ScanRecord& record, double timeout_seconds) : record_(record), timeout_(timeout_seconds) {}

  void Run() {
    if (!Open()) return;
    if (!SendWakeup()) return;
    // The deadline starts with the request: the reply as a whole must meet it.
    deadline_ = IO::Deadline::InSeconds(timeout_);
    uint8_t code = 0;
    if (!Read(&code, 1)) return;
    switch (code) {
      case AP::kDeviceInfoCode:
        return TakeArmInfo();
      case HP::kInfoCode:
        return TakeHandleInfo();
      case HP::kStatusCode:
        record_.kind = PortFinding::Handle;
        record_.note = "answered with a status message";
        return;
      default: {
        char text[32];
        std::snprintf(text, sizeof text, "answered with code 0x%02X", code);
        return Conclude(PortFinding::Unknown, text);
      }
    }
  }

 private:
  bool Open() {
    try {
      port_ = std::make_unique<IO::Port>(record_.path, timeout_);
      return true;
    } catch (const std::system_error& error) {
      const int code = error.code().value();
      if (code == EWOULDBLOCK || code == EBUSY) {
        Conclude(PortFinding::Busy, "held by another program");
      } else if (code == ENOTTY) {
        Conclude(PortFinding::Unknown, "cannot open: not a terminal");
      } else {
        Conclude(PortFinding::Unknown, "cannot open: " + ErrorText(code));
      }
      return false;
    }
  }

  bool SendWakeup() {
    const uint8_t wakeup = AP::kWakeupCode;
    static_assert(AP::kWakeupCode == HP::kWakeupCode, "one wake-up request wakes either device");
    ssize_t written = -1;
    do {
      written = ::write(port_->Descriptor(), &wakeup, 1);
    } while (written < 0 && errno == EINTR);
    if (written == 1) return true;
    Conclude(PortFinding::Unknown, "cannot write: " + ErrorText(written < 0 ? errno : EIO));
    return false;
  }

  // Reads `count` bytes of the reply into `into`. When they do not all come by the
  // deadline, concludes the probe (silent before the first byte, else an incomplete
  // reply) and returns false.
  bool Read(uint8_t* into, std::size_t count, const char* reply = nullptr) {
    errno = 0;
    switch (port_->WaitForBytes(count, deadline_)) {
      case IO::WaitStatus::Ready:
        break;
      case IO::WaitStatus::TimedOut:
        if (reply == nullptr) {
          Conclude(PortFinding::Silent, "");
        } else {
          Conclude(PortFinding::Unknown, std::string("incomplete ") + reply);
        }
        return false;
      case IO::WaitStatus::Failed:
        Conclude(PortFinding::Unknown, "the port failed: " + ErrorText(errno != 0 ? errno : EIO));
        return false;
    }
    ssize_t got = -1;
    do {
      got = ::read(port_->Descriptor(), into, count);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(count)) return true;
    Conclude(PortFinding::Unknown, "the port failed: " + ErrorText(got < 0 ? errno : EIO));
    return false;
  }

  void TakeArmInfo() {
    if (!Read(payload_, AP::kDeviceInfoLength, "device-information reply")) return;
    const Devices::DeviceInfo info = InfoDecoders::ArmInfo(payload_);
    if (info.device_model_number != AP::kMorvek3ModelNumber) {
      return Conclude(PortFinding::Unknown, "a device-information reply of model " +
                                                std::to_string(info.device_model_number) +
                                                ", not a Morvek3's");
    }
    record_.kind = PortFinding::Arm;
    record_.arm = info;
  }

  void TakeHandleInfo() {
    if (!Read(payload_, HP::InfoPayload::kLength, "handle-information reply")) return;
    record_.kind = PortFinding::Handle;
    record_.handle = InfoDecoders::HandleInfo(payload_);
  }

  void Conclude(PortFinding kind, std::string note) {
    record_.kind = kind;
    record_.note = std::move(note);
  }

  ScanRecord& record_;
  const double timeout_;
  std::unique_ptr<IO::Port> port_;  // closed when the probe ends
  IO::Deadline deadline_ = IO::Deadline::Never();
  uint8_t payload_[kLongestPayload] = {};
};

// The probe of one port of a scan, with the port's USB identity. Runs on a thread of its
// own, so nothing may escape it.
ScanRecord ProbeTarget(const ScanTarget& target, const ScanOptions& options) noexcept {
  ScanRecord record;
  try {
    record.path = target.path;
    record.by_id = target.by_id;
    Probe(record, options.timeout).Run();
    record.usb = ReadUsbIdentity(fs::path(target.path).filename().string(), options.sysfs_root);
  } catch (const std::exception& error) {
    record.kind = PortFinding::Unknown;
    record.note = error.what();
  }
  return record;
}

// Names in `directory`, sorted; none when it is not a readable directory and `required`
// is false.
std::vector<std::string> SortedNames(const fs::path& directory, bool required) {
  std::vector<std::string> names;
  if (required) {
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
      names.push_back(entry.path().filename().string());
    }
  } else {
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
      names.push_back(it->path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

const char* PortFindingName(PortFinding finding) noexcept {
  switch (finding) {
    case PortFinding::Arm:
      return "arm";
    case PortFinding::Handle:
      return "handle";
    case PortFinding::Busy:
      return "busy";
    case PortFinding::Silent:
      return "silent";
    case PortFinding::Unknown:
      break;
  }
  return "unknown";
}

std::vector<ScanTarget> ListScanTargets(const std::string& device_directory) {
  std::vector<ScanTarget> targets;
  if (!fs::exists(fs::status(device_directory))) return targets;
  struct Chosen {
    ScanTarget target;
    bool is_link;
  };
  // One port per device, keyed by what it resolves to.
  std::map<fs::path, Chosen> ports;
  const fs::path directory(device_directory);
  for (const std::string& name : SortedNames(directory, true)) {
    if (!PortKindOfName(name)) continue;
    const fs::path entry = directory / name;
    std::error_code error;
    const fs::path resolved = fs::canonical(entry, error);
    if (error) continue;
    const bool is_link = fs::is_symlink(fs::symlink_status(entry, error));
    const auto [it, added] = ports.try_emplace(resolved, Chosen{{entry.string(), ""}, is_link});
    if (!added && it->second.is_link && !is_link) it->second = Chosen{{entry.string(), ""}, false};
  }
  const fs::path by_id = directory / "serial" / "by-id";
  for (const std::string& name : SortedNames(by_id, false)) {
    const fs::path link = by_id / name;
    std::error_code error;
    const fs::path resolved = fs::canonical(link, error);
    if (error) continue;
    const auto [it, added] = ports.try_emplace(resolved, Chosen{{resolved.string(), link.string()}, false});
    if (!added && it->second.target.by_id.empty()) it->second.target.by_id = link.string();
  }
  for (auto& [resolved, chosen] : ports) targets.push_back(std::move(chosen.target));
  std::sort(targets.begin(), targets.end(),
            [](const ScanTarget& a, const ScanTarget& b) { return a.path < b.path; });
  return targets;
}

std::vector<ScanRecord> Scan(const ScanOptions& options) {
  RequireTimeout(options.timeout);
  const std::vector<ScanTarget> targets = ListScanTargets(options.device_directory);
  std::vector<ScanRecord> records(targets.size());
  {
    std::vector<std::thread> probes;
    probes.reserve(targets.size());
    // Joins the probes started so far, also when starting the next one fails.
    struct JoinAll {
      std::vector<std::thread>& threads;
      ~JoinAll() {
        for (std::thread& thread : threads) thread.join();
      }
    } join_all{probes};
    for (std::size_t i = 0; i < targets.size(); ++i) {
      probes.emplace_back([&records, &targets, &options, i] { records[i] = ProbeTarget(targets[i], options); });
    }
  }
  return records;
}

ScanRecord ScanPort(const std::string& path, double timeout_seconds) {
  RequireTimeout(timeout_seconds);
  ScanRecord record;
  record.path = path;
  Probe(record, timeout_seconds).Run();
  return record;
}

}  // namespace Tavix::HardwareAPI

// tavix doctor: checks what commonly keeps a program from using a device (ModemManager,
// permissions, a port held by another program, a path that is not a terminal, a slow
// FTDI latency timer), says how to fix each problem, and exits 1 when it found one.
// Sends nothing to any device.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "CandidatePorts.h"
#include "CommandFailure.h"
#include "Commands.h"
#include "FileDescriptor.h"
#include "ProcessTable.h"
#include "Tavix/HardwareAPI/Scan.h"

namespace Tavix::Cli {
namespace {

namespace fs = std::filesystem;

// Where udev keeps what its rules set for each device.
constexpr const char* kUdevData = "/run/udev/data";
constexpr const char* kModemManager = "ModemManager";
constexpr const char* kRulesHint = "install the udev rules (see tavix udev-rules --help)";

// Prints each finding as it is made: "ok" lines, and "problem" lines with their fix.
class Report {
 public:
  void Ok(const std::string& text) { std::printf("ok       %s\n", text.c_str()); }

  void Problem(const std::string& text, const std::string& fix) {
    std::printf("problem  %s\n         fix: %s\n", text.c_str(), fix.c_str());
    ++problems_;
  }

  int Problems() const { return problems_; }

 private:
  int problems_ = 0;
};

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string FileTypeName(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "a character device without line settings";
}

std::string GroupName(gid_t gid) {
  const group* entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

// True if the user's account lists the group, whether or not this login has it yet.
bool AccountHasGroup(gid_t gid) {
  const passwd* user = getpwuid(geteuid());
  if (user == nullptr) return false;
  if (user->pw_gid == gid) return true;
  const group* entry = getgrgid(gid);
  if (entry == nullptr) return false;
  for (char* const* member = entry->gr_mem; *member != nullptr; ++member) {
    if (std::strcmp(*member, user->pw_name) == 0) return true;
  }
  return false;
}

// The kernel's name for the port, under which sysfs knows it: the entry's own name when
// it is one of a serial port ("ttyUSB0"), else the name of what it resolves to.
std::string KernelName(const std::string& port) {
  const std::string name = fs::path(port).filename().string();
  if (HardwareAPI::PortKindOfName(name)) return name;
  std::error_code error;
  const fs::path resolved = fs::canonical(port, error);
  return error ? name : resolved.filename().string();
}

// True when the port is a terminal ModemManager might probe: one that udev's rules did
// not tell it to leave alone.
bool ModemManagerMayProbe(const std::string& port) {
  struct stat status {};
  if (stat(port.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return false;
  std::ifstream data(std::string(kUdevData) + "/c" + std::to_string(major(status.st_rdev)) + ":" +
                     std::to_string(minor(status.st_rdev)));
  for (std::string line; std::getline(data, line);) {
    if (line == "E:ID_MM_DEVICE_IGNORE=1") return false;
  }
  return true;
}

class Doctor {
 public:
  Doctor(const Options& options, Report& report) : options_(options), report_(report) {}

  void CheckModemManager(const std::vector<std::string>& ports) {
    const std::vector<Process> running = ProcessesNamed(kModemManager, options_.proc_root);
    if (running.empty()) return report_.Ok("ModemManager is not running");
    std::string exposed;
    for (const std::string& port : ports) {
      if (ModemManagerMayProbe(port)) exposed += (exposed.empty() ? "" : ", ") + port;
    }
    if (exposed.empty()) return report_.Ok("ModemManager is running, but udev rules keep it off these ports");
    report_.Problem("ModemManager is running (" + ProcessesText(running) + ") and may probe " + exposed +
                        ": it sends modem commands to every new USB serial port, which an arm takes for "
                        "requests, and holds the port meanwhile",
                    "`sudo systemctl disable --now ModemManager` if this machine has no modem; otherwise " +
                        std::string(kRulesHint) + ", which keep it off the devices");
  }

  void CheckPort(const std::string& port) {
    struct stat status {};
    if (stat(port.c_str(), &status) != 0) {
      const std::string reason = errno == ENOENT ? "no such port" : std::strerror(errno);
      return report_.Problem(port + ": " + reason, "check the name; `tavix ports` lists the ports there are");
    }
    if (!S_ISCHR(status.st_mode)) return NotATerminal(port, FileTypeName(status.st_mode));
    const int before = report_.Problems();
    CheckAccess(port, status);
    CheckOpen(port);
    CheckLatencyTimer(port);
    if (report_.Problems() == before) report_.Ok(port + ": a terminal you may open, which no other program holds");
  }

 private:
  void NotATerminal(const std::string& port, const std::string& what) {
    report_.Problem(port + ": not a terminal (" + what + ")",
                    "name the device's serial port, such as /dev/ttyACM0 (`tavix scan` lists them); "
                    "only terminals are opened");
  }

  void CheckAccess(const std::string& port, const struct stat& status) {
    if (access(port.c_str(), R_OK | W_OK) == 0 || (errno != EACCES && errno != EPERM)) return;
    const std::string group = GroupName(status.st_gid);
    const bool group_may = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!group_may) {
      return report_.Problem(port + ": you may not open it: its mode " + Octal(status.st_mode) +
                                 " lets the group " + group + " neither read nor write",
                             kRulesHint + std::string(", which let the group dialout open the devices"));
    }
    if (AccountHasGroup(status.st_gid)) {
      return report_.Problem(port + ": you may not open it yet: you are in the group " + group +
                                 ", which may, but joined it after this login",
                             "log out and in again (or start a shell with `newgrp " + group + "`)");
    }
    report_.Problem(port + ": you may not open it: it belongs to the group " + group + ", and you are not in it",
                    "`sudo usermod -aG " + group + " $USER`, then log out and in again");
  }

  // Opens the port for a moment, sending nothing: is it a terminal, and does another
  // program hold it (the lock every stream of the library takes, or exclusive use)?
  void CheckOpen(const std::string& port) {
    CommandLine::FileDescriptor fd(open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    bool held = !fd.IsOpen() && errno == EBUSY;  // opened by another for exclusive use (TIOCEXCL)
    if (fd.IsOpen()) {
      termios settings{};
      if (tcgetattr(fd.Get(), &settings) != 0) return NotATerminal(port, FileTypeName(S_IFCHR));
      held = flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
      fd.Reset();  // releases the lock, if it was taken, before the holders are looked for
    }
    if (!held) return;
    // The lock's holder, else (exclusive use) every process with the port open.
    std::vector<Process> holders = ProcessesLocking(port, options_.proc_root);
    if (holders.empty()) holders = ProcessesWithOpen(port, options_.proc_root);
    const std::string who = holders.empty() ? "a process not yours to see (`sudo fuser -v " + port + "` names it)"
                                            : ProcessesText(holders);
    report_.Problem(port + ": held by another program: " + who,
                    "end that program, or have it close the port, then try again");
  }

  void CheckLatencyTimer(const std::string& port) {
    const std::string name = KernelName(port);
    std::ifstream file(fs::path(options_.sysfs_root) / "class" / "tty" / name / "device" / "latency_timer");
    int milliseconds = 0;
    if (!(file >> milliseconds) || milliseconds <= 1) return;
    report_.Problem(port + ": its FTDI latency timer is " + std::to_string(milliseconds) +
                        " ms: the adapter holds back every reply for up to that long",
                    "`echo 1 | sudo tee /sys/bus/usb-serial/devices/" + name + "/latency_timer`; to keep it so, " +
                        kRulesHint);
  }

  const Options& options_;
  Report& report_;
};

std::vector<std::string> PortsToCheck(const Options& options) {
  if (!options.ports.empty()) return options.ports;
  RequireDeviceDirectory(options.device_directory);
  std::vector<std::string> ports;
  try {
    for (const HardwareAPI::ScanTarget& target : HardwareAPI::ListScanTargets(options.device_directory)) {
      ports.push_back(target.path);
    }
  } catch (const fs::filesystem_error& error) {
    throw CommandFailure("cannot read the device directory " + options.device_directory + ": " +
                         error.code().message());
  }
  return ports;
}

}  // namespace

int RunDoctor(const Options& options) {
  const std::vector<std::string> ports = PortsToCheck(options);
  Report report;
  Doctor doctor(options, report);
  doctor.CheckModemManager(ports);
  if (ports.empty()) {
    report.Problem("no serial ports in " + options.device_directory,
                   "plug the device in (`dmesg -w` shows the port it gets); bind a Bluetooth handle to an "
                   "RFCOMM port first");
  }
  for (const std::string& port : ports) doctor.CheckPort(port);
  const int problems = report.Problems();
  if (problems == 0) {
    std::printf("no problems found\n");
    return 0;
  }
  std::printf("%d problem%s found\n", problems, problems == 1 ? "" : "s");
  return 1;
}

}  // namespace Tavix::Cli

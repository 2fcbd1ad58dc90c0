// tavix scan, doctor and udev-rules, each in a device directory of its own, with
// stand-ins for sysfs and procfs where the test needs to say what they hold.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "DeviceDirectory.h"
#include "Programs.h"
#include "PtyPeer.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "ToolOutput.h"

using namespace Tavix::Testing;
namespace fs = std::filesystem;

namespace {

const std::string kArmUuid = "00112233-4455-6677-8899-aabbccddeeff";

// A temporary directory standing in for /sys or /proc.
class FakeRoot {
 public:
  FakeRoot() {
    char pattern[] = "/tmp/tavix-root-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~FakeRoot() { fs::remove_all(path_); }

  std::string Path() const { return path_.string(); }

  /// Writes `text` and a newline to the file `name`, making its directories.
  void Write(const std::string& name, const std::string& text) const {
    fs::create_directories((path_ / name).parent_path());
    std::ofstream(path_ / name) << text << "\n";
  }

  /// sysfs for a USB serial adapter's port, laid out as the kernel does: the port's
  /// `device` link leads to the adapter's port directory, below the interface, whose
  /// parent is the USB device.
  void AddUsbAdapter(const std::string& port, const std::string& latency_timer) const {
    const fs::path device = path_ / "devices/usb1/1-2";
    const fs::path port_directory = device / "1-2:1.0" / port;
    Write("devices/usb1/1-2/idVendor", "0403");
    Write("devices/usb1/1-2/idProduct", "6001");
    Write("devices/usb1/1-2/manufacturer", "FTDI");
    Write("devices/usb1/1-2/serial", "H1");
    Write(fs::relative(port_directory / "latency_timer", path_).string(), latency_timer);
    fs::create_directories(path_ / "class/tty" / port);
    fs::create_directory_symlink(port_directory, path_ / "class/tty" / port / "device");
  }

 private:
  fs::path path_;
};

// The line of `text` that starts with `start`; "" if none does.
std::string LineStartingWith(const std::string& text, const std::string& start) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(start, 0) == 0) return line;
  }
  return "";
}

// A simulated arm as ttyACM0, a simulated handle as ttyUSB0 on an FTDI adapter (named
// in serial/by-id), and a silent port as ttyACM1.
struct Devices {
  DeviceDirectory dev;
  FakeRoot sysfs;
  CheckedSimulator arm{{"arm", "--link", dev.Entry("ttyACM0"), "--uuid", kArmUuid}};
  CheckedSimulator handle{{"handle", "--link", dev.Entry("ttyUSB0"), "--id", "7"}};
  PtyPeer silent;
  Devices() {
    dev.Link("ttyACM1", silent.Path());
    fs::create_directories(dev.Entry("serial/by-id"));
    dev.Link("serial/by-id/usb-FTDI_H1-if00-port0", "../../ttyUSB0");
    sysfs.AddUsbAdapter("ttyUSB0", "1");
  }
};

TEST(Scan, PrintsATableOfWhatIsOnEachPort) {
  Devices devices;
  const ProgramResult result =
      RunTavix({"scan", "--timeout", "0.3", "--dev", devices.dev.Path(), "--sysfs", devices.sysfs.Path()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(Contains(LineStartingWith(result.out, devices.dev.Entry("ttyACM0")),
                       "  arm      Morvek3 id 1, hw 1, fw 3, uuid " + kArmUuid))
      << result.out;
  const std::string handle = LineStartingWith(result.out, devices.dev.Entry("ttyUSB0"));
  EXPECT_TRUE(Contains(handle, "  handle   handle id 7, model 2")) << result.out;
  EXPECT_TRUE(Contains(handle, "  0403:6001 FTDI, serial H1")) << result.out;
  EXPECT_TRUE(Contains(result.out, "\n  by-id " + devices.dev.Entry("serial/by-id/usb-FTDI_H1-if00-port0") + "\n"));
  EXPECT_TRUE(Contains(LineStartingWith(result.out, devices.dev.Entry("ttyACM1")), "  silent")) << result.out;
  EXPECT_TRUE(Contains(result.out, "\n3 ports scanned in ")) << result.out;
}

TEST(Scan, PrintsTheRecordsAsJson) {
  DeviceDirectory dev;
  CheckedSimulator arm({"arm", "--link", dev.Entry("ttyACM0"), "--uuid", kArmUuid});
  const ProgramResult result = RunTavix({"scan", "--json", "--timeout", "0.3", "--dev", dev.Path()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "[\n  {\"path\": \"" + dev.Entry("ttyACM0") +
                            "\", \"kind\": \"arm\", \"by_id\": null, \"arm\": {\"device_id\": 1, "
                            "\"device_model_number\": 4, \"hardware_version\": 1, \"firmware_version\": 3, "
                            "\"uuid\": \"" +
                            kArmUuid + "\"}, \"handle\": null, \"usb\": null, \"note\": null}\n]\n");
}

TEST(Doctor, FindsNothingWrongWithAPortThatWorks) {
  DeviceDirectory dev;
  FakeRoot sysfs, proc;
  PtyPeer port;
  dev.Link("ttyACM0", port.Path());
  const ProgramResult result =
      RunTavix({"doctor", "--dev", dev.Path(), "--sysfs", sysfs.Path(), "--proc", proc.Path()});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.out, "ok       ModemManager is not running\n"
                        "ok       " + dev.Entry("ttyACM0") + ": a terminal you may open, which no other program holds\n"
                        "no problems found\n");
}

TEST(Doctor, NamesTheProgramHoldingAPort) {
  PtyPeer port;
  Tavix::HardwareAPI::IO::SerialStream holder(port.Path().c_str());
  ASSERT_TRUE(holder.IsOpen());
  const ProgramResult result = RunTavix({"doctor", port.Path()});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.out, "problem  " + port.Path() + ": held by another program: pid " +
                                       std::to_string(getpid()) + " ("))
      << result.out;
  EXPECT_TRUE(Contains(result.out, "\n1 problem found\n")) << result.out;
}

TEST(Doctor, FlagsModemManagerASlowLatencyTimerAndWhatIsNoTerminal) {
  DeviceDirectory dev;
  FakeRoot sysfs, proc;
  PtyPeer adapter;
  dev.Link("ttyUSB0", adapter.Path());
  sysfs.AddUsbAdapter("ttyUSB0", "16");
  proc.Write("4242/comm", "ModemManager");
  const ProgramResult result = RunTavix(
      {"doctor", dev.Entry("ttyUSB0"), "/etc/hostname", "--sysfs", sysfs.Path(), "--proc", proc.Path()});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.out, "problem  ModemManager is running (pid 4242 (ModemManager)) and may probe " +
                                       dev.Entry("ttyUSB0") + ":"))
      << result.out;
  EXPECT_TRUE(Contains(result.out, "problem  " + dev.Entry("ttyUSB0") + ": its FTDI latency timer is 16 ms"))
      << result.out;
  EXPECT_TRUE(Contains(result.out, "fix: `echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer`"))
      << result.out;
  EXPECT_TRUE(Contains(result.out, "problem  /etc/hostname: not a terminal (a regular file)\n")) << result.out;
  EXPECT_TRUE(Contains(result.out, "\n3 problems found\n")) << result.out;
}

TEST(UdevRules, PrintsTheShippedFileWhoseIdsArePlaceholders) {
  const ProgramResult result = RunTavix({"udev-rules"});
  EXPECT_EQ(result.status, 0);
  std::ifstream shipped(TAVIX_UDEV_RULES_FILE);
  EXPECT_EQ(result.out, std::string(std::istreambuf_iterator<char>(shipped), {}));
  EXPECT_TRUE(Contains(result.out, "ATTRS{idVendor}==\"TAVIX_ARM_VID\"")) << result.out;
  EXPECT_TRUE(Contains(result.out, "ATTR{latency_timer}=\"1\"")) << result.out;
}

}  // namespace

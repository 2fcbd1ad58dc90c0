#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "DeviceDirectory.h"
#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "Tavix/HardwareAPI/Scan.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::Testing;
namespace fs = std::filesystem;

namespace {

constexpr double kTimeout = 0.3;  // seconds: a scan's time-out in these tests
const Bytes kWakeup = {0x0A};

// An arm's wake-up reply: device id 0x1234, model `model`, hardware 2, firmware 7,
// identifier 00 01 .. 0F.
Bytes ArmInfoReply(uint8_t model) {
  Bytes identifier;
  for (uint8_t i = 0; i < 16; ++i) identifier.push_back(i);
  return Join({{0x0B, 0x34, 0x12, model, 2, 7}, identifier});
}
// A handle's information reply: tool data 7, device id 0x0042, model 2, hardware 3, firmware 4.
const Bytes kHandleInfoReply = {0xD0, 7, 0x42, 0x00, 2, 3, 4};
const Bytes kHandleStatusReply = Join({{0xDA, 0x01, 0x00, 0, 5}, FloatBytes({0, 0, 0, 1}), {0}});

// A stand-in for sysfs, laid out as the kernel lays it out: /sys/class/tty/<port>/device
// links to the port's USB interface (ttyACM) or to the adapter's port directory below
// the interface (ttyUSB); the interface's parent is the USB device with its descriptors.
class FakeSysfs {
 public:
  FakeSysfs() {
    char pattern[] = "/tmp/tavix-sysfs-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ / "class" / "tty");
  }
  ~FakeSysfs() { fs::remove_all(root_); }

  std::string Root() const { return root_.string(); }

  /// A USB device at bus address `address` whose interface 1.0 carries `port`.
  void AddUsbPort(const std::string& port, const std::string& address, const std::map<std::string, std::string>& files) {
    const fs::path device = root_ / "devices" / "usb1" / address;
    const fs::path interface = device / (address + ":1.0");
    const bool adapter = port.rfind("ttyUSB", 0) == 0;
    const fs::path port_device = adapter ? interface / port : interface;
    fs::create_directories(port_device);
    for (const auto& [name, text] : files) std::ofstream(device / name) << text << "\n";
    fs::create_directories(root_ / "class" / "tty" / port);
    fs::create_directory_symlink(port_device, root_ / "class" / "tty" / port / "device");
  }

 private:
  fs::path root_;
};

ScanRecord RecordFor(const std::vector<ScanRecord>& records, const std::string& path) {
  for (const ScanRecord& record : records) {
    if (record.path == path) return record;
  }
  ADD_FAILURE() << "no record for " << path;
  return {};
}

TEST(ScanTargets, AreTheCandidatePortsEachOnceWithTheirByIdLinks) {
  DeviceDirectory dev;
  PtyPeer usb, by_id_only, serial;
  dev.Link("ttyUSB0", usb.Path());
  dev.Link("ttyUSB-alias", "ttyUSB0");  // the same port again
  dev.Link("ttyS0", serial.Path());     // no marker in the name
  fs::create_directories(dev.Entry("serial/by-id"));
  dev.Link("serial/by-id/usb-Tavix_Gantrel_H1-if00-port0", "../../ttyUSB0");
  dev.Link("serial/by-id/usb-Tavix_Morvek3_A1-if00", by_id_only.Path());

  const std::vector<ScanTarget> targets = ListScanTargets(dev.Path());
  ASSERT_EQ(targets.size(), 2u);
  const std::map<std::string, std::string> by_path{{targets[0].path, targets[0].by_id},
                                                   {targets[1].path, targets[1].by_id}};
  EXPECT_EQ(by_path.at(dev.Entry("ttyUSB-alias")), dev.Entry("serial/by-id/usb-Tavix_Gantrel_H1-if00-port0"))
      << "the first of the names that resolve to one port stands for it";
  EXPECT_EQ(by_path.at(fs::canonical(by_id_only.Path()).string()),
            dev.Entry("serial/by-id/usb-Tavix_Morvek3_A1-if00"));
  EXPECT_TRUE(ListScanTargets("/nonexistent-device-directory").empty());
}

TEST(UsbIdentity, IsReadFromSysfsForAcmAndUsbPorts) {
  FakeSysfs sysfs;
  sysfs.AddUsbPort("ttyACM0", "1-1",
                   {{"idVendor", "1234"}, {"idProduct", "5678"}, {"serial", "A1"}, {"manufacturer", "Tavix"},
                    {"product", "Morvek3"}});
  sysfs.AddUsbPort("ttyUSB0", "1-2", {{"idVendor", "0403"}, {"idProduct", "6001"}});

  const std::optional<UsbIdentity> arm = ReadUsbIdentity("ttyACM0", sysfs.Root());
  ASSERT_TRUE(arm);
  EXPECT_EQ(arm->vendor_id, 0x1234);
  EXPECT_EQ(arm->product_id, 0x5678);
  EXPECT_EQ(arm->serial_number, "A1");
  EXPECT_EQ(arm->manufacturer, "Tavix");
  EXPECT_EQ(arm->product, "Morvek3");

  const std::optional<UsbIdentity> adapter = ReadUsbIdentity("ttyUSB0", sysfs.Root());
  ASSERT_TRUE(adapter);
  EXPECT_EQ(adapter->vendor_id, 0x0403);
  EXPECT_EQ(adapter->serial_number, "") << "a device without a serial number";

  EXPECT_FALSE(ReadUsbIdentity("rfcomm0", sysfs.Root()));
}

TEST(Scan, TellsWhatIsOnEachPortWakingEachDeviceOnce) {
  DeviceDirectory dev;
  FakeSysfs sysfs;
  PtyPeer arm, other_model, handle, streaming, stranger, silent, held;
  dev.Link("ttyACM0", arm.Path());
  dev.Link("ttyACM1", other_model.Path());
  dev.Link("ttyUSB0", handle.Path());
  dev.Link("ttyUSB1", streaming.Path());
  dev.Link("rfcomm0", stranger.Path());
  dev.Link("rfcomm1", silent.Path());
  dev.Link("ttyACM2", held.Path());
  sysfs.AddUsbPort("ttyUSB0", "1-2", {{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "H1"}});
  arm.Play({Expect(kWakeup), Send(ArmInfoReply(4))});
  other_model.Play({Expect(kWakeup), Send(ArmInfoReply(5))});
  handle.Play({Expect(kWakeup), Send(kHandleInfoReply)});
  streaming.Play({Expect(kWakeup), Send(kHandleStatusReply)});
  stranger.Play({Expect(kWakeup), Send({0x55})});
  IO::SerialStream holder(held.Path().c_str());
  ASSERT_TRUE(holder.IsOpen());

  StderrCapture log;
  ScanOptions options;
  options.timeout = kTimeout;
  options.device_directory = dev.Path();
  options.sysfs_root = sysfs.Root();
  const std::vector<ScanRecord> records = Scan(options);
  ASSERT_EQ(records.size(), 7u);
  EXPECT_TRUE(log.Lines().empty()) << "a scan logs nothing";

  const ScanRecord arm_record = RecordFor(records, dev.Entry("ttyACM0"));
  EXPECT_EQ(arm_record.kind, PortFinding::Arm);
  ASSERT_TRUE(arm_record.arm);
  EXPECT_EQ(arm_record.arm->device_id, 0x1234);
  EXPECT_EQ(arm_record.arm->hardware_version, 2);
  EXPECT_EQ(arm_record.arm->firmware_version, 7);
  EXPECT_EQ(arm_record.arm->device_id_ext.bytes[15], 15);
  EXPECT_FALSE(arm_record.usb) << "not a USB port in the fake sysfs";

  EXPECT_EQ(RecordFor(records, dev.Entry("ttyACM1")).kind, PortFinding::Unknown) << "an arm of another model";

  const ScanRecord handle_record = RecordFor(records, dev.Entry("ttyUSB0"));
  EXPECT_EQ(handle_record.kind, PortFinding::Handle);
  ASSERT_TRUE(handle_record.handle);
  EXPECT_EQ(handle_record.handle->device_id, 0x42);
  EXPECT_EQ(handle_record.handle->tool_data_remaining, 7);
  ASSERT_TRUE(handle_record.usb);
  EXPECT_EQ(handle_record.usb->serial_number, "H1");

  const ScanRecord streaming_record = RecordFor(records, dev.Entry("ttyUSB1"));
  EXPECT_EQ(streaming_record.kind, PortFinding::Handle);
  EXPECT_FALSE(streaming_record.handle);

  const ScanRecord stranger_record = RecordFor(records, dev.Entry("rfcomm0"));
  EXPECT_EQ(stranger_record.kind, PortFinding::Unknown);
  EXPECT_EQ(stranger_record.note, "answered with code 0x55");
  EXPECT_EQ(RecordFor(records, dev.Entry("rfcomm1")).kind, PortFinding::Silent);
  EXPECT_EQ(RecordFor(records, dev.Entry("ttyACM2")).kind, PortFinding::Busy);

  for (PtyPeer* device : {&arm, &other_model, &handle, &streaming, &stranger}) {
    EXPECT_TRUE(device->Finish());
    EXPECT_TRUE(device->Drain().empty()) << "woken once, asked nothing else";
  }
  EXPECT_EQ(silent.Drain(), kWakeup);
  EXPECT_TRUE(held.Drain().empty()) << "a busy port is not probed";
}

// Every device is woken before any answers: probes that ran one after another would
// find the first port silent, as its device answers only once all have been woken. (The
// suite's name puts it among the tests run under ThreadSanitizer.)
TEST(ScanConcurrency, ProbesEveryPortAtOnce) {
  DeviceDirectory dev;
  constexpr int kPorts = 4;
  std::vector<std::unique_ptr<PtyPeer>> arms;
  for (int i = 0; i < kPorts; ++i) {
    arms.push_back(std::make_unique<PtyPeer>());
    dev.Link("ttyACM" + std::to_string(i), arms.back()->Path());
  }
  ScanOptions options;
  options.timeout = 5.0;
  options.device_directory = dev.Path();
  std::future<std::vector<ScanRecord>> scan = std::async(std::launch::async, [&options] { return Scan(options); });
  for (const auto& arm : arms) EXPECT_EQ(arm->Receive(1, Millis(4000)), kWakeup);
  for (const auto& arm : arms) arm->Send(ArmInfoReply(4));
  for (const ScanRecord& record : scan.get()) EXPECT_EQ(record.kind, PortFinding::Arm) << record.path;
}

TEST(Scan, OnePortAlone) {
  PtyPeer handle;
  handle.Play({Expect(kWakeup), Send(kHandleInfoReply)});
  const ScanRecord record = ScanPort(handle.Path(), kTimeout);
  EXPECT_EQ(record.kind, PortFinding::Handle);
  EXPECT_EQ(record.path, handle.Path());
  EXPECT_TRUE(handle.Finish());
  EXPECT_EQ(ScanPort("/nonexistent-port", kTimeout).note, "cannot open: No such file or directory");
  EXPECT_THROW(ScanPort(handle.Path(), 0.0), std::invalid_argument);
}

}  // namespace

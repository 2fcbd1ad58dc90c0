#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "DeviceDirectory.h"
#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Timing.h"
#include "Tavix/HardwareAPI/Discovery.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::Testing;
namespace fs = std::filesystem;

namespace {

const Bytes kWakeup = {0x0A};

Bytes ArmInfo(uint8_t model) { return Join({{0x0B, 0x01, 0x00, model, 1, 1}, Bytes(16, 0xEE)}); }
const Bytes kHandleInfo = {0xD0, 7, 0x34, 0x12, 2, 3, 4};
const Bytes kHandleStatus = Join({{0xDA, 0x01, 0x00, 0, 5}, FloatBytes({0, 0, 0, 1}), {0}});
const Bytes kHandleError = {0xDF, 0x01, 0x00, 0x05};

using Candidates = std::set<std::pair<std::string, PortKind>>;

Candidates AsSet(const std::vector<PortCandidate>& candidates) {
  Candidates set;
  for (const PortCandidate& c : candidates) set.insert({c.path, c.kind});
  return set;
}

std::set<std::string> AsSet(const std::vector<std::string>& paths) { return {paths.begin(), paths.end()}; }

void Answer(PtyPeer& device, const Bytes& reply) { device.Play({Expect(kWakeup), Send(reply)}); }

TEST(CandidatePorts, AreClassifiedByTheMarkerInTheirNames) {
  DeviceDirectory dev;
  PtyPeer acm, rfcomm, both, usb, serial;
  dev.Link("ttyACM0", acm.Path());
  dev.Link("rfcomm1", rfcomm.Path());
  dev.Link("ttyUSB-ttyACM3", both.Path());
  dev.Link("ttyUSB0", usb.Path());
  dev.Link("ttyUSB-link", "ttyUSB0");
  dev.Link("ttyS0", serial.Path());
  dev.Directory("ttyUSB5");  // the entry type is not examined

  EXPECT_EQ(AsSet(ListCandidatePorts(dev.Path())),
            (Candidates{{acm.Path(), PortKind::Acm},
                        {rfcomm.Path(), PortKind::Rfcomm},
                        {both.Path(), PortKind::Acm},
                        {usb.Path(), PortKind::Usb},
                        {usb.Path(), PortKind::Usb},
                        {dev.Path() + "/ttyUSB5", PortKind::Usb}}));
  EXPECT_EQ(ListCandidatePorts(dev.Path()).size(), 6u) << "a link and its target are both listed";
}

TEST(CandidatePorts, UnresolvableEntriesAreSkippedAndTheRestStillFound) {
  DeviceDirectory dev;
  PtyPeer acm;
  dev.Link("ttyACM7", "/nonexistent/ttyACM7");
  dev.Link("ttyACM0", acm.Path());
  EXPECT_EQ(AsSet(ListCandidatePorts(dev.Path())), (Candidates{{acm.Path(), PortKind::Acm}}));
}

TEST(CandidatePorts, MissingDirectoryIsEmptyButAnUnreadableOneThrows) {
  EXPECT_TRUE(ListCandidatePorts("/nonexistent-device-directory").empty());
  EXPECT_THROW(ListCandidatePorts("/proc/self/cmdline"), fs::filesystem_error);
  EXPECT_THROW(DetectHandles("/proc/self/cmdline"), fs::filesystem_error);
}

TEST(Detection, FindsNothingWithoutCandidates) {
  DeviceDirectory dev;
  Stopwatch watch;
  EXPECT_TRUE(DetectMorvek3s(dev.Path()).empty());
  EXPECT_TRUE(DetectHandles(dev.Path()).empty());
  EXPECT_TRUE(DetectWiredHandles(dev.Path()).empty());
  EXPECT_TRUE(DetectWirelessHandles(dev.Path()).empty());
  EXPECT_LT(watch.WallSeconds(), 0.1);
}

TEST(Detection, AcceptsAnArmOnlyByItsModelNumber) {
  DeviceDirectory dev;
  PtyPeer arm, other, handle;
  dev.Link("ttyACM0", arm.Path());
  dev.Link("ttyACM1", other.Path());
  dev.Link("ttyUSB0", handle.Path());
  Answer(arm, ArmInfo(4));
  Answer(other, ArmInfo(5));
  EXPECT_EQ(DetectMorvek3s(dev.Path()), std::vector<std::string>{arm.Path()});
  EXPECT_TRUE(arm.Finish());
  EXPECT_TRUE(other.Finish());
  EXPECT_TRUE(handle.Drain().empty()) << "arms are looked for on ACM ports only";
}

TEST(Detection, SplitsHandlesByPortKindAndIgnoresArmsAndErrors) {
  DeviceDirectory dev;
  PtyPeer wired, wireless, arm, failing;
  dev.Link("ttyUSB0", wired.Path());
  dev.Link("rfcomm0", wireless.Path());
  dev.Link("ttyACM0", arm.Path());
  dev.Link("ttyUSB1", failing.Path());

  Answer(wired, kHandleInfo);
  Answer(failing, kHandleError);
  EXPECT_EQ(DetectWiredHandles(dev.Path()), std::vector<std::string>{wired.Path()});
  EXPECT_TRUE(wired.Finish());
  EXPECT_TRUE(failing.Finish());

  Answer(wireless, kHandleStatus);
  EXPECT_EQ(DetectWirelessHandles(dev.Path()), std::vector<std::string>{wireless.Path()});
  EXPECT_TRUE(wireless.Finish());

  Answer(wired, kHandleInfo);
  Answer(wireless, kHandleStatus);
  Answer(arm, ArmInfo(4));
  Answer(failing, kHandleError);
  EXPECT_EQ(AsSet(DetectHandles(dev.Path())), (std::set<std::string>{wired.Path(), wireless.Path()}));
  for (PtyPeer* device : {&wired, &wireless, &arm, &failing}) EXPECT_TRUE(device->Finish());
}

TEST(Detection, SkipsAPortThatCannotBeOpenedSilently) {
  DeviceDirectory dev;
  dev.Directory("ttyUSB9");
  StderrCapture log;
  EXPECT_TRUE(DetectHandles(dev.Path()).empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(Detection, IgnoresALateVerdictButWaitsForIt) {
  DeviceDirectory dev;
  PtyPeer arm;
  dev.Link("ttyACM0", arm.Path());
  arm.Play({Expect(kWakeup), Pause(Millis(3300)), Send(ArmInfo(4))});
  Stopwatch watch;
  EXPECT_TRUE(DetectMorvek3s(dev.Path()).empty());
  EXPECT_GE(watch.WallSeconds(), 3.3);
  EXPECT_TRUE(arm.Finish());
}

}  // namespace

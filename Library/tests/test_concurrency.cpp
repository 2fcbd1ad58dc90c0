#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "PtyPeer.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/Discovery.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::Testing;
namespace fs = std::filesystem;

namespace {

constexpr int kExchanges = 40;

// An arm that answers every zero-torque command with the same joint state.
std::vector<PeerStep> ArmScript() {
  std::vector<PeerStep> steps;
  for (int i = 0; i < kExchanges; ++i) {
    steps.push_back(Expect(Join({{0x1A}, Bytes(12, 0)})));
    steps.push_back(Send(Join({{0x1B}, FloatBytes({0, -60, -120, 0, 0, 0})})));
  }
  return steps;
}

// A handle that answers every status request with a status message.
std::vector<PeerStep> HandleScript() {
  std::vector<PeerStep> steps;
  for (int i = 0; i < kExchanges; ++i) {
    steps.push_back(Expect({0xDA}));
    steps.push_back(Send(Join({{0xDA, 0x01, 0x00, 0, 5}, FloatBytes({0, 0, 0, 1}), {1, 0x42}})));
  }
  return steps;
}

class CountingHandle : public Devices::Handle {
 public:
  using Handle::Handle;
  int statuses = 0;
  void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                    const uint8_t*) override {
    ++statuses;
  }
};

void DriveArm(PtyPeer& peer, std::atomic<int>& positions) {
  IO::SerialStream stream(peer.Path().c_str());
  Devices::Morvek3 arm(&stream);  // resets the shared geometry while others read it
  for (int i = 0; i < kExchanges; ++i) {
    const Vector3 position = arm.GetEndEffectorPosition(false).position;
    if (position == ArmGeometry().ForwardKinematics({0, -60, -120})) ++positions;
  }
}

void DriveHandle(PtyPeer& peer, std::atomic<int>& statuses) {
  IO::SerialStream stream(peer.Path().c_str());
  CountingHandle handle(&stream);
  for (int i = 0; i < kExchanges; ++i) {
    handle.RequestStatus();
    handle.Receive();
  }
  statuses += handle.statuses;
}

TEST(Concurrency, ArmsAndHandlesRunOnTheirOwnThreadsWhileDetectionRuns) {
  PtyPeer arms[2], handles[2], detected_arm;
  for (PtyPeer& peer : arms) peer.Play(ArmScript());
  for (PtyPeer& peer : handles) peer.Play(HandleScript());

  const fs::path directory = fs::temp_directory_path() / ("tavix-concurrency-" + std::to_string(getpid()));
  fs::create_directories(directory);
  fs::create_symlink(detected_arm.Path(), directory / "ttyACM0");
  detected_arm.Play({Expect({0x0A}), Send(Join({{0x0B, 1, 0, 4, 1, 1}, Bytes(16, 0)}))});

  std::atomic<int> positions{0}, statuses{0};
  std::vector<std::string> found;
  std::vector<std::thread> threads;
  for (PtyPeer& peer : arms) threads.emplace_back(DriveArm, std::ref(peer), std::ref(positions));
  for (PtyPeer& peer : handles) threads.emplace_back(DriveHandle, std::ref(peer), std::ref(statuses));
  threads.emplace_back([&] { found = DetectMorvek3s(directory.string()); });
  for (std::thread& thread : threads) thread.join();
  fs::remove_all(directory);

  EXPECT_EQ(positions, 2 * kExchanges);
  EXPECT_EQ(statuses, 2 * kExchanges);
  EXPECT_EQ(found, std::vector<std::string>{detected_arm.Path()});
  for (PtyPeer& peer : arms) EXPECT_TRUE(peer.Finish());
  for (PtyPeer& peer : handles) EXPECT_TRUE(peer.Finish());
  EXPECT_TRUE(detected_arm.Finish());
}

}  // namespace

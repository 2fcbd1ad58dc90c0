// Feeds arbitrary bytes to Handle::GetGantrelStatus as traffic arriving on the handle's
// port, and checks every result: its ranges, the all-zero host-side failures, and that it
// fits the bytes the call consumed.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "CompactStatus.h"
#include "FuzzPort.h"
#include "HandleProtocol.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Devices;
using namespace Tavix::HardwareAPI::HandleProtocol;
using namespace Tavix::Fuzzing;

namespace {

struct Fixture {
  Fixture() { handle.timeout = kFuzzTimeout; }
  FuzzPort port;
  Handle handle{&port.Stream()};
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

bool IsFailure(const GantrelStatus& status, uint8_t error_flag) {
  return status.error_flag == error_flag && status.device_id == 0 && status.quaternion[0] == 0.0f &&
         status.quaternion[1] == 0.0f && status.quaternion[2] == 0.0f && status.quaternion[3] == 0.0f &&
         status.hall_effect_sensor_level == 0 && status.buttons == 0 && status.battery_level == 0.0f;
}

bool SameStatus(const GantrelStatus& a, const GantrelStatus& b) {
  return a.device_id == b.device_id && SameBits(a.quaternion, b.quaternion, sizeof a.quaternion) &&
         a.error_flag == b.error_flag && a.hall_effect_sensor_level == b.hall_effect_sensor_level &&
         a.buttons == b.buttons && SameBits(&a.battery_level, &b.battery_level, sizeof a.battery_level);
}

void CheckRanges(const GantrelStatus& status) {
  Require(status.hall_effect_sensor_level <= 31, "hall level within 0..31");
  Require(status.buttons <= 7, "buttons within 0..7");
  for (const float component : status.quaternion) {
    Require(component >= -1.0f && component <= 1.0f, "quaternion component within [-1, 1]");
  }
}

// One call consumed the `length` bytes at `span`. Its search skips bytes up to the first
// 0xDA and gives up at a code 0 or at its time-out; after a 0xDA it reads the 19 frame
// bytes, or none when they are not all there.
void CheckCall(const GantrelStatus& status, const uint8_t* span, std::size_t length) {
  CheckRanges(status);
  const uint8_t* end = span + length;
  const uint8_t* code = std::find(span, end, kStatusCode);
  if (code == end) {
    // The search ended at a code 0 (then the last byte taken), at its time-out, or on silence.
    Require(std::find(span, end - 1, 0) == end - 1, "the search ends at the first code 0");
    Require(IsFailure(status, kErrorFlagNoFrame), "no 0xDA: error_flag 2 alone");
    return;
  }
  Require(std::find(span, code, 0) == code, "the search ends at the first code 0");
  const std::size_t after_code = static_cast<std::size_t>(end - code) - 1;
  if (after_code == 0) {
    Require(IsFailure(status, kErrorFlagMalformedFrame), "a frame cut short: error_flag 1 alone");
    return;
  }
  Require(after_code == kCompactFrameLength, "a found frame consumes exactly 19 more bytes");
  Require(SameStatus(status, CompactStatus::DecodeFrame(code + 1)), "the result is the frame decoded");
  if (CompactStatus::Unstuff(code + 1).length != kCompactBodyLength) {
    Require(IsFailure(status, kErrorFlagMalformedFrame), "a malformed frame: error_flag 1 alone");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  QuietLibraryLog(argc, argv);
  TheFixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Fixture& fixture = TheFixture();
  const Bytes input = Input(data, size);
  fixture.port.Send(input);
  std::size_t position = 0;
  while (position < input.size()) {
    const GantrelStatus status = fixture.handle.GetGantrelStatus();
    const std::size_t now = input.size() - static_cast<std::size_t>(fixture.port.QueuedTowardsLibrary());
    Require(now > position && now <= input.size(), "every call consumes at least one waiting byte");
    CheckCall(status, &input[position], now - position);
    position = now;
  }
  // Once everything is consumed, the port is silent.
  Require(IsFailure(fixture.handle.GetGantrelStatus(), kErrorFlagNoFrame), "a silent port: error_flag 2 alone");
  Require(fixture.port.Stream().good(), "the stream never waits for bytes that are not there");
  fixture.port.Reset();
  return 0;
}

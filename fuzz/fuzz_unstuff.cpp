// Feeds arbitrary bytes to the pure decoders of the compact status frame (Unstuff,
// DecodeFrame, DecodeBody) and checks them against the documented unstuffing rules and
// the ranges of the decoded fields.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "CompactStatus.h"
#include "FuzzPort.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::HandleProtocol;
using Tavix::Fuzzing::Bytes;
using Tavix::Fuzzing::Require;

namespace {

// The unstuffing rules written out plainly: symbols start in positions 0 to 17, the byte
// at 18 only completes an ESC at 17.
Bytes ReferenceUnstuff(const Bytes& frame) {
  Bytes body;
  std::size_t p = 0;
  while (p < kCompactBodyLength) {
    if (frame[p] == kSlipEsc && frame[p + 1] == kSlipEscEnd) {
      body.push_back(kSlipEnd);
      p += 2;
    } else if (frame[p] == kSlipEsc && frame[p + 1] == kSlipEscEsc) {
      body.push_back(kSlipEsc);
      p += 2;
    } else {
      if (frame[p] != kSlipEsc && frame[p] != kSlipEnd) body.push_back(frame[p]);
      p += 1;
    }
  }
  return body;
}

bool IsFailure(const Devices::GantrelStatus& status, uint8_t error_flag) {
  return status.error_flag == error_flag && status.device_id == 0 && status.quaternion[0] == 0.0f &&
         status.quaternion[1] == 0.0f && status.quaternion[2] == 0.0f && status.quaternion[3] == 0.0f &&
         status.hall_effect_sensor_level == 0 && status.buttons == 0 && status.battery_level == 0.0f;
}

void CheckDecodedBody(const Devices::GantrelStatus& status, const uint8_t* body) {
  Require(status.device_id == body[CompactBody::kDeviceId], "device_id is body byte 4");
  Require(status.error_flag == body[CompactBody::kErrorFlag], "error_flag is body byte 2");
  Require(status.hall_effect_sensor_level <= 31, "hall level within 0..31");
  Require(status.buttons <= 7, "buttons within 0..7");
  Require(((status.buttons << CompactBody::kButtonsShift) | status.hall_effect_sensor_level) ==
              body[CompactBody::kSensors],
          "hall level and buttons together give body byte 3");
  for (const float component : status.quaternion) {
    Require(component >= -1.0f && component < 1.0f, "quaternion component within [-1, 1)");
  }
  Require(status.battery_level >= 3.0f && status.battery_level <= CompactStatus::BatteryLevel(255),
          "battery level within 3.0..4.275");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // Exactly as many bytes as each function reads, on the heap, so that any read past
  // them is caught; short inputs are padded with zeros, long ones trimmed.
  Bytes frame(data, data + std::min(size, kCompactFrameLength));
  frame.resize(kCompactFrameLength, 0);

  const CompactStatus::UnstuffedBody unstuffed = CompactStatus::Unstuff(frame.data());
  Require(unstuffed.length <= kCompactBodyLength, "an unstuffed body is at most 18 bytes");
  const Bytes expected = ReferenceUnstuff(frame);
  Require(unstuffed.length == expected.size() &&
              std::equal(expected.begin(), expected.end(), unstuffed.bytes.begin()),
          "Unstuff follows the unstuffing rules");

  const Devices::GantrelStatus status = CompactStatus::DecodeFrame(frame.data());
  if (unstuffed.length == kCompactBodyLength) {
    CheckDecodedBody(status, unstuffed.bytes.data());
  } else {
    Require(IsFailure(status, kErrorFlagMalformedFrame), "a short body gives error_flag 1 alone");
  }

  const Bytes body(frame.begin(), frame.begin() + kCompactBodyLength);
  CheckDecodedBody(CompactStatus::DecodeBody(body.data()), body.data());
  return 0;
}

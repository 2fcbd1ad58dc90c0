// Feeds arbitrary bytes to the pure decoders of the compact status frame (Unstuff,
// DecodeFrame, DecodeBody) and checks them against the documented unstuffing rules and
// the ranges of the decoded fields.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Devices/CompactStatus.h"
#include "Harness.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::HandleProtocol;
using Tavix::Fuzzing::Bytes;
using Tavix::Fuzzing::Require;

namespace {

// The unstuffing rules written out plainly: symbols up to the first END, which closes
// the body; ESC ESC_END is END, ESC ESC_ESC is ESC, any other ESC gives nothing.
struct ReferenceBody {
  Bytes bytes;
  bool ended = false;
};

ReferenceBody ReferenceUnstuff(const Bytes& encoded) {
  ReferenceBody body;
  std::size_t p = 0;
  while (p < encoded.size()) {
    const bool has_next = p + 1 < encoded.size();
    if (encoded[p] == kSlipEnd) {
      body.ended = true;
      break;
    } else if (encoded[p] == kSlipEsc && has_next && encoded[p + 1] == kSlipEscEnd) {
      body.bytes.push_back(kSlipEnd);
      p += 2;
    } else if (encoded[p] == kSlipEsc && has_next && encoded[p + 1] == kSlipEscEsc) {
      body.bytes.push_back(kSlipEsc);
      p += 2;
    } else {
      if (encoded[p] != kSlipEsc) body.bytes.push_back(encoded[p]);
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
  // Exactly the encoded bytes given, up to the longest frame and a little beyond, on the
  // heap, so that any read past them is caught.
  const Bytes encoded(data, data + std::min(size, kCompactFrameMaxLength + 8));

  const CompactStatus::UnstuffedBody unstuffed = CompactStatus::Unstuff(encoded.data(), encoded.size());
  const ReferenceBody expected = ReferenceUnstuff(encoded);
  const std::size_t kept = std::min(expected.bytes.size(), kCompactBodyLength);
  Require(unstuffed.length == expected.bytes.size() && unstuffed.ended == expected.ended &&
              std::equal(expected.bytes.begin(), expected.bytes.begin() + static_cast<long>(kept),
                         unstuffed.bytes.begin()),
          "Unstuff follows the unstuffing rules");

  const std::size_t missing = CompactStatus::MissingFrameBytes(encoded.data(), encoded.size());
  if (expected.ended || expected.bytes.size() > kCompactBodyLength) {
    Require(missing == 0, "nothing more is read once the frame is settled");
  } else {
    Require(missing == kCompactBodyLength - expected.bytes.size() + 1, "the body still to come and the END");
  }

  const Devices::GantrelStatus status = CompactStatus::DecodeFrame(encoded.data(), encoded.size());
  if (expected.ended && expected.bytes.size() == kCompactBodyLength) {
    CheckDecodedBody(status, expected.bytes.data());
  } else {
    Require(IsFailure(status, kErrorFlagMalformedFrame), "a body not closed at 18 bytes gives error_flag 1 alone");
  }

  if (encoded.size() >= kCompactBodyLength) {
    const Bytes body(encoded.begin(), encoded.begin() + kCompactBodyLength);
    CheckDecodedBody(CompactStatus::DecodeBody(body.data()), body.data());
  }
  return 0;
}

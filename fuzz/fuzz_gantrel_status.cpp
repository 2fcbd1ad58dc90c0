// Feeds arbitrary bytes to Handle::GetGantrelStatus as traffic arriving on the handle's
// port, and checks every result: its ranges, the all-zero host-side failures, and that it
// fits the bytes the call consumed.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "Devices/CompactStatus.h"
#include "Devices/HandleProtocol.h"
#include "Harness.h"
#include "SocketPeer.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Devices;
using namespace Tavix::HardwareAPI::HandleProtocol;
using namespace Tavix::Fuzzing;

namespace {

struct Fixture {
  Tavix::Testing::SocketPeer port;
  Handle handle{&port.Stream()};
};

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

// The body bytes in `encoded`, decoded the plain way, one byte at a time: up to the
// first END; ESC ESC_END is END, ESC ESC_ESC is ESC, any other ESC gives nothing.
struct ReferenceBody {
  Bytes bytes;
  bool ended = false;
};

ReferenceBody ReferenceUnstuff(const uint8_t* encoded, std::size_t length) {
  ReferenceBody body;
  for (std::size_t p = 0; p < length && !body.ended; ++p) {
    const uint8_t byte = encoded[p];
    const uint8_t next = p + 1 < length ? encoded[p + 1] : 0;
    if (byte == kSlipEnd) {
      body.ended = true;
    } else if (byte == kSlipEsc && next == kSlipEscEnd) {
      body.bytes.push_back(kSlipEnd);
      ++p;
    } else if (byte == kSlipEsc && next == kSlipEscEsc) {
      body.bytes.push_back(kSlipEsc);
      ++p;
    } else if (byte != kSlipEsc) {
      body.bytes.push_back(byte);
    }
  }
  return body;
}

// What reading a frame takes from the `available` bytes after its code: 19 bytes first,
// then as many as the body still needs plus its END, until an END has come, the body has
// outgrown 18 bytes or 37 bytes are read. A read that finds too few bytes waiting takes
// none and ends the frame as cut short.
struct FrameRead {
  std::size_t consumed = 0;
  bool cut_short = false;
  ReferenceBody body;
};

FrameRead ReferenceFrameRead(const uint8_t* frame, std::size_t available) {
  FrameRead read;
  std::size_t wanted = kCompactFrameMinLength;
  while (wanted > 0) {
    if (available - read.consumed < wanted) {
      read.cut_short = true;
      return read;
    }
    read.consumed += wanted;
    read.body = ReferenceUnstuff(frame, read.consumed);
    const std::size_t found = read.body.bytes.size();
    wanted = read.body.ended || found > kCompactBodyLength ? 0 : kCompactBodyLength - found + 1;
    wanted = std::min(wanted, kCompactFrameMaxLength - read.consumed);
  }
  return read;
}

// One call consumed the `length` bytes at `span`, with `available` bytes waiting from
// `span` on. Its search skips bytes up to the first 0xDA and gives up at a code 0 or at
// its time-out; after a 0xDA it reads the frame as `ReferenceFrameRead` does.
void CheckCall(const GantrelStatus& status, const uint8_t* span, std::size_t length, std::size_t available) {
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
  const FrameRead expected = ReferenceFrameRead(code + 1, available - static_cast<std::size_t>(code + 1 - span));
  Require(after_code == expected.consumed, "a found frame is read up to its END and no further");
  if (expected.cut_short || !expected.body.ended || expected.body.bytes.size() != kCompactBodyLength) {
    Require(IsFailure(status, kErrorFlagMalformedFrame), "a frame cut short or malformed: error_flag 1 alone");
    return;
  }
  Require(SameStatus(status, CompactStatus::DecodeBody(expected.body.bytes.data())), "the result is the body decoded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Fixture& fixture = TheFixture<Fixture>();
  const Bytes input = Input(data, size);
  fixture.port.Send(input);
  std::size_t position = 0;
  while (position < input.size()) {
    const GantrelStatus status = fixture.handle.GetGantrelStatus();
    const std::size_t now = input.size() - static_cast<std::size_t>(fixture.port.QueuedTowardsLibrary());
    Require(now > position && now <= input.size(), "every call consumes at least one waiting byte");
    CheckCall(status, &input[position], now - position, input.size() - position);
    position = now;
  }
  // Once everything is consumed, the port is silent.
  Require(IsFailure(fixture.handle.GetGantrelStatus(), kErrorFlagNoFrame), "a silent port: error_flag 2 alone");
  Require(fixture.port.Stream().good(), "the stream never waits for bytes that are not there");
  fixture.port.Reset();
  return 0;
}

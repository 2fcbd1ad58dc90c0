#include "HandleResponder.h"

#include <algorithm>
#include <cmath>

#include "HandleMotion.h"
#include "Slip.h"

namespace Tavix::Simulator {
namespace {

// Requests (host to handle).
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kStatusRequest = 0xDA;
constexpr uint8_t kHandleState = 0xDB;
constexpr std::size_t kHandleStateHeaderLength = 4;  // code, device id (2), data length

// Replies (handle to host).
constexpr uint8_t kInfo = 0xD0;
constexpr uint8_t kStatus = 0xDA;  // heads both the status message and the compact frame

constexpr uint8_t kNoError = 0;

constexpr int kButtonShift = 5;  // hall level in bits 0-4, buttons in bits 5-7
// Body bytes the host does not interpret. Never 0: when the host cannot take a frame
// whole, the rest of it is skipped as stray bytes, and a 0 there would read as "no frame".
constexpr uint8_t kFree = 0x55;

int16_t ToQ15(float value) {
  return static_cast<int16_t>(std::clamp<long>(std::lround(value * 32768.0f), -32768, 32767));
}

// The 18-byte compact status body, in wire order.
Bytes CompactBody(const HandleReading& reading, uint16_t device_id, uint8_t battery_raw) {
  const auto hall_and_buttons = static_cast<uint8_t>(reading.hall_level | (reading.buttons << kButtonShift));
  const auto device_id_low = static_cast<uint8_t>(device_id & 0xFF);
  Bytes body{kFree, kFree, kNoError, hall_and_buttons, device_id_low, kFree, kFree, kFree};
  for (const float component : reading.quaternion) AppendI16(body, ToQ15(component));
  body.insert(body.end(), {battery_raw, kFree});
  return body;
}

}  // namespace

HandleResponder::HandleResponder(const Identity& identity, uint8_t battery_raw, Clock::time_point start)
    : identity_(identity), battery_raw_(battery_raw), start_(start) {}

DeviceResponder::Exchange HandleResponder::Answer(const Bytes& input, Clock::time_point now) {
  switch (input[0]) {
    case kWakeup:
      return {1, Info()};
    case kStatusRequest:
      return {1, StatusMessage(now)};
    case kHandleState:
      return TakeHandleState(input);
    default:
      return {1, {}};
  }
}

// The body is stuffed as SLIP requires: a byte 0xC0 or 0xDB (say in the quaternion) is
// escaped, which makes the frame longer than the 19 bytes of an unescaped one.
Bytes HandleResponder::StreamedMessage(Clock::time_point now) {
  const Bytes body = CompactBody(HandleReadingAt(SecondsOn(now)), identity_.numbers.device_id, battery_raw_);
  Bytes frame{kStatus};
  const Bytes stuffed = SlipStuff(body);
  frame.insert(frame.end(), stuffed.begin(), stuffed.end());
  return frame;
}

DeviceResponder::Exchange HandleResponder::TakeHandleState(const Bytes& input) {
  if (input.size() < kHandleStateHeaderLength) return {0, {}};
  const std::size_t length = kHandleStateHeaderLength + input[3];
  if (input.size() < length) return {0, {}};
  user_data_.assign(input.begin() + kHandleStateHeaderLength, input.begin() + static_cast<long>(length));
  return {length, {}};
}

Bytes HandleResponder::Info() const {
  Bytes reply{kInfo, identity_.tool_data_remaining};
  AppendDeviceNumbers(reply, identity_.numbers);
  return reply;
}

Bytes HandleResponder::StatusMessage(Clock::time_point now) const {
  const HandleReading reading = HandleReadingAt(SecondsOn(now));
  Bytes reply{kStatus};
  AppendU16(reply, identity_.numbers.device_id);
  reply.insert(reply.end(), {kNoError, reading.hall_level});
  for (const float component : reading.quaternion) AppendFloat(reply, component);
  reply.push_back(static_cast<uint8_t>(user_data_.size()));
  reply.insert(reply.end(), user_data_.begin(), user_data_.end());
  return reply;
}

double HandleResponder::SecondsOn(Clock::time_point now) const {
  return std::chrono::duration<double>(now - start_).count();
}

}  // namespace Tavix::Simulator

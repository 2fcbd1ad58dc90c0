#pragma once

#include <cstdint>

#include "DeviceResponder.h"

namespace Tavix::Simulator {

/// The Gantrel handle's side of the wire: answers the wake-up with its info and the
/// status request with a status message that echoes the user data of the last
/// handle-state message; streams compact status frames when asked to.
class HandleResponder : public DeviceResponder {
 public:
  struct Identity {
    DeviceNumbers numbers{1, 2};  ///< device id 1, model 2
    uint8_t tool_data_remaining = 0;
  };

  /// A handle switched on at `start`, reporting the battery raw value `battery_raw`.
  HandleResponder(const Identity& identity, uint8_t battery_raw, Clock::time_point start);

  Exchange Answer(const Bytes& input, Clock::time_point now) override;

  /// A compact status frame: the code, then the SLIP-stuffed 18-byte body.
  Bytes StreamedMessage(Clock::time_point now) override;

 private:
  Exchange TakeHandleState(const Bytes& input);
  Bytes Info() const;
  Bytes StatusMessage(Clock::time_point now) const;
  double SecondsOn(Clock::time_point now) const;

  Identity identity_;
  uint8_t battery_raw_;
  Clock::time_point start_;
  Bytes user_data_;  // of the last handle-state message
};

}  // namespace Tavix::Simulator

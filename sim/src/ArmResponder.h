#pragma once

#include <array>
#include <cstdint>

#include "ArmModel.h"
#include "DeviceResponder.h"

namespace Tavix::Simulator {

/// The Morvek3 arm's side of the wire: wake-up, identifier queries, the four commands
/// (answered with the state of an `ArmModel`) and the status queries.
class ArmResponder : public DeviceResponder {
 public:
  struct Identity {
    DeviceNumbers numbers{1, 4};  ///< device id 1, model 4: a Morvek3
    std::array<uint8_t, 16> device_uuid{};
    /// The long form of the firmware version: text, padded with zeros.
    std::array<uint8_t, 16> firmware_uuid{'t', 'a', 'v', 'i', 'x', '-', 's', 'i', 'm', ' ', '1', '.', '0'};
  };

  /// An arm with this identity whose model, made with `settings`, starts moving at `start`.
  ArmResponder(const Identity& identity, const ArmModel::Settings& settings, Clock::time_point start);

  Exchange Answer(const Bytes& input, Clock::time_point now) override;

 private:
  Exchange AnswerIdentifierQuery(const Bytes& input) const;
  Exchange AnswerCommand(const Bytes& input);
  Bytes DeviceInfo() const;
  Bytes Currents() const;
  Bytes BaseOrientation() const;
  Bytes Temperature() const;
  void CatchUp(Clock::time_point now);

  Identity identity_;
  ArmModel model_;
  Clock::time_point model_time_;
};

}  // namespace Tavix::Simulator

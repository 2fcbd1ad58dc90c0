#pragma once

#include <chrono>
#include <deque>
#include <optional>

#include "DeviceResponder.h"
#include "MessageFaults.h"
#include "PseudoTerminal.h"
#include "StopSignals.h"

namespace Tavix::Simulator {

/// The simulator's main loop: waits in ppoll(2) for requests, the next delayed reply or
/// the next streamed frame (never busy), hands the requests to a `DeviceResponder` as
/// they complete (they may arrive split or several at once) and writes the replies,
/// damaged by `MessageFaults`, right away or after the reply delay.
class PortServer {
 public:
  using Clock = DeviceResponder::Clock;

  struct Settings {
    bool silent = false;                             ///< answer nothing, stream nothing
    std::chrono::microseconds reply_delay{0};        ///< from a request's arrival to its reply
    std::optional<Clock::duration> stream_period;    ///< send the device's streamed message this often
    std::optional<unsigned long> hangup_after;       ///< answered requests before hanging up
  };

  PortServer(PseudoTerminal& port, DeviceResponder& device, MessageFaults& faults, const Settings& settings);

  /// Serves until a stop signal arrives or, with `hangup_after`, until the host has read
  /// the last reply (waiting a second at most); the caller then hangs up. Throws
  /// std::system_error when the port fails.
  void Run(const CommandLine::StopSignals& signals);

 private:
  struct DelayedReply {
    Clock::time_point due;
    Bytes bytes;
  };

  void WaitForPort(const CommandLine::StopSignals& signals, Clock::time_point now);
  std::optional<Clock::time_point> NextWakeUp(Clock::time_point now) const;
  void ReadRequests();
  void AnswerRequests(Clock::time_point now);
  void ReleaseDueReplies(Clock::time_point now);
  void StreamIfDue(Clock::time_point now);
  void WriteUnsent();
  bool HangingUp() const;
  bool ReadyToHangUp(Clock::time_point now);

  PseudoTerminal& port_;
  DeviceResponder& device_;
  MessageFaults& faults_;
  Settings settings_;
  Bytes received_;                     // requests not yet complete
  std::deque<DelayedReply> delayed_;   // due times in order: the delay is constant
  Bytes unsent_;                       // waiting for room in the port
  unsigned long answered_ = 0;
  Clock::time_point next_frame_;
  std::optional<Clock::time_point> last_reply_written_;  // once hanging up
};

}  // namespace Tavix::Simulator

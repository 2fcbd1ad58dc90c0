#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "NonCopyable.h"

namespace Tavix::Simulator {
class PseudoTerminal;
}

namespace Tavix::Testing {

using Millis = std::chrono::milliseconds;

/// One step of a scripted device.
struct PeerStep {
  enum class Kind { Expect, Send, Pause, HangUp } kind;
  Bytes bytes;
  Millis duration{0};
};

/// Expect exactly these bytes from the library within `within`.
PeerStep Expect(Bytes bytes, Millis within = Millis(2000));
/// Send these bytes to the library.
PeerStep Send(Bytes bytes);
/// Stay silent for a while.
PeerStep Pause(Millis duration);
/// Close the device side: the library's port hangs up.
PeerStep HangUp();

/// A device played on a new raw pseudo-terminal (the simulator's `PseudoTerminal`): the
/// library opens `Path()`; the test plays the device, either step by step from the test
/// thread or as a script on a background thread (`Play`, then `Finish`). It can answer,
/// stay silent, answer late, answer half and hang up.
class PtyPeer : CommandLine::NonCopyable {
 public:
  /// Throws std::system_error when no pseudo-terminal can be had.
  PtyPeer();
  ~PtyPeer();

  const std::string& Path() const;
  /// The peer's own descriptor on the library's side of the line; -1 once hung up.
  int SlaveFd() const;

  /// Writes bytes towards the library now.
  void Send(const Bytes& bytes);
  /// Reads what the library wrote: returns once `count` bytes arrived or after `within`.
  Bytes Receive(std::size_t count, Millis within = Millis(2000));
  /// Everything the library wrote that arrives within `within` (for checking silence).
  Bytes Drain(Millis within = Millis(50));
  /// Bytes sent by the device that the library has not read yet.
  int QueuedTowardsLibrary() const;
  /// Waits until the library's side has at least `count` bytes queued.
  void AwaitQueued(int count, Millis within = Millis(2000)) const;
  /// Closes the pseudo-terminal now: the library's port hangs up.
  void HangUp();

  /// Runs `steps` on a background thread.
  void Play(std::vector<PeerStep> steps);
  /// Waits for the script to end; fails with the first step that did not go as planned.
  testing::AssertionResult Finish();

 private:
  void RunScript(std::vector<PeerStep> steps);

  std::unique_ptr<Simulator::PseudoTerminal> pty_;
  std::thread script_;
  std::mutex failure_mutex_;
  std::string failure_;
};

}  // namespace Tavix::Testing

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace Tavix::Testing {

using Bytes = std::vector<uint8_t>;
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

/// A pseudo-terminal standing in for a device. The library opens `Path()` (the slave
/// side); the test plays the device on the master side, either step by step from the
/// test thread or as a script on a background thread (`Play`, then `Finish`).
///
/// The fixture keeps its own descriptor on the slave side, in raw mode from the start,
/// so the line settings and the queue towards the library can be inspected.
class PtyPeer {
 public:
  PtyPeer();
  ~PtyPeer();

  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& Path() const { return path_; }
  /// The fixture's own descriptor on the library's side of the line.
  int SlaveFd() const { return slave_; }

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
  /// Closes the device side now.
  void HangUp();

  /// Runs `steps` on a background thread.
  void Play(std::vector<PeerStep> steps);
  /// Waits for the script to end; fails with the first step that did not go as planned.
  testing::AssertionResult Finish();

 private:
  void RunScript(std::vector<PeerStep> steps);

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::thread script_;
  std::mutex failure_mutex_;
  std::string failure_;
};

/// The bytes of little-endian binary32 values, back to back.
Bytes FloatBytes(std::initializer_list<float> values);
/// Concatenation of byte runs.
Bytes Join(std::initializer_list<Bytes> parts);
/// "2A 00 80 3F" style text, for failure messages.
std::string Hex(const Bytes& bytes);

}  // namespace Tavix::Testing

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Tavix::Simulator {
class PseudoTerminal;
}

namespace Tavix::Testing {

/// The barest device there can be: a child process on a new pseudo-terminal (the
/// simulator's `PseudoTerminal`) that answers every `request_length` bytes it receives
/// with a fixed reply, using only poll(2), read(2), write(2) and, for a reply in two
/// parts, nanosleep(2). Round trips through it, compared with round trips through
/// tavix-sim, show what the simulator itself adds; a reply in two parts, as a USB device
/// may deliver one, shows how a wait for the rest of a message behaves. Stopped with
/// SIGTERM when the object goes away.
class PtyResponder {
 public:
  struct Reply {
    std::vector<uint8_t> bytes;                                        ///< the whole reply
    std::size_t first_part = std::numeric_limits<std::size_t>::max();  ///< written at once
    std::chrono::microseconds pause{0};  ///< before the rest of the reply is written
  };

  /// Throws std::runtime_error if the pseudo-terminal or the process cannot be made.
  PtyResponder(std::size_t request_length, Reply reply);
  ~PtyResponder();

  PtyResponder(const PtyResponder&) = delete;
  PtyResponder& operator=(const PtyResponder&) = delete;

  /// The port to open, as a device's port is opened.
  const std::string& PortPath() const;

  /// The responder's process id.
  pid_t Pid() const { return pid_; }

 private:
  std::unique_ptr<Simulator::PseudoTerminal> pty_;
  pid_t pid_ = -1;
};

}  // namespace Tavix::Testing

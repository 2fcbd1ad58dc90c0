#pragma once

#include <cstddef>

#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::Bench {

/// The library's stream with a wait that spins: it asks the driver how many bytes are
/// queued (FIONREAD) over and over until there are enough or the deadline passes, and
/// never sleeps. The benchmarks measure it beside the library's own wait, which sleeps
/// in poll(2) and epoll(7), to show what sleeping costs in latency and what spinning
/// costs in CPU. A hang-up is noticed only when FIONREAD fails.
class SpinningStream : public HardwareAPI::IO::SerialStream {
 public:
  using SerialStream::SerialStream;

  HardwareAPI::IO::WaitStatus WaitForBytes(std::size_t count, const HardwareAPI::IO::Deadline& deadline) override;
};

}  // namespace Tavix::Bench

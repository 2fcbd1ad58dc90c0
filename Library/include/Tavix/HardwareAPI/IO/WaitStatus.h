#pragma once

namespace Tavix::HardwareAPI::IO {

/// How a wait for incoming bytes on a port ended.
enum class WaitStatus {
  Ready,     ///< the bytes waited for are in the driver's receive queue
  TimedOut,  ///< the deadline passed first
  Failed,    ///< the port failed or hung up; errno tells why
};

}  // namespace Tavix::HardwareAPI::IO

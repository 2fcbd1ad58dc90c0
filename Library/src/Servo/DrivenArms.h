#pragma once

#include <cstddef>

#include "Tavix/HardwareAPI/IO/Port.h"

namespace Tavix::HardwareAPI::Servo {

/// The arms that servo loops drive, so that nothing else drives one meanwhile: neither
/// another loop (the two would take each other's replies) nor any other device call. An
/// arm is known by its port: two Morvek3 objects on one port are one arm, and a port
/// cannot be opened twice. The claim is kept on the port itself (`IO::Port::Driven`), as
/// the device through which the loop drives it, and every device operation on the port
/// reads it once as it begins (`IO::Port::Admit`). Neither call takes a lock.
class DrivenArms {
 public:
  /// Claims the arm on `port` for a loop that drives it through `device`, then waits for
  /// the operations of other devices under way on the port to end (each within its
  /// time-out); from the claim on, every new one is refused. False, claiming nothing and
  /// waiting for nothing, when a loop drives the arm already. Not from a device
  /// operation on the port, which it would wait for.
  static bool Claim(IO::Port& port, const Devices::Device& device) noexcept;

  /// Gives the claim on the arm on `port` back, with `unread_reply_bytes` of a reply the
  /// loop asked for and did not read owed on the port: whoever uses the port next drops
  /// them, rather than taking them for its own reply. Release: what the loop's thread did
  /// on the port happens before the operations that find the arm free.
  static void Release(IO::Port& port, std::size_t unread_reply_bytes) noexcept;
};

}  // namespace Tavix::HardwareAPI::Servo

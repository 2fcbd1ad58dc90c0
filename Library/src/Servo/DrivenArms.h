#pragma once

namespace Tavix::HardwareAPI::IO {
class Port;
}

namespace Tavix::HardwareAPI::Servo {

/// The arms that servo loops drive, process-wide, so that two loops never drive one arm
/// (they would each take the other's replies). An arm is known by its port: two Morvek3
/// objects on one port are one arm, and a port cannot be opened twice. Both calls take a
/// lock that only they take, and neither is made inside a tick.

/// Claims the arm on `port` for a loop; false, claiming nothing, when a loop drives it
/// already. May throw std::bad_alloc.
bool ClaimArm(const IO::Port& port);

/// Gives the claim on the arm on `port` back.
void ReleaseArm(const IO::Port& port) noexcept;

}  // namespace Tavix::HardwareAPI::Servo

#pragma once

#include <chrono>
#include <cstddef>

#include "Tavix/HardwareAPI/IO/Deadline.h"
#include "Tavix/HardwareAPI/IO/WaitStatus.h"

// The waits of the transport: every read that waits for a port goes through these.
// They block in poll(2), or in epoll(7) while part of a message has arrived, so a
// waiting thread costs no CPU; they restart after signals; they end at their deadline
// even on a descriptor that stays readable with nothing to read; and they report a port
// that hangs up (POLLHUP/POLLERR, or a failing FIONREAD) as Failed at once, with errno
// telling why.
namespace Tavix::HardwareAPI::IO {

/// Bytes in the driver's receive queue of `fd`, or -1 (errno set) if it cannot be asked.
int QueuedBytes(int fd);

/// Blocks until `fd` has something to read or the deadline passes.
WaitStatus WaitReadable(int fd, const Deadline& deadline);

/// Blocks until at least `count` bytes are queued on `fd` or the deadline passes. A
/// negative `fd` (no port) waits out the deadline. On a thread that asked for spinning
/// waits (`SpinWaitsOnThisThread`) it polls the port's queue without sleeping first.
WaitStatus WaitForBytes(int fd, std::size_t count, const Deadline& deadline);

/// For the calling thread from now on: `WaitForBytes` first spins, for at most `budget`
/// (zero: not at all), then sleeps as usual for the rest (a servo loop's thread that
/// trades a busy core for seeing each reply as soon as it is queued). The budget bounds
/// what the spin can cost: a spinning real-time thread keeps everything of normal
/// priority off its CPU, the kernel's receive work for the port included, so an
/// unbounded spin could wait for a reply that cannot arrive until it stops.
void SpinWaitsOnThisThread(std::chrono::nanoseconds budget) noexcept;

/// Sleeps a millisecond, or less when the deadline comes sooner, waking early only if
/// `fd` hangs up. For a descriptor that poll(2) reports readable although a read finds
/// nothing (one at end-of-file that never hangs up): waiting for it to become readable
/// would return at once, again and again. TimedOut once the deadline has passed.
WaitStatus NapBriefly(int fd, const Deadline& deadline);

}  // namespace Tavix::HardwareAPI::IO

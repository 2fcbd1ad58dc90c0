#pragma once

#include <string>

namespace Tavix::Simulator {

/// The SCHED_FIFO priority the simulator asks for: below a servo loop's default (80), so
/// that a loop on the same machine still preempts the device it talks to.
constexpr int kRealtimePriority = 70;

/// Puts the calling process under SCHED_FIFO at kRealtimePriority and locks its memory,
/// as a device's firmware answers on time whatever else the host runs. Returns what was
/// refused and why, or an empty text when both were granted.
std::string EnterRealtime();

}  // namespace Tavix::Simulator

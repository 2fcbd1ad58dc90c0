// force_loop: a spring rendered on a Morvek3 arm at 1 kHz, and how well the loop kept time.
//
//   force_loop PORT [EXCHANGES]        (default 1000 exchanges: one second)
//
// Opens PORT, wakes the arm, then once every millisecond sends an end-effector force and
// receives the end effector's position and velocity. The force is a damped spring pulling
// towards a point 20 mm along +x from where the end effector started, so the arm moves
// there and stops. At the end it prints the number of exchanges, the achieved rate, the
// round-trip times, the missed deadlines and the failed exchanges.
//
// A failed exchange gives an all-zero state, which looks like a position at the origin:
// the loop asks `LastError()` after each one, keeps the last state that did arrive, and
// sends no force on the next exchange. A port that fails (the arm unplugged) ends it.
//
// Try it against the simulator: `tavix-sim arm` prints the port to use.
//
// Exit status: 0 on success, 1 when the port cannot be opened or fails, or the arm does
// not answer, 2 for bad arguments.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"

namespace {

using Tavix::HardwareAPI::Vector3;
using Tavix::HardwareAPI::Devices::ArmState;
using Tavix::HardwareAPI::Devices::DeviceInfo;
using Tavix::HardwareAPI::Devices::Morvek3;
using Tavix::HardwareAPI::IO::Port;
using Clock = std::chrono::steady_clock;

constexpr Clock::duration kPeriod = std::chrono::milliseconds(1);
constexpr double kReplyTimeout = 0.02;  // s: a reply normally takes well under 1 ms
constexpr unsigned long kDefaultExchanges = 1000;
constexpr int kArmModelNumber = 4;  // what a Morvek3 reports as its model when woken

// The spring: its centre lies this far along +x from the start position.
constexpr float kCentreOffset = 0.020f;  // m
constexpr float kStiffness = 100.0f;     // N/m
constexpr float kDamping = 2.0f;         // N s/m: takes out the overshoot
constexpr float kMaxForce = 5.0f;        // N: never more than this is sent

Vector3 SpringForce(const ArmState& state, const Vector3& centre) {
  Vector3 force{};
  float size_squared = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    force[i] = kStiffness * (centre[i] - state.position[i]) - kDamping * state.velocity[i];
    size_squared += force[i] * force[i];
  }
  // Too strong: scaled down, keeping the direction.
  const float size = std::sqrt(size_squared);
  if (size > kMaxForce) {
    for (float& component : force) component *= kMaxForce / size;
  }
  return force;
}

long long Microseconds(Clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

// The nearest-rank percentile of durations sorted in increasing order.
Clock::duration Percentile(const std::vector<Clock::duration>& sorted, double percent) {
  const auto rank = static_cast<std::size_t>(std::ceil(percent / 100 * static_cast<double>(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

void PrintPosition(const char* label, const Vector3& position) {
  std::printf("  %-10s (%.1f, %.1f, %.1f) mm\n", label, position[0] * 1000, position[1] * 1000,
              position[2] * 1000);
}

bool ParseExchanges(const std::string& text, unsigned long& exchanges) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  try {
    exchanges = std::stoul(text);
  } catch (const std::out_of_range&) {
    return false;
  }
  return exchanges > 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long exchanges = kDefaultExchanges;
  if (argc < 2 || argc > 3 || (argc == 3 && !ParseExchanges(argv[2], exchanges))) {
    std::fprintf(stderr, "usage: force_loop PORT [EXCHANGES]\n"
                 "  EXCHANGES: how many 1 ms exchanges to run, above 0 (default %lu)\n", kDefaultExchanges);
    return 2;
  }
  const char* port = argv[1];

  std::unique_ptr<Port> stream;
  try {
    stream = std::make_unique<Port>(port, kReplyTimeout);
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "force_loop: %s (does it exist, and is no other program using it?)\n", error.what());
    return 1;
  }
  Morvek3 arm(stream.get());

  // Failed exchanges do not throw: they give all-zero results (and a line on stderr),
  // and LastError() says why.
  const DeviceInfo info = arm.DeviceWakeup();
  if (const std::error_code error = arm.LastError()) {
    std::fprintf(stderr, "force_loop: no arm answered on %s: %s\n", port, error.message().c_str());
    return 1;
  }
  if (info.device_model_number != kArmModelNumber) {
    std::fprintf(stderr, "force_loop: the device on %s is model %u, not a Morvek3 arm\n", port,
                 unsigned{info.device_model_number});
    return 1;
  }
  std::printf("Arm %u on %s: hardware version %u, firmware version %u\n", unsigned{info.device_id}, port,
              unsigned{info.hardware_version}, unsigned{info.firmware_version});

  const ArmState start = arm.EndEffectorForce({0, 0, 0});
  if (const std::error_code error = arm.LastError()) {
    std::fprintf(stderr, "force_loop: the arm did not report its position: %s\n", error.message().c_str());
    return 1;
  }
  const Vector3 centre{start.position[0] + kCentreOffset, start.position[1], start.position[2]};
  std::vector<Clock::duration> round_trips;
  round_trips.reserve(exchanges);
  unsigned long missed_deadlines = 0;
  unsigned long failed_exchanges = 0;

  // The ticks lie on a fixed grid (start + n ms), so small delays do not add up. An
  // exchange that ends after the next tick began has missed its deadline: the next one
  // then starts at once, and ticks that passed entirely are dropped, not made up.
  ArmState state = start;  // the last state the arm reported
  bool state_is_fresh = true;
  const Clock::time_point loop_start = Clock::now();
  Clock::time_point next_tick = loop_start;
  for (unsigned long n = 0; n < exchanges; ++n) {
    std::this_thread::sleep_until(next_tick);
    // Without a fresh state there is nothing to base a force on: send none.
    const Vector3 force = state_is_fresh ? SpringForce(state, centre) : Vector3{0, 0, 0};
    const Clock::time_point sent = Clock::now();
    const ArmState reply = arm.EndEffectorForce(force);
    const Clock::time_point received = Clock::now();
    round_trips.push_back(received - sent);
    const std::error_code error = arm.LastError();
    state_is_fresh = !error;
    if (state_is_fresh) {
      state = reply;
    } else if (error.category() == std::system_category()) {
      std::fprintf(stderr, "force_loop: lost the arm on %s: %s\n", port, error.message().c_str());
      return 1;
    } else {
      ++failed_exchanges;  // no reply in time, or a wrong one: the zeros are not a state
    }

    next_tick += kPeriod;
    if (received > next_tick) {
      ++missed_deadlines;
      next_tick += (received - next_tick) / kPeriod * kPeriod;
    }
  }
  // The ticks the loop ran for: exactly EXCHANGES ms unless ticks were dropped.
  const double seconds = std::chrono::duration<double>(next_tick - loop_start).count();
  arm.EndEffectorForce({0, 0, 0});  // leave the arm without force

  std::sort(round_trips.begin(), round_trips.end());
  std::printf("%zu exchanges in %.3f s: %.1f per second\n", round_trips.size(), seconds,
              static_cast<double>(round_trips.size()) / seconds);
  std::printf("  round trip p50 %lld us, p99 %lld us, max %lld us\n",
              Microseconds(Percentile(round_trips, 50)), Microseconds(Percentile(round_trips, 99)),
              Microseconds(round_trips.back()));
  std::printf("  missed deadlines %lu\n", missed_deadlines);
  std::printf("  failed exchanges %lu\n", failed_exchanges);
  PrintPosition("start", start.position);
  PrintPosition("centre", centre);
  PrintPosition("end", state.position);
  return 0;
}

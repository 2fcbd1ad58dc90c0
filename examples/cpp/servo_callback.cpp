// servo_callback: a Morvek3 held where it started by a spring written as a per-tick
// callback, run by the library's servo loop at 1 kHz.
//
//   servo_callback PORT [SECONDS]      for example /dev/ttyACM0, or the port
//                                      `tavix-sim arm` prints; 1 second by default
//
// The loop calls the callback on its own thread at the start of every tick with the
// arm's last reply, and sends what it returns after the safety steps (clamp to 5 N,
// ramp-in, zero after a failed exchange). Exit status: 0 after the loop, 1 when the
// port cannot be opened or the loop stopped on a failure.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"

using namespace Tavix::HardwareAPI;

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: servo_callback PORT [SECONDS]\n");
    return 2;
  }
  const double seconds = argc == 3 ? std::atof(argv[2]) : 1.0;
  constexpr float kStiffness = 200.0f;  // N/m
  constexpr float kDamping = 2.0f;      // N s/m

  try {
    IO::Port port(argv[1], 0.05);  // a reply is given up on after 50 ms, which holds on a loaded machine
    Devices::Morvek3 arm(&port);
    const Vector3 home = arm.EndEffectorForce({0.0f, 0.0f, 0.0f}).position;
    if (arm.LastError()) {
      std::fprintf(stderr, "servo_callback: no arm answered on %s: %s\n", argv[1], arm.LastError().message().c_str());
      return 1;
    }

    Servo::ServoSettings settings;
    settings.rate_hz = 1000.0;
    Servo::ServoLoop loop(arm, settings);
    // The callback: the arm's last state in, the force out. It runs on the loop's thread,
    // so it only computes: no locks, no allocation, no I/O.
    loop.SetCallback([home](const Servo::ServoState& last) {
      Vector3 force;
      for (int i = 0; i < 3; ++i) force[i] = kStiffness * (home[i] - last.position[i]) - kDamping * last.velocity[i];
      return force;
    });

    loop.Start();
    loop.WaitFor(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
    loop.Stop();  // sends one zero force

    const Servo::ServoStats stats = loop.Stats();
    std::printf("%llu ticks, %llu missed, %llu failed exchanges, %llu forces clamped\n",
                static_cast<unsigned long long>(stats.cycles), static_cast<unsigned long long>(stats.missed),
                static_cast<unsigned long long>(stats.failures), static_cast<unsigned long long>(stats.clamped));
    std::printf("period jitter p50 %.0f us, p99 %.0f us, max %.0f us; round trip p50 %.0f us\n",
                stats.period_jitter_us.p50, stats.period_jitter_us.p99, stats.period_jitter_us.max,
                stats.round_trip_us.p50);
    if (const std::error_code error = loop.Error()) {
      std::fprintf(stderr, "servo_callback: the loop stopped: %s\n", error.message().c_str());
      return 1;
    }
  } catch (const std::system_error& error) {  // the port could not be opened
    std::fprintf(stderr, "servo_callback: %s\n", error.what());
    return 1;
  }
  return 0;
}

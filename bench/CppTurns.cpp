// Lets bench/bench_python.py time the C++ library's exchanges side by side with the
// Python module's, in one process and one stretch of time: Python loads this library
// with ctypes, opens an arm through it and asks for turns of exchanges, each timed
// here, in C++, so that the call from Python costs the C++ figures nothing.

#include <chrono>
#include <memory>

#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace {

using Tavix::HardwareAPI::Devices::Morvek3;
using Tavix::HardwareAPI::IO::SerialStream;

const Tavix::HardwareAPI::Vector3 kZero{0.0f, 0.0f, 0.0f};

struct Arm {
  explicit Arm(const char* port_path) : stream(port_path), arm(&stream) {}
  SerialStream stream;
  Morvek3 arm;
};

}  // namespace

extern "C" {

/// An arm on `port_path`, for the calls below; null if the port cannot be opened.
void* tavix_bench_open_arm(const char* port_path) {
  auto arm = std::make_unique<Arm>(port_path);
  return arm->stream.IsOpen() ? arm.release() : nullptr;
}

void tavix_bench_close_arm(void* arm) { delete static_cast<Arm*>(arm); }

/// Makes `count` exchanges with `arm`, EndEffectorForce when `joints` is 0, otherwise
/// JointTorques, and writes each one's latency in microseconds to `latencies_us`.
void tavix_bench_exchanges(void* arm, int joints, int count, double* latencies_us) {
  using Clock = std::chrono::steady_clock;
  Morvek3& morvek = static_cast<Arm*>(arm)->arm;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point before = Clock::now();
    if (joints != 0) {
      morvek.JointTorques(kZero);
    } else {
      morvek.EndEffectorForce(kZero);
    }
    latencies_us[i] = std::chrono::duration<double, std::micro>(Clock::now() - before).count();
  }
}

}  // extern "C"

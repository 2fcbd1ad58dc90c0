// What recording costs the servo loop's tick. Each tick appends its record to the loop's
// tick ring whether anything records or not; a recorder adds a reader that copies the
// ring's new records on its own thread. So the cost to the tick is what a draining
// reader does to the append (the ring's cache lines shared between two cores): appends
// timed one at a time, without a reader and with one draining every millisecond (a
// recorder drains every 20 ms), paced as a 20 kHz loop would append them.
//
//   bench_recording <results-directory>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>
#include <vector>

#include "Measurement.h"
#include "ResultWriter.h"
#include "ServoHistory.h"

namespace {

using namespace Tavix::Bench;
using Tavix::HardwareAPI::Servo::ServoHistory;
using Tavix::HardwareAPI::Servo::ServoState;
using Clock = std::chrono::steady_clock;

constexpr int kAppends = 200000;
constexpr std::size_t kRingTicks = 10000;  // the loop's default: 10 s at 1 kHz
constexpr auto kPace = std::chrono::microseconds(50);
constexpr auto kDrainEvery = std::chrono::milliseconds(1);

// Each append timed on its own, the pause between appends left out.
Run TimedAppends(ServoHistory& ring) {
  Run run;
  run.latencies_us.reserve(kAppends);
  ServoState tick;
  const double cpu_start = ThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  Clock::time_point next = start;
  for (int i = 0; i < kAppends; ++i) {
    next += kPace;
    while (Clock::now() < next) {
    }
    ++tick.cycle;
    const Clock::time_point before = Clock::now();
    ring.Append(tick);
    run.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  run.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpu_seconds = ThreadCpuSeconds() - cpu_start;
  return run;
}

// Appends timed while another thread reads every record, as a recorder's reader does.
Run TimedAppendsWhileRead(ServoHistory& ring, uint64_t& read, uint64_t& lost) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    uint64_t cursor = ring.Next();
    std::vector<ServoState> ticks;
    ticks.reserve(kRingTicks);
    while (!done.load()) {
      ticks.clear();
      lost += ring.ReadFrom(cursor, ticks, kRingTicks);
      read += ticks.size();
      std::this_thread::sleep_for(kDrainEvery);
    }
    ticks.clear();
    lost += ring.ReadFrom(cursor, ticks, kRingTicks);
    read += ticks.size();
  });
  const Run run = TimedAppends(ring);
  done = true;
  reader.join();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_recording <results-directory>\n");
    return 2;
  }
  try {
    const ResultWriter writer(argv[1]);
    ServoHistory alone(kRingTicks);
    writer.RecordRun("recording.append_alone", TimedAppends(alone));
    ServoHistory drained(kRingTicks);
    uint64_t read = 0, lost = 0;
    const Run run = TimedAppendsWhileRead(drained, read, lost);
    writer.RecordRun("recording.append_read", run,
                     {{"read", static_cast<double>(read)}, {"lost", static_cast<double>(lost)}});
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_recording: %s\n", error.what());
    return 1;
  }
  return 0;
}

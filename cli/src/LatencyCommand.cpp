// tavix latency PORT: how long zero-force round trips to an arm take, and how they spread.
// SIGINT, SIGTERM or another signal that ends a program (then with status 1) ends the run
// early with the figures of the round trips made so far.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ArmConnection.h"
#include "CommandFailure.h"
#include "Commands.h"
#include "Histogram.h"
#include "LatencyStatistics.h"
#include "StopSignals.h"

namespace Tavix::Cli {
namespace {

using Clock = std::chrono::steady_clock;
using CommandLine::StopSignals;

constexpr std::size_t kHistogramBins = 10;
constexpr std::size_t kBarWidth = 40;

struct Measurement {
  std::vector<double> microseconds;  ///< one per round trip made
  unsigned long unanswered = 0;      ///< round trips that got no reply
  double total_seconds = 0;
  bool interrupted = false;          ///< a stop signal ended it before all were made
};

// Makes up to `round_trips` round trips, fewer if a stop signal arrives: the exchange
// under way is finished and kept, so there is always at least one.
Measurement Measure(ArmConnection& connection, unsigned long round_trips, const StopSignals& stop) {
  Measurement measurement;
  measurement.microseconds.reserve(round_trips);
  const HardwareAPI::Vector3 zero{};
  const Clock::time_point start = Clock::now();
  for (unsigned long i = 0; i < round_trips && !measurement.interrupted; ++i) {
    const Clock::time_point before = Clock::now();
    const HardwareAPI::Devices::ArmState state = connection.Arm().EndEffectorForce(zero);
    const std::chrono::duration<double, std::micro> round_trip = Clock::now() - before;
    measurement.microseconds.push_back(round_trip.count());
    connection.ThrowIfLost();
    if (IsEmpty(state)) ++measurement.unanswered;
    measurement.interrupted = i + 1 < round_trips && stop.WaitFor(Clock::duration::zero());
  }
  measurement.total_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return measurement;
}

void PrintSummary(const LatencySummary& summary) {
  std::printf("round-trip time (us):\n");
  std::printf("%10s %10s %10s %10s %10s %10s\n", "min", "p50", "p90", "p99", "p99.9", "max");
  std::printf("%10.1f %10.1f %10.1f %10.1f %10.1f %10.1f\n", summary.min, summary.p50, summary.p90,
              summary.p99, summary.p99_9, summary.max);
}

}  // namespace

int RunLatency(const Options& options) {
  // First, so that a Ctrl-C while connecting is seen too.
  const StopSignals stop({SIGINT, SIGTERM}, StopSignals::Delivery::Collected);  // and every other terminating signal
  ArmConnection connection(options.port);
  std::printf("timing %lu round trips to the arm on %s; Ctrl-C stops early\n", options.round_trips,
              options.port.c_str());
  std::fflush(stdout);
  const Measurement measurement = Measure(connection, options.round_trips, stop);
  const unsigned long made = measurement.microseconds.size();
  const double rate = static_cast<double>(made) / measurement.total_seconds;
  std::printf("%lu round trips to the arm on %s in %.3f s: %.0f exchanges a second\n", made,
              options.port.c_str(), measurement.total_seconds, rate);
  if (measurement.interrupted) {
    std::printf("stopped early: %lu of the %lu round trips asked for\n", made, options.round_trips);
  }
  std::printf("\n");
  PrintSummary(Summarize(measurement.microseconds));
  const auto bins = MakeHistogram(measurement.microseconds, kHistogramBins);
  std::printf("\nhistogram (equal bins from min to p99, then one for the slower rest):\n%s",
              HistogramText(bins, "us", kBarWidth).c_str());
  stop.ThrowUnlessNormal();
  if (measurement.unanswered > 0) {
    throw CommandFailure(std::to_string(measurement.unanswered) + " of " + std::to_string(made) +
                         " round trips got no reply; their waits are in the figures above");
  }
  return 0;
}

}  // namespace Tavix::Cli

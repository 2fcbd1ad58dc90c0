// The servo loop against tavix-sim: how evenly its ticks come and how many it misses,
// at 1 kHz for 30 s with and without real-time scheduling, on an idle machine and with
// a CPU hog on every core; at 4 kHz; and four arms at 1 kHz together. First, as the
// machine's floor, a thread set up alike that only sleeps to the same deadlines. Writes
// servo.json into the results directory (bench_servo.py turns it into the RESULTS.md
// section) and prints a table.
//
//   bench_servo <results-directory> [--seconds S]     S: the 30 s runs' length (default 30)
//
// For the real-time runs the simulator is put under SCHED_FIFO too (priority 70, below
// the loop's 80), as a device is hardware of its own that a busy host cannot slow down;
// the kernel's pseudo-terminal work still runs at normal priority. Where SCHED_FIFO is
// not permitted those runs are made anyway and say so.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "SimulatorProcess.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"

namespace {

using namespace Tavix::HardwareAPI;
using Servo::ServoLoop;
using Servo::ServoState;
using Tavix::Testing::SimulatorProcess;

constexpr int kSimulatorPriority = 70;
constexpr double kReplyTimeout = 0.05;  // s

struct Scenario {
  std::string name;
  double rate_hz;
  double seconds;
  bool realtime;
  bool hog;
  int arms;  ///< 0: no arm, the timer alone
};

struct Distribution {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
  std::size_t count = 0;
};

struct ArmResult {
  uint64_t cycles = 0, missed = 0, failures = 0;
  Distribution period_jitter, lateness, wake_latency, round_trip;
};

struct Result {
  Scenario scenario;
  bool realtime_granted = false;
  bool simulator_realtime = false;
  std::string realtime_note;
  std::vector<ArmResult> arms;
  double cpu_seconds = 0;  // of the whole process during the run
};

Distribution Distribute(std::vector<double> values) {
  Distribution d;
  d.count = values.size();
  if (values.empty()) return d;
  std::sort(values.begin(), values.end());
  const auto rank = [&](double fraction) {
    const auto r = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::max<std::size_t>(r, 1) - 1];
  };
  d.p50 = rank(0.50);
  d.p99 = rank(0.99);
  d.p999 = rank(0.999);
  d.max = values.back();
  return d;
}

// Figures of one arm's run, from its history (every tick) and counters.
ArmResult Analyse(const ServoLoop& loop, double period_s) {
  const std::vector<ServoState> history = loop.History();
  const Servo::ServoStats stats = loop.Stats();
  ArmResult result;
  result.cycles = stats.cycles;
  result.missed = stats.missed;
  result.failures = stats.failures;
  std::vector<double> jitter, lateness, wake, round_trip;
  for (std::size_t i = 0; i < history.size(); ++i) {
    const ServoState& tick = history[i];
    lateness.push_back(tick.lateness_us);
    round_trip.push_back(tick.round_trip_us);
    if (i == 0) continue;
    const ServoState& before = history[i - 1];
    if (tick.cycle == before.cycle + 1) jitter.push_back(std::abs((tick.time - before.time) - period_s) * 1e6);
    // The loop slept to this tick's deadline when the tick before ended ahead of it; a
    // tick that begins late because the one before ran long is not a late wake-up.
    const double before_ended = before.time + before.round_trip_us * 1e-6;
    if (before_ended < static_cast<double>(tick.cycle) * period_s) wake.push_back(tick.lateness_us);
  }
  result.period_jitter = Distribute(jitter);
  result.lateness = Distribute(lateness);
  result.wake_latency = Distribute(wake);
  result.round_trip = Distribute(round_trip);
  return result;
}

// One busy-looping process per core, at normal priority, until Stop.
class CpuHog {
 public:
  explicit CpuHog(bool on) {
    if (!on) return;
    const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    for (long i = 0; i < cores; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        for (volatile unsigned long spin = 0;; spin = spin + 1) {
        }
      }
      if (pid > 0) children_.push_back(pid);
    }
  }
  ~CpuHog() {
    for (const pid_t pid : children_) kill(pid, SIGKILL);
    for (const pid_t pid : children_) waitpid(pid, nullptr, 0);
  }
  CpuHog(const CpuHog&) = delete;
  CpuHog& operator=(const CpuHog&) = delete;

 private:
  std::vector<pid_t> children_;
};

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Rig {
  explicit Rig(const Scenario& scenario) : simulator({"arm"}), port(simulator.PortPath(), kReplyTimeout), arm(&port) {
    Servo::ServoSettings settings;
    settings.rate_hz = scenario.rate_hz;
    settings.realtime = scenario.realtime;
    settings.history_size = static_cast<std::size_t>(scenario.rate_hz * (scenario.seconds + 1.0));
    loop = std::make_unique<ServoLoop>(arm, settings);
    // A soft spring where the arm is, so that the loop computes and sends real forces.
    const Vector3 home = arm.EndEffectorForce({0.0f, 0.0f, 0.0f}).position;
    loop->Add(std::make_shared<Servo::Spring>(home, 50.0f, 1.0f));
  }
  SimulatorProcess simulator;
  IO::Port port;
  Devices::Morvek3 arm;
  std::unique_ptr<ServoLoop> loop;
};

// The machine's own floor: a thread set up as the loop's (timer slack 1 ns, SCHED_FIFO
// 80 when real time) that only sleeps to the same grid of deadlines, with no exchange.
ArmResult TimerAlone(const Scenario& scenario, bool& granted) {
  ArmResult result;
  std::thread timer([&] {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (scenario.realtime) {
      sched_param parameters{};
      parameters.sched_priority = 80;
      granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
    }
    const auto period = std::chrono::nanoseconds(std::llround(1e9 / scenario.rate_hz));
    const auto ticks = static_cast<std::size_t>(scenario.seconds * scenario.rate_hz);
    std::vector<double> lateness, jitter;
    lateness.reserve(ticks);
    jitter.reserve(ticks);
    const auto start = std::chrono::steady_clock::now();
    auto previous = start;
    for (std::size_t k = 1; k <= ticks; ++k) {
      const auto deadline = start + k * period;
      const auto ns = deadline.time_since_epoch().count();
      const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
      }
      const auto woke = std::chrono::steady_clock::now();
      lateness.push_back(std::chrono::duration<double, std::micro>(woke - deadline).count());
      if (k > 1) jitter.push_back(std::abs(std::chrono::duration<double, std::micro>(woke - previous - period).count()));
      previous = woke;
    }
    result.cycles = ticks;
    result.lateness = Distribute(lateness);
    result.wake_latency = result.lateness;
    result.period_jitter = Distribute(jitter);
  });
  timer.join();
  return result;
}

Result Run(const Scenario& scenario) {
  Result result;
  result.scenario = scenario;
  if (scenario.arms == 0) {
    const CpuHog hog(scenario.hog);
    result.arms.push_back(TimerAlone(scenario, result.realtime_granted));
    result.realtime_note = result.realtime_granted ? "SCHED_FIFO priority 80" : "";
    return result;
  }
  std::vector<std::unique_ptr<Rig>> rigs;
  for (int i = 0; i < scenario.arms; ++i) rigs.push_back(std::make_unique<Rig>(scenario));
  if (scenario.realtime) {
    sched_param parameters{};
    parameters.sched_priority = kSimulatorPriority;
    result.simulator_realtime = true;
    for (const auto& rig : rigs) {
      if (sched_setscheduler(rig->simulator.Pid(), SCHED_FIFO, &parameters) != 0) result.simulator_realtime = false;
    }
  }
  {
    const CpuHog hog(scenario.hog);
    const double cpu_start = ProcessCpuSeconds();
    for (const auto& rig : rigs) rig->loop->Start();
    std::this_thread::sleep_for(std::chrono::duration<double>(scenario.seconds));
    for (const auto& rig : rigs) rig->loop->Stop();
    result.cpu_seconds = ProcessCpuSeconds() - cpu_start;
  }
  const Servo::ServoStats stats = rigs.front()->loop->Stats();
  result.realtime_granted = stats.realtime;
  result.realtime_note = stats.realtime_note;
  for (const auto& rig : rigs) result.arms.push_back(Analyse(*rig->loop, 1.0 / scenario.rate_hz));
  return result;
}

// The cost of the snapshot reads from C++, while a loop runs: ns per call.
double StateCostNs() {
  Rig rig(Scenario{"", 1000.0, 1.0, false, false, 1});
  rig.loop->Start();
  constexpr int kCalls = 1000000;
  uint64_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    if (const auto state = rig.loop->State()) sink += state->cycle;
  }
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kCalls;
  rig.loop->Stop();
  return sink == 1 ? ns + 0.0 : ns;  // keeps the calls
}

std::string Json(const Distribution& d) {
  std::ostringstream out;
  out << "{\"p50\": " << d.p50 << ", \"p99\": " << d.p99 << ", \"p99.9\": " << d.p999 << ", \"max\": " << d.max
      << ", \"count\": " << d.count << "}";
  return out.str();
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void Write(const std::string& path, const std::vector<Result>& results, double state_ns, const double load[3]) {
  std::ofstream out(path);
  out << "{\n  \"cpp_state_ns\": " << state_ns << ",\n  \"cores\": " << sysconf(_SC_NPROCESSORS_ONLN)
      << ",\n  \"load_before\": [" << load[0] << ", " << load[1] << ", " << load[2] << "],\n  \"cases\": [\n";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    out << "    {\"name\": " << Quoted(r.scenario.name) << ", \"rate_hz\": " << r.scenario.rate_hz
        << ", \"seconds\": " << r.scenario.seconds << ", \"realtime\": " << (r.scenario.realtime ? "true" : "false")
        << ", \"hog\": " << (r.scenario.hog ? "true" : "false") << ", \"realtime_granted\": "
        << (r.realtime_granted ? "true" : "false")
        << ", \"simulator_realtime\": " << (r.simulator_realtime ? "true" : "false")
        << ", \"realtime_note\": " << Quoted(r.realtime_note) << ", \"cpu_seconds\": " << r.cpu_seconds
        << ", \"arms\": [";
    for (std::size_t a = 0; a < r.arms.size(); ++a) {
      const ArmResult& arm = r.arms[a];
      out << (a ? ", " : "") << "{\"cycles\": " << arm.cycles << ", \"missed\": " << arm.missed
          << ", \"failures\": " << arm.failures << ", \"period_jitter_us\": " << Json(arm.period_jitter)
          << ", \"lateness_us\": " << Json(arm.lateness) << ", \"wake_latency_us\": " << Json(arm.wake_latency)
          << ", \"round_trip_us\": " << Json(arm.round_trip) << "}";
    }
    out << "]}" << (i + 1 < results.size() ? "," : "") << "\n";
  }
  out << "  ]\n}\n";
}

void Print(const Result& r) {
  for (std::size_t a = 0; a < r.arms.size(); ++a) {
    const ArmResult& arm = r.arms[a];
    const double share = 100.0 * static_cast<double>(arm.missed) / static_cast<double>(arm.cycles + arm.missed);
    std::printf("%-40s arm %zu: %7llu ticks, %5llu missed (%.3f %%), %llu failed; period jitter p50 %.0f p99 %.0f "
                "p99.9 %.0f max %.0f us; wake p99.9 %.0f us; round trip p50 %.0f p99 %.0f us\n",
                r.scenario.name.c_str(), a, static_cast<unsigned long long>(arm.cycles),
                static_cast<unsigned long long>(arm.missed), share, static_cast<unsigned long long>(arm.failures),
                arm.period_jitter.p50, arm.period_jitter.p99, arm.period_jitter.p999, arm.period_jitter.max,
                arm.wake_latency.p999, arm.round_trip.p50, arm.round_trip.p99);
  }
  if (r.scenario.realtime && r.scenario.arms > 0) {
    std::printf("%-40s %s; simulator under SCHED_FIFO: %s\n", "", r.realtime_note.c_str(),
                r.simulator_realtime ? "yes" : "no");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--seconds") == 0)) {
    std::fprintf(stderr, "usage: bench_servo <results-directory> [--seconds S]\n");
    return 2;
  }
  const double long_run = argc == 4 ? std::atof(argv[3]) : 30.0;
  const double short_run = std::min(10.0, long_run);
  const std::vector<Scenario> scenarios{
      {"timer alone, 1 kHz, idle", 1000.0, short_run, false, false, 0},
      {"timer alone, 1 kHz, CPU hog", 1000.0, short_run, false, true, 0},
      {"timer alone, 1 kHz, real time, idle", 1000.0, short_run, true, false, 0},
      {"timer alone, 1 kHz, real time, CPU hog", 1000.0, short_run, true, true, 0},
      {"1 kHz, idle", 1000.0, long_run, false, false, 1},
      {"1 kHz, CPU hog on every core", 1000.0, long_run, false, true, 1},
      {"1 kHz, real time, idle", 1000.0, long_run, true, false, 1},
      {"1 kHz, real time, CPU hog", 1000.0, long_run, true, true, 1},
      {"4 kHz, idle", 4000.0, short_run, false, false, 1},
      {"4 kHz, real time, idle", 4000.0, short_run, true, false, 1},
      {"4 kHz, real time, CPU hog", 4000.0, short_run, true, true, 1},
      {"4 arms at 1 kHz, idle", 1000.0, short_run, false, false, 4},
      {"4 arms at 1 kHz, real time, idle", 1000.0, short_run, true, false, 4},
  };
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  try {
    std::vector<Result> results;
    for (const Scenario& scenario : scenarios) {
      results.push_back(Run(scenario));
      Print(results.back());
    }
    const double state_ns = StateCostNs();
    std::printf("ServoLoop::State() from C++: %.0f ns per call\n", state_ns);
    Write(std::string(argv[1]) + "/servo.json", results, state_ns, load);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_servo: %s\n", error.what());
    return 1;
  }
  return 0;
}

// The servo loop against the floor this machine sets, side by side on one simulated arm:
// the library's loop (`ServoLoop` rendering a soft spring); a minimal loop written with
// nothing but system calls on the same port (sleep to the deadline, write the force
// request, wait for the reply, read it); and a bare sleeper that only sleeps to the same
// deadlines. They take turns in rounds, so that all three meet the same machine. At 1
// and 4 kHz, idle and with a CPU hog on every core, with and without real-time
// scheduling; then the options that trade CPU for timing, each alone against the plain
// loop; then all of them at once, the minimal loop given the same. Writes servo.json into
// the results directory (bench_servo.py turns it into the RESULTS.md section) and prints
// a table.
//
//   bench_servo <results-directory> [--seconds S]
//
// S is each loop's time in the long runs (default 30); the short runs give each
// min(10, S), and the 1 kHz real-time run with every option 60 s, or S when it is given.
//
// In the real-time runs the loops run under SCHED_FIFO 80 with the memory locked, and the
// simulator with --realtime (SCHED_FIFO 70), as a device is hardware of its own that a
// busy host cannot slow down; the kernel's pseudo-terminal work still runs at normal
// priority. Where SCHED_FIFO is not permitted those runs are made anyway and say so.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ArmMessages.h"
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

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the minimal loop copies floats as the wire has them");

constexpr int64_t kSecond = 1000000000;
constexpr double kReplyTimeout = 0.05;  // s
constexpr int kLoopPriority = 80;
constexpr int kRounds = 5;
// Between two turns: the library's last zero force has its reply on the way.
constexpr std::chrono::milliseconds kSettle{20};
// The spring every loop renders, where the arm is.
constexpr float kStiffness = 50.0f;
constexpr float kDamping = 1.0f;

enum class Kind { Library, Minimal, Sleeper };

// What trades CPU for timing, as `ServoSettings` names it; the minimal loop and the
// sleeper take the same where it applies.
struct Options {
  double spin_us = 0.0;
  bool spin_reply = false;
  int cpu = -1;
  bool simulator_realtime = false;
  bool default_slack = false;  ///< leave the thread's timer slack at the kernel's 50 us
};

struct Contender {
  std::string name;
  Kind kind;
  Options options;
};

struct Scenario {
  std::string name;
  std::string group;  ///< "floor", "timer slack", "options" or "best"
  double rate_hz;
  double seconds;  ///< each contender's, over all the rounds
  bool realtime;
  bool hog;
  std::vector<Contender> contenders;
};

// One contender's ticks and time over all the rounds.
struct Tally {
  std::vector<double> lateness_us, round_trip_us;
  uint64_t missed = 0, failures = 0;
  double cpu_seconds = 0, wall_seconds = 0;
  bool realtime_granted = false;
  bool simulator_realtime = false;
  std::string note;
};

struct Distribution {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
  std::size_t count = 0;
};

struct Figures {
  std::size_t ticks = 0;
  uint64_t missed = 0, failures = 0;
  double cpu_share = 0;
  Distribution lateness, round_trip;
};

int64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

void SleepUntil(int64_t deadline) {
  const timespec at{static_cast<time_t>(deadline / kSecond), static_cast<long>(deadline % kSecond)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// This process's CPU time and the wall time over one turn. The simulator and the hog
// are processes of their own, outside it.
class Window {
 public:
  void AddTo(Tally& tally) const {
    tally.cpu_seconds += ProcessCpuSeconds() - cpu_start_;
    tally.wall_seconds += static_cast<double>(Now() - wall_start_) / kSecond;
  }

 private:
  double cpu_start_ = ProcessCpuSeconds();
  int64_t wall_start_ = Now();
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

Figures Summarise(const Tally& tally) {
  Figures figures;
  figures.ticks = tally.lateness_us.size();
  figures.missed = tally.missed;
  figures.failures = tally.failures;
  figures.cpu_share = tally.wall_seconds > 0 ? tally.cpu_seconds / tally.wall_seconds : 0.0;
  figures.lateness = Distribute(tally.lateness_us);
  figures.round_trip = Distribute(tally.round_trip_us);
  return figures;
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

// --- the library's loop ------------------------------------------------------------------

Servo::ServoSettings LoopSettings(const Scenario& scenario, const Options& options, double seconds) {
  Servo::ServoSettings settings;
  settings.rate_hz = scenario.rate_hz;
  settings.realtime = scenario.realtime;
  settings.history_size = static_cast<std::size_t>(scenario.rate_hz * (seconds + 1.0));
  settings.spin_us = options.spin_us;
  settings.spin_reply = options.spin_reply;
  settings.cpu = options.cpu;
  return settings;
}

// A turn of the library's loop on a port of its own, opened for the turn (a port is
// exclusive, and the minimal loop takes its turns on the same path).
void LibraryTurn(const Scenario& scenario, const Options& options, const std::string& path, double seconds,
                 Tally& tally) {
  IO::Port port(path, kReplyTimeout);
  Devices::Morvek3 arm(&port);
  ServoLoop loop(arm, LoopSettings(scenario, options, seconds));
  // A soft spring where the arm is, so that the loop computes and sends real forces.
  const Vector3 home = arm.EndEffectorForce({0.0f, 0.0f, 0.0f}).position;
  loop.Add(std::make_shared<Servo::Spring>(home, kStiffness, kDamping));
  loop.Start();  // returns once the loop's thread is set up
  const Window window;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  window.AddTo(tally);
  loop.Stop();
  for (const ServoState& tick : loop.History()) {
    tally.lateness_us.push_back(tick.lateness_us);
    tally.round_trip_us.push_back(tick.round_trip_us);
  }
  const Servo::ServoStats stats = loop.Stats();
  tally.missed += stats.missed;
  tally.failures += stats.failures;
  tally.realtime_granted = stats.realtime;
  tally.note = stats.realtime_note;
}

// --- the minimal loop and the sleeper ----------------------------------------------------

// The library locks the memory once per process, and so do these.
bool LockMemory() {
  static const bool locked = mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
  return locked;
}

// Sets the calling thread up as the library sets up its loop's: timer slack 1 ns (unless
// the kernel's default is what is measured), SCHED_FIFO 80 and the memory locked when real
// time, pinned when asked. Returns what was granted, worded as the library's note.
std::string SetUpThread(bool realtime, const Options& options, bool& granted) {
  std::string note;
  if (options.default_slack) {
    note = "timer slack " + std::to_string(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL) / 1000) + " us";
  } else {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  if (realtime) {
    sched_param parameters{};
    parameters.sched_priority = kLoopPriority;
    const int refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    granted = refused == 0;
    const std::string scheduling =
        granted ? "SCHED_FIFO priority 80" : std::string("SCHED_FIFO not permitted (") + std::strerror(refused) + ")";
    note += (note.empty() ? "" : "; ") + scheduling;
    note += LockMemory() ? "; memory locked" : "; memory not locked";
  }
  if (options.cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<std::size_t>(options.cpu), &set);
    const bool pinned = pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
    note += std::string(note.empty() ? "" : "; ") + (pinned ? "pinned to CPU " : "not pinned to CPU ") +
            std::to_string(options.cpu);
  }
  return note;
}

// Runs `work` on a thread of its own, so that its scheduling stays its own, and passes
// on what it throws.
void OnOwnThread(const std::function<void()>& work) {
  std::exception_ptr thrown;
  std::thread thread([&] {
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
  });
  thread.join();
  if (thrown) std::rethrow_exception(thrown);
}

// Sleeps to `deadline`; with `spin` (ns), sleeps to that long before it and spins the rest.
void WaitFor(int64_t deadline, int64_t spin) {
  SleepUntil(deadline - spin);
  while (spin > 0 && Now() < deadline) {
  }
}

// Moves `deadline` to the next slot. Slots that passed entirely meanwhile are skipped, as
// the library's loop skips them; returns how many.
uint64_t Advance(int64_t& deadline, int64_t period) {
  deadline += period;
  const int64_t now = Now();
  if (now < deadline + period) return 0;
  const int64_t passed = (now - deadline) / period;
  deadline += passed * period;
  return static_cast<uint64_t>(passed);
}

// Ticks on the grid start + k period for `seconds`, as the library's loop does: each tick
// waits for its deadline, runs `work` and moves to the next slot; skipped slots are
// counted missed when the next tick begins. `work` returns the tick's round trip in us,
// or a negative number when it exchanges nothing.
template <typename Work>
void Pace(double rate_hz, double spin_us, double seconds, Work&& work, Tally& tally) {
  const int64_t period = std::llround(static_cast<double>(kSecond) / rate_hz);
  const int64_t spin = std::llround(spin_us * 1000.0);
  // Room for every tick, written before the run, so that no tick faults a page in.
  const auto room = static_cast<std::size_t>(rate_hz * (seconds + 1.0));
  std::vector<double> lateness(room, 0.0), round_trip(room, -1.0);
  std::size_t ticks = 0;
  uint64_t skipped = 0;
  const Window window;
  const int64_t end = Now() + std::llround(seconds * static_cast<double>(kSecond));
  for (int64_t deadline = Now(); deadline < end && ticks < room;) {
    WaitFor(deadline, spin);
    const int64_t begin = Now();
    tally.missed += skipped;
    lateness[ticks] = static_cast<double>(begin - deadline) / 1000.0;
    round_trip[ticks++] = work();
    skipped = Advance(deadline, period);
  }
  window.AddTo(tally);
  tally.lateness_us.insert(tally.lateness_us.end(), lateness.begin(), lateness.begin() + static_cast<long>(ticks));
  std::copy_if(round_trip.begin(), round_trip.begin() + static_cast<long>(ticks),
               std::back_inserter(tally.round_trip_us), [](double us) { return us >= 0.0; });
}

// The minimal loop's side of the port: a descriptor of its own, raw at 115200 baud, and
// per tick one write(2), a wait (poll(2), after FIONREAD asked again and again for up to
// half a period when spinning, as the library's loop does) and read(2) until the whole
// reply is in.
class MinimalArm {
 public:
  MinimalArm(const std::string& path, int64_t spin_budget_ns) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("the minimal loop cannot open " + path + ": " + std::strerror(errno));
    termios line{};
    tcgetattr(fd_, &line);
    cfmakeraw(&line);
    cfsetispeed(&line, B115200);
    cfsetospeed(&line, B115200);
    tcsetattr(fd_, TCSANOW, &line);
    if (!FindHome()) {  // waiting as the library's first exchange does, made before its loop starts
      ::close(fd_);
      throw std::runtime_error("the minimal loop's first exchange on " + path + " failed");
    }
    spin_budget_ns_ = spin_budget_ns;
  }
  ~MinimalArm() { ::close(fd_); }
  MinimalArm(const MinimalArm&) = delete;
  MinimalArm& operator=(const MinimalArm&) = delete;

  // One tick: the spring's force from the last good reply out, the reply in. Returns the
  // round trip in us.
  double Exchange() {
    std::array<float, 3> force{};
    for (int i = 0; i < 3; ++i) force[i] = kStiffness * (home_[i] - position_[i]) - kDamping * velocity_[i];
    if (stale_) Flush();
    const int64_t sent = Now();
    const bool ok = Send(force) && Receive(sent + std::llround(kReplyTimeout * kSecond));
    const int64_t received = Now();
    if (ok) {
      Decode();
    } else {
      ++failures_;
      stale_ = true;  // what comes late belongs to this tick, not the next
    }
    return static_cast<double>(received - sent) / 1000.0;
  }

  uint64_t Failures() const { return failures_; }

 private:
  // The spring's centre is where the arm is. A reply the library's last zero force left
  // on its way is not ours: dropped first, and the exchange tried again if it was late.
  bool FindHome() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      Flush();
      if (Send({0.0f, 0.0f, 0.0f}) && Receive(Now() + std::llround(kReplyTimeout * kSecond))) {
        Decode();
        home_ = position_;
        return true;
      }
    }
    return false;
  }

  void Flush() {
    tcflush(fd_, TCIFLUSH);
    stale_ = false;
  }

  bool Send(const std::array<float, 3>& force) {
    std::array<uint8_t, Tavix::Bench::kForceRequestLength> request{Tavix::Bench::kForceCode};
    std::memcpy(request.data() + 1, force.data(), sizeof force);
    return ::write(fd_, request.data(), request.size()) == static_cast<ssize_t>(request.size());
  }

  bool Receive(int64_t give_up) {
    std::size_t got = 0;
    while (got < reply_.size()) {
      if (!WaitForBytes(reply_.size() - got, give_up)) return false;
      const ssize_t n = ::read(fd_, reply_.data() + got, reply_.size() - got);
      if (n > 0) got += static_cast<std::size_t>(n);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return false;
    }
    return reply_[0] == Tavix::Bench::kEndEffectorStateCode;
  }

  bool WaitForBytes(std::size_t count, int64_t give_up) const {
    const int64_t stop_spinning = std::min(give_up, Now() + spin_budget_ns_);
    for (int queued = 0; Now() < stop_spinning;) {
      if (ioctl(fd_, FIONREAD, &queued) != 0) return false;
      if (queued >= static_cast<int>(count)) return true;
    }
    for (;;) {
      const int64_t left = give_up - Now();
      if (left <= 0) return false;
      pollfd watch{fd_, POLLIN, 0};
      const int ready = poll(&watch, 1, static_cast<int>((left + 999999) / 1000000));
      if (ready > 0) return (watch.revents & POLLIN) != 0;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  // Position then velocity, three floats each, after the header.
  void Decode() {
    std::memcpy(position_.data(), reply_.data() + 1, sizeof position_);
    std::memcpy(velocity_.data(), reply_.data() + 1 + sizeof position_, sizeof velocity_);
  }

  int fd_;
  int64_t spin_budget_ns_ = 0;
  std::array<uint8_t, Tavix::Bench::kStateReplyLength> reply_{};
  std::array<float, 3> home_{}, position_{}, velocity_{};
  bool stale_ = false;
  uint64_t failures_ = 0;
};

void MinimalTurn(const Scenario& scenario, const Options& options, const std::string& path, double seconds,
                 Tally& tally) {
  OnOwnThread([&] {
    // Opened before the thread is set up, as the library's port is opened by its caller.
    const int64_t half_period = std::llround(0.5 * kSecond / scenario.rate_hz);
    MinimalArm arm(path, options.spin_reply ? half_period : 0);
    tally.note = SetUpThread(scenario.realtime, options, tally.realtime_granted);
    Pace(scenario.rate_hz, options.spin_us, seconds, [&arm] { return arm.Exchange(); }, tally);
    tally.failures += arm.Failures();
  });
}

void SleeperTurn(const Scenario& scenario, const Options& options, double seconds, Tally& tally) {
  OnOwnThread([&] {
    tally.note = SetUpThread(scenario.realtime, options, tally.realtime_granted);
    Pace(scenario.rate_hz, options.spin_us, seconds, [] { return -1.0; }, tally);
  });
}

// --- the runs ------------------------------------------------------------------------------

void Turn(const Scenario& scenario, const Contender& contender, const std::string& path, double seconds,
          Tally& tally) {
  switch (contender.kind) {
    case Kind::Library:
      LibraryTurn(scenario, contender.options, path, seconds, tally);
      break;
    case Kind::Minimal:
      MinimalTurn(scenario, contender.options, path, seconds, tally);
      break;
    case Kind::Sleeper:
      SleeperTurn(scenario, contender.options, seconds, tally);
      break;
  }
}

bool UnderFifo(pid_t pid) { return sched_getscheduler(pid) == SCHED_FIFO; }

// The contenders take turns: kRounds rounds, each giving every contender an equal share
// of its time, so that a change in the machine's load touches all of them alike. One
// simulator serves every contender that wants it with --realtime, another the others.
std::vector<Tally> Run(const Scenario& scenario) {
  std::map<bool, std::unique_ptr<SimulatorProcess>> simulators;
  for (const Contender& contender : scenario.contenders) {
    const bool realtime = contender.options.simulator_realtime;
    if (contender.kind == Kind::Sleeper || simulators.count(realtime)) continue;
    simulators[realtime] = std::make_unique<SimulatorProcess>(
        realtime ? std::vector<std::string>{"arm", "--realtime"} : std::vector<std::string>{"arm"});
  }
  const auto path = [&](const Contender& c) {
    return c.kind == Kind::Sleeper ? std::string() : simulators.at(c.options.simulator_realtime)->PortPath();
  };
  std::vector<Tally> tallies(scenario.contenders.size());
  for (std::size_t i = 0; i < tallies.size(); ++i) {
    const Contender& contender = scenario.contenders[i];
    tallies[i].lateness_us.reserve(static_cast<std::size_t>(scenario.rate_hz * (scenario.seconds + 1.0)));
    tallies[i].round_trip_us.reserve(tallies[i].lateness_us.capacity());
    tallies[i].simulator_realtime =
        contender.kind != Kind::Sleeper && UnderFifo(simulators.at(contender.options.simulator_realtime)->Pid());
  }
  const CpuHog hog(scenario.hog);
  const double turn = scenario.seconds / kRounds;
  const std::size_t count = scenario.contenders.size();
  for (std::size_t round = 0; round < static_cast<std::size_t>(kRounds); ++round) {
    // Each round begins with the next contender, so that none always follows the same one.
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = (round + k) % count;
      Turn(scenario, scenario.contenders[i], path(scenario.contenders[i]), turn, tallies[i]);
      std::this_thread::sleep_for(kSettle);
    }
  }
  return tallies;
}

// The cost of the snapshot reads from C++, while a loop runs: ns per call.
double StateCostNs() {
  const SimulatorProcess simulator({"arm"});
  IO::Port port(simulator.PortPath(), kReplyTimeout);
  Devices::Morvek3 arm(&port);
  ServoLoop loop(arm, Servo::ServoSettings{});
  loop.Start();
  constexpr int kCalls = 1000000;
  uint64_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    if (const auto state = loop.State()) sink += state->cycle;
  }
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kCalls;
  loop.Stop();
  return sink == 1 ? ns + 0.0 : ns;  // keeps the calls
}

// --- what is run ---------------------------------------------------------------------------

// The CPU the pinned runs use: the second, where there is one.
int LoopCpu() { return sysconf(_SC_NPROCESSORS_CONF) > 1 ? 1 : 0; }

// Spinning before each deadline: a tenth of the period at 1 kHz, a fifth at 4 kHz.
double SpinUs(double rate_hz) { return rate_hz > 1000.0 ? 50.0 : 100.0; }

Options Every(double rate_hz) { return Options{SpinUs(rate_hz), true, LoopCpu(), true, false}; }

std::string CaseName(double rate_hz, bool realtime, bool hog) {
  std::ostringstream name;
  name << rate_hz / 1000.0 << " kHz" << (realtime ? ", real time" : "") << (hog ? ", CPU hog" : ", idle");
  return name.str();
}

Scenario Floor(double rate_hz, double seconds, bool realtime, bool hog) {
  Options plain;
  plain.simulator_realtime = realtime;
  return {CaseName(rate_hz, realtime, hog), "floor", rate_hz, seconds, realtime, hog,
          {{"library", Kind::Library, plain},
           {"minimal loop", Kind::Minimal, plain},
           {"sleeper", Kind::Sleeper, plain}}};
}

// The sleeper with the timer slack threads get by default (50 us) beside the 1 ns the
// library sets; without real time, as a SCHED_FIFO thread has no slack.
Scenario TimerSlack(double rate_hz, double seconds) {
  Options slack;
  slack.default_slack = true;
  return {"timer slack, " + CaseName(rate_hz, false, false), "timer slack", rate_hz, seconds, false, false,
          {{"sleeper, slack 1 ns", Kind::Sleeper, {}}, {"sleeper, default slack", Kind::Sleeper, slack}}};
}

// Each option alone on the library's real-time loop, beside the plain one.
Scenario OptionsAlone(double rate_hz, double seconds, bool hog) {
  std::vector<Contender> contenders{{"library", Kind::Library, {}}};
  Options option;
  option.spin_us = SpinUs(rate_hz);
  contenders.push_back({"library, spin_us " + std::to_string(std::lround(option.spin_us)), Kind::Library, option});
  option = {};
  option.spin_reply = true;
  contenders.push_back({"library, spin_reply", Kind::Library, option});
  option = {};
  option.cpu = LoopCpu();
  contenders.push_back({"library, cpu " + std::to_string(option.cpu), Kind::Library, option});
  option = {};
  option.simulator_realtime = true;
  contenders.push_back({"library, simulator --realtime", Kind::Library, option});
  return {"options, " + CaseName(rate_hz, true, hog), "options", rate_hz, seconds, true, hog, contenders};
}

Scenario Best(double rate_hz, double seconds, bool hog) {
  return {"every option, " + CaseName(rate_hz, true, hog), "best", rate_hz, seconds, true, hog,
          {{"library", Kind::Library, Every(rate_hz)}, {"minimal loop", Kind::Minimal, Every(rate_hz)}}};
}

std::vector<Scenario> Scenarios(double long_run, double short_run, double target_run) {
  std::vector<Scenario> all;
  for (const bool realtime : {false, true}) {
    for (const bool hog : {false, true}) all.push_back(Floor(1000.0, long_run, realtime, hog));
  }
  for (const bool realtime : {false, true}) {
    for (const bool hog : {false, true}) all.push_back(Floor(4000.0, short_run, realtime, hog));
  }
  for (const double rate : {1000.0, 4000.0}) all.push_back(TimerSlack(rate, short_run));
  all.push_back(OptionsAlone(1000.0, short_run, false));
  all.push_back(OptionsAlone(4000.0, short_run, false));
  all.push_back(OptionsAlone(1000.0, short_run, true));
  all.push_back(Best(1000.0, target_run, false));
  all.push_back(Best(1000.0, long_run, true));
  all.push_back(Best(4000.0, short_run, false));
  all.push_back(Best(4000.0, short_run, true));
  return all;
}

// --- output --------------------------------------------------------------------------------

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Library:
      return "library";
    case Kind::Minimal:
      return "minimal";
    case Kind::Sleeper:
      return "sleeper";
  }
  return "";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

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

std::string Json(const Contender& c, const Tally& t, const Figures& f) {
  std::ostringstream out;
  out << "{\"name\": " << Quoted(c.name) << ", \"kind\": \"" << KindName(c.kind) << "\", \"spin_us\": "
      << c.options.spin_us << ", \"spin_reply\": " << Bool(c.options.spin_reply) << ", \"cpu\": " << c.options.cpu
      << ", \"simulator_realtime_asked\": " << Bool(c.options.simulator_realtime)
      << ", \"timer_slack\": " << (c.options.default_slack ? "\"default\"" : "\"1 ns\"") << ", \"ticks\": " << f.ticks
      << ", \"missed\": " << f.missed << ", \"failures\": " << f.failures << ", \"cpu_seconds\": " << t.cpu_seconds
      << ", \"wall_seconds\": " << t.wall_seconds << ", \"cpu_share\": " << f.cpu_share
      << ", \"realtime_granted\": " << Bool(t.realtime_granted)
      << ", \"simulator_realtime\": " << Bool(t.simulator_realtime) << ", \"note\": " << Quoted(t.note)
      << ", \"lateness_us\": " << Json(f.lateness) << ", \"round_trip_us\": " << Json(f.round_trip) << "}";
  return out.str();
}

std::string Json(const Scenario& s, const std::vector<std::string>& contenders) {
  std::ostringstream out;
  out << "    {\"name\": " << Quoted(s.name) << ", \"group\": " << Quoted(s.group) << ", \"rate_hz\": " << s.rate_hz
      << ", \"seconds\": " << s.seconds << ", \"rounds\": " << kRounds << ", \"realtime\": " << Bool(s.realtime)
      << ", \"hog\": " << Bool(s.hog) << ", \"contenders\": [\n";
  for (std::size_t i = 0; i < contenders.size(); ++i) {
    out << "      " << contenders[i] << (i + 1 < contenders.size() ? "," : "") << "\n";
  }
  out << "    ]}";
  return out.str();
}

void Write(const std::string& path, const std::vector<std::string>& scenarios, double state_ns, const double load[3]) {
  std::ofstream out(path);
  out << "{\n  \"cpp_state_ns\": " << state_ns << ",\n  \"cores\": " << sysconf(_SC_NPROCESSORS_ONLN)
      << ",\n  \"load_before\": [" << load[0] << ", " << load[1] << ", " << load[2] << "],\n  \"scenarios\": [\n";
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    out << scenarios[i] << (i + 1 < scenarios.size() ? "," : "") << "\n";
  }
  out << "  ]\n}\n";
  if (!out) throw std::runtime_error("cannot write " + path);
}

void Print(const Scenario& s, const std::vector<Tally>& tallies, const std::vector<Figures>& figures) {
  std::printf("%s: %g s each, %d rounds\n", s.name.c_str(), s.seconds, kRounds);
  std::printf("  %-30s %7s %16s %6s  %-26s %-20s %6s\n", "", "ticks", "missed", "failed",
              "lateness p50/p99/p99.9/max", "round trip p50/p99/p99.9", "CPU");
  for (std::size_t i = 0; i < figures.size(); ++i) {
    const Figures& f = figures[i];
    const auto slots = std::max<uint64_t>(1, f.ticks + f.missed);
    const double share = 100.0 * static_cast<double>(f.missed) / static_cast<double>(slots);
    char missed[32], lateness[64], round_trip[48] = "-";
    std::snprintf(missed, sizeof missed, "%llu (%.3f %%)", static_cast<unsigned long long>(f.missed), share);
    std::snprintf(lateness, sizeof lateness, "%.0f / %.0f / %.0f / %.0f", f.lateness.p50, f.lateness.p99,
                  f.lateness.p999, f.lateness.max);
    if (f.round_trip.count > 0) {
      std::snprintf(round_trip, sizeof round_trip, "%.0f / %.0f / %.0f", f.round_trip.p50, f.round_trip.p99,
                    f.round_trip.p999);
    }
    std::string note = tallies[i].note;
    if (tallies[i].simulator_realtime) note += std::string(note.empty() ? "" : "; ") + "simulator under SCHED_FIFO";
    std::printf("  %-30s %7zu %16s %6llu  %-26s %-20s %5.1f%%  %s\n", s.contenders[i].name.c_str(), f.ticks, missed,
                static_cast<unsigned long long>(f.failures), lateness, round_trip, 100.0 * f.cpu_share, note.c_str());
  }
  std::fflush(stdout);
}

// Runs `scenario`, prints it, and returns it as JSON.
std::string Measure(const Scenario& scenario) {
  const std::vector<Tally> tallies = Run(scenario);
  std::vector<Figures> figures;
  std::vector<std::string> contenders;
  for (std::size_t i = 0; i < tallies.size(); ++i) {
    figures.push_back(Summarise(tallies[i]));
    contenders.push_back(Json(scenario.contenders[i], tallies[i], figures.back()));
  }
  Print(scenario, tallies, figures);
  return Json(scenario, contenders);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--seconds") == 0)) {
    std::fprintf(stderr, "usage: bench_servo <results-directory> [--seconds S]\n");
    return 2;
  }
  const double long_run = argc == 4 ? std::atof(argv[3]) : 30.0;
  const double target_run = argc == 4 ? long_run : 60.0;
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  try {
    std::vector<std::string> results;
    for (const Scenario& scenario : Scenarios(long_run, std::min(10.0, long_run), target_run)) {
      results.push_back(Measure(scenario));
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

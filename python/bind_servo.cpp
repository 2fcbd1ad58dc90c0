#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <memory>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "DeviceErrors.h"
#include "LogRouting.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"
#include "Tavix/HardwareAPI/Servo/TickReader.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using Servo::Effect;
using Servo::ServoLoop;
using Servo::ServoSettings;
using Servo::ServoState;
using Servo::ServoStats;
using Servo::TickReader;

constexpr const char* kServoLoopDoc =
    "A native thread that drives one Morvek3 at a fixed rate: one force exchange per tick, "
    "on a grid of absolute deadlines; a tick whose slot passed while the one before ran is "
    "skipped and counted, never made up. Each tick sends the sum of the effects added "
    "(Spring, Damper, Wall, ConstantForce), computed in C++; Python sets their parameters "
    "and reads snapshots (state, stats, history) and never runs on the loop's thread.\n\n"
    "Safety, always on: a force is clamped to `max_force` newtons keeping its direction; a "
    "force that is not finite becomes zero; forces ramp in over the first 0.1 s; a failed "
    "exchange makes the next force zero; the loop stops after `max_failures` failed "
    "exchanges in a row, or at once when the port fails, and then `error` holds the "
    "DeviceError; on stopping it sends one zero force if the port still works.\n\n"
    "The arm must be on a Port (TypeError otherwise) that has a time-out (ValueError "
    "otherwise): an exchange waits up to it, so set it to tens of periods (port.timeout = "
    "0.05 at 1 kHz holds on a loaded machine). From start() until it has stopped the loop owns the arm (every Morvek3 on its "
    "port): any call on the arm raises RuntimeError at once, sending nothing, and so do "
    "port.close() and port.reset_input_buffer(); another loop on the same arm does not start "
    "(RuntimeError). "
    "At the interpreter's exit every loop still running is stopped, with its zero force.";

constexpr const char* kStateDoc =
    "One tick of a ServoLoop: the force sent, the arm's reply and when. `position` (m), "
    "`velocity` (m/s) and `force` (N, the force actually sent) are lists of 3; `time` is "
    "when the tick began, in seconds since the start; `cycle` the tick's number on the "
    "loop's grid (a missed tick leaves a gap); `round_trip_us` the exchange's duration and "
    "`lateness_us` how late after its deadline the tick began, in microseconds; `ok` False "
    "when the exchange failed (then position and velocity are the last that came).";

// The fields of history()'s rows, in order, and their numpy formats.
struct Field {
  const char* name;
  const char* format;
  std::size_t offset;
};
const Field kFields[] = {
    {"cycle", "<u8", offsetof(ServoState, cycle)},
    {"time", "<f8", offsetof(ServoState, time)},
    {"position", "(3,)<f4", offsetof(ServoState, position)},
    {"velocity", "(3,)<f4", offsetof(ServoState, velocity)},
    {"force", "(3,)<f4", offsetof(ServoState, force)},
    {"round_trip_us", "<f4", offsetof(ServoState, round_trip_us)},
    {"lateness_us", "<f4", offsetof(ServoState, lateness_us)},
    {"ok", "?", offsetof(ServoState, ok)},
};

// Every ServoLoop that Python made and has not freed, so that the interpreter's exit can
// stop those still running (a loop referenced from a daemon thread, or from a cycle, is
// never freed, and its force would stay on). The loops' threads never take this lock;
// it is held while a loop starts or is stopped at exit, and never while the interpreter
// lock is waited for.
struct LiveLoops {
  std::mutex mutex;
  std::vector<ServoLoop*> loops;
  bool exiting = false;  // no loop starts once the exit has stopped them
};

// Never destroyed: the exit hook may run late.
LiveLoops& Live() {
  static LiveLoops* const live = new LiveLoops;
  return *live;
}

// The holder's deleter: the loop leaves the registry, then its destructor stops it.
struct ForgetLoop {
  void operator()(ServoLoop* loop) const noexcept {
    {
      LiveLoops& live = Live();
      const std::lock_guard<std::mutex> hold(live.mutex);
      live.loops.erase(std::remove(live.loops.begin(), live.loops.end(), loop), live.loops.end());
    }
    delete loop;
  }
};
using LoopHolder = std::unique_ptr<ServoLoop, ForgetLoop>;

// The interpreter's exit: stops every loop still running, each with its last zero force.
// Registered with atexit, so it runs before the interpreter tears itself down, while a
// daemon thread may still hold a loop.
void StopLiveLoops() {
  py::gil_scoped_release release;
  LiveLoops& live = Live();
  const std::lock_guard<std::mutex> hold(live.mutex);
  live.exiting = true;
  for (ServoLoop* loop : live.loops) {
    try {
      loop->Stop();
    } catch (...) {
      // Stop throws only when its lock or join fails; the next loop is stopped all the same.
    }
  }
}

// start() and __enter__, without the interpreter lock: refused once the exit has stopped
// the loops, so that none starts after it (from a daemon thread).
void StartLoop(ServoLoop& loop) {
  LiveLoops& live = Live();
  const std::lock_guard<std::mutex> hold(live.mutex);
  if (live.exiting) throw std::logic_error("the interpreter is exiting: no servo loop starts now");
  loop.Start();
}

// A max_force above the arm's rating is taken, and said with a UserWarning pointing at
// the caller's line, once per loop made (the library logs its own line too, through its
// log path). A filter that turns the warning into an error drops the loop just made.
void WarnIfAboveRating(float max_force, float rated_peak_force) {
  if (!(max_force > rated_peak_force)) return;
  const py::str text = py::str(
                           "ServoLoop: max_force {:g} N is above the arm's rated peak force of {:g} N "
                           "(rated_peak_force); forces up to {:g} N will be sent")
                           .format(max_force, rated_peak_force, max_force);
  if (PyErr_WarnEx(PyExc_UserWarning, text.cast<std::string>().c_str(), 1) != 0) throw py::error_already_set();
}

// The constructor refuses an arm that is not on a Port (std::invalid_argument, before it
// looks at the settings); Python callers get that refusal as a TypeError with a hint, and
// a setting's, or a port without a time-out, as the ValueError pybind11 makes of
// std::invalid_argument.
LoopHolder NewLoop(Devices::Morvek3& arm, double rate_hz, float max_force, bool realtime, int max_failures,
                   std::optional<std::size_t> history_size, float rated_peak_force, bool passivity,
                   float device_damping, double spin_us, bool spin_reply, std::optional<int> cpu) {
  const QueuedLogLines log_lines;
  ServoSettings settings;
  settings.rate_hz = rate_hz;
  settings.max_force = max_force;
  settings.rated_peak_force = rated_peak_force;
  settings.realtime = realtime;
  settings.max_failures = max_failures;
  settings.passivity = passivity;
  settings.device_damping = device_damping;
  settings.spin_us = spin_us;
  settings.spin_reply = spin_reply;
  settings.cpu = cpu ? *cpu : -1;
  if (cpu && *cpu < 0) throw py::value_error("cpu must be a CPU number, 0 or more, or None for any CPU");
  if (history_size) {
    if (*history_size == 0) throw py::value_error("history_size must be at least 1, or None for 10 s worth");
    settings.history_size = *history_size;
  }
  LoopHolder loop;
  try {
    loop.reset(new ServoLoop(arm, settings));
  } catch (const std::invalid_argument&) {
    if (dynamic_cast<const IO::Port*>(arm.stream) != nullptr) throw;
    throw py::type_error(
        "ServoLoop needs a Morvek3 on a Port, which reports each failed exchange and gives up "
        "after its time-out: build the arm as Morvek3(Port(path, timeout=0.05))");
  }
  {
    LiveLoops& live = Live();
    const std::lock_guard<std::mutex> hold(live.mutex);
    live.loops.push_back(loop.get());
  }
  WarnIfAboveRating(settings.max_force, settings.rated_peak_force);
  return loop;
}

// A loop's arm is on a Port: its constructor refused any other.
const IO::Port& PortOf(const ServoLoop& loop) { return static_cast<const IO::Port&>(*loop.Arm().stream); }

py::dict PercentilesDict(const ServoStats::Percentiles& percentiles) {
  py::dict dict;
  dict["p50"] = percentiles.p50;
  dict["p99"] = percentiles.p99;
  dict["p99.9"] = percentiles.p999;
  dict["max"] = percentiles.max;
  return dict;
}

py::dict StatsDict(const ServoLoop& loop) {
  const ServoStats stats = loop.Stats();
  py::dict dict;
  dict["cycles"] = stats.cycles;
  dict["missed"] = stats.missed;
  dict["failures"] = stats.failures;
  dict["clamped"] = stats.clamped;
  dict["non_finite"] = stats.non_finite;
  dict["log_lines_dropped"] = stats.log_lines_dropped;
  dict["passivity_energy"] = stats.passivity_energy;
  dict["passivity_acted"] = stats.passivity_acted;
  dict["passivity_dissipated"] = stats.passivity_dissipated;
  dict["realtime"] = stats.realtime;
  dict["memory_locked"] = stats.memory_locked;
  dict["realtime_note"] = stats.realtime_note;
  dict["period_jitter_us"] = PercentilesDict(stats.period_jitter_us);
  dict["lateness_us"] = PercentilesDict(stats.lateness_us);
  dict["round_trip_us"] = PercentilesDict(stats.round_trip_us);
  return dict;
}

py::object NumpyHistory(const py::module_& numpy, const std::vector<ServoState>& states) {
  py::list names, formats, offsets;
  for (const Field& field : kFields) {
    names.append(field.name);
    formats.append(field.format);
    offsets.append(field.offset);
  }
  py::dict description;
  description["names"] = names;
  description["formats"] = formats;
  description["offsets"] = offsets;
  description["itemsize"] = sizeof(ServoState);
  const py::object dtype = numpy.attr("dtype")(description);
  const py::bytearray rows(reinterpret_cast<const char*>(states.data()), states.size() * sizeof(ServoState));
  return numpy.attr("frombuffer")(rows, dtype);
}

py::list TupleHistory(const std::vector<ServoState>& states) {
  py::list rows(states.size());
  for (std::size_t i = 0; i < states.size(); ++i) {
    const ServoState& s = states[i];
    rows[i] = py::make_tuple(s.cycle, s.time, s.position, s.velocity, s.force, s.round_trip_us, s.lateness_us, s.ok);
  }
  return rows;
}

// Ticks as history() gives them: a numpy structured array, or tuples without numpy.
py::object Rows(const std::vector<ServoState>& states) {
  py::module_ numpy;
  try {
    numpy = py::module_::import("numpy");
  } catch (py::error_already_set& missing) {
    if (!missing.matches(PyExc_ImportError)) throw;
    return TupleHistory(states);
  }
  return NumpyHistory(numpy, states);
}

py::object History(const ServoLoop& loop) {
  std::vector<ServoState> states;
  {
    py::gil_scoped_release release;
    states = loop.History();
  }
  return Rows(states);
}

// The exception instance for the outcome that stopped the loop, as a device method on
// the arm's port would raise it, with the ticks that led up to it.
py::object ErrorOf(const ServoLoop& loop) {
  const std::error_code error = loop.Error();
  if (!error) return py::none();
  const IO::Port& port = PortOf(loop);
  try {
    RaiseDeviceError(error, "ServoLoop", port.PortPath(), port.Timeout());
  } catch (py::error_already_set& raised) {
    py::object value = raised.value();
    value.attr("history") = Rows(loop.ErrorHistory());
    return value;
  }
  return py::none();
}

// Waits with the lock released, in slices, so that Ctrl-C is heard.
bool Wait(const ServoLoop& loop, std::optional<double> timeout) {
  if (timeout && !(*timeout >= 0.0)) throw py::value_error("timeout must be 0 or more seconds, or None");
  const auto slice = std::chrono::milliseconds(50);
  const auto until = timeout ? std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                                        std::chrono::duration<double>(*timeout))
                             : std::chrono::steady_clock::time_point::max();
  for (;;) {
    const auto left = until - std::chrono::steady_clock::now();
    bool stopped = false;
    {
      py::gil_scoped_release release;
      stopped = loop.WaitFor(std::min<std::chrono::nanoseconds>(slice, std::max(left, std::chrono::nanoseconds(0))));
    }
    if (stopped) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

void BindState(py::module_& module) {
  py::class_<ServoState>(module, "ServoState", kStateDoc)
      .def_property_readonly("position", [](const ServoState& s) { return s.position; })
      .def_property_readonly("velocity", [](const ServoState& s) { return s.velocity; })
      .def_property_readonly("force", [](const ServoState& s) { return s.force; })
      .def_readonly("time", &ServoState::time)
      .def_readonly("cycle", &ServoState::cycle)
      .def_readonly("round_trip_us", &ServoState::round_trip_us)
      .def_readonly("lateness_us", &ServoState::lateness_us)
      .def_readonly("ok", &ServoState::ok)
      .def("__repr__", [](const ServoState& s) {
        return py::str("<ServoState cycle={} time={:.6f} position={} velocity={} force={} ok={}>")
            .format(s.cycle, s.time, py::cast(s.position), py::cast(s.velocity), py::cast(s.force), s.ok);
      });
}

void BindLoop(py::module_& module) {
  using Released = py::call_guard<QueuedLogLines, py::gil_scoped_release>;
  py::class_<ServoLoop, LoopHolder>(module, "ServoLoop", kServoLoopDoc)
      .def(py::init(&NewLoop), py::arg("arm"), py::arg("rate_hz") = 1000.0, py::arg("max_force") = 5.0f,
           py::arg("realtime") = false, py::arg("max_failures") = 10, py::arg("history_size") = py::none(),
           py::arg("rated_peak_force") = ServoSettings::kRatedPeakForce, py::arg("passivity") = false,
           py::arg("device_damping") = ServoSettings::kDeviceDamping, py::arg("spin_us") = 0.0,
           py::arg("spin_reply") = false, py::arg("cpu") = py::none(), py::keep_alive<1, 2>(),
           "A loop for `arm` (a Morvek3 on a Port), not started: `rate_hz` ticks a second (1 to "
           "10000), forces clamped to `max_force` newtons, at most `max_failures` failed exchanges "
           "in a row, the last `history_size` ticks kept (None: 10 s worth). `realtime` asks for "
           "SCHED_FIFO and locked memory; where not permitted the loop runs without, and "
           "stats()['realtime_note'] says why. `max_force` is any finite number above 0 "
           "(ValueError otherwise); one above `rated_peak_force` (the arm's rated peak force, "
           "10 N by default) is taken, with a UserWarning, one per loop made. `passivity` turns on "
           "passivity control: damping added whenever the force would give the hand back more "
           "energy than it put in. `device_damping` is the arm's own damping in N s/m (finite, 0 or "
           "more; 1.0 by default), which bounds the stiffness it renders passively "
           "(stable_stiffness()). Three options trade CPU for timing, all off by default: `spin_us` "
           "(0 to one period) sleeps to that many microseconds before each deadline and spins the "
           "rest; `spin_reply` waits for each reply by polling the port without sleeping; `cpu` pins "
           "the loop's thread to that CPU (stats()['realtime_note'] says whether it was).")
      .def("start", &StartLoop, Released(),
           "Start the loop's thread, which owns the arm until the loop stops (a call on the arm under "
          "way in another thread is waited for). Resets the counters, the history, the error and the ramp. "
           "RuntimeError if it is running (of two calls at once, one starts it) or if another loop "
           "drives the arm; ValueError if the port has no time-out.")
      .def("stop", &ServoLoop::Stop, Released(),
           "Stop the loop and wait for its thread: within the port's time-out if an exchange is in "
           "progress. Sends one zero force unless the port failed. Does nothing if not running. Any "
           "number of threads may call it at once; each returns once the loop has stopped. At the "
           "interpreter's exit every loop still running is stopped so.")
      .def("wait", &Wait, py::arg("timeout") = py::none(),
           "Wait until the loop has stopped by itself (or been stopped), for at most `timeout` "
           "seconds (None: no limit); return True if it has.")
      .def_property_readonly("running", &ServoLoop::Running,
                             "True from start() until the loop stops, by stop() or by itself.")
      .def_property_readonly("error", &ErrorOf,
                             "None, or the DeviceError (DeviceTimeoutError, PortError, ProtocolError) "
                             "that stopped the loop by itself; its `history` holds the last 100 ticks "
                             "before it, in the rows of history().")
      .def(
          "record",
          [](const py::object& self, const py::object& path, const py::kwargs& options) {
            return py::module_::import("tavix.recording").attr("Recorder")(self, path, **options);
          },
          py::arg("path"),
          "Record every tick from now on to the MCAP file `path` (tavix.recording.Recorder, which "
          "takes the keyword arguments): returns the recorder, also a context manager; close() "
          "ends the file. Needs the `record` extra.")
      .def(
          "add",
          [](ServoLoop& loop, const std::shared_ptr<Effect>& effect) {
            py::gil_scoped_release release;
            loop.Add(effect);
          },
          py::arg("effect"), "Add an effect, from the next tick on; adding one that is there does nothing.")
      .def(
          "remove",
          [](ServoLoop& loop, const std::shared_ptr<Effect>& effect) {
            bool removed = false;
            {
              py::gil_scoped_release release;
              removed = loop.Remove(effect);
            }
            if (!removed) throw py::value_error("ServoLoop.remove(effect): the effect is not in the loop");
          },
          py::arg("effect"), "Remove an effect, from the next tick on; ValueError if it is not there.")
      .def("clear", &ServoLoop::Clear, py::call_guard<py::gil_scoped_release>(), "Remove every effect.")
      .def_property_readonly(
          "effects", [](const ServoLoop& loop) { return py::tuple(py::cast(loop.Effects())); },
          "The effects, in the order added.")
      .def("state", &ServoLoop::State,
           "The latest tick as a ServoState, or None before the first tick after a start. Never "
           "waits for the loop.")
      .def("stats", &StatsDict, py::call_guard<QueuedLogLines>(),
           "Counters and timings since the start: cycles, missed, failures, clamped, non_finite, "
           "log_lines_dropped (error log lines of the loop's thread dropped while the logging thread "
           "was behind); passivity_energy (J the hand has put in at the port, as the passivity "
           "observer sums it: each force over the displacement it was held for, the last two "
           "predicted at the latest velocity), passivity_acted (ticks the controller added damping at) and "
           "passivity_dissipated (J that damping took out), all 0 without passivity control; "
           "realtime (SCHED_FIFO granted), memory_locked, realtime_note; period_jitter_us, "
           "lateness_us and round_trip_us, each a dict of p50, p99, p99.9 and max.")
      .def("history", &History,
           "The last ticks, oldest first: a numpy structured array when numpy is installed, "
           "otherwise a list of tuples, with the fields cycle, time, position, velocity, force, "
           "round_trip_us, lateness_us, ok.")
      .def_property_readonly("rate_hz", [](const ServoLoop& loop) { return loop.Settings().rate_hz; })
      .def_property_readonly("max_force", [](const ServoLoop& loop) { return loop.Settings().max_force; })
      .def_property_readonly("rated_peak_force", [](const ServoLoop& loop) { return loop.Settings().rated_peak_force; },
                             "The arm's rated peak force in newtons, which max_force was checked against.")
      .def_property_readonly("realtime", [](const ServoLoop& loop) { return loop.Settings().realtime; },
                             "True if real-time scheduling was asked for; stats() tells what was granted.")
      .def_property_readonly("max_failures", [](const ServoLoop& loop) { return loop.Settings().max_failures; })
      .def_property_readonly("passivity", [](const ServoLoop& loop) { return loop.Settings().passivity; },
                             "True if passivity control is on.")
      .def_property_readonly("device_damping", [](const ServoLoop& loop) { return loop.Settings().device_damping; },
                             "The arm's own damping in N s/m, which stable_stiffness() is worked out from.")
      .def_property_readonly("spin_us", [](const ServoLoop& loop) { return loop.Settings().spin_us; })
      .def_property_readonly("spin_reply", [](const ServoLoop& loop) { return loop.Settings().spin_reply; })
      .def_property_readonly(
          "cpu",
          [](const ServoLoop& loop) -> std::optional<int> {
            return loop.Settings().cpu >= 0 ? std::optional<int>(loop.Settings().cpu) : std::nullopt;
          },
          "The CPU the loop's thread is pinned to, None for any.")
      .def("stable_stiffness", &ServoLoop::StableStiffness, py::arg("damping") = 0.0f,
           "The largest stiffness in N/m that an effect with `damping` (N s/m) renders passively at "
           "this loop's rate: (device_damping - |damping|) x rate_hz / 1.5, never below 0 (Colgate & "
           "Schenkel 1997: b > K T (d + 1/2) + |B|, with the loop's one tick of delay, d = 1). Stiffer springs, walls and scenes still run, and the loop logs one line "
           "per start. ValueError for a damping that is not finite.")
      .def_property_readonly("history_size", &ServoLoop::HistorySize)
      .def_property_readonly(
          "arm", [](const ServoLoop& loop) { return &loop.Arm(); }, py::return_value_policy::reference)
      .def("__enter__",
           [](py::object self) {
             ServoLoop& loop = self.cast<ServoLoop&>();
             {
               py::gil_scoped_release release;
               StartLoop(loop);
             }
             return self;
           })
      .def(
          "__exit__",
          [](ServoLoop& loop, const py::object&, const py::object&, const py::object&) { loop.Stop(); },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), Released())
      .def("__repr__", [](const py::object& self) {
        const ServoLoop& loop = self.cast<const ServoLoop&>();
        const py::handle type = py::type::handle_of(self);
        const std::size_t effects = loop.Effects().size();
        return py::str("<{}.{} {} Hz, max_force {} N, {}, {} effect{}, on {}>")
            .format(type.attr("__module__"), type.attr("__qualname__"), loop.Settings().rate_hz,
                    loop.Settings().max_force, loop.Running() ? "running" : "stopped", effects,
                    effects == 1 ? "" : "s",
                    py::module_::import("os").attr("fsdecode")(py::bytes(PortOf(loop).PortPath())));
      });
}

void BindTickReader(py::module_& module) {
  py::class_<TickReader>(module, "TickReader",
                         "A cursor of its own on a ServoLoop's ticks, for a thread that takes every tick "
                         "the loop records (a recorder). The loop keeps its last history_size ticks: a "
                         "reader that falls further behind loses the oldest, and counts them in `lost`.")
      .def(py::init<const ServoLoop&>(), py::arg("loop"), py::keep_alive<1, 2>(),
           "A reader of the ticks that `loop` records from now on, across stops and starts.")
      .def(
          "read",
          [](TickReader& reader, std::optional<std::size_t> max) {
            std::vector<ServoState> ticks;
            reader.Read(ticks, max ? *max : std::numeric_limits<std::size_t>::max());
            return Rows(ticks);
          },
          py::arg("max") = py::none(),
          "The ticks recorded since the last read (at most `max`), oldest first, in the rows of "
          "ServoLoop.history().")
      .def_property_readonly("lost", &TickReader::Lost,
                             "The ticks overwritten before this reader could read them.");
}

}  // namespace

void BindServoLoop(py::module_& module) {
  BindState(module);
  BindLoop(module);
  BindTickReader(module);
  py::module_::import("atexit").attr("register")(py::cpp_function(&StopLiveLoops));
}

}  // namespace Tavix::HardwareAPI::Python

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "Bindings.h"
#include "LogRouting.h"
#include "Tavix/HardwareAPI/LogSink.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

constexpr const char* kLoggerName = "TavixHardwareAPI";

// How long the interpreter's exit waits for the delivery thread to end, in the worst
// case (a logging handler that blocks): then the exit goes on without it.
constexpr auto kLongestExitWait = std::chrono::seconds(2);
// How long a returning call waits at most for another thread to deliver the lines queued
// before it: only a handler that waits on the caller (a lock it holds) makes it that long.
constexpr auto kLongestWaitForOtherDelivery = std::chrono::seconds(1);

// A line and the wall-clock time it was made, in seconds since the epoch as time.time()
// counts them: the `created` of its log record, however late the record is made.
struct Line {
  std::string text;
  double made = 0.0;
};

// Lines wait here until a thread that holds the interpreter lock takes them out: the
// caller of a bound call as it returns, a thread that logs with the lock held, or the
// module's delivery thread, which takes the lock for them. Only a thread that holds the
// lock enters the interpreter, and none waits for the lock while holding `mutex`: a
// thread without the lock (a servo loop's lines arriving from the library's logging
// thread, a detection worker while its caller holds the lock, a device operation that
// released it) only queues its line and wakes the delivery thread.
struct LineQueue {
  std::mutex mutex;
  std::condition_variable posted;  // a line came in, or the delivery thread is to end
  std::condition_variable ended;   // the delivery thread ended
  std::condition_variable handed;  // a line was handed to logging, or delivering ended
  std::deque<Line> lines;
  bool delivering = false;  // a thread is handing lines to logging: `deliverer`
  std::thread::id deliverer;
  uint64_t queued = 0;     // lines queued since the start, and of those, the ones handed
  uint64_t handed_over = 0;  // to logging (or lost there)
  int awaiting = 0;        // threads waiting on `handed`
  std::atomic<bool> waiting{false};
  // The delivery thread: started by the first line queued without the lock, so that a
  // process that never logs off the lock gets no thread; stopped at the interpreter's
  // exit (`StopDelivering`), after which none starts.
  bool deliverer_started = false;
  bool deliverer_ended = false;
  bool exiting = false;
};

// Never destroyed: a worker thread may still log while the process exits. A forked
// child, where the delivery thread does not exist, gets a new one (`ForgetParentQueue`).
std::atomic<LineQueue*> the_queue{new LineQueue};

// True while use_python_logging has the lines: the exit hands them back to file
// descriptor 2 only then, leaving a sink set by other code alone.
std::atomic<bool> routed{false};

LineQueue& Queue() { return *the_queue.load(std::memory_order_acquire); }

// In a child made by fork(): only the forking thread went along, so the queue may be
// locked or half changed by a thread that is gone, and its delivery thread is gone too.
// The child starts afresh (the parent's pending lines are the parent's to deliver).
void ForgetParentQueue() { the_queue.store(new LineQueue, std::memory_order_release); }

double WallClockNow() noexcept {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count()) / 1e9;
}

// Set on the delivery thread, which runs no Python frame.
thread_local bool on_delivery_thread = false;

// The user's frame that made the bound call running now, as logging's findCaller would
// name it; "(unknown file)" when there is none (the delivery thread's lines).
py::tuple Caller() {
  if (!on_delivery_thread) {
    try {
      const py::object frame = py::module_::import("sys").attr("_getframe")(0);
      const py::object code = frame.attr("f_code");
      return py::make_tuple(code.attr("co_filename"), frame.attr("f_lineno"), code.attr("co_name"));
    } catch (py::error_already_set&) {
      // No frame on this thread (one of a C program's, say): unknown, as below.
    }
  }
  return py::make_tuple("(unknown file)", 0, "(unknown function)");
}

// Logs `line` on the module's logger at level WARNING, in a record whose `created` is
// the time the line was made. An error raised meanwhile (by a handler, say) is reported
// as unraisable; an error that was already set stays set.
void Emit(const Line& line) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    const py::object logging = py::module_::import("logging");
    const py::object logger = logging.attr("getLogger")(kLoggerName);
    const py::object level = logging.attr("WARNING");
    if (logger.attr("isEnabledFor")(level).cast<bool>()) {
      const py::object text = py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(line.text.data(), static_cast<Py_ssize_t>(line.text.size()), "replace"));
      if (!text) throw py::error_already_set();
      const py::tuple caller = Caller();
      const py::object record = logger.attr("makeRecord")(logger.attr("name"), level, caller[0], caller[1], "%s",
                                                          py::make_tuple(text), py::none(), caller[2]);
      // Dated when the line was made, not now: the three fields LogRecord derives from
      // its time, kept consistent with one another.
      const double stamped = record.attr("created").cast<double>();
      record.attr("created") = line.made;
      record.attr("msecs") = std::floor((line.made - std::floor(line.made)) * 1000.0);
      record.attr("relativeCreated") =
          record.attr("relativeCreated").cast<double>() + (line.made - stamped) * 1000.0;
      logger.attr("handle")(record);
    }
  } catch (py::error_already_set& error) {
    error.discard_as_unraisable("TavixHardwareAPI: handing a log line to logging");
  } catch (...) {
  }
  PyErr_Restore(type, value, traceback);
}

// True once the interpreter is being torn down, when a thread that asks for the lock
// would be ended (or hang) inside the request. The atexit hook stops the delivery thread
// before that; this is the last guard should it not have.
bool InterpreterFinalizing() noexcept {
#if defined(PYPY_VERSION)
  return false;
#elif PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

enum class OtherDeliverer { Wait, Leave };
void Deliver(OtherDeliverer other) noexcept;

// The delivery thread: sleeps until lines wait that no one is delivering, takes the
// interpreter lock and delivers them. It holds `mutex` only to look at the queue, never
// while it asks for the lock.
void RunDeliverer(LineQueue& queue) noexcept {
  on_delivery_thread = true;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(queue.mutex);
      // A timed wait, in a loop: libstdc++ 12's untimed wait carries a symbol version
      // (GLIBCXX_3.4.30) that older systems' libstdc++ lack, which would narrow the wheels.
      const auto ready = [&queue] { return queue.exiting || (!queue.lines.empty() && !queue.delivering); };
      while (!queue.posted.wait_for(hold, std::chrono::seconds(1), ready)) {
      }
      if (queue.exiting) break;
    }
    if (InterpreterFinalizing()) break;
    const PyGILState_STATE state = PyGILState_Ensure();
    Deliver(OtherDeliverer::Leave);
    PyGILState_Release(state);
  }
  {
    const std::lock_guard<std::mutex> hold(queue.mutex);
    queue.deliverer_ended = true;
  }
  queue.ended.notify_all();
}

// Starts the delivery thread unless it runs, or the interpreter is exiting; with
// `queue.mutex` held. It runs with every signal blocked: Python handles signals on the
// main thread. If it cannot start, the lines wait for the next bound call, as they do
// when no thread runs, and the next line tries again.
void StartDelivering(LineQueue& queue) noexcept {
  if (queue.deliverer_started || queue.exiting) return;
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    std::thread([&queue] { RunDeliverer(queue); }).detach();
    queue.deliverer_started = true;
  } catch (...) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Registered with atexit, so it runs while the interpreter is whole, after the servo
// loops were stopped (their hook was registered later, so it runs first). Ends the
// delivery thread, waiting for it with the lock released (it may need the lock to finish
// a delivery), delivers what is left, and sends later lines to file descriptor 2: a line
// made after this point reaches no thread that could hand it to logging.
void StopDelivering() {
  if (routed.exchange(false)) SetLogSink(nullptr);
  LineQueue& queue = Queue();
  {
    const py::gil_scoped_release release;
    std::unique_lock<std::mutex> hold(queue.mutex);
    queue.exiting = true;
    queue.posted.notify_all();
    if (queue.deliverer_started) {
      queue.ended.wait_for(hold, kLongestExitWait, [&queue] { return queue.deliverer_ended; });
    }
  }
  DeliverQueuedLogLines();
}

// The sink: called by the library on any thread.
void RouteToLogging(const char* text) {
  const double made = WallClockNow();
  const bool holds_lock = Py_IsInitialized() && PyGILState_Check();
  LineQueue& queue = Queue();
  try {
    const std::lock_guard<std::mutex> hold(queue.mutex);
    queue.lines.push_back(Line{text, made});
    ++queue.queued;
    queue.waiting.store(true);
    if (!holds_lock) StartDelivering(queue);
  } catch (...) {
    return;  // no memory for the line: it is lost, not the operation
  }
  if (holds_lock) {
    // In the middle of library code, which may hold locks of its own: never waits.
    Deliver(OtherDeliverer::Leave);
  } else {
    queue.posted.notify_one();
  }
}

// Waits, with the interpreter lock released, until the thread delivering now has handed
// the lines queued so far to logging, or stopped delivering; for at most
// kLongestWaitForOtherDelivery. With `hold` locked; returns with it locked.
void AwaitOtherDelivery(LineQueue& queue, std::unique_lock<std::mutex>& hold) noexcept {
  const uint64_t queued = queue.queued;
  const auto done = [&queue, queued] { return !queue.delivering || queue.handed_over >= queued; };
  ++queue.awaiting;
  hold.unlock();  // never held while waiting for the interpreter lock
  PyThreadState* const thread_state = PyEval_SaveThread();
  hold.lock();
  queue.handed.wait_for(hold, kLongestWaitForOtherDelivery, done);
  hold.unlock();
  PyEval_RestoreThread(thread_state);
  hold.lock();
  --queue.awaiting;
}

// One thread delivers at a time, taking the lines out one by one, so that the order
// holds even while a logging handler lets other threads run; the queue's lock is never
// held while Python code runs. Needs the interpreter lock. When another thread is
// delivering, `Wait` waits for it to hand over the lines queued so far (a returning call's
// lines come out before it returns), then delivers what is left if no one else does;
// `Leave` leaves the lines to it. A logging handler on the delivering thread that calls
// the library leaves its lines to the delivery it runs in.
void Deliver(OtherDeliverer other) noexcept {
  LineQueue& queue = Queue();
  if (!queue.waiting.load()) return;
  {
    std::unique_lock<std::mutex> hold(queue.mutex);
    if (queue.delivering) {
      if (other == OtherDeliverer::Leave || queue.deliverer == std::this_thread::get_id()) return;
      AwaitOtherDelivery(queue, hold);
      if (queue.delivering || queue.lines.empty()) return;
    }
    queue.delivering = true;
    queue.deliverer = std::this_thread::get_id();
  }
  for (;;) {
    Line line;
    {
      const std::lock_guard<std::mutex> hold(queue.mutex);
      if (queue.lines.empty()) {
        queue.delivering = false;
        queue.waiting.store(false);
        if (queue.awaiting > 0) queue.handed.notify_all();
        return;
      }
      line = std::move(queue.lines.front());
      queue.lines.pop_front();
    }
    Emit(line);
    const std::lock_guard<std::mutex> hold(queue.mutex);
    ++queue.handed_over;
    if (queue.awaiting > 0) queue.handed.notify_all();
  }
}

}  // namespace

void DeliverQueuedLogLines() noexcept { Deliver(OtherDeliverer::Wait); }

void BindLogRouting(py::module_& module) {
#if defined(PYPY_VERSION)
  // PyPy makes its interpreter lock only when a second thread first needs it; the
  // delivery thread, which is not Python's, would find none (CPython makes it at start).
  PyEval_InitThreads();
#endif
  static std::once_flag at_fork;
  std::call_once(at_fork, [] { pthread_atfork(nullptr, nullptr, &ForgetParentQueue); });
  module.def(
      "use_python_logging",
      [](bool enabled) {
        routed.store(enabled);
        SetLogSink(enabled ? &RouteToLogging : nullptr);
        DeliverQueuedLogLines();
      },
      py::arg("enabled"),
      "Send the library's error log lines (\"[err] ...\") to the logging logger "
      "\"TavixHardwareAPI\" at level WARNING (True), or to file descriptor 2 as before (False). "
      "Each record's `created` is the time its line was made. Lines made on threads without the "
      "interpreter lock (a servo loop's, a call's that released it) are delivered in order by a "
      "thread of the module's within milliseconds; those a call makes, before it returns.");
  py::module_::import("atexit").attr("register")(py::cpp_function(&StopDelivering));
}

}  // namespace Tavix::HardwareAPI::Python

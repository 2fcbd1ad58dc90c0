#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "Bindings.h"
#include "LogRouting.h"
#include "Tavix/HardwareAPI/LogSink.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

constexpr const char* kLoggerName = "TavixHardwareAPI";

// Lines wait here until a thread that holds the interpreter lock takes them out. Only
// such a thread ever enters the interpreter: one without the lock (a detection worker
// while its caller holds it, a device operation that released it) could deadlock there.
struct LineQueue {
  std::mutex mutex;
  std::deque<std::string> lines;
  bool delivering = false;  // a thread is handing lines to logging
  std::atomic<bool> waiting{false};
};

// Never destroyed: a worker thread may still log while the process exits.
LineQueue& Queue() {
  static LineQueue* const queue = new LineQueue;
  return *queue;
}

// Logs `line` on the module's logger at level WARNING. An error raised meanwhile (by a
// handler, say) is reported as unraisable; an error that was already set stays set.
void Emit(const std::string& line) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    const py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
    if (!text) throw py::error_already_set();
    py::module_::import("logging").attr("getLogger")(kLoggerName).attr("warning")("%s", text);
  } catch (py::error_already_set& error) {
    error.discard_as_unraisable("TavixHardwareAPI: handing a log line to logging");
  } catch (...) {
  }
  PyErr_Restore(type, value, traceback);
}

// The sink: called by the library on any thread.
void RouteToLogging(const char* line) {
  LineQueue& queue = Queue();
  try {
    const std::lock_guard<std::mutex> hold(queue.mutex);
    queue.lines.emplace_back(line);
    queue.waiting.store(true);
  } catch (...) {
    return;  // no memory for the line: it is lost, not the operation
  }
  if (Py_IsInitialized() && PyGILState_Check()) DeliverQueuedLogLines();
}

}  // namespace

// One thread delivers at a time, taking the lines out one by one, so that the order
// holds even while a logging handler lets other threads run; the queue's lock is never
// held while Python code runs.
void DeliverQueuedLogLines() noexcept {
  LineQueue& queue = Queue();
  if (!queue.waiting.load()) return;
  {
    const std::lock_guard<std::mutex> hold(queue.mutex);
    if (queue.delivering) return;
    queue.delivering = true;
  }
  for (;;) {
    std::string line;
    {
      const std::lock_guard<std::mutex> hold(queue.mutex);
      if (queue.lines.empty()) {
        queue.delivering = false;
        queue.waiting.store(false);
        return;
      }
      line = std::move(queue.lines.front());
      queue.lines.pop_front();
    }
    Emit(line);
  }
}

void BindLogRouting(py::module_& module) {
  module.def(
      "use_python_logging",
      [](bool enabled) {
        SetLogSink(enabled ? &RouteToLogging : nullptr);
        DeliverQueuedLogLines();
      },
      py::arg("enabled"),
      "Send the library's error log lines (\"[err] ...\") to the logging logger "
      "\"TavixHardwareAPI\" at level WARNING (True), or to file descriptor 2 as before (False). "
      "Lines made on threads that do not hold the interpreter lock are delivered, in order, when "
      "the call that made them returns.");
}

}  // namespace Tavix::HardwareAPI::Python

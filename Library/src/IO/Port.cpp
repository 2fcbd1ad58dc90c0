#include "Tavix/HardwareAPI/IO/Port.h"

#include <cerrno>
#include <system_error>

#include "OwedReplies.h"

namespace Tavix::HardwareAPI::IO {
namespace {

// 0 (no limit) for 0 or less and NaN; never 0 for a positive time-out, however small.
double TimeoutSeconds(double seconds) {
  if (!(seconds > 0.0)) return 0.0;
  return seconds < Port::kMinTimeout ? Port::kMinTimeout : seconds;
}

}  // namespace

Port::Port(const std::string& path, double timeout_seconds)
    : SerialStream(path.c_str(), false),
      timeout_(TimeoutSeconds(timeout_seconds)),
      owed_(std::make_unique<OwedReplies>()) {
  errno = 0;
  if (Open() != 1) {
    // Open leaves the errno of the call that refused the port: open(2), the terminal
    // check (ENOTTY) or the lock (EWOULDBLOCK).
    const int error = errno != 0 ? errno : EIO;
    throw std::system_error(error, std::system_category(), "cannot open " + path);
  }
}

Port::~Port() = default;

void Port::SetTimeout(double seconds) noexcept {
  timeout_.store(TimeoutSeconds(seconds), std::memory_order_relaxed);
}

}  // namespace Tavix::HardwareAPI::IO

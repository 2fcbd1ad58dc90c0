#include "Tavix/HardwareAPI/IO/Port.h"

#include <cerrno>
#include <system_error>

namespace Tavix::HardwareAPI::IO {
namespace {

double NoLimitBelowZero(double seconds) { return seconds > 0.0 ? seconds : 0.0; }

}  // namespace

Port::Port(const std::string& path, double timeout_seconds)
    : SerialStream(path.c_str(), false), timeout_(NoLimitBelowZero(timeout_seconds)) {
  errno = 0;
  if (Open() != 1) {
    // Open leaves the errno of the call that refused the port: open(2), the terminal
    // check (ENOTTY) or the lock (EWOULDBLOCK).
    const int error = errno != 0 ? errno : EIO;
    throw std::system_error(error, std::system_category(), "cannot open " + path);
  }
}

void Port::SetTimeout(double seconds) noexcept {
  timeout_.store(NoLimitBelowZero(seconds), std::memory_order_relaxed);
}

}  // namespace Tavix::HardwareAPI::IO

#include "Tavix/HardwareAPI/IO/serialib.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

#include "PortWait.h"

namespace Tavix::HardwareAPI::IO {

using traits = std::char_traits<char>;

namespace {

// A signal that arrives before any byte has left ends write(2) with EINTR: nothing was
// written, so the same write is made again, as SA_RESTART would. A write that sent some
// bytes returns their count instead, and is left to the caller as a short write.
ssize_t WriteRestartingOnSignals(int fd, const void* data, std::size_t count) {
  for (;;) {
    const ssize_t written = ::write(fd, data, count);
    if (written >= 0 || errno != EINTR) return written;
  }
}

}  // namespace

serialib::~serialib() {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

ssize_t serialib::ReadTimed(char* buffer, std::size_t count) {
  if (count == 0) return 0;
  const Deadline deadline = Deadline::In(std::chrono::milliseconds(kReadBudgetMs));
  std::size_t got = 0;
  bool woke_readable = false;  // the last wait was poll(2) saying "readable"
  for (;;) {
    const ssize_t n = ::read(fd, buffer + got, count - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      if (got == count) return static_cast<ssize_t>(got);
      woke_readable = false;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -2;
    if (deadline.Expired()) return static_cast<ssize_t>(got);
    // Nothing waiting (a raw port with VMIN = 0 reads 0): block until bytes arrive. A
    // descriptor can stay readable and still give nothing (one at end-of-file that never
    // hangs up); poll(2) would then return at once, so the next try waits a nap instead.
    const WaitStatus status = woke_readable ? NapBriefly(fd, deadline) : WaitReadable(fd, deadline);
    woke_readable = !woke_readable && status == WaitStatus::Ready;
    switch (status) {
      case WaitStatus::Ready: break;
      case WaitStatus::TimedOut: return static_cast<ssize_t>(got);
      case WaitStatus::Failed: return -2;
    }
  }
}

std::streambuf* serialib::setbuf(char_type*, std::streamsize) { return this; }

std::streamsize serialib::showmanyc() {
  if (fd < 0) return 0;
  if (has_pending_char) return 1;
  const int flags = fcntl(fd, F_GETFL);
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
  const std::streamsize result = ReadTimed(&pending_char, 1) == 1 ? 1 : 0;
  if (result == 1) has_pending_char = true;
  if (fcntl(fd, F_SETFL, flags) == -1) return -1;
  return result;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
  if (n <= 0 || fd < 0) return 0;
  if (has_pending_char) {
    s[0] = pending_char;
    has_pending_char = false;
    if (n == 1) return 1;
    const ssize_t more = ReadTimed(s + 1, static_cast<std::size_t>(n - 1));
    return 1 + (more > 0 ? more : 0);
  }
  const ssize_t got = ReadTimed(s, static_cast<std::size_t>(n));
  return got > 0 ? got : 0;
}

serialib::int_type serialib::underflow() {
  if (fd < 0) return traits::eof();
  if (has_pending_char) return traits::to_int_type(pending_char);
  char byte = 0;
  if (ReadTimed(&byte, 1) != 1) return traits::eof();
  pending_char = byte;
  has_pending_char = true;
  return traits::to_int_type(byte);
}

serialib::int_type serialib::uflow() {
  const int_type result = underflow();
  has_pending_char = false;
  return result;
}

serialib::int_type serialib::pbackfail(int_type c) {
  if (traits::eq_int_type(c, traits::eof()) || has_pending_char) return traits::eof();
  pending_char = traits::to_char_type(c);
  has_pending_char = true;
  return c;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
  if (n <= 0 || fd < 0) return 0;
  const ssize_t written = WriteRestartingOnSignals(fd, s, static_cast<std::size_t>(n));
  return written == n ? n : -1;
}

serialib::int_type serialib::overflow(int_type c) {
  if (traits::eq_int_type(c, traits::eof()) || fd < 0) return traits::eof();
  const char byte = traits::to_char_type(c);
  (void)!WriteRestartingOnSignals(fd, &byte, 1);
  return c;
}

}  // namespace Tavix::HardwareAPI::IO

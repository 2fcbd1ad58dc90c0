#include "Tavix/HardwareAPI/IO/SerialStream.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "ErrorLog.h"
#include "PortWait.h"

namespace Tavix::HardwareAPI::IO {
namespace {

constexpr const char* kLogSource = "Library/src/SerialStream";
constexpr unsigned kWriteFailureLine = 53;

// 115200 baud, 8N1, receiver on, modem lines ignored, no flow control, raw, and reads
// that return at once with whatever is waiting. Nothing of the old settings survives.
void ConfigureRawLine(int fd) {
  termios settings{};
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  settings.c_iflag = IGNBRK | IGNPAR;
  settings.c_oflag = 0;
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_lflag = 0;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &settings);
}

// Only writes the modem lines back when they could be read, so a port that cannot
// report them keeps the other lines as they were.
void RaiseDtr(int fd) {
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0) return;
  lines |= TIOCM_DTR;
  ioctl(fd, TIOCMSET, &lines);
}

// USB serial adapters hold received bytes back until their latency timer runs out (16 ms
// on FTDI chips) unless the driver is asked for low latency. Drivers without the setting
// refuse the request, which changes nothing.
void RequestLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &serial);
}

// A terminal is a character device whose line settings can be read. Anything else (a
// regular file, /dev/null, a pipe) would swallow requests or answer with end-of-file, so
// it is refused before a byte is written to it. errno is ENOTTY for every refusal.
bool IsTerminal(int fd) {
  struct stat status{};
  termios settings{};
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode) || tcgetattr(fd, &settings) != 0) {
    errno = ENOTTY;
    return false;
  }
  return true;
}

// Closes `fd` and keeps the errno that explains why it is given up.
void Abandon(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
}

}  // namespace

SerialStream::SerialStream(const char* port_path, bool open_now)
    : std::iostream(nullptr), port_path(port_path ? port_path : "") {
  if (open_now) Open();
}

SerialStream::~SerialStream() = default;  // the buffer closes its port

int8_t SerialStream::Open() {
  if (buffer) return IsOpen() ? 1 : -2;
  InstallBuffer();

  // Close-on-exec, so that a child process never inherits (and keeps open) the port.
  const int fd = ::open(port_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -2;
  if (!IsTerminal(fd)) {
    Abandon(fd);
    return -2;
  }
  // One program per port: a port another stream (in any process) holds is left alone,
  // so no request or line setting ever disturbs a device someone else is driving.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    Abandon(fd);
    return -2;
  }
  buffer->fd = fd;

  fcntl(fd, F_SETFL, O_NONBLOCK);
  ConfigureRawLine(fd);
  RaiseDtr(fd);
  RequestLowLatency(fd);
  // Bytes an earlier program left unread are answers to requests it sent, not ours.
  tcflush(fd, TCIFLUSH);
  return 1;
}

bool SerialStream::Adopt(int fd) {
  if (buffer) return false;
  InstallBuffer();
  buffer->fd = fd;
  return true;
}

void SerialStream::InstallBuffer() {
  buffer = std::make_unique<serialib>();
  rdbuf(buffer.get());
}

void SerialStream::Close() {
  if (!IsOpen()) return;
  ::close(buffer->fd);
  buffer->fd = -1;
}

int SerialStream::Available() {
  if (!IsOpen()) return 0;
  const int queued = QueuedBytes(buffer->fd);
  return queued > 0 ? queued : 0;
}

void SerialStream::Write(const uint8_t* data, std::size_t length) {
  write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
  if (good() || eof()) return;
  LogError(kLogSource, kWriteFailureLine, "unable to write '%zu' bytes to stream", length);
}

void SerialStream::DiscardInput() {
  if (!buffer) return;
  buffer->has_pending_char = false;
  if (IsOpen()) tcflush(buffer->fd, TCIFLUSH);
}

WaitStatus SerialStream::WaitForBytes(std::size_t count, const Deadline& deadline) {
  return IO::WaitForBytes(IsOpen() ? buffer->fd : -1, count, deadline);
}

bool SerialStream::IsOpen() const noexcept { return buffer && buffer->fd >= 0; }

int SerialStream::Descriptor() const noexcept { return IsOpen() ? buffer->fd : -1; }

}  // namespace Tavix::HardwareAPI::IO

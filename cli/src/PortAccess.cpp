#include "PortAccess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "CommandFailure.h"

namespace Tavix::Cli {
namespace {

// What errno, as left by stat(2), open(2) or flock(2), means for someone opening a port.
std::string Reason(int error) {
  switch (error) {
    case ENOENT:
      return "no such port";
    case EACCES:
    case EPERM:
      return "no permission (is your user in the dialout group?)";
    case EWOULDBLOCK:
    case EBUSY:
      return "busy: another program holds it";
    default:
      return std::strerror(error);
  }
}

[[noreturn]] void Fail(const std::string& port, const std::string& reason) {
  throw CommandFailure("cannot open " + port + ": " + reason);
}

// A pseudo-terminal (and a port whose driver keeps its queue when closed) still holds
// the bytes an earlier program left unread, such as a reply it gave up on. Read as the
// reply to the first request, they would put every exchange after it out of step.
void DiscardWaitingInput(HardwareAPI::IO::SerialStream& stream) {
  std::vector<char> stale(static_cast<std::size_t>(stream.Available()));
  if (!stale.empty()) stream.read(stale.data(), static_cast<std::streamsize>(stale.size()));
}

}  // namespace

void OpenPort(HardwareAPI::IO::SerialStream& stream) {
  const std::string& port = stream.PortPath();
  struct stat status {};
  if (stat(port.c_str(), &status) != 0) Fail(port, Reason(errno));
  if (!S_ISCHR(status.st_mode)) Fail(port, "not a serial port");
  if (stream.Open() != 1) Fail(port, Reason(errno));
  DiscardWaitingInput(stream);
}

bool IsHeldByAnotherProgram(const std::string& port) {
  // Non-blocking, so that a port waiting for its carrier does not hold up the check.
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;  // a port opened for exclusive use (TIOCEXCL)
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // releases the lock, if it was taken
  return held;
}

}  // namespace Tavix::Cli

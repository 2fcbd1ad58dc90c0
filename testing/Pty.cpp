#include "Pty.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pty.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

#include "IO/PortWait.h"

namespace Tavix::Testing {

Pty::Pty() {
  char name[PATH_MAX] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open a pseudo-terminal");
  }
  path_ = name;
  termios raw{};
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
  CloseMaster();
  close(slave_);
}

int Pty::QueuedTowardsLibrary() const { return HardwareAPI::IO::QueuedBytes(slave_); }

void Pty::CloseMaster() {
  if (master_ < 0) return;
  close(master_);
  master_ = -1;
}

}  // namespace Tavix::Testing

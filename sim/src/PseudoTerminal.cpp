#include "PseudoTerminal.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace Tavix::Simulator {
namespace {

[[noreturn]] void ThrowSystemError(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) ThrowSystemError("cannot read the port's line settings");
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) ThrowSystemError("cannot make the port raw");
}

bool IsSymbolicLink(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  char name[PATH_MAX] = {};
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    ThrowSystemError("cannot open a pseudo-terminal");
  }
  // Owned from here: should the rest throw, the members close both sides.
  master_.Reset(master);
  slave_.Reset(slave);
  port_path_ = name;
  MakeRaw(slave);
  if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
    ThrowSystemError("cannot make the pseudo-terminal non-blocking");
  }
}

PseudoTerminal::~PseudoTerminal() { HangUp(); }

int PseudoTerminal::QueuedTowardsHost() const {
  int count = 0;
  return slave_.IsOpen() && ioctl(slave_.Get(), FIONREAD, &count) == 0 ? count : -1;
}

void PseudoTerminal::AddLink(const std::string& link_path) {
  if (IsSymbolicLink(link_path)) unlink(link_path.c_str());
  if (symlink(port_path_.c_str(), link_path.c_str()) != 0) {
    ThrowSystemError("cannot create the link " + link_path);
  }
  link_path_ = link_path;
}

void PseudoTerminal::HangUp() {
  if (!link_path_.empty()) unlink(link_path_.c_str());
  link_path_.clear();
  master_.Reset();
  slave_.Reset();
}

}  // namespace Tavix::Simulator

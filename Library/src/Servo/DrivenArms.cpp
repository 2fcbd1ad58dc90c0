#include "DrivenArms.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace Tavix::HardwareAPI::Servo {
namespace {

std::mutex driven_mutex;
std::vector<const IO::Port*> driven;  // under driven_mutex; a few at most

}  // namespace

bool ClaimArm(const IO::Port& port) {
  const std::lock_guard<std::mutex> hold(driven_mutex);
  if (std::find(driven.begin(), driven.end(), &port) != driven.end()) return false;
  driven.push_back(&port);
  return true;
}

void ReleaseArm(const IO::Port& port) noexcept {
  const std::lock_guard<std::mutex> hold(driven_mutex);
  driven.erase(std::remove(driven.begin(), driven.end(), &port), driven.end());
}

}  // namespace Tavix::HardwareAPI::Servo

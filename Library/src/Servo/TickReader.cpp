#include "Tavix/HardwareAPI/Servo/TickReader.h"

#include "ServoHistory.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"

namespace Tavix::HardwareAPI::Servo {

TickReader::TickReader(const ServoLoop& loop) noexcept : history_(loop.Ticks()), cursor_(history_.Next()) {}

std::size_t TickReader::Read(std::vector<ServoState>& out, std::size_t max) {
  const std::size_t before = out.size();
  lost_ += history_.ReadFrom(cursor_, out, max);
  return out.size() - before;
}

}  // namespace Tavix::HardwareAPI::Servo

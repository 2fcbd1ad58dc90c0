#include "EffectList.h"

namespace Tavix::HardwareAPI::Servo {

// The servo loop's list, compiled once here rather than in each user.
template class SharedList<Effect>;

}  // namespace Tavix::HardwareAPI::Servo

#pragma once

#include "SharedList.h"
#include "Tavix/HardwareAPI/Servo/Effect.h"

namespace Tavix::HardwareAPI::Servo {

/// The effects a servo loop renders; the loop's thread is the reader, and clears its
/// mark right after the sum.
using EffectList = SharedList<Effect>;

extern template class SharedList<Effect>;

}  // namespace Tavix::HardwareAPI::Servo

#pragma once

#include <cstddef>
#include <string>

#include "Tavix/HardwareAPI/UUID.h"

namespace Tavix::Cli {

/// The 16 bytes as lower-case hex in the 8-4-4-4-12 groups of a UUID, for example
/// "7a5e5130-0000-4000-8000-000000000001".
std::string UuidText(const HardwareAPI::UUID& identifier);

/// The bytes before the first zero as text, when they are printable ASCII and all that
/// follow are zero (a version such as "tavix-sim 0.1.9"); otherwise "".
std::string PrintableText(const HardwareAPI::UUID& identifier);

/// `count` values separated by spaces, each right-aligned in `width` characters (at
/// least) with `decimals` decimals.
std::string NumbersText(const float* values, std::size_t count, int width, int decimals);

/// One line of a report: the name indented and padded to a column, then the value.
std::string FieldLine(const std::string& name, const std::string& value);

}  // namespace Tavix::Cli

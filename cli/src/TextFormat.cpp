#include "TextFormat.h"

#include <algorithm>
#include <cstdio>

namespace Tavix::Cli {
namespace {

constexpr int kFieldNameWidth = 20;

bool IsUuidGroupStart(std::size_t index) { return index == 4 || index == 6 || index == 8 || index == 10; }

}  // namespace

std::string UuidText(const HardwareAPI::UUID& identifier) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < identifier.bytes.size(); ++i) {
    if (IsUuidGroupStart(i)) text += '-';
    std::snprintf(pair, sizeof pair, "%02x", identifier.bytes[i]);
    text += pair;
  }
  return text;
}

std::string PrintableText(const HardwareAPI::UUID& identifier) {
  const auto& bytes = identifier.bytes;
  const auto end = std::find(bytes.begin(), bytes.end(), 0);
  const bool printable = std::all_of(bytes.begin(), end, [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
  const bool zero_after = std::all_of(end, bytes.end(), [](uint8_t c) { return c == 0; });
  if (end == bytes.begin() || !printable || !zero_after) return "";
  return std::string(bytes.begin(), end);
}

std::string NumbersText(const float* values, std::size_t count, int width, int decimals) {
  std::string text;
  char number[64];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(number, sizeof number, "%*.*f", width, decimals, static_cast<double>(values[i]));
    if (i > 0) text += ' ';
    text += number;
  }
  return text;
}

std::string FieldLine(const std::string& name, const std::string& value) {
  std::string line = "  " + name;
  line.resize(std::max<std::size_t>(line.size() + 1, 2 + kFieldNameWidth), ' ');
  return line + value + "\n";
}

}  // namespace Tavix::Cli

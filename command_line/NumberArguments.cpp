#include "NumberArguments.h"

#include <cctype>
#include <sstream>
#include <stdexcept>

namespace Tavix::CommandLine {

unsigned long long ParseWhole(const std::string& option, const std::string& text, unsigned long long min,
                              unsigned long long max) {
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) value = std::stoull(text, &used);
  } catch (const std::out_of_range&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < min || value > max) {
    throw std::invalid_argument(option + " needs a whole number from " + std::to_string(min) + " to " +
                                std::to_string(max) + ", not '" + text + "'");
  }
  return value;
}

double ParseReal(const std::string& option, const std::string& text, double min, double max) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || !(value >= min && value <= max)) {
    std::ostringstream message;
    message << option << " needs a number from " << min << " to " << max << ", not '" << text << "'";
    throw std::invalid_argument(message.str());
  }
  return value;
}

}  // namespace Tavix::CommandLine

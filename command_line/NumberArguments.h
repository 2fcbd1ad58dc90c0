#pragma once

#include <string>

// Reading the numbers of command-line options, shared by the project's programs. Each
// throws std::invalid_argument with a message naming the option and the accepted range.
namespace Tavix::CommandLine {

/// `text` as a whole number from `min` to `max`; nothing but digits is accepted.
unsigned long long ParseWhole(const std::string& option, const std::string& text, unsigned long long min,
                              unsigned long long max);

/// `text` as a number from `min` to `max`.
double ParseReal(const std::string& option, const std::string& text, double min, double max);

}  // namespace Tavix::CommandLine

#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Reading options written "--name value" or "--name=value", shared by the project's
// programs. Errors throw std::invalid_argument with a message naming the option.
namespace Tavix::CommandLine {

/// Throws std::invalid_argument with `message`: how the programs report a wrong argument.
[[noreturn]] void Reject(const std::string& message);

/// The option's name in the argument `argument` (what comes before an '=').
std::string OptionName(const std::string& argument);

/// Reads the value of the option at args[index] into `value`: the text after its '=',
/// or the next argument; nothing for a flag (`takes_value` false), which must then have
/// no '='. Returns the index of the argument after the option.
std::size_t ReadOptionValue(const std::vector<std::string>& args, std::size_t index, bool takes_value,
                            std::string& value);

}  // namespace Tavix::CommandLine

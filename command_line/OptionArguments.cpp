#include "OptionArguments.h"

#include <stdexcept>

namespace Tavix::CommandLine {

void Reject(const std::string& message) { throw std::invalid_argument(message); }

std::string OptionName(const std::string& argument) { return argument.substr(0, argument.find('=')); }

std::size_t ReadOptionValue(const std::vector<std::string>& args, std::size_t index, bool takes_value,
                            std::string& value) {
  const std::string& argument = args[index];
  const std::size_t equals = argument.find('=');
  const std::string name = argument.substr(0, equals);
  if (!takes_value) {
    if (equals != std::string::npos) Reject(name + " takes no value");
    value.clear();
    return index + 1;
  }
  if (equals != std::string::npos) {
    value = argument.substr(equals + 1);
    return index + 1;
  }
  if (index + 1 >= args.size()) Reject(name + " needs a value");
  value = args[index + 1];
  return index + 2;
}

}  // namespace Tavix::CommandLine

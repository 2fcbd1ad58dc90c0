#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "OptionArguments.h"

namespace Tavix::CommandLine {

/// One row of a program's option table: the option's name, whether it takes a value,
/// where it applies (`Scope`, the program's own notion: the commands that accept it,
/// the device it is for) and what it sets in the program's `Settings`.
template <typename Settings, typename Scope>
struct Option {
  const char* name;
  bool takes_value;
  Scope scope;
  std::function<void(Settings&, const std::string& value)> apply;
};

template <typename Settings, typename Scope>
using OptionTable = std::vector<Option<Settings, Scope>>;

/// The first row of `table` named `name` whose scope `applies` accepts; null if none.
template <typename Settings, typename Scope, typename Applies>
const Option<Settings, Scope>* FindOption(const OptionTable<Settings, Scope>& table, const std::string& name,
                                          Applies applies) {
  for (const Option<Settings, Scope>& option : table) {
    if (name == option.name && applies(option.scope)) return &option;
  }
  return nullptr;
}

/// Applies `option`, the one named by args[index] ("--name value" or "--name=value"),
/// to `settings`; returns the index of the argument after it. Throws
/// std::invalid_argument for a missing value or a value given to a flag.
template <typename Settings, typename Scope>
std::size_t ApplyOption(const Option<Settings, Scope>& option, const std::vector<std::string>& args,
                        std::size_t index, Settings& settings) {
  std::string value;
  const std::size_t next = ReadOptionValue(args, index, option.takes_value, value);
  option.apply(settings, value);
  return next;
}

}  // namespace Tavix::CommandLine

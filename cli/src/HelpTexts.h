#pragma once

#include <string>

#include "Options.h"

namespace Tavix::Cli {

/// The text `--help` prints for `command`; for Command::None, the tool's own.
const char* HelpText(Command command);

/// The usage lines that open `HelpText(command)`, shown after a bad argument.
std::string UsageText(Command command);

}  // namespace Tavix::Cli

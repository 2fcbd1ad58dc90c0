#pragma once

namespace Tavix::Cli {

/// The udev rules file the project ships (packaging/udev/70-tavix.rules), built into the
/// tool so that `tavix udev-rules` prints it wherever the tool runs.
const char* UdevRulesText();

}  // namespace Tavix::Cli

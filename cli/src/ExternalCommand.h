#pragma once

namespace Tavix::Cli {

/// True when `name` is a command that the Python package adds (`tavix plot`, `record`,
/// `replay`, `replay-device`): its program is `tavix-<name>`, installed beside tavix.
bool IsExternalCommand(const char* name);

/// Runs `tavix-<argv[1]>` with the arguments after the command, in place of this process:
/// from the directory this program is in, else from PATH. Returns only when neither
/// has it, after saying so and how to install it: then returns the failure status.
int RunExternalCommand(int argc, char** argv);

}  // namespace Tavix::Cli

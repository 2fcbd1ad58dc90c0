#pragma once

#include <string>

#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::Cli {

/// Opens the port of `stream`, which must not be open yet. Throws CommandFailure saying
/// why it cannot: no such port, not a serial port (only character devices are opened,
/// so the tool never writes into a plain file), busy (another program holds it), no
/// permission, or the system's own reason. Once open, discards the bytes already
/// waiting, which are left over from an earlier program.
void OpenPort(HardwareAPI::IO::SerialStream& stream);

/// True if another program holds `port`: it has the lock a stream takes on open, so the
/// library opens nothing there. Takes the lock itself for a moment when it is free; sends
/// nothing and leaves the line settings alone.
bool IsHeldByAnotherProgram(const std::string& port);

}  // namespace Tavix::Cli

#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ArmModel.h"
#include "MessageFaults.h"
#include "PortServer.h"

namespace Tavix::Simulator {

/// What the command line asks the simulator to be and do.
struct Options {
  enum class Kind { Arm, Handle };

  bool show_help = false;
  bool show_version = false;
  Kind kind = Kind::Arm;
  uint16_t device_id = 1;
  std::array<uint8_t, 16> device_uuid{0x7a, 0x5e, 0x51, 0x30, 0x00, 0x00, 0x40, 0x00,
                                      0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  uint8_t battery_raw = 180;  ///< 3.9 on the host
  std::string link_path;      ///< empty: no link
  bool realtime = false;      ///< answer under SCHED_FIFO, memory locked
  ArmModel::Settings arm;     ///< the arm's mechanics
  PortServer::Settings server;
  MessageFaults::Settings faults;
};

/// Reads the arguments after the program name. Throws std::invalid_argument with a
/// message for the user when they are wrong.
Options ParseOptions(int argc, const char* const* argv);

/// The text `--help` prints.
const char* HelpText();

}  // namespace Tavix::Simulator

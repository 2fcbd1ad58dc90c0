#include "HelpTexts.h"

namespace Tavix::Cli {
namespace {

const char* const kToolHelp = R"(Usage: tavix COMMAND [options]
       tavix COMMAND --help
       tavix --help
       tavix --version

Finds and examines Tavix haptic devices, Morvek3 arms and Gantrel handles, on
serial ports.

Commands:
  ports      list the serial ports a device could be on, with their kinds
  detect     probe those ports and tell which hold an arm or a handle
  info       show the identity and status of the device on a port
  monitor    show the live state of an arm until Ctrl-C
  latency    time round trips to an arm and show how they spread

  -h, --help   show this text and exit; after a command, that command's help
  --version    show the version and exit

Exit status: 0 on success; 1 when the device directory cannot be read, a port
cannot be opened, a device does not answer or the connection is lost; 2 for
bad arguments.
)";

const char* const kPortsHelp = R"(Usage: tavix ports [--dev DIR]

Lists the entries of the device directory whose names mark a serial port a
device could be on, each resolved to the port it names, with the kind of port:
  acm      USB CDC-ACM (ttyACM*): arms
  usb      USB serial adapter (ttyUSB*): wired handles
  rfcomm   Bluetooth RFCOMM (rfcomm*): wireless handles
Opens no port.

Options:
  --dev DIR    device directory to look in (default /dev)
  -h, --help   show this text and exit
)";

const char* const kDetectHelp = R"(Usage: tavix detect [--arms] [--handles] [--wired] [--wireless] [--dev DIR]

Probes the candidate ports one after another: sends each the wake-up request
and accepts it if it answers as an arm within 3 seconds or as a handle within
5 seconds. A port that holds an arm is not probed again for a handle, and a
port another program holds is passed over.

Standard output gets one line per device found, "arm PORT" or "handle PORT",
and nothing else. Standard error shows the port being probed while it waits (a
silent port costs about 10 seconds for an arm and 5 for a handle), then says
so when nothing was found and names each port that was busy.

Options (any combination; none means --arms --handles):
  --arms       look for arms on acm ports
  --handles    look for handles on every kind of port
  --wired      look for handles on usb ports
  --wireless   look for handles on rfcomm ports
  --dev DIR    device directory to look in (default /dev)
  -h, --help   show this text and exit
)";

const char* const kInfoHelp = R"(Usage: tavix info PORT [--handle]

Wakes the device on PORT and shows what it reports.
An arm (the default): the wake-up reply (device number, model, hardware and
firmware versions, identifier), the device and firmware identifiers, and the
answers to the status queries: motor currents, base orientation, power and
temperature.
A handle (--handle): its info reply and one status message.

Each reply is waited for 1 second (instead of the library's 5), so a silent
port fails in about 2 seconds.

Options:
  --handle     the device is a Gantrel handle
  -h, --help   show this text and exit
)";

const char* const kMonitorHelp = R"(Usage: tavix monitor PORT [--rate HZ] [--joint]

Shows the live state of the arm on PORT until Ctrl-C: HZ times a second sends a
zero force, which leaves the arm free, and shows the end-effector position (m)
and velocity (m/s) it is answered with. With --joint, sends zero joint torques
and shows the joint angles (degrees) and joint velocities (degrees/s). On a
terminal one line is updated in place; otherwise each sample is a line.

Each reply is waited for 1 second. Ctrl-C (SIGINT) or SIGTERM ends it with
status 0.

Options:
  --rate HZ    samples a second, 0.1 to 1000 (default 10)
  --joint      joint angles and velocities instead of the end-effector's
  -h, --help   show this text and exit
)";

const char* const kLatencyHelp = R"(Usage: tavix latency PORT [-n N]

Times N round trips to the arm on PORT, one after another: each sends a zero
force, which leaves the arm free, and reads the state it is answered with.
Prints the minimum, median (p50), p90, p99, p99.9 and maximum round-trip time
in microseconds, the exchanges per second and a histogram.

Each reply is waited for 1 second (instead of the library's 5), so a silent
port fails in about 2 seconds. A round trip that got no reply makes the exit
status 1. Ctrl-C (SIGINT) or SIGTERM stops it early: the round trip under way
is finished (so at least one is made), and the figures of those made are shown
as above, with the same exit status.

Options:
  -n N         number of round trips, 1 to 1000000 (default 1000)
  -h, --help   show this text and exit
)";

}  // namespace

const char* HelpText(Command command) {
  switch (command) {
    case Command::Ports:
      return kPortsHelp;
    case Command::Detect:
      return kDetectHelp;
    case Command::Info:
      return kInfoHelp;
    case Command::Monitor:
      return kMonitorHelp;
    case Command::Latency:
      return kLatencyHelp;
    case Command::None:
      break;
  }
  return kToolHelp;
}

std::string UsageText(Command command) {
  const std::string help = HelpText(command);
  return help.substr(0, help.find("\n\n") + 1);
}

}  // namespace Tavix::Cli

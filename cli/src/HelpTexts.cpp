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
  ports       list the serial ports a device could be on, with their kinds
  detect      probe those ports and tell which hold an arm or a handle
  scan        probe them all at once: what is on each, with its identity
  info        show the identity and status of the device on a port
  monitor     show the live state of an arm until Ctrl-C
  latency     time round trips to an arm and show how they spread
  doctor      check what keeps the ports from working and say how to fix it
  udev-rules  print the udev rules that give access to the devices

Commands of the Python package (pip install 'TavixHardwareAPI[record]'):
  record         record the arms a tavix-bridge serves to an MCAP file
  replay         run a scene or effects over a recording, offline
  replay-device  play a recording back as an arm on a pseudo-terminal
  plot           plot a recording: position, force, the loop's timing

  -h, --help   show this text and exit; after a command, that command's help
  --version    show the version and exit

Exit status: 0 on success; 1 when the device directory cannot be read, a port
cannot be opened, a device does not answer or the connection is lost, or the
doctor found a problem; 2 for bad arguments.
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
and nothing else. PORT is the port's entry in the device directory, as tavix
scan names it (DIR/ttyACM0, not the device a link there leads to). Standard
error shows the port being probed while it waits (a silent port costs about
10 seconds for an arm and 5 for a handle), then says so when nothing was found
and names each port that was busy.

Options (any combination; none means --arms --handles):
  --arms       look for arms on acm ports
  --handles    look for handles on every kind of port
  --wired      look for handles on usb ports
  --wireless   look for handles on rfcomm ports
  --dev DIR    device directory to look in (default /dev)
  -h, --help   show this text and exit
)";

const char* const kScanHelp = R"(Usage: tavix scan [--json] [--timeout SECONDS] [--dev DIR] [--sysfs DIR]

Probes every serial port a device could be on at once: the entries of the
device directory whose names contain ttyACM, ttyUSB or rfcomm, and the links in
its serial/by-id, each port once. Each device is woken once and has the
time-out to answer, so the scan takes about that long however many ports there
are. A port another program holds is not touched.

Prints a table, one row per port, sorted by path:
  PORT     the port (and below it, the serial/by-id link naming it)
  KIND     arm, handle, busy (another program holds it), silent (no reply in
           time) or unknown (another reply, or a port that cannot be opened)
  DEVICE   what the device reported: id, model, hardware and firmware versions,
           an arm's identifier; or why the port is busy or unknown
  USB      vendor:product, manufacturer, product and serial number of the USB
           device the port belongs to, read from sysfs
With --json, prints the same as a JSON array of objects with the fields path,
kind, by_id, arm, handle, usb and note (null when absent), as Python's
TavixHardwareAPI.scan() gives them.

Options:
  --json           print JSON instead of the table
  --timeout SECS   how long each device has to answer, 0.01 to 60 (default 0.5)
  --dev DIR        device directory to look in (default /dev)
  --sysfs DIR      where sysfs is mounted (default /sys)
  -h, --help       show this text and exit
)";

const char* const kDoctorHelp = R"(Usage: tavix doctor [PORT...] [--dev DIR] [--sysfs DIR] [--proc DIR]

Checks what commonly keeps a program from using a device, and says how to fix
each problem it finds:
  - ModemManager is running and may probe the ports (it sends modem commands
    to every new USB serial port, which confuses an arm, and can hold it);
  - a path is missing, or is not a terminal (serial port);
  - you may not open a port: you are not in the group that owns it (or joined
    it after logging in);
  - a port is held by another process, which is named where it can be;
  - a USB serial adapter's FTDI latency timer is above 1 ms, which delays
    every reply by up to that much.
Checks the ports named, or else every port scan would probe. Sends nothing to
any device.

Exit status: 0 when nothing is wrong, 1 when something is.

Options:
  --dev DIR    device directory to look in (default /dev)
  --sysfs DIR  where sysfs is mounted (default /sys)
  --proc DIR   where procfs is mounted (default /proc)
  -h, --help   show this text and exit
)";

const char* const kUdevRulesHelp = R"(Usage: tavix udev-rules

Prints the udev rules file for Tavix devices. Installed, it lets the group
dialout (and the user at the seat) open the devices' ports, keeps ModemManager
off them, names them /dev/morvek3-N and /dev/gantrel-N, and sets the handle's
FTDI latency timer to 1 ms.

The vendor and product ids in it are placeholders: replace them with your
devices' (tavix scan shows them in its USB column), then install it:
  tavix udev-rules | sed -e s/TAVIX_ARM_VID/1234/ -e s/TAVIX_ARM_PID/5678/ \
      -e s/TAVIX_HANDLE_VID/9abc/ -e s/TAVIX_HANDLE_PID/def0/ \
      | sudo tee /etc/udev/rules.d/70-tavix.rules
  sudo udevadm control --reload && sudo udevadm trigger

Options:
  -h, --help   show this text and exit
)";

const char* const kInfoHelp = R"(Usage: tavix info PORT [--handle]

Wakes the device on PORT and shows what it reports.
An arm (the default): the wake-up reply (device number, model, hardware and
firmware versions, uuid: the identifier tavix scan shows), the firmware
identifier, and the answers to the status queries: motor currents, base
orientation, power and temperature.
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
status 0; another signal that ends a program (SIGQUIT, SIGUSR1, SIGPIPE, ...)
ends it the same way, with status 1 and "tavix: stopped by <signal>".

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
as above, with the same exit status. Another signal that ends a program
(SIGQUIT, SIGUSR1, SIGPIPE, ...) stops it the same way, then ends it with status
1 and "tavix: stopped by <signal>".

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
    case Command::Scan:
      return kScanHelp;
    case Command::Doctor:
      return kDoctorHelp;
    case Command::UdevRules:
      return kUdevRulesHelp;
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

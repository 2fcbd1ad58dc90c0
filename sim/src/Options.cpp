#include "Options.h"

#include <cctype>
#include <optional>
#include <vector>

#include "NumberArguments.h"
#include "OptionTable.h"
#include "RecordedStates.h"

namespace Tavix::Simulator {
namespace {

using namespace CommandLine;

const char* const kHelp = R"(Usage: tavix-sim arm|handle [options]
       tavix-sim --help
       tavix-sim --version

Plays a Tavix device on a new pseudo-terminal, for tests and benchmarks without
hardware. Prints the port's path on the first line of standard output, then
answers the host's requests until SIGINT, SIGTERM, SIGHUP or any other signal
that ends a program (SIGQUIT, SIGUSR1, SIGPIPE, ...), each of which hangs up the
port and removes the link before it exits.

Devices:
  arm        a Morvek3 force-feedback arm: answers the wake-up, the identifier
             queries, the four commands (force, position, joint torques, joint
             angles) with the state of a simulated linkage that moves under
             them, and the current, orientation, power and temperature queries
  handle     a Gantrel handle: answers the wake-up with its info and the status
             request with a status message (a slowly turning orientation,
             changing hall level and buttons, and the user data of the last
             handle-state message); optionally streams compact status frames

Device options:
  --id N              device number, 0 to 65535 (default 1)
  --uuid HEX          arm: 16-byte device identifier as 32 hex digits,
                      dashes allowed (default 7a5e5130-0000-4000-8000-000000000001)
  --stream HZ         handle: also send a compact status frame HZ times a
                      second (0.1 to 1000), its body SLIP-stuffed and closed
                      by END (C0)
  --battery RAW       handle: battery raw value 0 to 255, read by the host as
                      3.0 + 0.005 x RAW (default 180)
  --link PATH         also make PATH a symbolic link to the port (removed on exit)
  --realtime          answer under SCHED_FIFO priority 70 with memory locked, as
                      a device's firmware answers whatever else the host runs;
                      where that is not permitted, say so and run without it

Arm mechanics, to study contact stability against a device like yours:
  --mass KG           end-effector forces drive a point mass at the end effector
                      rather than the joints: its mass, 0.001 to 100 kg
                      (default 0.1 once --mass, --damping or --friction is given)
  --damping NS_PER_M  the point mass's viscous damping, 0 to 1000 N s/m
                      (default 2)
  --friction N        the point mass's Coulomb friction, 0 to 100 N (default 0):
                      at rest it holds against any force up to N
  --resolution M      report end-effector positions in steps of M metres, 0 to
                      0.01 (default 0: as computed), and velocities as the
                      difference of two such positions over the time between
                      the requests that read them
  --delay TICKS       each command takes effect TICKS commands after it was
                      received, 0 to 1000 (default 0)

A recorded arm, to run a program against states recorded from a session:
  --replay FILE       answer each force or position command with the next state
                      in FILE rather than with the mechanics above (none of
                      whose options it takes); after the last, its position at
                      rest. Joint replies show the same pose. FILE holds six
                      little-endian doubles per state, x, y, z (m), vx, vy, vz
                      (m/s); tavix replay-device writes it from a recording

Faults:
  --silent            never answer, never stream
  --reply-delay-us N  answer N microseconds after the request (up to 10 s)
  --wrong-header      send every message with a wrong header code
  --truncate          cut every message 3 bytes short (the header code stays)
  --hangup-after N    after N answered requests, wait for the host to read the
                      last reply (up to a second), hang up the port and exit
  --garbage P         before each message, with probability P (0 to 1), send
                      one random stray byte
  --garbage-start N   starting value of --garbage's random choices, for
                      repeatable runs (default 1)

  -h, --help          show this text and exit
  --version           show the version and exit

Exit status: 0 after SIGINT, SIGTERM, SIGHUP or --hangup-after; 1 after another
signal ("tavix-sim: stopped by SIGQUIT") or when the port cannot be made or
fails; 2 for bad arguments.
)";

// The scope of an option: the device it is for, if only one.
using OnlyFor = std::optional<Options::Kind>;

std::array<uint8_t, 16> ParseUuid(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c != '-') digits += c;
  }
  std::array<uint8_t, 16> bytes{};
  bool valid = digits.size() == 32;
  for (std::size_t i = 0; valid && i < 16; ++i) {
    const std::string pair = digits.substr(2 * i, 2);
    valid = std::isxdigit(static_cast<unsigned char>(pair[0])) != 0 &&
            std::isxdigit(static_cast<unsigned char>(pair[1])) != 0;
    if (valid) bytes[i] = static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
  }
  if (!valid) Reject("--uuid needs 32 hex digits (dashes allowed), not '" + text + "'");
  return bytes;
}

PointMass::Settings& PointMassOf(Options& options) {
  std::optional<PointMass::Settings>& settings = options.arm.point_mass;
  return settings ? *settings : settings.emplace();
}

PortServer::Clock::duration PeriodOf(double hz) {
  return std::chrono::duration_cast<PortServer::Clock::duration>(std::chrono::duration<double>(1.0 / hz));
}

const OptionTable<Options, OnlyFor>& KnownOptions() {
  using Kind = Options::Kind;
  using Value = const std::string&;
  static const OptionTable<Options, OnlyFor> options{
      {"--id", true, std::nullopt,
       [](Options& o, Value v) { o.device_id = static_cast<uint16_t>(ParseWhole("--id", v, 0, 65535)); }},
      {"--uuid", true, Kind::Arm, [](Options& o, Value v) { o.device_uuid = ParseUuid(v); }},
      {"--stream", true, Kind::Handle,
       [](Options& o, Value v) { o.server.stream_period = PeriodOf(ParseReal("--stream", v, 0.1, 1000.0)); }},
      {"--battery", true, Kind::Handle,
       [](Options& o, Value v) { o.battery_raw = static_cast<uint8_t>(ParseWhole("--battery", v, 0, 255)); }},
      {"--link", true, std::nullopt, [](Options& o, Value v) { o.link_path = v; }},
      {"--realtime", false, std::nullopt, [](Options& o, Value) { o.realtime = true; }},
      {"--mass", true, Kind::Arm,
       [](Options& o, Value v) { PointMassOf(o).mass = ParseReal("--mass", v, 0.001, 100.0); }},
      {"--damping", true, Kind::Arm,
       [](Options& o, Value v) { PointMassOf(o).damping = ParseReal("--damping", v, 0.0, 1000.0); }},
      {"--friction", true, Kind::Arm,
       [](Options& o, Value v) { PointMassOf(o).friction = ParseReal("--friction", v, 0.0, 100.0); }},
      {"--resolution", true, Kind::Arm,
       [](Options& o, Value v) { o.arm.resolution = ParseReal("--resolution", v, 0.0, 0.01); }},
      {"--delay", true, Kind::Arm,
       [](Options& o, Value v) { o.arm.delay = static_cast<unsigned>(ParseWhole("--delay", v, 0, 1000)); }},
      {"--replay", true, Kind::Arm, [](Options& o, Value v) { o.arm.replay = ReadRecordedStates(v); }},
      {"--silent", false, std::nullopt, [](Options& o, Value) { o.server.silent = true; }},
      {"--reply-delay-us", true, std::nullopt,
       [](Options& o, Value v) {
         o.server.reply_delay = std::chrono::microseconds(ParseWhole("--reply-delay-us", v, 0, 10'000'000));
       }},
      {"--wrong-header", false, std::nullopt, [](Options& o, Value) { o.faults.wrong_header = true; }},
      {"--truncate", false, std::nullopt, [](Options& o, Value) { o.faults.truncate = true; }},
      {"--hangup-after", true, std::nullopt,
       [](Options& o, Value v) { o.server.hangup_after = ParseWhole("--hangup-after", v, 0, 1'000'000'000); }},
      {"--garbage", true, std::nullopt,
       [](Options& o, Value v) { o.faults.garbage_probability = ParseReal("--garbage", v, 0.0, 1.0); }},
      {"--garbage-start", true, std::nullopt,
       [](Options& o, Value v) {
         o.faults.garbage_start = static_cast<uint32_t>(ParseWhole("--garbage-start", v, 0, 0xFFFFFFFF));
       }},
  };
  return options;
}

Options::Kind ParseKind(const std::string& text) {
  if (text == "arm") return Options::Kind::Arm;
  if (text == "handle") return Options::Kind::Handle;
  Reject("the first argument names the device, arm or handle, not '" + text + "'");
}

const char* KindName(Options::Kind kind) { return kind == Options::Kind::Arm ? "arm" : "handle"; }

// Applies the option at args[i] for the device; returns the index of the next argument.
std::size_t ApplyDeviceOption(const std::vector<std::string>& args, std::size_t i, Options& options) {
  const std::string name = OptionName(args[i]);
  const auto* known = FindOption(KnownOptions(), name, [](const OnlyFor&) { return true; });
  if (known == nullptr) Reject("unknown option '" + name + "'");
  if (known->scope && *known->scope != options.kind) {
    Reject(name + " is for the " + KindName(*known->scope) + ", not the " + KindName(options.kind));
  }
  return ApplyOption(*known, args, i, options);
}

// Recorded states leave no mechanics to set.
void RejectMechanicsWithReplay(const ArmModel::Settings& arm) {
  if (!arm.replay.empty() && (arm.point_mass || arm.resolution > 0 || arm.delay > 0)) {
    Reject("--replay plays recorded states: it takes none of --mass, --damping, --friction, --resolution, --delay");
  }
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") {
      options.show_help = true;
      return options;
    }
    if (arg == "--version") options.show_version = true;
  }
  if (options.show_version) return options;
  if (args.empty()) Reject("name the device to play: arm or handle");
  options.kind = ParseKind(args[0]);
  for (std::size_t i = 1; i < args.size();) i = ApplyDeviceOption(args, i, options);
  RejectMechanicsWithReplay(options.arm);
  return options;
}

const char* HelpText() { return kHelp; }

}  // namespace Tavix::Simulator

#include "Options.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "NumberArguments.h"
#include "OptionTable.h"

namespace Tavix::Cli {
namespace {

using namespace CommandLine;

// The port arguments a command takes.
enum class PortArguments { None, One, Any };

struct NamedCommand {
  const char* name;
  Command command;
  PortArguments ports;
};

const NamedCommand kCommands[] = {
    {"ports", Command::Ports, PortArguments::None},     {"detect", Command::Detect, PortArguments::None},
    {"scan", Command::Scan, PortArguments::None},       {"info", Command::Info, PortArguments::One},
    {"monitor", Command::Monitor, PortArguments::One},  {"latency", Command::Latency, PortArguments::One},
    {"doctor", Command::Doctor, PortArguments::Any},    {"udev-rules", Command::UdevRules, PortArguments::None},
};

// The scope of an option: the commands that accept it.
using Commands = std::vector<Command>;

const OptionTable<Options, Commands>& KnownOptions() {
  using C = Command;
  using Value = const std::string&;
  static const OptionTable<Options, Commands> options{
      {"--dev", true, {C::Ports, C::Detect, C::Scan, C::Doctor},
       [](Options& o, Value v) { o.device_directory = v; }},
      {"--sysfs", true, {C::Scan, C::Doctor}, [](Options& o, Value v) { o.sysfs_root = v; }},
      {"--proc", true, {C::Doctor}, [](Options& o, Value v) { o.proc_root = v; }},
      {"--json", false, {C::Scan}, [](Options& o, Value) { o.json = true; }},
      {"--timeout", true, {C::Scan},
       [](Options& o, Value v) { o.scan_timeout = ParseReal("--timeout", v, 0.01, 60.0); }},
      {"--arms", false, {C::Detect}, [](Options& o, Value) { o.targets.arms = true; }},
      {"--handles", false, {C::Detect}, [](Options& o, Value) { o.targets.handles = true; }},
      {"--wired", false, {C::Detect}, [](Options& o, Value) { o.targets.wired = true; }},
      {"--wireless", false, {C::Detect}, [](Options& o, Value) { o.targets.wireless = true; }},
      {"--handle", false, {C::Info}, [](Options& o, Value) { o.handle = true; }},
      {"--rate", true, {C::Monitor},
       [](Options& o, Value v) { o.rate_hz = ParseReal("--rate", v, 0.1, 1000.0); }},
      {"--joint", false, {C::Monitor}, [](Options& o, Value) { o.joint_space = true; }},
      {"-n", true, {C::Latency},
       [](Options& o, Value v) { o.round_trips = ParseWhole("-n", v, 1, 1'000'000); }},
  };
  return options;
}

const NamedCommand* FindCommand(const std::string& name) {
  for (const NamedCommand& known : kCommands) {
    if (name == known.name) return &known;
  }
  return nullptr;
}

const NamedCommand& CommandNamed(Command command) {
  for (const NamedCommand& known : kCommands) {
    if (known.command == command) return known;
  }
  throw std::logic_error("a command without a name");
}

bool IsHelp(const std::string& arg) { return arg == "-h" || arg == "--help"; }

// Applies the option at args[i] for the command; returns the index of the next argument.
std::size_t ApplyCommandOption(const std::vector<std::string>& args, std::size_t i, Options& options) {
  const std::string name = OptionName(args[i]);
  const auto accepts = [&options](const Commands& commands) {
    return std::find(commands.begin(), commands.end(), options.command) != commands.end();
  };
  const auto* known = FindOption(KnownOptions(), name, accepts);
  if (known == nullptr) {
    Reject("'" + std::string(CommandNamed(options.command).name) + "' has no option '" + name + "'");
  }
  return ApplyOption(*known, args, i, options);
}

void TakePort(const std::string& arg, Options& options) {
  switch (CommandNamed(options.command).ports) {
    case PortArguments::Any:
      options.ports.push_back(arg);
      return;
    case PortArguments::One:
      if (options.port.empty()) {
        options.port = arg;
        return;
      }
      break;
    case PortArguments::None:
      break;
  }
  Reject("unexpected argument '" + arg + "'");
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  if (args.empty()) Reject("name a command: ports, detect, scan, info, monitor, latency, doctor or udev-rules");
  if (IsHelp(args[0])) {
    options.show_help = true;
    return options;
  }
  if (args[0] == "--version") {
    options.show_version = true;
    return options;
  }
  const NamedCommand* named = FindCommand(args[0]);
  if (named == nullptr) Reject("unknown command '" + args[0] + "'");
  options.command = named->command;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (IsHelp(args[i])) {
      options.show_help = true;
      return options;
    }
  }
  for (std::size_t i = 1; i < args.size();) {
    if (args[i].size() > 1 && args[i][0] == '-') {
      i = ApplyCommandOption(args, i, options);
    } else {
      TakePort(args[i++], options);
    }
  }
  if (named->ports == PortArguments::One && options.port.empty()) Reject("name the port, for example /dev/ttyACM0");
  return options;
}

Command CommandOf(int argc, const char* const* argv) {
  const NamedCommand* named = argc > 1 ? FindCommand(argv[1]) : nullptr;
  return named != nullptr ? named->command : Command::None;
}

}  // namespace Tavix::Cli

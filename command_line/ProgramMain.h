#pragma once

#include <exception>
#include <stdexcept>
#include <string>

// What `main` does in each of the project's programs (tavix, tavix-sim): read the
// arguments, show help or the version, or do the work, and turn what goes wrong into a
// message on stderr and an exit status.
namespace Tavix::CommandLine {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;       ///< the work could not be done
constexpr int kExitBadArguments = 2;  ///< the arguments were wrong

/// A program, for `RunProgram`. `Options` has `show_help` and `show_version`.
template <typename Options>
struct Program {
  const char* name;
  /// Reads the arguments; throws std::invalid_argument with a message for the user.
  Options (*parse)(int argc, const char* const* argv);
  /// What follows the message about bad arguments: the usage, where to find help.
  std::string (*after_bad_arguments)(int argc, const char* const* argv);
  /// The text --help prints.
  const char* (*help)(const Options& options);
  /// Does the work and returns the exit status; throws a std::exception when it cannot.
  int (*run)(const Options& options);
};

/// Prints "<program>: <message>" and `after` on stderr; returns kExitBadArguments.
int ReportBadArguments(const char* program, const char* message, const std::string& after);
/// Prints `text` on stdout; returns kExitSuccess.
int ShowText(const char* text);
/// Prints "<program> <library version>" on stdout; returns kExitSuccess.
int ShowVersion(const char* program);
/// Prints "<program>: <what the error says>" on stderr, after what stdout holds;
/// returns kExitFailure.
int ReportFailure(const char* program, const std::exception& error);

/// The whole of `main` for `program`.
template <typename Options>
int RunProgram(const Program<Options>& program, int argc, const char* const* argv) {
  Options options;
  try {
    options = program.parse(argc, argv);
  } catch (const std::invalid_argument& error) {
    return ReportBadArguments(program.name, error.what(), program.after_bad_arguments(argc, argv));
  }
  if (options.show_help) return ShowText(program.help(options));
  if (options.show_version) return ShowVersion(program.name);
  try {
    return program.run(options);
  } catch (const std::exception& error) {
    return ReportFailure(program.name, error);
  }
}

}  // namespace Tavix::CommandLine

#include "ExternalCommand.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "ProgramMain.h"

namespace Tavix::Cli {
namespace {

const char* const kExternalCommands[] = {"plot", "record", "replay", "replay-device"};

// The directory of the running program, with a trailing slash; "" when unknown.
std::string OwnDirectory() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/') + 1);
}

}  // namespace

bool IsExternalCommand(const char* name) {
  for (const char* command : kExternalCommands) {
    if (std::strcmp(name, command) == 0) return true;
  }
  return false;
}

int RunExternalCommand(int argc, char** argv) {
  const std::string program = std::string("tavix-") + argv[1];
  std::vector<char*> arguments{const_cast<char*>(program.c_str())};
  for (int i = 2; i < argc; ++i) arguments.push_back(argv[i]);
  arguments.push_back(nullptr);
  // pip installs the Python package's programs in the same directory as this one.
  const std::string beside = OwnDirectory() + program;
  if (!OwnDirectory().empty() && access(beside.c_str(), X_OK) == 0) execv(beside.c_str(), arguments.data());
  execvp(program.c_str(), arguments.data());
  const int error = errno;
  std::fprintf(stderr,
               "tavix: cannot run %s (%s): 'tavix %s' comes with the Python package and its 'record' extra: "
               "pip install 'TavixHardwareAPI[record]'\n",
               program.c_str(), std::strerror(error), argv[1]);
  return CommandLine::kExitFailure;
}

}  // namespace Tavix::Cli

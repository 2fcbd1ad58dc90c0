// tavix udev-rules: prints the udev rules file, to be edited and installed (see --help).

#include <cstdio>

#include "Commands.h"
#include "UdevRules.h"

namespace Tavix::Cli {

int RunUdevRules(const Options&) {
  std::fputs(UdevRulesText(), stdout);
  return 0;
}

}  // namespace Tavix::Cli

#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace Tavix::Cli {

/// A running process, as procfs shows it.
struct Process {
  pid_t pid = 0;
  std::string name;  ///< its command name (procfs `comm`), at most 15 characters
};

/// The processes under `proc_root` (where procfs is mounted), other than this one, that
/// have `port` open: a descriptor of theirs leads to what `port` resolves to. Only
/// processes whose descriptors this user may read are seen (all of them for root).
std::vector<Process> ProcessesWithOpen(const std::string& port, const std::string& proc_root);

/// The processes that hold `port` with a flock(2) lock, as `<proc_root>/locks` lists
/// them (for every user's processes): the lock every stream of the library takes.
std::vector<Process> ProcessesLocking(const std::string& port, const std::string& proc_root);

/// The processes under `proc_root` whose command name is `name`.
std::vector<Process> ProcessesNamed(const std::string& name, const std::string& proc_root);

/// "pid 1234 (minicom)", joined by ", ".
std::string ProcessesText(const std::vector<Process>& processes);

}  // namespace Tavix::Cli

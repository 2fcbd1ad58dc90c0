#include "ProcessTable.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace Tavix::Cli {
namespace fs = std::filesystem;
namespace {

bool IsPid(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string CommandName(const fs::path& process) {
  std::ifstream in(process / "comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// Every process directory under `proc_root` but this process's own, with its name.
template <typename Keep>
std::vector<Process> Processes(const std::string& proc_root, Keep keep) {
  std::vector<Process> found;
  std::error_code error;
  for (fs::directory_iterator it(proc_root, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!IsPid(name)) continue;
    const auto pid = static_cast<pid_t>(std::stol(name));
    if (pid == getpid()) continue;
    if (keep(it->path())) found.push_back({pid, CommandName(it->path())});
  }
  std::sort(found.begin(), found.end(), [](const Process& a, const Process& b) { return a.pid < b.pid; });
  return found;
}

}  // namespace

std::vector<Process> ProcessesWithOpen(const std::string& port, const std::string& proc_root) {
  std::error_code error;
  const fs::path target = fs::canonical(port, error);
  if (error) return {};
  return Processes(proc_root, [&target](const fs::path& process) {
    std::error_code unreadable;  // another user's process, or one that just ended
    for (fs::directory_iterator it(process / "fd", unreadable), end; !unreadable && it != end;
         it.increment(unreadable)) {
      std::error_code ignored;
      if (fs::read_symlink(it->path(), ignored) == target) return true;
    }
    return false;
  });
}

// A line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5 0 EOF" (pid, then the
// file system's major and minor in hex and the inode); a waiting lock has "->" after the
// number.
std::vector<Process> ProcessesLocking(const std::string& port, const std::string& proc_root) {
  struct stat status {};
  if (stat(port.c_str(), &status) != 0) return {};
  std::vector<Process> found;
  std::ifstream locks(fs::path(proc_root) / "locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, type, mode, access, device;
    long pid = 0;
    if (!(fields >> number >> type) || type != "FLOCK") continue;
    if (!(fields >> mode >> access >> pid >> device)) continue;
    unsigned major_number = 0, minor_number = 0;
    unsigned long long inode = 0;
    if (std::sscanf(device.c_str(), "%x:%x:%llu", &major_number, &minor_number, &inode) != 3) continue;
    if (inode != status.st_ino || makedev(major_number, minor_number) != status.st_dev) continue;
    if (pid == getpid()) continue;
    found.push_back({static_cast<pid_t>(pid), CommandName(fs::path(proc_root) / std::to_string(pid))});
  }
  return found;
}

std::vector<Process> ProcessesNamed(const std::string& name, const std::string& proc_root) {
  return Processes(proc_root, [&name](const fs::path& process) { return CommandName(process) == name; });
}

std::string ProcessesText(const std::vector<Process>& processes) {
  std::string text;
  for (const Process& process : processes) {
    if (!text.empty()) text += ", ";
    text += "pid " + std::to_string(process.pid) + " (" + process.name + ")";
  }
  return text;
}

}  // namespace Tavix::Cli

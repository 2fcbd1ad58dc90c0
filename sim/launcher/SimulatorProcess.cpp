#include "launcher/SimulatorProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace Tavix::Simulator {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kStartTimeout = 5s;

[[noreturn]] void Fail(const std::string& what, int error = errno) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

// Runs `arguments` with its standard output on a new pipe; returns the read end.
int Spawn(const std::vector<std::string>& arguments, pid_t& pid) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) Fail("cannot make a pipe for the simulator");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);

  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (error != 0) {
    close(pipe_ends[0]);
    Fail(std::string("cannot start ") + argv[0], error);
  }
  return pipe_ends[0];
}

// The first line written to `fd`, without its newline; empty if none came in time.
std::string ReadFirstLine(int fd) {
  const auto deadline = Clock::now() + kStartTimeout;
  std::string line;
  char c = 0;
  while (Clock::now() < deadline) {
    pollfd in{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&in, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    if (read(fd, &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return c == '\n' ? line : std::string();
}

int StatusOf(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

}  // namespace

SimulatorProcess::SimulatorProcess(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{TAVIX_SIM_PATH};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const int output = Spawn(command, pid_);
  port_path_ = ReadFirstLine(output);
  close(output);
  if (port_path_.empty()) {
    Stop();
    throw std::runtime_error("the simulator printed no port path");
  }
}

SimulatorProcess::~SimulatorProcess() { Stop(); }

int SimulatorProcess::Stop() {
  if (!exit_status_) {
    kill(pid_, SIGTERM);
    Reap(true);
  }
  return *exit_status_;
}

std::optional<int> SimulatorProcess::ExitStatusWithin(std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  while (!exit_status_ && !Reap(false) && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  return exit_status_;
}

// Collects the simulator's exit status, waiting for it or not; true once it ended.
bool SimulatorProcess::Reap(bool wait) {
  int wait_status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &wait_status, wait ? 0 : WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) exit_status_ = StatusOf(wait_status);
  if (reaped < 0) exit_status_ = -1;  // not ours to wait for any more
  return exit_status_.has_value();
}

}  // namespace Tavix::Simulator

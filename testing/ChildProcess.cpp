#include "ChildProcess.h"

#include <algorithm>
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
#include <utility>

extern char** environ;

namespace Tavix::Testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kFinishTimeout = 20s;

using CommandLine::FileDescriptor;

struct Pipe {
  FileDescriptor read_end;
  FileDescriptor write_end;
};

Pipe MakePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

// Appends what `fd` has to `text`; closes it at end of file.
void Drain(FileDescriptor& fd, std::string& text) {
  char buffer[4096];
  const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
  if (n > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    fd.Reset();
  }
}

int StatusOf(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           Stderr stderr_mode) {
  // Each end closes by itself: the write ends, which are the program's alone, when the
  // constructor returns; every end when it throws.
  Pipe out = MakePipe();
  Pipe err = stderr_mode == Stderr::Collect ? MakePipe() : Pipe{};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.write_end.Get(), STDOUT_FILENO);
  if (err.write_end.IsOpen()) posix_spawn_file_actions_adddup2(&actions, err.write_end.Get(), STDERR_FILENO);

  std::vector<std::string> command{program};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : command) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
  out_fd_ = std::move(out.read_end);
  err_fd_ = std::move(err.read_end);
}

ChildProcess::~ChildProcess() {
  if (!exit_status_) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
}

// Reads what arrives on the outputs for up to `within`; true once all are closed.
bool ChildProcess::Collect(std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  while (out_fd_.IsOpen() || err_fd_.IsOpen()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{out_fd_.Get(), POLLIN, 0}, {err_fd_.Get(), POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 50))) <= 0) continue;
    if (fds[0].revents != 0) Drain(out_fd_, result_.out);
    if (fds[1].revents != 0) Drain(err_fd_, result_.err);
  }
  return true;
}

bool ChildProcess::WaitForLines(std::size_t lines, std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  const auto line_count = [this] {
    return static_cast<std::size_t>(std::count(result_.out.begin(), result_.out.end(), '\n'));
  };
  while (line_count() < lines && Clock::now() < deadline && out_fd_.IsOpen()) Collect(10ms);
  return line_count() >= lines;
}

void ChildProcess::Signal(int signal) { kill(pid_, signal); }

std::optional<int> ChildProcess::ExitStatusWithin(std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  while (!exit_status_ && !Reap(false) && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  return exit_status_;
}

int ChildProcess::Stop() {
  if (!exit_status_) {
    kill(pid_, SIGTERM);
    Reap(true);
  }
  return *exit_status_;
}

ProgramResult ChildProcess::Finish() {
  if (!Collect(std::chrono::duration_cast<std::chrono::milliseconds>(kFinishTimeout))) kill(pid_, SIGKILL);
  if (!exit_status_) Reap(true);
  result_.status = *exit_status_;
  return result_;
}

// Collects the program's exit status, waiting for it or not; true once it ended.
bool ChildProcess::Reap(bool wait) {
  int wait_status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &wait_status, wait ? 0 : WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) exit_status_ = StatusOf(wait_status);
  if (reaped < 0) exit_status_ = -1;  // not ours to wait for any more
  return exit_status_.has_value();
}

}  // namespace Tavix::Testing

#include "TavixProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Tavix::Testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kFinishTimeout = 20s;

struct Pipe {
  int read_end = -1;
  int write_end = -1;
};

Pipe MakePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  return {ends[0], ends[1]};
}

// Appends what `fd` has to `text`; closes it and sets it to -1 at end of file.
void Drain(int& fd, std::string& text) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

TavixProcess::TavixProcess(const std::vector<std::string>& arguments) {
  const Pipe out = MakePipe();
  const Pipe err = MakePipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.write_end, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write_end, STDERR_FILENO);

  std::vector<std::string> command{TAVIX_CLI_PATH};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : command) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out.write_end);
  close(err.write_end);
  out_fd_ = out.read_end;
  err_fd_ = err.read_end;
  if (error != 0) {
    close(out_fd_);
    close(err_fd_);
    throw std::runtime_error(std::string("cannot start tavix: ") + std::strerror(error));
  }
}

TavixProcess::~TavixProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (const int fd : {out_fd_, err_fd_}) {
    if (fd >= 0) close(fd);
  }
}

// Reads what arrives on both outputs for up to `within`; true once both are closed.
bool TavixProcess::Collect(std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 50))) <= 0) continue;
    if (fds[0].revents != 0) Drain(out_fd_, result_.out);
    if (fds[1].revents != 0) Drain(err_fd_, result_.err);
  }
  return true;
}

bool TavixProcess::WaitForLines(std::size_t lines, std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  const auto line_count = [this] {
    return static_cast<std::size_t>(std::count(result_.out.begin(), result_.out.end(), '\n'));
  };
  while (line_count() < lines && Clock::now() < deadline && out_fd_ >= 0) Collect(10ms);
  return line_count() >= lines;
}

void TavixProcess::Signal(int signal) { kill(pid_, signal); }

TavixResult TavixProcess::Finish() {
  if (!Collect(std::chrono::duration_cast<std::chrono::milliseconds>(kFinishTimeout))) kill(pid_, SIGKILL);
  int wait_status = 0;
  while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  result_.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return result_;
}

TavixResult RunTavix(const std::vector<std::string>& arguments) { return TavixProcess(arguments).Finish(); }

}  // namespace Tavix::Testing

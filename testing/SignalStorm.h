#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace Tavix::Testing {

/// Interrupts the constructing thread with SIGUSR1 over and over until destroyed. The
/// handler is installed without SA_RESTART, so every blocking call of that thread that
/// a signal hits returns EINTR.
class SignalStorm {
 public:
  explicit SignalStorm(std::chrono::microseconds interval) : target_(pthread_self()) {
    struct sigaction action {};
    action.sa_handler = [](int) { ++delivered_; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGUSR1, &action, &previous_);
    thrower_ = std::thread([this, interval] {
      while (!stop_) {
        pthread_kill(target_, SIGUSR1);
        std::this_thread::sleep_for(interval);
      }
    });
  }

  ~SignalStorm() {
    stop_ = true;
    thrower_.join();
    sigaction(SIGUSR1, &previous_, nullptr);
  }

  SignalStorm(const SignalStorm&) = delete;
  SignalStorm& operator=(const SignalStorm&) = delete;

  /// Signals handled so far, by every storm of the process.
  static int Delivered() { return delivered_; }

 private:
  static inline std::atomic<int> delivered_{0};
  pthread_t target_;
  struct sigaction previous_ {};
  std::atomic<bool> stop_{false};
  std::thread thrower_;
};

}  // namespace Tavix::Testing

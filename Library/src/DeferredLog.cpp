#include "DeferredLog.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace Tavix::HardwareAPI::DeferredLog {
namespace {

static_assert((kQueueLines & (kQueueLines - 1)) == 0, "positions wrap onto slots by a power of two");

// How long the logging thread sleeps at most between looks at the queue: a safety net
// only, posts wake it at once.
constexpr long kLongestSleepNs = 100000000;

// A bounded queue for many posting threads and one taking thread (D. Vyukov's): each
// slot carries a sequence number that says whose turn it is. Position p uses slot
// p % kQueueLines; the slot's sequence is p while it is free for p, p + 1 once p's line
// is in, and p + kQueueLines once the logging thread has taken it out (free for the
// next round). A poster claims a position with a compare-and-swap on `next_in`, and
// only when its slot is free: so it never waits on the logging thread, it finds the
// queue full.
struct Slot {
  std::atomic<uint64_t> sequence{0};
  Deliver deliver = nullptr;
  char line[kLineBytes] = {};
};

struct Queue {
  Queue() noexcept {
    for (std::size_t i = 0; i < kQueueLines; ++i) slots[i].sequence.store(i, std::memory_order_relaxed);
    sem_init(&wake_up, 0, 0);
  }

  Slot slots[kQueueLines];
  std::atomic<uint64_t> next_in{0};
  uint64_t next_out = 0;  // the logging thread's alone
  std::atomic<uint64_t> delivered{0};
  // The logging thread sets it before it looks at the queue a last time and sleeps; a
  // poster that clears it posts the semaphore. Both sides store, then load the other's
  // variable, all sequentially consistent: either the poster sees the flag or the
  // logging thread sees the line.
  std::atomic<bool> asleep{false};
  sem_t wake_up;
};

// Made by the first Start and never freed: a detached thread uses it until the process
// ends.
std::atomic<Queue*> the_queue{nullptr};
std::mutex start_mutex;
bool started = false;  // under start_mutex

std::atomic<uint64_t> dropped_lines{0};

thread_local bool realtime_thread = false;
thread_local std::atomic<uint64_t>* thread_dropped = nullptr;

void CountDropped() noexcept {
  dropped_lines.fetch_add(1, std::memory_order_relaxed);
  if (thread_dropped != nullptr) thread_dropped->fetch_add(1, std::memory_order_relaxed);
}

bool LineReady(const Queue& queue) noexcept {
  return queue.slots[queue.next_out % kQueueLines].sequence.load(std::memory_order_seq_cst) == queue.next_out + 1;
}

// Copies the next line out and frees its slot at once, so that a delivery that blocks
// holds no slot.
bool TakeLine(Queue& queue, Deliver& deliver, char* line) noexcept {
  if (!LineReady(queue)) return false;
  Slot& slot = queue.slots[queue.next_out % kQueueLines];
  deliver = slot.deliver;
  std::memcpy(line, slot.line, kLineBytes);
  slot.sequence.store(queue.next_out + kQueueLines, std::memory_order_release);
  ++queue.next_out;
  return true;
}

void SleepUntilPosted(Queue& queue) noexcept {
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);  // sem_timedwait's clock
  until.tv_nsec += kLongestSleepNs;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_nsec -= 1000000000L;
    ++until.tv_sec;
  }
  while (sem_timedwait(&queue.wake_up, &until) != 0 && errno == EINTR) {
  }
}

// The logging thread.
void Run(Queue& queue) noexcept {
  Deliver deliver = nullptr;
  char line[kLineBytes];
  for (;;) {
    while (TakeLine(queue, deliver, line)) {
      try {
        deliver(line);
      } catch (...) {
        // A delivery must not throw; if one does, the line is lost, not the thread.
      }
      queue.delivered.fetch_add(1, std::memory_order_release);
    }
    queue.asleep.store(true, std::memory_order_seq_cst);
    if (!LineReady(queue)) SleepUntilPosted(queue);
    queue.asleep.store(false, std::memory_order_seq_cst);
  }
}

}  // namespace

RealtimeThread::RealtimeThread(std::atomic<uint64_t>* dropped) noexcept {
  realtime_thread = true;
  thread_dropped = dropped;
}

RealtimeThread::~RealtimeThread() {
  realtime_thread = false;
  thread_dropped = nullptr;
}

bool OnRealtimeThread() noexcept { return realtime_thread; }

void Start() {
  const std::lock_guard<std::mutex> hold(start_mutex);
  if (started) return;
  Queue* queue = the_queue.load(std::memory_order_acquire);
  if (queue == nullptr) {
    queue = new Queue;
    the_queue.store(queue, std::memory_order_release);
  }
  // Signals are for the program's own threads: the logging thread starts with every one
  // blocked.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    std::thread([queue] { Run(*queue); }).detach();
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  started = true;
}

bool Post(Deliver deliver, const char* line) noexcept {
  Queue* const queue = the_queue.load(std::memory_order_acquire);
  if (queue == nullptr) {
    CountDropped();
    return false;
  }
  uint64_t position = queue->next_in.load(std::memory_order_relaxed);
  Slot* slot = nullptr;
  for (;;) {
    slot = &queue->slots[position % kQueueLines];
    const uint64_t sequence = slot->sequence.load(std::memory_order_acquire);
    const auto ahead = static_cast<int64_t>(sequence - position);
    if (ahead == 0) {
      // Free for this position: claim it (a failed claim reloads `position`).
      if (queue->next_in.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
    } else if (ahead < 0) {
      // It still holds the line of the round before: the queue is full.
      CountDropped();
      return false;
    } else {
      position = queue->next_in.load(std::memory_order_relaxed);  // another poster took it
    }
  }
  slot->deliver = deliver;
  const std::size_t length = strnlen(line, kLineBytes - 1);
  std::memcpy(slot->line, line, length);
  slot->line[length] = '\0';
  slot->sequence.store(position + 1, std::memory_order_seq_cst);
  if (queue->asleep.load(std::memory_order_seq_cst) && queue->asleep.exchange(false, std::memory_order_seq_cst)) {
    sem_post(&queue->wake_up);  // an atomic increment, and a futex wake when the thread sleeps
  }
  return true;
}

uint64_t DroppedLines() noexcept { return dropped_lines.load(std::memory_order_relaxed); }

bool WaitUntilDelivered(std::chrono::nanoseconds timeout) {
  const Queue* const queue = the_queue.load(std::memory_order_acquire);
  if (queue == nullptr) return true;
  const uint64_t posted = queue->next_in.load(std::memory_order_acquire);
  const auto give_up = std::chrono::steady_clock::now() + timeout;
  while (queue->delivered.load(std::memory_order_acquire) < posted) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace Tavix::HardwareAPI::DeferredLog

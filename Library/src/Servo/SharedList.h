#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace Tavix::HardwareAPI::Servo {

/// What a `SharedList` keeps beside its items when its reader needs no working space.
struct NoScratch {};

/// Shared items (a loop's effects, a scene's shapes) that one real-time reader goes
/// through every tick while other threads add and remove them: an immutable list,
/// replaced whole by writers, which the reader reads without waiting. The reader marks
/// the list it reads (a hazard pointer); a writer that replaced a list frees it once the
/// reader no longer marks it, which the reader clears as soon as it is done, so a writer
/// waits a few microseconds at most, and the reader's thread never frees a list.
///
/// One reader at a time: the mark is a single slot. Readers on several threads must take
/// turns (with a happens-before between turns).
///
/// Each item added gets a serial number that this list never gives again, so that the
/// reader can name an item from one tick to the next without holding a reference, and
/// never mistakes an item added later, perhaps at the same address, for it.
///
/// Each list carries `Scratch`, one per item, allocated with the list by the writer: the
/// reader's own working space (say, a snapshot of each item taken at the start of a
/// tick), so that the reader allocates nothing. Writers copy the items and serials of a
/// list, never its scratch, which only the reader touches.
///
/// Every atomic access is sequentially consistent: the reader's store of the hazard and
/// its second look at the list pair with a writer's exchange of the list and its look at
/// the hazard. Under acquire/release both sides could read the other's old value, and a
/// writer would free the list the reader is about to read.
template <typename Item, typename Scratch = NoScratch>
class SharedList {
 public:
  using Items = std::vector<std::shared_ptr<Item>>;

  /// A list as the reader sees it; `serials` and `scratch` (when it is not empty) run
  /// beside `items`.
  struct List {
    Items items;
    std::vector<std::uint64_t> serials;
    mutable std::vector<Scratch> scratch;
  };

  SharedList() = default;
  ~SharedList() { delete current_.load(); }
  SharedList(const SharedList&) = delete;
  SharedList& operator=(const SharedList&) = delete;

  /// The reader only: calls `read` with the current list (empty when there are no items).
  /// Never waits, never allocates.
  template <typename Reader>
  void Read(Reader&& read) noexcept {
    const List* list = current_.load();
    for (;;) {
      // An exchange, not a store: a read-modify-write orders the mark before the second
      // look at the list on every machine and emulator, where a plain store may wait in a
      // store buffer past that load (seen under qemu-user on x86-64), and a writer would
      // then free the list about to be read.
      hazard_.exchange(list);
      const List* again = current_.load();
      if (again == list) break;
      list = again;
    }
    read(list != nullptr ? *list : empty_);
    hazard_.store(nullptr);
  }

  /// The reader only: calls `visit` for each item, in the order added.
  template <typename Visit>
  void ForEach(Visit&& visit) noexcept {
    Read([&](const List& list) {
      for (const std::shared_ptr<Item>& item : list.items) visit(*item);
    });
  }

  /// Adds `item` at the end; false (and nothing changes) if it is there already.
  bool Add(std::shared_ptr<Item> item) {
    const std::lock_guard<std::mutex> hold(writer_);
    const List* list = current_.load();
    if (list != nullptr && std::find(list->items.begin(), list->items.end(), item) != list->items.end()) return false;
    auto fresh = Copy(list);
    fresh->items.push_back(std::move(item));
    fresh->serials.push_back(++last_serial_);
    Replace(Finished(std::move(fresh)));
    return true;
  }

  /// Removes `item`; false if it is not there.
  bool Remove(const std::shared_ptr<Item>& item) {
    const std::lock_guard<std::mutex> hold(writer_);
    const List* list = current_.load();
    if (list == nullptr) return false;
    const auto found = std::find(list->items.begin(), list->items.end(), item);
    if (found == list->items.end()) return false;
    const auto index = found - list->items.begin();
    auto fresh = Copy(list);
    fresh->items.erase(fresh->items.begin() + index);
    fresh->serials.erase(fresh->serials.begin() + index);
    Replace(Finished(std::move(fresh)));
    return true;
  }

  void Clear() {
    const std::lock_guard<std::mutex> hold(writer_);
    if (current_.load() != nullptr) Replace(nullptr);
  }

  /// A copy of the items, in the order added.
  Items Snapshot() const {
    const std::lock_guard<std::mutex> hold(writer_);  // keeps the list from being freed
    const List* list = current_.load();
    return list != nullptr ? list->items : Items();
  }

  /// The item given `serial` when it was added, if it is still there; null otherwise.
  std::shared_ptr<Item> Find(std::uint64_t serial) const {
    const std::lock_guard<std::mutex> hold(writer_);
    const List* list = current_.load();
    if (list == nullptr) return nullptr;
    const auto found = std::find(list->serials.begin(), list->serials.end(), serial);
    return found != list->serials.end() ? list->items[found - list->serials.begin()] : nullptr;
  }

 private:
  static std::unique_ptr<List> Copy(const List* list) {
    auto fresh = std::make_unique<List>();
    if (list != nullptr) {
      fresh->items = list->items;
      fresh->serials = list->serials;
    }
    return fresh;
  }

  // Gives the list its scratch; null for an empty list.
  static const List* Finished(std::unique_ptr<List> list) {
    if (list->items.empty()) return nullptr;
    if constexpr (!std::is_empty_v<Scratch>) list->scratch.resize(list->items.size());
    return list.release();
  }

  // With writer_ held. Publishes `fresh`, then waits until the reader no longer marks the
  // old list before freeing it.
  void Replace(const List* fresh) noexcept {
    const List* old = current_.exchange(fresh);
    while (old != nullptr && hazard_.load() == old) std::this_thread::yield();
    delete old;
  }

  const List empty_{};
  std::atomic<const List*> current_{nullptr};  // null: no items
  std::atomic<const List*> hazard_{nullptr};   // the list the reader is reading
  mutable std::mutex writer_;                  // one writer at a time; lists are freed under it only
  std::uint64_t last_serial_ = 0;              // under writer_
};

}  // namespace Tavix::HardwareAPI::Servo

#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "Tavix/HardwareAPI/Servo/Effect.h"

namespace Tavix::HardwareAPI::Servo {

/// The effects a servo loop renders: an immutable list, replaced whole by writers, which
/// the loop reads every tick without waiting. The loop marks the list it reads (a hazard
/// pointer); a writer that replaced a list frees it once the loop no longer marks it,
/// which the loop clears right after the sum, so a writer waits a few microseconds at
/// most, and the loop's thread never frees a list.
///
/// Every atomic access is sequentially consistent: the loop's store of the hazard and its
/// second look at the list pair with a writer's exchange of the list and its look at the
/// hazard. Under acquire/release both sides could read the other's old value, and a
/// writer would free the list the loop is about to read.
class EffectList {
 public:
  using Effects = std::vector<std::shared_ptr<Effect>>;

  EffectList() = default;
  ~EffectList();
  EffectList(const EffectList&) = delete;
  EffectList& operator=(const EffectList&) = delete;

  /// The loop's thread only: calls `visit` for each effect, in the order added. Never
  /// waits, never allocates.
  template <typename Visit>
  void ForEach(Visit&& visit) noexcept {
    const Effects* effects = current_.load();
    for (;;) {
      hazard_.store(effects);
      const Effects* again = current_.load();
      if (again == effects) break;
      effects = again;
    }
    if (effects != nullptr) {
      for (const std::shared_ptr<Effect>& effect : *effects) visit(*effect);
    }
    hazard_.store(nullptr);
  }

  /// Adds `effect` at the end; false (and nothing changes) if it is there already.
  bool Add(std::shared_ptr<Effect> effect);
  /// Removes `effect`; false if it is not there.
  bool Remove(const std::shared_ptr<Effect>& effect);
  void Clear();
  /// A copy of the list, in the order added.
  Effects Snapshot() const;

 private:
  void Replace(const Effects* fresh) noexcept;

  std::atomic<const Effects*> current_{nullptr};  // null: no effects
  std::atomic<const Effects*> hazard_{nullptr};   // the list the loop is reading
  mutable std::mutex writer_;                     // one writer at a time; lists are freed under it only
};

}  // namespace Tavix::HardwareAPI::Servo

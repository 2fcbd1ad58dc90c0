#include "EffectList.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace Tavix::HardwareAPI::Servo {

EffectList::~EffectList() { delete current_.load(); }

bool EffectList::Add(std::shared_ptr<Effect> effect) {
  const std::lock_guard<std::mutex> hold(writer_);
  const Effects* effects = current_.load();
  if (effects != nullptr && std::find(effects->begin(), effects->end(), effect) != effects->end()) return false;
  auto fresh = effects != nullptr ? std::make_unique<Effects>(*effects) : std::make_unique<Effects>();
  fresh->push_back(std::move(effect));
  Replace(fresh.release());
  return true;
}

bool EffectList::Remove(const std::shared_ptr<Effect>& effect) {
  const std::lock_guard<std::mutex> hold(writer_);
  const Effects* effects = current_.load();
  if (effects == nullptr) return false;
  const auto found = std::find(effects->begin(), effects->end(), effect);
  if (found == effects->end()) return false;
  auto fresh = std::make_unique<Effects>(*effects);
  fresh->erase(fresh->begin() + (found - effects->begin()));
  Replace(fresh->empty() ? nullptr : fresh.release());
  return true;
}

void EffectList::Clear() {
  const std::lock_guard<std::mutex> hold(writer_);
  if (current_.load() != nullptr) Replace(nullptr);
}

EffectList::Effects EffectList::Snapshot() const {
  const std::lock_guard<std::mutex> hold(writer_);  // keeps the list from being freed
  const Effects* effects = current_.load();
  return effects != nullptr ? *effects : Effects();
}

// With writer_ held. Publishes `fresh`, then waits until the loop no longer marks the
// old list before freeing it.
void EffectList::Replace(const Effects* fresh) noexcept {
  const Effects* old = current_.exchange(fresh);
  while (old != nullptr && hazard_.load() == old) std::this_thread::yield();
  delete old;
}

}  // namespace Tavix::HardwareAPI::Servo

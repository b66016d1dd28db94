#include "options/global_state.h"

#include <iterator>
#include <utility>

void GlobalState::reset() noexcept {
  request.store(0);
  resetValues();
}

void GlobalState::resetValues() noexcept {
  // Move-assigning a fresh record releases the old point without copying.
  static_cast<RunStateValues&>(*this) = RunStateValues{};
}

StatusRegistration::StatusRegistration(GlobalState& s,
                                       std::map<std::string, VariantPtrBase*>& registry)
    : registry_(registry) {
  const std::pair<const char*, std::int32_t*> entries[] = {
      {"error", s.error.address()}, {"status", s.status.address()}, {"iter", s.iter.address()}};
  try {
    for (std::size_t i = 0; i < 3; ++i) {
      slots_[i] = std::make_unique<VariantPtr<int>>(0, 0, 0, entries[i].second);
      registry_.insert_or_assign(entries[i].first, slots_[i].get());
    }
  } catch (...) {
    unregister();  // no dangling entries once the slots go
    throw;
  }
}

StatusRegistration::~StatusRegistration() { unregister(); }

void StatusRegistration::unregister() noexcept {
  // Take out only the entries that still hold our slots.
  for (auto it = registry_.begin(); it != registry_.end();) {
    bool ours = false;
    for (const auto& slot : slots_) ours = ours || (slot && it->second == slot.get());
    it = ours ? registry_.erase(it) : std::next(it);
  }
}

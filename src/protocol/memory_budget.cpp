#include "protocol/memory_budget.h"

namespace protocol {

MemoryBudget& MemoryBudget::shared() {
  static MemoryBudget budget;
  return budget;
}

bool MemoryBudget::try_take(std::size_t bytes) {
  std::size_t used = used_.load(std::memory_order_relaxed);
  do {
    const std::size_t limit = limit_.load(std::memory_order_relaxed);
    if (used > limit || bytes > limit - used) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  return true;
}

void MemoryBudget::take_anyway(std::size_t bytes) { used_.fetch_add(bytes, std::memory_order_relaxed); }

void MemoryBudget::give_back(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

bool Account::charge(std::size_t bytes) {
  const std::size_t extra = beyond(held_ + bytes) - beyond(held_);
  if (extra > 0 && !budget_.try_take(extra)) return false;
  held_ += bytes;
  return true;
}

void Account::charge_anyway(std::size_t bytes) {
  budget_.take_anyway(beyond(held_ + bytes) - beyond(held_));
  held_ += bytes;
}

void Account::release(std::size_t bytes) {
  if (bytes > held_) bytes = held_;
  budget_.give_back(beyond(held_) - beyond(held_ - bytes));
  held_ -= bytes;
}

}  // namespace protocol

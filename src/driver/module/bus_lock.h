#pragma once
// The lock that owns one bus of the power and bus block for a whole transfer. It
// guards no data: holding it means owning the controller. A holder that ends
// abnormally (an exception leaves its scope while it holds the lock) may have left
// the controller half programmed, so the lock breaks for good and every later
// acquisition reports it; the caller answers Busy instead of driving a controller
// in an unknown state.
//
// Thread-safe. Movable only while nobody holds or waits for it (Hw is built and
// moved into the driver set before any transfer can start); the lock's state does
// not move, so a guard stays valid.
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace driver::module {

class BusLock {
  struct State {
    std::mutex mu;
    std::atomic<bool> broken{false};
  };

 public:
  class Guard {
   public:
    Guard(Guard&& other) noexcept
        : state_(std::exchange(other.state_, nullptr)), exceptions_(other.exceptions_) {}
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (!state_) return;
      if (std::uncaught_exceptions() > exceptions_) state_->broken.store(true);
      state_->mu.unlock();
    }

   private:
    friend class BusLock;
    explicit Guard(State* state) : state_(state), exceptions_(std::uncaught_exceptions()) {}
    State* state_;
    int exceptions_;  // in flight when the lock was taken; more at release means unwinding
  };

  BusLock() : state_(std::make_unique<State>()) {}
  BusLock(BusLock&&) noexcept = default;
  BusLock& operator=(BusLock&&) noexcept = default;

  // Waits as long as it takes. Empty when the lock is broken; it has then been
  // released again and the caller must not touch the bus.
  std::optional<Guard> acquire() const {
    state_->mu.lock();
    Guard guard(state_.get());
    if (state_->broken.load()) return std::nullopt;
    return guard;
  }

  bool broken() const { return state_->broken.load(); }

 private:
  std::unique_ptr<State> state_;
};

}  // namespace driver::module

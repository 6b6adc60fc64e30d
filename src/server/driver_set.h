#pragma once
// DRIVER: the process-wide set of hardware drivers that the oscilloscope, target
// and bus handlers share. Nothing touches the hardware at start-up; the first
// request that needs a driver creates the whole set, exactly once: concurrent
// first users wait for that creation. Once ready, the set is shared without a lock
// and lives until the process ends.
//
// A failed creation is final. The members already created are released, "Unable
// to init driver" and the cause go to standard error, and this and every later
// request that needs the drivers is answered with that error while the other
// commands keep working.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/error.h"
#include "driver/module/clock.h"
#include "driver/module/hw.h"
#include "driver/module/osc.h"

namespace server {

namespace testing {
// Test-only: forgets the set, or a failed creation, so that the next use creates
// it again on the platform installed then. Nothing may be using DRIVER meanwhile.
void reset_driver();
}  // namespace testing

struct DriverSet {
  driver::module::hw::Hw hw;
  driver::module::osc::Osc osc;
  driver::module::clock::Clock clock;
};

class LazyDriverSet {
 public:
  constexpr LazyDriverSet() = default;
  LazyDriverSet(const LazyDriverSet&) = delete;
  LazyDriverSet& operator=(const LazyDriverSet&) = delete;

  // The set, created first if need be. Fails with "Unable to init driver" caused
  // by the creation error.
  base::Result<const DriverSet*> get();

 private:
  friend void testing::reset_driver();
  enum class State : std::uint8_t { NotCreated, Ready, Failed };

  std::atomic<State> state_{State::NotCreated};
  std::mutex mu_;  // held by the creating thread; later failures read error_ under it
  // Never freed while the process runs: connection threads may still be using the
  // set when the process exits, so no destructor may run on it.
  const DriverSet* set_ = nullptr;
  const base::Error* error_ = nullptr;
};

extern constinit LazyDriverSet DRIVER;

}  // namespace server

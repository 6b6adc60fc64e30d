#include "server/driver_set.h"

#include <cstdio>
#include <memory>
#include <string>

namespace server {
namespace {

// In member order; the locals already created unmap their windows when a later
// member fails.
base::Result<std::unique_ptr<DriverSet>> create_driver_set() {
  auto hw = driver::module::hw::Hw::create();
  if (!hw) return std::unexpected(hw.error());
  auto osc = driver::module::osc::Osc::create();
  if (!osc) return std::unexpected(osc.error());
  auto clock = driver::module::clock::Clock::create();
  if (!clock) return std::unexpected(clock.error());
  return std::make_unique<DriverSet>(
      DriverSet{std::move(*hw), std::move(*osc), std::move(*clock)});
}

}  // namespace

constinit LazyDriverSet DRIVER;

base::Result<const DriverSet*> LazyDriverSet::get() {
  if (state_.load(std::memory_order_acquire) == State::Ready) return set_;
  std::lock_guard lock(mu_);
  if (state_.load(std::memory_order_relaxed) == State::NotCreated) {
    auto created = create_driver_set();
    if (created) {
      set_ = created->release();
      state_.store(State::Ready, std::memory_order_release);
      return set_;
    }
    error_ = new base::Error(std::move(created.error()));
    state_.store(State::Failed, std::memory_order_relaxed);
  }
  if (state_.load(std::memory_order_relaxed) == State::Ready) return set_;
  base::Error error = error_->context("Unable to init driver");
  const std::string report = error.describe() + "\n";
  std::fputs(report.c_str(), stderr);
  return std::unexpected(std::move(error));
}

namespace testing {
void reset_driver() {
  std::lock_guard lock(DRIVER.mu_);
  delete DRIVER.set_;
  delete DRIVER.error_;
  DRIVER.set_ = nullptr;
  DRIVER.error_ = nullptr;
  DRIVER.state_.store(LazyDriverSet::State::NotCreated);
}
}  // namespace testing

}  // namespace server

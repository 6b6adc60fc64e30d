#pragma once
// How a driver operation waits on the hardware it started: the first status read
// comes `first` after the start (zero: straight away), then one read every
// `interval` until the operation's limit. The single commands poll in 1 ms steps
// from the start; a batch of captures waits out what the previous trace took and
// then polls in steps of microseconds, which a short transfer or fill needs.
#include <chrono>

namespace driver::module {

struct Polling {
  std::chrono::microseconds first{0};
  std::chrono::microseconds interval{std::chrono::milliseconds(1)};
};

}  // namespace driver::module

#pragma once
// The simulated target as tests need it: powered and clocked, so its bus devices
// answer and it draws power, and captures waited for until they are complete.
#include <chrono>

#include "sim/capture.h"
#include "sim/instrument.h"

namespace support {

// Supply on and clock gate open, written to the power block model behind the
// driver's back (they show in its access log).
void power_target(sim::Instrument& instrument);

// Polls the capture core until its status reads complete (0x102), at most `limit`.
bool wait_complete(sim::CaptureCore& core, std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace support

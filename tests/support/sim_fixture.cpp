#include "support/sim_fixture.h"

#include "driver/core/hal.h"

namespace support {

std::shared_ptr<sim::Instrument> install_sim() {
  auto instrument = sim::Instrument::create();
  instrument->set_recording(true);
  driver::core::install_platform(instrument);
  return instrument;
}

}  // namespace support

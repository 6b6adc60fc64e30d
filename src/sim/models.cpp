#include "sim/instrument.h"

#include <memory>

#include "sim/capture.h"
#include "sim/clock_gen.h"
#include "sim/display.h"
#include "sim/i2c_ctrl.h"
#include "sim/power_bus.h"
#include "sim/spi_ctrl.h"
#include "sim/uart_ctrl.h"

namespace sim {

void build_models(Instrument& instrument) {
  // Power-on clocks: 48 MHz samples a 4 MHz target clock, twelve samples a period.
  auto sample_clock = std::make_shared<ClockGen>("sample_clock", ClockGen::OSC_GEN_BASE, 48, 5, 10);
  auto target_clock = std::make_shared<ClockGen>("target_clock", ClockGen::NUT_GEN_BASE, 48, 5, 120);
  auto power = std::make_shared<PowerBus>();
  auto memory_a = std::make_shared<SampleMemory>("wave_a", SampleMemory::A_BASE);
  auto memory_b = std::make_shared<SampleMemory>("wave_b", SampleMemory::B_BASE);
  auto capture = std::make_shared<CaptureCore>(CaptureCore::Inputs{
      sample_clock.get(), target_clock.get(), power.get(), memory_a.get(), memory_b.get()});
  instrument.add_block(sample_clock);
  instrument.add_block(target_clock);
  instrument.add_block(power);
  instrument.add_block(memory_a);
  instrument.add_block(memory_b);
  instrument.add_block(capture);
  // The bus controllers trigger the capture core with what their targets received.
  power->attach(PowerBus::UART_FIRST, PowerBus::UART_END, std::make_shared<UartCtrl>(capture.get()));
  power->attach(PowerBus::SPI_FIRST, PowerBus::SPI_END, std::make_shared<SpiCtrl>(capture.get()));
  power->attach(PowerBus::I2C_FIRST, PowerBus::I2C_END, std::make_shared<I2cCtrl>(capture.get()));
  attach_display(instrument);  // on GPIO lines 12 and 13
}

}  // namespace sim

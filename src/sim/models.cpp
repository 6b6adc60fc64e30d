#include <cerrno>
#include <memory>

#include "sim/aes_target.h"
#include "sim/capture.h"
#include "sim/clock_gen.h"
#include "sim/config.h"
#include "sim/display.h"
#include "sim/i2c_ctrl.h"
#include "sim/instrument.h"
#include "sim/power_bus.h"
#include "sim/spi_ctrl.h"
#include "sim/uart_ctrl.h"

namespace sim {

namespace {

// Each effect says what the simulator does and then what a host sees; "\n" breaks
// the line in --help.
constexpr FaultInfo FAULTS[] = {
    {Fault::SpiHang, "spi-hang",
     "the SPI controller never goes idle: transfers that read\n"
     "answer InternalError \"SPI transceive\" after 1 s"},
    {Fault::I2cHang, "i2c-hang", "the I2C controller never goes idle: transfers that read\nanswer TimeOut after 1 s"},
    {Fault::UartHang, "uart-hang",
     "the UART never goes idle: transfers that read answer\nTimeOut after their own time-out"},
    {Fault::SpiReadback, "spi-readback",
     "SPI enable, reset and configuration do not read back:\n"
     "InternalError \"Failed to enable spi\", \"Failed to reset spi\",\n"
     "\"Failed to configure SPI\""},
    {Fault::I2cReadback, "i2c-readback",
     "I2C enable, reset and configuration do not read back:\n"
     "InternalError \"Failed to enable i2c\", \"Failed to reset i2c\",\n"
     "\"Failed to configure i2c\""},
    {Fault::UartReadback, "uart-readback",
     "UART enable, reset and configuration do not read back:\n"
     "InternalError \"Failed to enable uart\", \"Failed to reset uart\",\n"
     "\"Configuring UART\""},
    {Fault::SpiBrokenLock, "spi-broken-lock",
     "the first SPI transfer faults and breaks the bus lock: it\n"
     "answers InternalError \"Request failed\", every later one\n"
     "\"SPI transceive\""},
    {Fault::I2cBrokenLock, "i2c-broken-lock",
     "the first I2C transfer faults and breaks the bus lock: it\n"
     "answers InternalError \"Request failed\", every later one\n"
     "Busy"},
    {Fault::UartBrokenLock, "uart-broken-lock",
     "the first UART transfer faults and breaks the bus lock: it\n"
     "answers InternalError \"Request failed\", every later one\n"
     "Busy"},
    {Fault::DisplayBusy, "display-busy",
     "someone else holds GPIO line 13: commands that update the\n"
     "display apply their setting and answer InternalError\n"
     "\"Initializing OLED\""},
    {Fault::MapRefused, "map-refused",
     "mapping the capture core is refused: commands that need the\n"
     "driver set answer InternalError \"Unable to init driver\""},
};

BusCtrl* controller(Instrument& instrument, Fault fault) {
  switch (fault) {
    case Fault::SpiHang:
    case Fault::SpiReadback:
    case Fault::SpiBrokenLock: return bus_controller<BusCtrl>(instrument, PowerBus::SPI_FIRST);
    case Fault::I2cHang:
    case Fault::I2cReadback:
    case Fault::I2cBrokenLock: return bus_controller<BusCtrl>(instrument, PowerBus::I2C_FIRST);
    case Fault::UartHang:
    case Fault::UartReadback:
    case Fault::UartBrokenLock: return bus_controller<BusCtrl>(instrument, PowerBus::UART_FIRST);
    default: return nullptr;
  }
}

}  // namespace

std::span<const FaultInfo> faults() { return FAULTS; }

std::optional<Fault> fault_named(std::string_view name) {
  for (const auto& f : FAULTS)
    if (f.name == name) return f.fault;
  return std::nullopt;
}

void build_models(Instrument& instrument, const Config& config) {
  // Power-on clocks: 48 MHz samples a 4 MHz target clock, twelve samples a period.
  auto sample_clock = std::make_shared<ClockGen>("sample_clock", ClockGen::OSC_GEN_BASE, 48, 5, 10);
  auto target_clock = std::make_shared<ClockGen>("target_clock", ClockGen::NUT_GEN_BASE, 48, 5, 120);
  auto power = std::make_shared<PowerBus>(target_clock.get());
  auto memory_a = std::make_shared<SampleMemory>("wave_a", SampleMemory::A_BASE);
  auto memory_b = std::make_shared<SampleMemory>("wave_b", SampleMemory::B_BASE);
  auto capture = std::make_shared<CaptureCore>(CaptureCore::Inputs{
      sample_clock.get(), target_clock.get(), power.get(), memory_a, memory_b, config.seed,
      config.aes_profile.noise});
  power->set_capture(capture.get());
  instrument.add_block(sample_clock);
  instrument.add_block(target_clock);
  instrument.add_block(power);
  instrument.add_block(memory_a);
  instrument.add_block(memory_b);
  instrument.add_block(capture);
  // The bus controllers tell the capture core about every transfer.
  power->attach(PowerBus::UART_FIRST, PowerBus::UART_END, std::make_shared<UartCtrl>(capture.get(), power.get()));
  auto spi = std::make_shared<SpiCtrl>(capture.get(), power.get());
  if (config.spi_target == Config::SpiDevice::Aes)
    spi->set_target(std::make_unique<AesTarget>(config.aes_key, config.aes_profile, config.seed));
  power->attach(PowerBus::SPI_FIRST, PowerBus::SPI_END, spi);
  power->attach(PowerBus::I2C_FIRST, PowerBus::I2C_END, std::make_shared<I2cCtrl>(capture.get(), power.get()));
  attach_display(instrument);  // on GPIO lines 12 and 13
}

void switch_on(Instrument& instrument, Fault fault) {
  switch (fault) {
    case Fault::SpiHang:
    case Fault::I2cHang:
    case Fault::UartHang: controller(instrument, fault)->set_hang(true); break;
    case Fault::SpiReadback:
    case Fault::I2cReadback:
    case Fault::UartReadback: controller(instrument, fault)->set_garbled_readback(true); break;
    case Fault::SpiBrokenLock:
    case Fault::I2cBrokenLock:
    case Fault::UartBrokenLock: controller(instrument, fault)->fail_next_start(); break;
    case Fault::DisplayBusy: instrument.hold_line(Display::SDA_LINE); break;
    case Fault::MapRefused: instrument.refuse_map(CaptureCore::BASE, EACCES); break;
  }
}

}  // namespace sim

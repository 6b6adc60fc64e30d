// sim-bench: the processor time the simulated instrument spends on one capture of
// 4,096 samples on both channels at 48 MHz, triggered by an encryption of the AES
// target, for each profile, next to the capture's modelled fill (85.3 us). Below 1
// the simulator keeps up with the instrument it models, so a campaign on loopback is
// limited by the instrument's timing, not by the model.
//
//   sim-bench [--captures N]
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/aes_target.h"
#include "sim/capture.h"
#include "sim/clock_gen.h"
#include "sim/config.h"
#include "sim/instrument.h"
#include "sim/power_bus.h"
#include "sim/spi_ctrl.h"

namespace {

constexpr std::uint32_t SAMPLES = 4096;
constexpr double FILL_US = SAMPLES / 48.0;  // at 48 MHz

double cpu_us() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

struct Figures {
  double per_capture_us;  // arming, the transfer with its trigger, the synthesis
  double armed_us;        // arming alone
};

// Captures `n` times, each triggered by a 16-byte SPI transfer (or forced), and
// returns the processor time per capture on this thread, where the capture core
// writes captures of this length.
Figures measure(const sim::Config& config, int n, bool forced) {
  auto instrument = sim::Instrument::create(config);
  auto& clock = *instrument->model_at<sim::ClockGen>(sim::ClockGen::NUT_GEN_BASE);
  clock.write(sim::ClockGen::D0_OFFSET, 20);  // the target at 24 MHz
  clock.write(sim::ClockGen::LOAD_OFFSET, 3);
  auto& power = *instrument->model_at<sim::PowerBus>(sim::PowerBus::BASE);
  auto& core = *instrument->model_at<sim::CaptureCore>(sim::CaptureCore::BASE);
  power.write(sim::PowerBus::VOLTAGE_EN_OFFSET, 1);
  power.write(sim::PowerBus::NUT_CLK_EN_OFFSET, 1);
  power.write(sim::SpiCtrl::ENABLE_OFFSET, 1);
  core.write(sim::CaptureCore::SAMPLE_LENGTH_OFFSET, SAMPLES);
  std::uint8_t pt[16] = {};
  double total = 0, arming = 0;
  for (int i = 0; i < n; ++i) {
    pt[i % 16] = static_cast<std::uint8_t>(i);
    const double t0 = cpu_us();
    core.write(sim::CaptureCore::SINGLE_OFFSET, 1);
    core.write(sim::CaptureCore::SINGLE_OFFSET, 0);
    const double t1 = cpu_us();
    if (forced) {
      core.write(sim::CaptureCore::FORCE_OFFSET, 1);
      core.write(sim::CaptureCore::FORCE_OFFSET, 0);
    } else {
      power.write(sim::SpiCtrl::TX_LEN_OFFSET, 16);
      power.write(sim::SpiCtrl::RX_LEN_OFFSET, 16);
      for (auto b : pt) power.write(sim::SpiCtrl::TX_OFFSET, b);
      power.write(sim::SpiCtrl::CTL_OFFSET, 3);  // start with the trigger bit: the capture is written now
    }
    const double t2 = cpu_us();
    // The transfer's answer is not waited for: the reset ends it and empties the FIFOs.
    if (!forced) power.write(sim::SpiCtrl::RESET_OFFSET, 1);
    total += t2 - t0;
    arming += t1 - t0;
  }
  if (core.captures() != static_cast<std::uint32_t>(n)) {
    std::fprintf(stderr, "sim-bench: %u of %d captures triggered\n", core.captures(), n);
    std::exit(1);
  }
  return {total / n, arming / n};
}

}  // namespace

int main(int argc, char** argv) {
  int n = 2000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--captures") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      n = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: sim-bench [--captures N]\n");
      return 2;
    }
  }
  std::printf("processor time per capture of %u samples on both channels, %d captures each;\n"
              "modelled fill at 48 MHz: %.1f us\n\n", SAMPLES, n, FILL_US);
  std::printf("%-22s %12s %12s %10s\n", "trigger", "us/capture", "of which arm", "x fill");
  auto row = [&](const char* name, const sim::Config& config, bool forced) {
    measure(config, n / 10 + 1, forced);  // warm up: tables, pages of the memories
    const Figures f = measure(config, n, forced);
    std::printf("%-22s %12.1f %12.2f %10.3f\n", name, f.per_capture_us, f.armed_us, f.per_capture_us / FILL_US);
  };
  row("force, no target", sim::Config{}, true);
  for (const auto& p : sim::aes_profiles()) {
    sim::Config config;
    config.spi_target = sim::Config::SpiDevice::Aes;
    config.aes_profile = p.profile;
    row((std::string("aes ") + std::string(p.name)).c_str(), config, false);
  }
  return 0;
}

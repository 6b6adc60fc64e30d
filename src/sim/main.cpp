// valdrixd-sim: the control service on the simulated instrument. The same service
// as valdrixd above the hardware seam, for host-program authors without an
// instrument and for the black-box tests.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/core/hal.h"
#include "server/service.h"
#include "sim/aes_target.h"
#include "sim/config.h"
#include "sim/display.h"
#include "sim/instrument.h"

namespace {

constexpr const char* USAGE =
    "usage: valdrixd-sim [--port N] [--display PATH] [--seed N] [--fault NAME]...\n"
    "                    [--spi-target echo|aes] [--aes-key HEX] [--help]\n"
    "\n"
    "Serves the Valdrix-M4 control protocol on 0.0.0.0:N (default 9761) against a\n"
    "simulated instrument.\n"
    "\n"
    "  --port N        TCP port to listen on, 1 to 65535\n"
    "  --display PATH  keep the simulated OLED screen in PATH as a PBM image (P4,\n"
    "                  128 x 64, 1 = lit), replaced after every display transaction\n"
    "  --seed N        seed of the capture noise, 0 to 2^64-1 (default 24301); the same\n"
    "                  seed and the same requests give the same samples\n"
    "  --fault NAME    switch a fault on from start-up; repeatable. NAME is one of:\n";

std::string usage() {
  std::string text = USAGE;
  for (const auto& f : sim::faults()) {
    std::string line = "    " + std::string(f.name);
    line.resize(22, ' ');
    text += line + std::string(f.effect) + "\n";
  }
  text +=
      "  --spi-target T  the device on the SPI bus: echo (default) answers what it\n"
      "                  received; aes answers a 16-byte block with its AES-128\n"
      "                  encryption and leaks each round's bytes on channel B\n"
      "  --aes-key HEX   the aes device's key, 32 hex digits (default\n"
      "                  000102030405060708090a0b0c0d0e0f)\n"
      "  --help          show this text and exit\n";
  return text;
}

struct Options {
  std::uint16_t port = server::SERVER_PORT;
  std::string display_path;
  sim::Config config;
};

bool parse_port(std::string_view text, std::uint16_t& port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool parse_u64(std::string_view text, std::uint64_t& out) {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  out = value;
  return true;
}

// Returns -1 to go on serving, otherwise the exit status.
int parse_args(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(usage().c_str(), stdout);
      return 0;
    }
    if (arg == "--port") {
      if (i + 1 < argc && parse_port(argv[i + 1], options.port)) {
        ++i;
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: --port needs a number from 1 to 65535\n%s", usage().c_str());
      return 2;
    }
    if (arg == "--display") {
      if (i + 1 < argc && argv[i + 1][0] != '\0') {
        options.display_path = argv[++i];
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: --display needs a file path\n%s", usage().c_str());
      return 2;
    }
    if (arg == "--seed") {
      if (i + 1 < argc && parse_u64(argv[i + 1], options.config.seed)) {
        ++i;
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: --seed needs a number from 0 to 18446744073709551615\n%s",
                   usage().c_str());
      return 2;
    }
    if (arg == "--fault") {
      if (i + 1 < argc) {
        if (auto fault = sim::fault_named(argv[i + 1])) {
          options.config.faults.push_back(*fault);
          ++i;
          continue;
        }
      }
      std::fprintf(stderr, "valdrixd-sim: --fault needs one of the fault names below\n%s", usage().c_str());
      return 2;
    }
    if (arg == "--spi-target") {
      const std::string_view value = i + 1 < argc ? argv[i + 1] : "";
      if (value == "echo" || value == "aes") {
        options.config.spi_target = value == "aes" ? sim::Config::SpiDevice::Aes : sim::Config::SpiDevice::Echo;
        ++i;
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: --spi-target needs echo or aes\n%s", usage().c_str());
      return 2;
    }
    if (arg == "--aes-key") {
      if (auto key = sim::parse_aes_key(i + 1 < argc ? argv[i + 1] : "")) {
        options.config.aes_key = *key;
        ++i;
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: --aes-key needs 32 hexadecimal digits\n%s", usage().c_str());
      return 2;
    }
    // Further options go here, before the fall-through to the usage error.
    std::fprintf(stderr, "valdrixd-sim: unknown argument '%s'\n%s", argv[i], usage().c_str());
    return 2;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = parse_args(argc, argv, options); status >= 0) return status;

  auto instrument = sim::Instrument::create(options.config);
  if (!options.display_path.empty()) {
    if (auto written = sim::display_of(*instrument)->set_output_path(options.display_path); !written) {
      std::fprintf(stderr, "valdrixd-sim: --display: %s\n", written.error().describe().c_str());
      return 1;
    }
  }
  driver::core::install_platform(instrument);
  return server::service_main(options.port);
}

// valdrixd-sim: the control service on the simulated instrument. The same service
// as valdrixd above the hardware seam, for host-program authors without an
// instrument and for the black-box tests.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <arpa/inet.h>

#include "driver/core/hal.h"
#include "server/service.h"
#include "sim/aes_target.h"
#include "sim/config.h"
#include "sim/display.h"
#include "sim/instrument.h"

namespace {

constexpr const char* USAGE =
    "usage: valdrixd-sim [--port N] [--listen ADDRESS] [--display PATH] [--seed N]\n"
    "                    [--fault NAME]... [--spi-target echo|aes] [--aes-key HEX]\n"
    "                    [--aes-profile NAME] [--aes-noise SIGMA] [--aes-background]\n"
    "                    [--aes-jitter CYCLES] [--aes-mask] [--aes-shuffle]\n"
    "                    [--leakage-map] [--help]\n"
    "\n"
    "Serves the Valdrix-M4 control protocol on ADDRESS:N (default 0.0.0.0:9761, all\n"
    "IPv4 interfaces) against a simulated instrument.\n"
    "\n"
    "  --port N        TCP port to listen on, 1 to 65535\n"
    "  --listen ADDRESS  the IPv4 address to listen on, e.g. 127.0.0.1 for this\n"
    "                  machine only (default 0.0.0.0)\n"
    "  --display PATH  keep the simulated OLED screen in PATH as a PBM image (P4,\n"
    "                  128 x 64, 1 = lit), replaced after every display transaction\n"
    "  --seed N        seed of all randomness (capture noise, the aes device's start,\n"
    "                  masks and orders), 0 to 2^64-1 (default 24301); the same seed\n"
    "                  and the same requests give the same samples\n"
    "  --fault NAME    switch a fault on from start-up; repeatable. NAME is one of\n"
    "                  these, with what a host sees:\n";

std::string usage() {
  std::string text = USAGE;
  for (const auto& f : sim::faults()) {
    std::string line = "    " + std::string(f.name);
    line.resize(22, ' ');
    // An effect may run over several lines; each goes under the first.
    for (char ch : f.effect) line += ch == '\n' ? std::string("\n") + std::string(22, ' ') : std::string(1, ch);
    text += line + "\n";
  }
  text +=
      "  --spi-target T  the device on the SPI bus: echo (default) answers what it\n"
      "                  received; aes answers a 16-byte block with its AES-128\n"
      "                  encryption and leaks each round's bytes on channel B\n"
      "  --aes-key HEX   the aes device's key, 32 hex digits (default\n"
      "                  000102030405060708090a0b0c0d0e0f)\n"
      "  --aes-profile NAME  how hard the aes device is to attack, a set of the knobs\n"
      "                  below (knobs given as well add to it). NAME is one of:\n";
  for (const auto& p : sim::aes_profiles()) {
    std::string line = "    " + std::string(p.name);
    line.resize(22, ' ');
    text += line + std::string(p.knobs) + "\n";
  }
  text +=
      "  --aes-noise SIGMA  Gaussian noise on channel B, standard deviation in sample\n"
      "                  units at full gain, 0 to 65535 (0: none); above about 8000\n"
      "                  lower the gain, or the samples saturate\n"
      "  --aes-background  the firmware's other work draws random bytes every 2 target\n"
      "                  cycles, over and between the cipher's draws\n"
      "  --aes-jitter CYCLES  the cipher starts a further 0 to CYCLES target cycles\n"
      "                  (uniform) after its 64-cycle lead-in, 0 to 65535\n"
      "  --aes-mask      first-order Boolean masking: every draw is of a masked value;\n"
      "                  the masks of round 1's S-box outputs are drawn first\n"
      "  --aes-shuffle   each round's SubBytes and ShiftRows visit the 16 bytes in a\n"
      "                  random order\n"
      "  --leakage-map   print the aes device's first-round draws at a 24 MHz target\n"
      "                  clock sampled at 48 MHz as JSON on standard output, and exit\n"
      "  --help          show this text and exit\n";
  return text;
}

struct Options {
  std::uint16_t port = server::SERVER_PORT;
  std::string listen = "0.0.0.0";
  std::string display_path;
  sim::Config config;
  bool leakage_map = false;
};

// Knobs given on their own, applied over the profile whatever the order.
struct Knobs {
  std::optional<std::uint32_t> noise, jitter;
  bool background = false, mask = false, shuffle = false;
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

bool parse_u16(std::string_view text, std::uint32_t& out) {
  std::uint64_t value = 0;
  if (!parse_u64(text, value) || value > 65535) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

// The first round's draws as a list of JSON objects, one a line. Two samples a
// target cycle: a 24 MHz target clock sampled at 48 MHz, no trigger delay.
std::string leakage_map_json(const sim::AesProfile& profile) {
  std::string out = "[\n";
  const auto map = sim::AesTarget::leakage_map(profile);
  for (std::size_t n = 0; n < map.size(); ++n) {
    const auto& e = map[n];
    out += "  {\"round\": 1, \"byte\": " + std::to_string(e.byte) + ", \"intermediate\": \"" +
           std::string(e.intermediate) + "\", \"sample\": " + std::to_string(2 * e.cycle) +
           ", \"length\": " + std::to_string(2 * e.cycles) + "}" + (n + 1 < map.size() ? ",\n" : "\n");
  }
  return out + "]\n";
}

// Returns -1 to go on serving, otherwise the exit status.
int parse_args(int argc, char** argv, Options& options) {
  Knobs knobs;
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
    if (arg == "--listen") {
      in_addr addr{};
      if (i + 1 < argc && ::inet_pton(AF_INET, argv[i + 1], &addr) == 1) {
        options.listen = argv[++i];
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: --listen needs an IPv4 address such as 127.0.0.1\n%s", usage().c_str());
      return 2;
    }
    if (arg == "--aes-profile") {
      if (auto profile = sim::aes_profile_named(i + 1 < argc ? argv[i + 1] : "")) {
        options.config.aes_profile = *profile;
        ++i;
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: --aes-profile needs one of the profile names below\n%s",
                   usage().c_str());
      return 2;
    }
    if (arg == "--aes-noise" || arg == "--aes-jitter") {
      std::uint32_t value = 0;
      if (i + 1 < argc && parse_u16(argv[i + 1], value)) {
        (arg == "--aes-noise" ? knobs.noise : knobs.jitter) = value;
        ++i;
        continue;
      }
      std::fprintf(stderr, "valdrixd-sim: %s needs a number from 0 to 65535\n%s", argv[i], usage().c_str());
      return 2;
    }
    if (arg == "--aes-background" || arg == "--aes-mask" || arg == "--aes-shuffle") {
      (arg == "--aes-background" ? knobs.background : arg == "--aes-mask" ? knobs.mask : knobs.shuffle) = true;
      continue;
    }
    if (arg == "--leakage-map") {
      options.leakage_map = true;
      continue;
    }
    // Further options go here, before the fall-through to the usage error.
    std::fprintf(stderr, "valdrixd-sim: unknown argument '%s'\n%s", argv[i], usage().c_str());
    return 2;
  }
  auto& profile = options.config.aes_profile;
  if (knobs.noise) profile.noise = *knobs.noise;
  if (knobs.jitter) profile.jitter = *knobs.jitter;
  profile.background |= knobs.background;
  profile.mask |= knobs.mask;
  profile.shuffle |= knobs.shuffle;
  if (options.leakage_map) {
    std::fputs(leakage_map_json(profile).c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
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
  return server::service_main(options.port, options.listen);
}

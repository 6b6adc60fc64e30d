#pragma once
// Load runs: one mix of requests on C connections, against the service and the
// floor in alternating time slices, reported as a row of rates, latencies and
// ratios.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bench/floor.h"
#include "bench/wire.h"

namespace bench {

enum class Kind { GetId, ReadRegister, Wave, Spi, Capture };

struct Mix {
  Kind kind = Kind::GetId;
  std::uint32_t n = 0;  // samples (wave, capture) or bytes (spi)
  bool captured = false;  // wave: make a capture of n samples first, so real data is read

  std::string name() const {
    auto size = [](std::uint64_t bytes) {
      if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
      if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
      return std::to_string(bytes) + " B";
    };
    switch (kind) {
      case Kind::GetId: return "get_id";
      case Kind::ReadRegister: return "read_register";
      case Kind::Wave: return "wave " + size(std::uint64_t{n} * 2) + (captured ? " captured" : "");
      case Kind::Spi: return "spi_transceive " + size(n);
      case Kind::Capture: return "capture loop " + size(std::uint64_t{n} * 2) + "x2";
    }
    return "?";
  }
};

std::optional<Mix> parse_mix(std::string_view text);

struct RunResult {
  bool ok = false;
  std::string error;
  std::uint64_t ops = 0, requests = 0, failed = 0;
  std::uint16_t bad_status = 0;
  double seconds = 0, ops_per_s = 0, req_per_s = 0, mib_per_s = 0;
  double p50_us = 0, p99_us = 0, max_us = 0;
  double cpu_us = -1;  // server processor time (user and system, all threads) per operation
  bool forced_trigger = false;  // capture loop fell back to osc_set_force
};


struct Row {
  Mix mix;
  int connections = 1;
  RunResult service, floor;
};

void print_header(double seconds, double slice, const std::string& target);
void print_row(const Row& r);
Row measure(const sockaddr_in& service, pid_t pid, FloorServer& floor, const Mix& mix, int connections,
            double seconds, double slice);

}  // namespace bench

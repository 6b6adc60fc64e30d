#pragma once
// The standard set (--standard) and the two one-off runs it contains: pipelined
// capture sequences (--batches) and a flood of stalled uploads (--flood).
#include <string>

#include "bench/floor.h"
#include "bench/wire.h"

namespace bench {

inline constexpr std::uint32_t BATCH_SAMPLES = 2048;
inline constexpr int MAX_FLOOD = 4000;

struct BatchResult {
  bool ok = false;
  std::string error;
  double median_ms = 0, max_ms = 0;
};

// Batches of the capture loop's five requests, each batch sent in one write and
// answered before the next: arm, a write-only SPI transfer that triggers, status,

BatchResult capture_batches(const sockaddr_in& addr, std::uint32_t samples, int batches);
void print_batches(const BatchResult& b, std::uint32_t samples, int batches);

struct FloodResult {
  bool ok = false;
  std::string error;
  long idle_kib = -1, flooded_kib = -1;
  bool answered = false;
};

// `count` connections that each announce a 16 MiB payload, send 16 bytes of it

FloodResult flood(const sockaddr_in& addr, pid_t pid, int count);
void print_flood(const FloodResult& f, int count);

int run_standard(const sockaddr_in& addr, FloorServer& floor, pid_t pid, double seconds, double slice);

}  // namespace bench

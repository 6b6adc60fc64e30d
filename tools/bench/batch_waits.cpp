#include "bench/batch_waits.h"

#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "bench/server.h"
#include "protocol/commands.h"

namespace bench {
namespace {

namespace cmd = protocol::command;

constexpr const char* USAGE =
    "usage: valdrix-bench batch-waits [--port N | --spawn PATH] [--pid PID]\n"
    "\n"
    "How capture_batch waits, on loopback:\n"
    "  - a 20-trace SPI batch alone, then behind another client's 0.5 s SPI transfer\n"
    "    (target: about 0.5 s plus the batch alone);\n"
    "  - a batch of 3 missed triggers of 1 s each: the server's CPU while it waits,\n"
    "    in cores (target: well under 0.25; needs --spawn or --pid).\n"
    "The server's instrument is set up for it (target powered, SPI on, trigger set-up).\n";

constexpr std::uint32_t SAMPLES = 1024;
// The SPI master counts its delay in 20 ns cycles.
constexpr std::uint32_t HALF_SECOND_CYCLES = 25'000'000;

Bytes u8s(std::initializer_list<std::uint8_t> v) { return Bytes(v); }

Bytes batch_payload(std::uint32_t count, std::uint32_t timeout_ms) {
  Bytes p{1, 3};  // SPI, both channels
  auto put = [&](const Bytes& b) { p.insert(p.end(), b.begin(), b.end()); };
  put(be32(0));
  put(be32(SAMPLES));
  put(u8s({0, 16, 0, 16}));  // tx_len, rx_len
  put(be32(count));
  put(be32(timeout_ms));
  put(u8s({0, 0}));
  for (std::uint32_t k = 0; k < count; ++k)
    for (int i = 0; i < 16; ++i) p.push_back(static_cast<std::uint8_t>(k * 16 + i));
  return p;
}

bool ok(Conn& c, std::uint16_t code, const Bytes& payload, std::string& err) {
  Reply r;
  if (!c.call(request(code, payload), r) || r.status != 0) {
    err = "set-up command " + std::to_string(code) + " failed";
    return false;
  }
  return true;
}

// Seconds for one batch of `count` traces, its records counted complete.
std::optional<double> timed_batch(Conn& c, std::uint32_t count, std::uint32_t timeout_ms, std::string& err) {
  Reply r;
  const auto t0 = Clock::now();
  if (!c.call(request(cmd::capture_batch, batch_payload(count, timeout_ms)), r) || r.status != 0) {
    err = "capture_batch failed";
    return std::nullopt;
  }
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int run_batch_waits(int argc, char** argv) {
  std::uint16_t port = 9761;
  std::string spawn;
  pid_t pid = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    std::uint32_t v = 0;
    if (a == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "valdrix-bench batch-waits: bad argument '%s'\n%s", argv[i], USAGE);
      return 2;
    }
    const char* next = argv[++i];
    if (a == "--port" && parse_u32(next, v) && v > 0 && v <= 65535) {
      port = static_cast<std::uint16_t>(v);
    } else if (a == "--spawn") {
      spawn = next;
    } else if (a == "--pid" && parse_u32(next, v) && v > 0) {
      pid = static_cast<pid_t>(v);
    } else {
      std::fprintf(stderr, "valdrix-bench batch-waits: bad argument '%s'\n%s", argv[i - 1], USAGE);
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::optional<Spawned> spawned;
  if (!Spawned::spawn_if_asked(spawn, "valdrix-bench", port, pid, spawned)) return 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (!wait_until_listening(addr, pid, 10)) {
    std::fprintf(stderr, "valdrix-bench: no server on 127.0.0.1:%u\n", port);
    return 1;
  }
  std::string err;
  auto batch = Conn::open(addr, err);
  auto other = Conn::open(addr, err);
  if (!batch || !other) {
    std::fprintf(stderr, "valdrix-bench: %s\n", err.c_str());
    return 1;
  }
  if (!ok(*batch, cmd::nut_set_voltage_enable, {1}, err) || !ok(*batch, cmd::nut_clock_enable, {1}, err) ||
      !ok(*batch, cmd::spi_enable, {1}, err) || !ok(*batch, cmd::osc_set_sample_length, be32(SAMPLES), err) ||
      !ok(*batch, cmd::osc_set_trigger_source, {0}, err)) {
    std::fprintf(stderr, "valdrix-bench: %s\n", err.c_str());
    return 1;
  }

  std::printf("%-58s %10s\n", "batch waits (loopback)", "seconds");
  (void)timed_batch(*batch, 20, 1000, err);  // warm-up: the drivers open on first use
  auto alone = timed_batch(*batch, 20, 1000, err);
  if (!alone) {
    std::fprintf(stderr, "valdrix-bench: %s\n", err.c_str());
    return 1;
  }
  std::printf("%-58s %10s\n", "20-trace batch alone", fixed(*alone, 3).c_str());

  // The other client's transfer: one byte after a delay of 0.5 s, holding the SPI lock.
  Bytes slow{1};
  for (auto b : be32(HALF_SECOND_CYCLES)) slow.push_back(b);
  for (auto b : u8s({0, 1, 0, 0x5A})) slow.push_back(b);
  std::thread holder([&] {
    Reply r;
    (void)other->call(request(cmd::spi_transceive, slow), r);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto behind = timed_batch(*batch, 20, 1000, err);
  holder.join();
  if (!behind) {
    std::fprintf(stderr, "valdrix-bench: %s\n", err.c_str());
    return 1;
  }
  std::printf("%-58s %10s   target about 0.5 + %s\n", "20-trace batch behind another client's 0.5 s transfer",
              fixed(*behind, 3).c_str(), fixed(*alone, 3).c_str());

  // Channel A at the top of its range: the trigger never comes.
  if (!ok(*batch, cmd::osc_set_trigger_source, {1}, err) ||
      !ok(*batch, cmd::osc_set_trigger_edge_level, {0x7F, 0xFF}, err)) {
    std::fprintf(stderr, "valdrix-bench: %s\n", err.c_str());
    return 1;
  }
  const long long ticks0 = pid > 0 ? cpu_ticks(pid) : -1;
  auto missed = timed_batch(*batch, 3, 1000, err);
  const long long ticks1 = pid > 0 ? cpu_ticks(pid) : -1;
  (void)ok(*batch, cmd::osc_set_trigger_source, {0}, err);
  if (!missed) {
    std::fprintf(stderr, "valdrix-bench: %s\n", err.c_str());
    return 1;
  }
  std::printf("%-58s %10s\n", "batch of 3 missed triggers of 1 s", fixed(*missed, 3).c_str());
  if (ticks0 >= 0 && ticks1 >= ticks0) {
    const double cpu = static_cast<double>(ticks1 - ticks0) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::printf("%-58s %10s   target < 0.25\n", "  server CPU while it waits, cores", fixed(cpu / *missed, 3).c_str());
  } else {
    std::printf("  (server CPU: give --spawn or --pid)\n");
  }
  return 0;
}

}  // namespace bench

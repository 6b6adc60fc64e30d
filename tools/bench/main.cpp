// valdrix-bench: request rate, round-trip latency and read-out throughput of a
// Valdrix-M4 server on loopback, each figure next to the floor this machine allows,
// and capture campaigns against the instrument's and the link's limits.
//
// Absolute times drift on a shared machine, so every service figure is measured in
// the same run as its floor and reported as a ratio. The floor is a minimal server
// in a process forked by the bench: one thread per connection, it reads each
// request and answers with a frame of the size the service would send (13 bytes
// for get_id, 13 + 2N for a wave of N samples, from a buffer filled once), doing no
// other work. The same client code drives both, in short alternating slices.
//
// Loopback only, and every run is bounded in time and in count.
//
// The modes live in files of their own: load.cpp (mixes against the floor),
// standard.cpp (the standard set, --batches, --flood), campaign.cpp (capture
// campaigns) and proxy.cpp (the link emulator).
#include <cstdio>
#include <cstdlib>

#include "bench/batch_waits.h"
#include "bench/campaign.h"
#include "bench/floor.h"
#include "bench/load.h"
#include "bench/proxy.h"
#include "bench/server.h"
#include "bench/standard.h"

using namespace bench;

namespace {

constexpr const char* USAGE =
    "usage: valdrix-bench [options]\n"
    "       valdrix-bench campaign [options]   capture campaigns against their limits (--help)\n"
    "       valdrix-bench proxy [options]      a link emulator between a host and a server (--help)\n"
    "       valdrix-bench batch-waits [options] a batch behind a slow transfer; CPU while it waits (--help)\n"
    "\n"
    "Measures a Valdrix-M4 server on loopback next to this machine's floor.\n"
    "\n"
    "  --host ADDR       server address, a 127.x.x.x loopback address (default 127.0.0.1)\n"
    "  --port N          server port (default 9761)\n"
    "  --spawn PATH      start the server PATH --port P itself on a free port, stop it at the end\n"
    "  --pid PID         the server's process, for its resident memory (implied by --spawn)\n"
    "  -c N              connections, 1 to 256 (default 1)\n"
    "  -d SECONDS        length of each run, at most 120 (default 3)\n"
    "  -m MIX            what each connection does, repeatable (default get_id):\n"
    "                      get_id | read_register | wave[:SAMPLES] | wave-captured[:SAMPLES]\n"
    "                      | spi[:BYTES] | capture[:SAMPLES]\n"
    "                    the capture loop is arm, trigger, status polls, read-out of both channels\n"
    "  --slice SECONDS   floor and service take turns in slices this long (default 0.25)\n"
    "  --batches N       N capture batches: arm, a write-only triggering SPI transfer, status and\n"
    "                    two read-outs of 2048 samples sent in one write each; prints the median\n"
    "  --flood N         N connections that each announce a 16 MiB payload and send 16 bytes\n"
    "                    (at most 4000); prints the server's resident memory and whether a new\n"
    "                    connection still gets get_id answered\n"
    "  --standard        the standard set: get_id on 1 and 16 connections, read_register,\n"
    "                    2, 64 and 256 MiB waves, spi:256, capture loop, capture batches, a flood\n"
    "                    of 500 stalled uploads, and resident memory around a 256 MiB wave;\n"
    "                    prints the targets met or missed\n"
    "  --help            show this text\n";

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 9761;
  std::string spawn;
  pid_t pid = 0;
  int connections = 1;
  double seconds = 3;
  double slice = 0.25;
  std::vector<Mix> mixes;
  bool standard = false;
  int batches = 0;
  int flood = 0;
};

int parse_args(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    std::uint32_t v = 0;
    auto bad = [&] {
      std::fprintf(stderr, "valdrix-bench: bad argument '%s'\n%s", argv[i], USAGE);
      return 2;
    };
    if (a == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    } else if (a == "--standard") {
      o.standard = true;
      continue;
    } else if (!next) {
      return bad();
    } else if (a == "--host") {
      o.host = next;
    } else if (a == "--port") {
      if (!parse_u32(next, v) || v == 0 || v > 65535) return bad();
      o.port = static_cast<std::uint16_t>(v);
    } else if (a == "--spawn") {
      o.spawn = next;
    } else if (a == "--pid") {
      if (!parse_u32(next, v) || v == 0) return bad();
      o.pid = static_cast<pid_t>(v);
    } else if (a == "-c") {
      if (!parse_u32(next, v) || v == 0 || v > MAX_CONNECTIONS) return bad();
      o.connections = static_cast<int>(v);
    } else if (a == "-d") {
      char* end = nullptr;
      o.seconds = std::strtod(next, &end);
      if (*end != '\0' || !(o.seconds > 0) || o.seconds > MAX_SECONDS) return bad();
    } else if (a == "--slice") {
      char* end = nullptr;
      o.slice = std::strtod(next, &end);
      if (*end != '\0' || !(o.slice >= 0.01) || o.slice > MAX_SECONDS) return bad();
    } else if (a == "--batches") {
      if (!parse_u32(next, v) || v == 0 || v > 100000) return bad();
      o.batches = static_cast<int>(v);
    } else if (a == "--flood") {
      if (!parse_u32(next, v) || v == 0 || v > MAX_FLOOD) return bad();
      o.flood = static_cast<int>(v);
    } else if (a == "-m") {
      auto m = parse_mix(next);
      if (!m) return bad();
      o.mixes.push_back(*m);
    } else {
      return bad();
    }
    ++i;
  }
  if (o.mixes.empty()) o.mixes.push_back(Mix{});
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "campaign") return run_campaign(argc - 1, argv + 1);
  if (argc > 1 && std::string_view(argv[1]) == "proxy") return run_proxy(argc - 1, argv + 1);
  if (argc > 1 && std::string_view(argv[1]) == "batch-waits") return run_batch_waits(argc - 1, argv + 1);
  Options o;
  if (int status = parse_args(argc, argv, o); status >= 0) return status;
  ::signal(SIGPIPE, SIG_IGN);

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (::inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
    std::fprintf(stderr, "valdrix-bench: %s is not a loopback address; this tool only loads local servers\n",
                 o.host.c_str());
    return 2;
  }

  std::optional<Spawned> spawned;
  pid_t pid = o.pid;
  if (!Spawned::spawn_if_asked(o.spawn, "valdrix-bench", o.port, pid, spawned)) return 1;
  addr.sin_port = htons(o.port);
  if (!wait_until_listening(addr, spawned ? pid : 0, spawned ? 10 : 1)) {
    std::fprintf(stderr, "valdrix-bench: no server listening on %s:%u\n", o.host.c_str(), o.port);
    return 1;
  }
  if (spawned) std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle after start-up

  FloorServer floor;
  std::string err;
  if (!floor.start(err)) {
    std::fprintf(stderr, "valdrix-bench: %s\n", err.c_str());
    return 1;
  }

  std::string target = o.host + ":" + std::to_string(o.port);
  if (pid > 0) target += " (pid " + std::to_string(pid) + ")";
  if (o.standard) {
    std::printf("server %s\n", target.c_str());
    return run_standard(addr, floor, pid, o.seconds, o.slice);
  }

  if (o.batches > 0 || o.flood > 0) {
    std::printf("server %s\n", target.c_str());
    bool ok = true;
    if (o.batches > 0) {
      const BatchResult b = capture_batches(addr, BATCH_SAMPLES, o.batches);
      print_batches(b, BATCH_SAMPLES, o.batches);
      ok &= b.ok;
    }
    if (o.flood > 0) {
      const FloodResult f = flood(addr, pid, o.flood);
      print_flood(f, o.flood);
      ok &= f.ok && f.answered;
    }
    return ok ? 0 : 1;
  }

  const long before = pid > 0 ? rss_kib(pid) : -1;
  print_header(o.seconds, o.slice, target);
  bool all_ok = true;
  for (const Mix& m : o.mixes) all_ok &= measure(addr, pid, floor, m, o.connections, o.seconds, o.slice).service.ok;
  if (pid > 0)
    std::printf("\nserver resident memory: %.2f MiB before, %.2f MiB after\n", static_cast<double>(before) / 1024.0,
                static_cast<double>(rss_kib(pid)) / 1024.0);
  return all_ok ? 0 : 1;
}


#include "bench/standard.h"

#include <optional>
#include <thread>

#include "bench/load.h"
#include "protocol/commands.h"

namespace bench {
namespace {

// Asks for one wave of `samples` on a new connection and drops it, then calls `idle`
// with the connection still open and quiet; false if it was not answered in full.
template <class Idle>
bool one_wave(const sockaddr_in& addr, std::uint32_t samples, std::string& err, Idle idle) {
  auto c = Conn::open(addr, err);
  if (!c) return false;
  Reply rep;
  if (!c->call(wave_frame(1, samples), rep)) {
    err = "connection lost";
    return false;
  }
  if (rep.status != 0 || rep.length != std::uint64_t{samples} * 2) {
    err = "status " + std::to_string(rep.status) + ", " + std::to_string(rep.length) + " bytes";
    return false;
  }
  idle();
  return true;
}

constexpr int BATCHES = 50;
constexpr int FLOOD_CONNECTIONS = 500;
constexpr std::uint16_t NUT_SET_VOLTAGE_ENABLE = protocol::command::nut_set_voltage_enable;
constexpr std::uint16_t NUT_SET_CLOCK = protocol::command::nut_set_clock;
constexpr std::uint16_t NUT_CLOCK_ENABLE = protocol::command::nut_clock_enable;

struct Verdict {
  std::string what;
  std::string figure;
  std::optional<bool> met;  // nullopt: not measured
};

void print_verdicts(const std::vector<Verdict>& vs) {
  std::printf("\n%-58s %-30s %s\n", "target", "measured", "");
  for (const auto& v : vs)
    std::printf("%-58s %-30s %s\n", v.what.c_str(), v.figure.c_str(),
                !v.met ? "not measured" : *v.met ? "met" : "MISSED");
}

}  // namespace

BatchResult capture_batches(const sockaddr_in& addr, std::uint32_t samples, int batches) {
  BatchResult out;
  auto c = Conn::open(addr, out.error, false);
  if (!c) return out;
  Reply rep;
  // The target is powered and clocked, so the transfer reaches it.
  const std::vector<Bytes> setup{request(OSC_SET_SAMPLE_LENGTH, be32(samples)), request(NUT_SET_VOLTAGE_ENABLE, Bytes{1}),
                                 request(NUT_SET_CLOCK, be32(24000)),        request(NUT_CLOCK_ENABLE, Bytes{1}),
                                 request(SPI_ENABLE, Bytes{1})};
  for (const Bytes& f : setup) {
    if (!c->send_all(f) || !c->read_one(rep)) {
      out.error = "connection lost during set-up";
      return out;
    }
    if (rep.status != 0) {
      out.error = "set-up request " + std::to_string(base::load_be16(f.data() + 7)) + " answered status " +
                  std::to_string(rep.status);
      return out;
    }
  }
  Bytes trigger = spi_frame(2, true);
  base::store_be16(trigger.data() + protocol::REQUEST_HEADER_SIZE + 5, 0);  // write-only
  Bytes batch;
  for (const Bytes& f : {request(OSC_SET_SINGLE), trigger, request(OSC_GET_TRIGGER_STATUS), wave_frame(1, samples),
                         wave_frame(2, samples)})
    batch.insert(batch.end(), f.begin(), f.end());
  std::vector<double> ms;
  for (int i = 0; i < batches; ++i) {
    const auto t0 = Clock::now();
    if (!c->send_all(batch)) {
      out.error = "connection lost";
      return out;
    }
    for (int k = 0; k < 5; ++k) {
      if (!c->read_one(rep)) {
        out.error = "connection lost";
        return out;
      }
      if (rep.status != 0) {
        out.error = "answer " + std::to_string(k + 1) + " of a batch had status " + std::to_string(rep.status);
        return out;
      }
    }
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  out.median_ms = ms[ms.size() / 2];
  out.max_ms = ms.back();
  out.ok = true;
  return out;
}

FloodResult flood(const sockaddr_in& addr, pid_t pid, int count) {
  FloodResult out;
  out.idle_kib = pid > 0 ? rss_kib(pid) : -1;
  Bytes stalled = request(SPI_TRANSCEIVE);
  base::store_be32(stalled.data() + 11, 16u << 20);
  stalled.resize(stalled.size() + 16, 0);
  std::vector<Conn> conns;
  for (int i = 0; i < count; ++i) {
    auto c = Conn::open(addr, out.error);
    if (!c) return out;
    if (!c->send_all(stalled)) {
      out.error = "connection lost";
      return out;
    }
    conns.push_back(std::move(*c));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // every thread has read its 16 bytes
  out.flooded_kib = pid > 0 ? rss_kib(pid) : -1;
  if (auto c = Conn::open(addr, out.error)) {
    Reply rep;
    out.answered = c->call(request(GET_ID), rep) && rep.status == 0 && rep.length > 0;
  }
  out.ok = true;
  return out;
}

void print_batches(const BatchResult& b, std::uint32_t samples, int batches) {
  if (!b.ok) {
    std::printf("capture batches: %s\n", b.error.c_str());
    return;
  }
  std::printf("%d capture batches (arm, write-only SPI trigger, status, 2 x %u samples) in one write each: "
              "median %.3f ms, max %.3f ms\n",
              batches, samples, b.median_ms, b.max_ms);
}

void print_flood(const FloodResult& f, int count) {
  if (!f.ok) {
    std::printf("flood: %s\n", f.error.c_str());
    return;
  }
  std::printf("%d connections announcing 16 MiB, 16 bytes sent: server resident %.2f MiB (idle %.2f MiB), "
              "get_id on a new connection %s\n",
              count, static_cast<double>(f.flooded_kib) / 1024.0, static_cast<double>(f.idle_kib) / 1024.0,
              f.answered ? "answered" : "NOT answered");
}

int run_standard(const sockaddr_in& addr, FloorServer& floor, pid_t pid, double seconds, double slice) {
  std::vector<Verdict> verdicts;
  const long idle = pid > 0 ? rss_kib(pid) : -1;

  // Memory first, before anything else has run in the server: its peak so far is
  // then the peak during the read-out.
  constexpr std::uint32_t WAVE_256_MIB = 0x08000000;
  long after_wave = -1, peak_wave = -1;
  std::string err;
  if (idle > 0) {
    // Measured while the connection stays open: a lab script keeps its connection
    // between captures, and an idle one must not keep the wave's memory.
    const bool ok = one_wave(addr, WAVE_256_MIB, err, [&] {
      peak_wave = peak_rss_kib(pid);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      after_wave = rss_kib(pid);
    });
    if (!ok) std::printf("256 MiB wave: %s\n", err.c_str());
  }

  print_header(seconds, slice, "standard set");
  Row id1 = measure(addr, pid, floor, {Kind::GetId}, 1, seconds, slice);
  Row id16 = measure(addr, pid, floor, {Kind::GetId}, 16, seconds, slice);
  measure(addr, pid, floor, {Kind::ReadRegister}, 1, seconds, slice);
  constexpr std::uint32_t WAVE_2_MIB = 0x00100000;
  constexpr std::uint32_t WAVE_64_MIB = 0x02000000;
  Row wave2 = measure(addr, pid, floor, {Kind::Wave, WAVE_2_MIB}, 1, seconds, slice);
  Row wave = measure(addr, pid, floor, {Kind::Wave, WAVE_64_MIB}, 1, seconds, slice);
  Row wave256 = measure(addr, pid, floor, {Kind::Wave, WAVE_256_MIB}, 1, seconds, slice);
  measure(addr, pid, floor, {Kind::Spi, 256}, 1, seconds, slice);
  measure(addr, pid, floor, {Kind::Capture, 16384}, 1, seconds, slice);
  Row captured = measure(addr, pid, floor, {Kind::Wave, WAVE_64_MIB, true}, 1, seconds, slice);
  std::printf("\n");
  const BatchResult batches = capture_batches(addr, BATCH_SAMPLES, BATCHES);
  print_batches(batches, BATCH_SAMPLES, BATCHES);
  const FloodResult flooded = flood(addr, pid, FLOOD_CONNECTIONS);
  print_flood(flooded, FLOOD_CONNECTIONS);
  const long at_end = pid > 0 ? rss_kib(pid) : -1;

  auto ok = [](const Row& r) { return r.service.ok && r.floor.ok; };
  verdicts.push_back({"get_id p50, 1 connection: at most 1.25x the echo floor",
                      ok(id1) ? ratio(id1.service.p50_us, id1.floor.p50_us) : "-",
                      ok(id1) ? std::optional(id1.service.p50_us <= 1.25 * id1.floor.p50_us) : std::nullopt});
  verdicts.push_back({"get_id req/s, 16 connections: at least 0.8x the floor",
                      ok(id16) ? ratio(id16.service.ops_per_s, id16.floor.ops_per_s) : "-",
                      ok(id16) ? std::optional(id16.service.ops_per_s >= 0.8 * id16.floor.ops_per_s)
                               : std::nullopt});
  for (const Row* r : {&wave2, &wave, &wave256})
    verdicts.push_back({r->mix.name() + " MiB/s: at least 0.9x the bulk floor",
                        ok(*r) ? ratio(r->service.mib_per_s, r->floor.mib_per_s) : "-",
                        ok(*r) ? std::optional(r->service.mib_per_s >= 0.9 * r->floor.mib_per_s) : std::nullopt});
  verdicts.push_back({"64 MiB captured wave MiB/s: at least 0.7x the bulk floor",
                      ok(captured) ? ratio(captured.service.mib_per_s, captured.floor.mib_per_s) : "-",
                      ok(captured) ? std::optional(captured.service.mib_per_s >= 0.7 * captured.floor.mib_per_s)
                                   : std::nullopt});
  verdicts.push_back({"idle resident memory: at most 8 MiB",
                      idle > 0 ? fixed(static_cast<double>(idle) / 1024.0, 2) + " MiB" : "-",
                      idle > 0 ? std::optional(idle <= 8 * 1024) : std::nullopt});
  verdicts.push_back(
      {"after a 256 MiB wave, connection open: within 10% of idle",
       after_wave > 0 ? fixed(static_cast<double>(after_wave) / 1024.0, 2) + " MiB = " +
                            ratio(static_cast<double>(after_wave), static_cast<double>(idle)) + " idle"
                      : "-",
       after_wave > 0 ? std::optional(after_wave <= idle * 11 / 10) : std::nullopt});
  verdicts.push_back({"peak resident during a 256 MiB wave: at most idle + 8 MiB",
                      peak_wave > 0 ? "idle + " + fixed(static_cast<double>(peak_wave - idle) / 1024.0, 2) + " MiB"
                                    : "-",
                      peak_wave > 0 ? std::optional(peak_wave <= idle + 8 * 1024) : std::nullopt});
  verdicts.push_back({"capture batch of five requests in one write: median at most 2 ms",
                      batches.ok ? fixed(batches.median_ms, 3) + " ms" : "-",
                      batches.ok ? std::optional(batches.median_ms <= 2.0) : std::nullopt});
  verdicts.push_back(
      {"500 stalled 16 MiB uploads: under idle + 100 MiB, get_id answered",
       flooded.ok && flooded.flooded_kib > 0
           ? "idle + " + fixed(static_cast<double>(flooded.flooded_kib - flooded.idle_kib) / 1024.0, 2) + " MiB"
           : "-",
       flooded.ok && flooded.flooded_kib > 0
           ? std::optional(flooded.answered && flooded.flooded_kib < flooded.idle_kib + 100 * 1024)
           : std::nullopt});
  print_verdicts(verdicts);
  if (at_end > 0)
    std::printf("\nresident memory after the whole set: %.2f MiB (the captured 64 MiB wave keeps "
                "128 MiB of simulated sample memory)\n",
                static_cast<double>(at_end) / 1024.0);
  return 0;
}

}  // namespace bench

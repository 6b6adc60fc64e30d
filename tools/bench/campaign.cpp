#include "bench/campaign.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/proxy.h"
#include "bench/server.h"
#include "protocol/commands.h"

namespace bench {
namespace {

constexpr std::uint16_t OSC_SET_TRIGGER_SOURCE = protocol::command::osc_set_trigger_source;
constexpr std::uint16_t NUT_SET_VOLTAGE_ENABLE = protocol::command::nut_set_voltage_enable;
constexpr std::uint16_t NUT_SET_CLOCK = protocol::command::nut_set_clock;
constexpr std::uint16_t NUT_CLOCK_ENABLE = protocol::command::nut_clock_enable;
constexpr std::uint16_t CAPTURE_BATCH = protocol::command::capture_batch;
constexpr std::uint16_t BATCH_INFO = protocol::command::batch_info;
constexpr std::size_t BATCH_HEAD = 24;
constexpr std::size_t RECORD_HEAD = 8;
// The SPI master clocks a bit in 20 ns x (psc + 1).
constexpr double SPI_CYCLE_NS = 20;
// Batches sized so that an answer is a few MiB, two of them in flight, so the
// service always has the next request when it ends one.
constexpr std::size_t AUTO_BATCH_BYTES = 4u << 20;
constexpr int IN_FLIGHT = 2;
constexpr std::size_t BUDGET_MIB = 64;  // the service's memory budget
constexpr std::size_t READ_CHUNK = 1u << 20;

struct Plan {
  std::uint32_t samples = 4096;
  std::uint8_t channels = 3;
  std::uint16_t tx = 16;
  std::uint16_t rx = 16;
  std::uint16_t psc = 4;  // 10 MHz SPI clock: a 32-byte exchange takes 25.6 us
  std::uint32_t rate_khz = 48000;
  std::uint32_t target_khz = 24000;
  std::uint32_t batch = 0;  // traces per request; 0: answers of a few MiB

  int channel_count() const { return (channels & 1) + (channels >> 1 & 1); }
  std::uint64_t record_bytes() const {
    return RECORD_HEAD + rx + std::uint64_t{2} * samples * static_cast<std::uint64_t>(channel_count());
  }
  std::uint32_t traces_per_batch() const {
    if (batch != 0) return batch;
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, AUTO_BATCH_BYTES / record_bytes()));
  }
  // The sample length is a whole number of 1024-sample blocks.
  double fill_us() const {
    return static_cast<double>((std::uint64_t{samples} + 1023) / 1024 * 1024) * 1000.0 / rate_khz;
  }
  double exchange_us() const { return (tx + rx) * 8.0 * SPI_CYCLE_NS * (psc + 1) / 1000.0; }
  double instrument_limit() const { return 1e6 / (fill_us() + exchange_us()); }
};

Bytes input(std::uint32_t k, std::uint16_t len) {
  Bytes b(len);
  for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(k * 31 + i * 7);
  return b;
}

Bytes batch_frame(const Plan& s, std::uint32_t count, std::uint32_t first) {
  Bytes p(BATCH_HEAD);
  p[0] = 1;  // SPI
  p[1] = s.channels;
  base::store_be32(p.data() + 2, 0);
  base::store_be32(p.data() + 6, s.samples);
  base::store_be16(p.data() + 10, s.tx);
  base::store_be16(p.data() + 12, s.rx);
  base::store_be32(p.data() + 14, count);
  base::store_be32(p.data() + 18, 1000);
  base::store_be16(p.data() + 22, 0);
  for (std::uint32_t k = 0; k < count; ++k) {
    const Bytes in = input(first + k, s.tx);
    p.insert(p.end(), in.begin(), in.end());
  }
  return request(CAPTURE_BATCH, p);
}

Bytes spi_transfer_frame(const Plan& s, std::uint32_t k) {
  Bytes p(8);
  base::store_be16(p.data() + 5, s.rx);
  p[7] = 1;  // trigger
  const Bytes in = input(k, s.tx);
  p.insert(p.end(), in.begin(), in.end());
  return request(SPI_TRANSCEIVE, p);
}

// Sends the set-up a campaign needs; false with a reason.
bool set_up(Conn& c, const Plan& s, std::string& err) {
  const Bytes psc{static_cast<std::uint8_t>(s.psc >> 8), static_cast<std::uint8_t>(s.psc), 0, 0};
  const std::vector<Bytes> frames{request(OSC_SET_SAMPLE_LENGTH, be32(s.samples)),
                                  request(OSC_SET_SAMPLE_RATE, be32(s.rate_khz)),
                                  request(OSC_SET_TRIGGER_SOURCE, Bytes{0}),
                                  request(NUT_SET_VOLTAGE_ENABLE, Bytes{1}),
                                  request(NUT_SET_CLOCK, be32(s.target_khz)),
                                  request(NUT_CLOCK_ENABLE, Bytes{1}),
                                  request(SPI_ENABLE, Bytes{1}),
                                  request(SPI_CONFIG, psc)};
  Reply r;
  for (const Bytes& f : frames) {
    if (!c.call(f, r)) {
      err = "connection lost during set-up";
      return false;
    }
    if (r.status != 0) {
      err = "set-up request 0x" + std::to_string(base::load_be16(f.data() + 7)) + " answered status " +
            std::to_string(r.status);
      return false;
    }
  }
  return true;
}

// A run is cut into SLICES parts: on a shared machine other work comes and goes
// within seconds, so the median part says more than the whole.
constexpr int SLICES = 5;

struct Outcome {
  bool ok = false;
  std::string error;
  std::uint64_t traces = 0, complete = 0, bytes = 0;
  double seconds = 0;
  std::vector<double> rates;  // traces/s of each slice

  void slice_done(std::uint64_t traces_before, Clock::time_point since) {
    const double t = std::chrono::duration<double>(Clock::now() - since).count();
    seconds += t;
    if (t > 0) rates.push_back(static_cast<double>(traces - traces_before) / t);
  }
  double median() const {
    if (rates.empty()) return 0;
    std::vector<double> r = rates;
    std::sort(r.begin(), r.end());
    return r[r.size() / 2];
  }
  double low() const { return rates.empty() ? 0 : *std::min_element(rates.begin(), rates.end()); }
  double high() const { return rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end()); }
};

// Reads one capture_batch answer of `count` records, counting the complete ones.
bool read_batch_answer(int fd, const Plan& s, std::uint32_t count, Bytes& buf, Outcome& o) {
  std::uint8_t head[protocol::RESPONSE_HEADER_SIZE];
  for (std::size_t got = 0; got < sizeof head;) {
    ssize_t n = ::read(fd, head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  const std::uint16_t status = base::load_be16(head + 7);
  std::uint64_t left = base::load_be32(head + 9);
  if (status != 0 || left != count * s.record_bytes()) {
    o.error = "batch answered status " + std::to_string(status) + " with " + std::to_string(left) + " bytes";
    return false;
  }
  o.bytes += left;
  const std::uint64_t r = s.record_bytes();
  std::uint64_t at = 0;  // position in the answer
  std::uint8_t result[2];
  while (left > 0) {
    ssize_t n = ::read(fd, buf.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, buf.size())));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // Each record's first two bytes are its result; a read may split them.
    for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(n); ++i) {
      const std::uint64_t in = (at + i) % r;
      if (in < 2) result[in] = buf[static_cast<std::size_t>(i)];
      if (in == 1 && result[0] == 0 && result[1] == 0) ++o.complete;
      if (in == 1) ++o.traces;
      if (in >= 1) i += r - in - 1;  // on to the next record's first byte
    }
    at += static_cast<std::uint64_t>(n);
    left -= static_cast<std::uint64_t>(n);
  }
  return true;
}

Outcome batched(const sockaddr_in& addr, const Plan& s, double seconds) {
  Outcome o;
  auto c = Conn::open(addr, o.error);
  if (!c || !set_up(*c, s, o.error)) return o;
  const std::uint32_t count = s.traces_per_batch();
  Bytes buf(READ_CHUNK);
  std::uint32_t next = 0;
  for (int slice = 0; slice < SLICES; ++slice) {
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds / SLICES));
    const std::uint64_t before = o.traces;
    for (int in_flight = 0;;) {
      while (in_flight < IN_FLIGHT && Clock::now() < deadline) {
        if (!c->send_all(batch_frame(s, count, next))) {
          o.error = "connection lost";
          return o;
        }
        next += count;
        ++in_flight;
      }
      if (in_flight == 0) break;
      if (!read_batch_answer(c->fd(), s, count, buf, o)) {
        if (o.error.empty()) o.error = "connection lost";
        return o;
      }
      --in_flight;
    }
    o.slice_done(before, start);
  }
  o.ok = true;
  return o;
}

void quick_ack(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// The sequence a script sends for each trace: arm, the triggering transfer and a
// status read in one write; once the fill is over, status polls until complete;
// then both read-outs in one write. `quick`: the client asks for quick
// acknowledgements after each write, as the Python client does; without, its
// kernel delays them, as on most hosts.
Outcome per_trace(const sockaddr_in& addr, const Plan& s, double seconds, bool quick) {
  Outcome o;
  auto c = Conn::open(addr, o.error);
  if (!c || !set_up(*c, s, o.error)) return o;
  const Bytes arm = request(OSC_SET_SINGLE);
  const Bytes poll = request(OSC_GET_TRIGGER_STATUS);
  Bytes reads = wave_frame(1, s.samples);
  if (s.channels == 2) reads = wave_frame(2, s.samples);
  if (s.channels == 3) {
    const Bytes b = wave_frame(2, s.samples);
    reads.insert(reads.end(), b.begin(), b.end());
  }
  const int read_count = s.channel_count();
  const auto fill = std::chrono::nanoseconds(static_cast<std::int64_t>(s.fill_us() * 1000));
  Reply r;
  std::uint32_t k = 0;
  for (int slice = 0; slice < SLICES; ++slice) {
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds / SLICES));
  const std::uint64_t before = o.traces;
  for (; Clock::now() < deadline; ++k) {
    Bytes first = arm;
    const Bytes spi = spi_transfer_frame(s, k);
    first.insert(first.end(), spi.begin(), spi.end());
    first.insert(first.end(), poll.begin(), poll.end());
    const auto sent = Clock::now();
    if (!c->send_all(first)) return o;
    if (quick) quick_ack(c->fd());
    bool done = false;
    for (int i = 0; i < 3; ++i) {
      if (!c->read_one(r)) return o;
      if (i == 2) done = r.status == 0 && base::load_be32(r.head) == CAPTURE_DONE;
    }
    for (int i = 0; !done && i < MAX_STATUS_POLLS; ++i) {
      if (i == 0) std::this_thread::sleep_until(sent + fill);
      if (!c->call(poll, r)) return o;
      done = r.status == 0 && base::load_be32(r.head) == CAPTURE_DONE;
    }
    if (!c->send_all(reads)) return o;
    if (quick) quick_ack(c->fd());
    for (int i = 0; i < read_count; ++i) {
      if (!c->read_one(r)) return o;
      o.bytes += r.length;
    }
    ++o.traces;
    if (done) ++o.complete;
  }
  o.slice_done(before, start);
  }
  o.ok = true;
  return o;
}

// Resident memory of `pid` while one batch with an answer of `mib` MiB streams.
struct MemoryFigure {
  bool ok = false;
  std::string error;
  long idle_kib = -1, peak_kib = -1;
  std::uint32_t traces = 0;
};

MemoryFigure batch_memory(const sockaddr_in& addr, const Plan& s, pid_t pid, std::uint32_t mib_answer) {
  MemoryFigure m;
  auto c = Conn::open(addr, m.error);
  if (!c || !set_up(*c, s, m.error)) return m;
  m.traces = static_cast<std::uint32_t>((std::uint64_t{mib_answer} << 20) / s.record_bytes() + 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  m.idle_kib = rss_kib(pid);
  std::atomic<bool> done{false};
  std::atomic<long> peak{m.idle_kib};
  std::thread sampler([&] {
    while (!done.load()) {
      peak = std::max(peak.load(), rss_kib(pid));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  Outcome o;
  Bytes buf(READ_CHUNK);
  const bool ok = c->send_all(batch_frame(s, m.traces, 0)) && read_batch_answer(c->fd(), s, m.traces, buf, o);
  done = true;
  sampler.join();
  m.peak_kib = peak.load();
  m.ok = ok && o.traces == m.traces;
  if (!m.ok) m.error = o.error.empty() ? "batch not answered in full" : o.error;
  return m;
}

void print_row(const char* path, const std::string& what, const Outcome& o, double limit, const char* limit_name) {
  if (!o.ok) {
    std::printf("%-10s %-30s failed: %s\n", path, what.c_str(), o.error.c_str());
    return;
  }
  std::printf("%-10s %-30s %10.0f %8.0f-%-8.0f %8.0f %-12s %7s %8.1f", path, what.c_str(), o.median(), o.low(),
              o.high(), limit, limit_name, ratio(o.median(), limit).c_str(),
              mib(static_cast<double>(o.bytes)) / o.seconds);
  if (o.complete != o.traces)
    std::printf("   %llu of %llu traces incomplete", static_cast<unsigned long long>(o.traces - o.complete),
                static_cast<unsigned long long>(o.traces));
  std::printf("\n");
  std::fflush(stdout);
}

constexpr const char* USAGE =
    "usage: valdrix-bench campaign [options]\n"
    "\n"
    "Traces per second of capture campaigns over SPI, batched (capture_batch) and one request\n"
    "sequence per trace, on loopback and through a link emulator, next to their limits.\n"
    "\n"
    "  --host ADDR       server address, a 127.x.x.x loopback address (default 127.0.0.1)\n"
    "  --port N          server port (default 9761)\n"
    "  --spawn PATH      start the server PATH --port P itself on a free port, stop it at the end\n"
    "  --pid PID         the server's process, for its resident memory (implied by --spawn)\n"
    "  --samples N       samples per channel and trace (default 4096)\n"
    "  --channels C      1, 2 or 3 (both; default)\n"
    "  --tx N, --rx N    input and answer bytes per trace (default 16 each)\n"
    "  --psc N           SPI prescaler: a bit takes 20 ns x (N + 1) (default 4: 10 MHz)\n"
    "  --target-khz K    target clock, a key of the clock table (default 24000)\n"
    "  --batch N         traces per capture_batch request (default: answers of about 4 MiB)\n"
    "  -d SECONDS        length of each run (default 3, at most 120)\n"
    "  --rtt-ms MS       the emulated link's round trip (default 0.2)\n"
    "  --rate-mbit MBIT  the emulated link's rate each way (default 1000; 0: unlimited)\n"
    "  --no-link         loopback runs only\n"
    "  --no-quickack     the per-trace campaign without quick acknowledgements only (default:\n"
    "                    with and without; through the link, the emulator then leaves its\n"
    "                    acknowledgements to its kernel too)\n"
    "  --memory-mib M    the batch answer whose resident memory is measured (default 128; 0: none)\n"
    "  --help            show this text\n";

}  // namespace

int run_campaign(int argc, char** argv) {
  Plan s;
  std::string host = "127.0.0.1";
  std::uint16_t port = 9761;
  std::string spawn;
  pid_t pid = 0;
  double seconds = 3;
  Link link{.rtt_ms = 0.2, .rate_mbit = 1000};
  bool use_link = true;
  bool only_without_quick_ack = false;
  std::uint32_t memory_mib = 128;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (a == "--no-link") {
      use_link = false;
      continue;
    }
    if (a == "--no-quickack") {
      only_without_quick_ack = true;
      continue;
    }
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    std::uint32_t v = 0;
    char* end = nullptr;
    bool ok = next != nullptr;
    if (!ok) {
    } else if (a == "--host") {
      host = next;
    } else if (a == "--port") {
      ok = parse_u32(next, v) && v > 0 && v <= 65535;
      port = static_cast<std::uint16_t>(v);
    } else if (a == "--spawn") {
      spawn = next;
    } else if (a == "--pid") {
      ok = parse_u32(next, v) && v > 0;
      pid = static_cast<pid_t>(v);
    } else if (a == "--samples") {
      ok = parse_u32(next, s.samples) && s.samples > 0 && s.samples <= MAX_WAVE_SAMPLES;
    } else if (a == "--channels") {
      ok = parse_u32(next, v) && v >= 1 && v <= 3;
      s.channels = static_cast<std::uint8_t>(v);
    } else if (a == "--tx" || a == "--rx") {
      ok = parse_u32(next, v) && v <= 4096;
      (a == "--tx" ? s.tx : s.rx) = static_cast<std::uint16_t>(v);
    } else if (a == "--psc") {
      ok = parse_u32(next, v) && v <= 65535;
      s.psc = static_cast<std::uint16_t>(v);
    } else if (a == "--target-khz") {
      ok = parse_u32(next, s.target_khz);
    } else if (a == "--batch") {
      ok = parse_u32(next, s.batch) && s.batch > 0 && s.batch <= 1'000'000;
    } else if (a == "-d") {
      seconds = std::strtod(next, &end);
      ok = *end == '\0' && seconds > 0 && seconds <= MAX_SECONDS;
    } else if (a == "--rtt-ms") {
      link.rtt_ms = std::strtod(next, &end);
      ok = *end == '\0' && link.rtt_ms >= 0 && link.rtt_ms <= 1000;
    } else if (a == "--rate-mbit") {
      link.rate_mbit = std::strtod(next, &end);
      ok = *end == '\0' && link.rate_mbit >= 0;
    } else if (a == "--memory-mib") {
      ok = parse_u32(next, memory_mib) && memory_mib <= 4000;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "valdrix-bench campaign: bad argument '%s'\n%s", argv[i], USAGE);
      return 2;
    }
    ++i;
  }
  if (s.tx == 0 && s.rx == 0) s.tx = 1;
  if (s.record_bytes() * s.traces_per_batch() > 0xFFFFFFFFull) {
    std::fprintf(stderr, "valdrix-bench campaign: a batch of %u traces does not fit one answer\n", s.traces_per_batch());
    return 2;
  }

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
    std::fprintf(stderr, "valdrix-bench campaign: %s is not a loopback address\n", host.c_str());
    return 2;
  }
  std::optional<Spawned> spawned;
  if (!Spawned::spawn_if_asked(spawn, "valdrix-bench campaign", port, pid, spawned)) return 1;
  addr.sin_port = htons(port);
  if (!wait_until_listening(addr, spawned ? pid : 0, spawned ? 10 : 1)) {
    std::fprintf(stderr, "valdrix-bench campaign: no server listening on %s:%u\n", host.c_str(), port);
    return 1;
  }

  std::string err;
  bool batch_supported = false;
  {
    auto c = Conn::open(addr, err);
    Reply r;
    if (!c || !c->call(request(BATCH_INFO), r)) {
      std::fprintf(stderr, "valdrix-bench campaign: %s\n", err.empty() ? "connection lost" : err.c_str());
      return 1;
    }
    batch_supported = r.status == 0 && r.length == 16;
  }

  const double instrument = s.instrument_limit();
  const double link_limit =
      link.rate_mbit > 0 ? link.rate_mbit * 1e6 / 8 / static_cast<double>(s.record_bytes()) : instrument;
  std::printf("campaign: %u samples x %d channel%s at %.0f MHz, %u-byte input, %u-byte answer over SPI at %.1f MHz, "
              "target clock %.0f MHz; %s\n",
              s.samples, s.channel_count(), s.channel_count() > 1 ? "s" : "", s.rate_khz / 1000.0, s.tx, s.rx,
              1000.0 / (SPI_CYCLE_NS * (s.psc + 1)), s.target_khz / 1000.0,
              batch_supported ? ("batches of " + std::to_string(s.traces_per_batch()) + " traces, " +
                                 std::to_string(IN_FLIGHT) + " in flight")
                                    .c_str()
                              : "the server has no capture_batch");
  std::printf("limits: instrument %.0f traces/s (fill %.1f us + exchange %.1f us); ", instrument, s.fill_us(),
              s.exchange_us());
  if (use_link)
    std::printf("link (%s) %.0f traces/s of %llu bytes\n", link.text().c_str(), link_limit,
                static_cast<unsigned long long>(s.record_bytes()));
  else
    std::printf("no link\n");

  bool all_ok = true;
  if (memory_mib > 0 && batch_supported && pid > 0) {
    const MemoryFigure m = batch_memory(addr, s, pid, memory_mib);
    if (!m.ok) {
      std::printf("memory: %s\n", m.error.c_str());
      all_ok = false;
    } else {
      const long target = m.idle_kib + static_cast<long>(BUDGET_MIB) * 1024;
      std::printf("memory: one batch of %u traces (%u MiB answer): server resident idle %.1f MiB, peak %.1f MiB "
                  "= idle + %.1f MiB; target idle + %zu MiB budget: %s\n",
                  m.traces, memory_mib, m.idle_kib / 1024.0, m.peak_kib / 1024.0, (m.peak_kib - m.idle_kib) / 1024.0,
                  BUDGET_MIB, m.peak_kib <= target ? "met" : "MISSED");
    }
  }

  std::printf("\ntraces/s: the median of %d slices of each run, and the slowest and fastest slice; ratio: the "
              "median over the limit\n",
              SLICES);
  std::printf("%-10s %-30s %10s %-17s %8s %-12s %7s %8s\n", "path", "campaign", "traces/s", "  slices", "limit", "",
              "ratio", "MiB/s");
  std::printf("%s\n", std::string(110, '-').c_str());
  std::fflush(stdout);
  const std::string batch_name = "batched, " + std::to_string(s.traces_per_batch()) + " a request";
  // A host without quick acknowledgements is emulated on the link by a proxy that
  // leaves its own to the kernel: the service then sees that host's delayed ones.
  Link slow_acks = link;
  slow_acks.quick_ack = false;
  std::vector<std::string> ack_ratios;
  auto run_both = [&](const char* path, const sockaddr_in& to, const sockaddr_in* to_without, double limit,
                      const char* limit_name) {
    if (batch_supported) {
      const Outcome b = batched(to, s, seconds);
      print_row(path, batch_name, b, limit, limit_name);
      all_ok &= b.ok;
    }
    Outcome with;
    if (!only_without_quick_ack) {
      with = per_trace(to, s, seconds, true);
      print_row(path, "one request sequence a trace", with, limit, limit_name);
      all_ok &= with.ok;
    }
    const Outcome without = per_trace(*to_without, s, seconds, false);
    print_row(path, "the same, no quick ACKs", without, limit, limit_name);
    all_ok &= without.ok;
    if (with.ok && without.ok)
      ack_ratios.push_back(std::string(path) + " " + ratio(without.median(), with.median()));
  };
  run_both("loopback", addr, &addr, instrument, "instrument");
  if (use_link) {
    auto proxy = LinkProxy::start(0, addr, link, err);
    auto proxy_without = proxy ? LinkProxy::start(0, addr, slow_acks, err) : nullptr;
    if (!proxy || !proxy_without) {
      std::printf("link: %s\n", err.c_str());
      return 1;
    }
    const bool link_bound = link_limit < instrument;
    run_both("link", proxy->addr(), &proxy_without->addr(), std::min(link_limit, instrument),
             link_bound ? "link" : "instrument");
    proxy->stop();
    proxy_without->stop();
  }
  if (!ack_ratios.empty()) {
    std::printf("\none request sequence a trace, without quick ACKs over with:");
    for (const std::string& r : ack_ratios) std::printf("  %s", r.c_str());
    std::printf("  (target 0.80x)\n");
  }
  return all_ok ? 0 : 1;
}

}  // namespace bench

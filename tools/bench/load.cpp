#include "bench/load.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "protocol/commands.h"

namespace bench {
namespace {

// One operation of a mix: a single request, or for the capture loop the whole
// arm, trigger, poll and read-out sequence.
struct Frames {
  std::vector<Bytes> setup;  // sent once per run on one connection
  Bytes op;                  // get_id, read_register, wave, spi
  Bytes arm, trigger, force, poll, read_a, read_b;  // capture loop
  std::chrono::nanoseconds fill{0};  // how long a triggered capture takes to fill
};

Frames frames_for(const Mix& m) {
  Frames f;
  switch (m.kind) {
    case Kind::GetId: f.op = request(GET_ID); break;
    case Kind::ReadRegister: f.op = read_register_frame(OSC_CTL_BASE, 0); break;
    case Kind::Wave:
      if (m.captured) {
        f.setup.push_back(request(OSC_SET_SAMPLE_LENGTH, be32(m.n)));
        f.setup.push_back(request(OSC_SET_SINGLE));
        f.setup.push_back(request(OSC_SET_FORCE));
      }
      f.op = wave_frame(1, m.n);
      break;
    case Kind::Spi:
      f.setup.push_back(request(SPI_ENABLE, Bytes{1}));
      f.setup.push_back(request(SPI_CONFIG, Bytes{0, 0, 0, 0}));  // fastest clock, mode 0
      f.op = spi_frame(static_cast<std::uint16_t>(m.n), false);
      break;
    case Kind::Capture:
      f.setup.push_back(request(OSC_SET_SAMPLE_LENGTH, be32(m.n)));
      f.setup.push_back(request(OSC_SET_SAMPLE_RATE, be32(CAPTURE_RATE_KHZ)));
      // The sample length is a whole number of 1024-sample blocks.
      f.fill = std::chrono::nanoseconds((std::uint64_t{m.n} + 1023) / 1024 * 1024 * 1'000'000 / CAPTURE_RATE_KHZ);
      // The target powered and clocked, so that the transfer reaches it and it draws.
      f.setup.push_back(request(protocol::command::nut_set_voltage_enable, Bytes{1}));
      f.setup.push_back(request(protocol::command::nut_clock_enable, Bytes{1}));
      f.setup.push_back(request(SPI_ENABLE, Bytes{1}));
      f.arm = request(OSC_SET_SINGLE);
      f.trigger = spi_frame(16, true);
      f.force = request(OSC_SET_FORCE);
      f.poll = request(OSC_GET_TRIGGER_STATUS);
      f.read_a = wave_frame(1, m.n);
      f.read_b = wave_frame(2, m.n);
      break;
  }
  return f;
}

// --- load runs ------------------------------------------------------------------

// What one connection did in one slice.
struct ConnResult {
  std::vector<std::uint64_t> latency_ns;
  std::uint64_t requests = 0;
  std::uint64_t bytes = 0;   // response payload bytes
  std::uint64_t failed = 0;  // answers with a non-zero status
  std::uint16_t first_bad_status = 0;
  bool transport_failed = false;
};

bool capture_once(Conn& c, const Frames& f, bool& use_force, ConnResult& r) {
  Reply rep;
  auto call = [&](const Bytes& frame, bool may_be_unsupported = false) {
    if (!c.call(frame, rep)) {
      r.transport_failed = true;
      return false;
    }
    ++r.requests;
    r.bytes += rep.length;
    if (rep.status != 0 && !(may_be_unsupported && rep.status == STATUS_UNSUPPORT)) {
      ++r.failed;
      if (!r.first_bad_status) r.first_bad_status = rep.status;
    }
    return true;
  };
  if (!call(f.arm)) return false;
  if (!use_force) {
    if (!call(f.trigger, true)) return false;
    // A server without the SPI commands still captures on a forced trigger.
    use_force = rep.status == STATUS_UNSUPPORT;
  }
  if (use_force && !call(f.force)) return false;
  // A script waits out the fill before it asks, as the Python client does; polls
  // sent before then only cost the server time.
  for (const auto ready = std::chrono::steady_clock::now() + f.fill; std::chrono::steady_clock::now() < ready;) {
  }
  for (int i = 0;; ++i) {
    if (!call(f.poll)) return false;
    if (rep.status != 0) break;
    if (rep.length >= 4 && base::load_be32(rep.head) == CAPTURE_DONE) break;
    if (i + 1 >= MAX_STATUS_POLLS) {
      ++r.failed;
      break;
    }
  }
  return call(f.read_a) && call(f.read_b);
}

// One mix on C connections to one server, run in time slices. Background load on a
// shared machine comes and goes within seconds, so floor and service slices are
// interleaved and each side's slices pooled: both see the same machine on average.
class Load {
 public:
  Load(const sockaddr_in& addr, pid_t server, const Mix& mix, int connections)
      : server_(server), mix_(mix), frames_(frames_for(mix)) {
    for (int i = 0; i < connections; ++i) {
      auto c = Conn::open(addr, error_);
      if (!c) return;
      conns_.push_back(std::move(*c));
    }
    Reply rep;
    for (const Bytes& s : frames_.setup) {
      if (!conns_[0].call(s, rep)) {
        error_ = "connection lost during set-up";
        return;
      }
      // Without the SPI commands the capture loop falls back to a forced trigger.
      const bool optional = mix.kind == Kind::Capture && base::load_be16(s.data() + 7) == SPI_ENABLE;
      if (rep.status != 0 && !(optional && rep.status == STATUS_UNSUPPORT)) {
        error_ = status_text("set-up request " + hex(base::load_be16(s.data() + 7)), rep.status);
        return;
      }
    }
    // A first request tells an unsupported mix from a slow one, and warms both ends.
    if (mix.kind != Kind::Capture) {
      if (!conns_[0].call(frames_.op, rep)) {
        error_ = "connection lost";
        return;
      }
      if (rep.status != 0) {
        error_ = status_text("answered", rep.status);
        return;
      }
    }
    ready_ = true;
  }

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }

  // Runs every connection for about `seconds`; false once a connection has failed.
  bool slice(double seconds) {
    if (!ready_) return false;
    std::vector<ConnResult> results(conns_.size());
    std::atomic<std::size_t> waiting{0};
    std::atomic<bool> go{false};
    Clock::time_point deadline;
    std::vector<Clock::time_point> ends(conns_.size());
    std::vector<std::thread> threads;
    const bool force_known = use_force_.load();
    for (std::size_t i = 0; i < conns_.size(); ++i) {
      threads.emplace_back([&, i] {
        Conn& c = conns_[i];
        ConnResult& r = results[i];
        r.latency_ns.reserve(4096);
        waiting.fetch_add(1);
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        bool force = force_known;
        Reply rr;
        while (ops_ + r.latency_ns.size() < MAX_OPS_PER_CONNECTION * conns_.size()) {
          auto t0 = Clock::now();
          if (t0 >= deadline) break;
          if (mix_.kind == Kind::Capture) {
            if (!capture_once(c, frames_, force, r)) break;
          } else {
            if (!c.call(frames_.op, rr)) {
              r.transport_failed = true;
              break;
            }
            ++r.requests;
            r.bytes += rr.length;
            if (rr.status != 0) {
              ++r.failed;
              if (!r.first_bad_status) r.first_bad_status = rr.status;
            }
          }
          r.latency_ns.push_back(static_cast<std::uint64_t>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()));
        }
        if (force) use_force_ = true;
        ends[i] = Clock::now();
      });
    }
    while (waiting.load() < conns_.size()) std::this_thread::yield();
    const long long cpu_before = server_ > 0 ? cpu_ticks(server_) : -1;
    const Clock::time_point start = Clock::now();
    deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go.store(true, std::memory_order_release);
    for (auto& t : threads) t.join();
    const long long cpu_after = server_ > 0 ? cpu_ticks(server_) : -1;

    Clock::time_point end = start;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const ConnResult& r = results[i];
      latencies_.insert(latencies_.end(), r.latency_ns.begin(), r.latency_ns.end());
      ops_ += r.latency_ns.size();
      requests_ += r.requests;
      failed_ += r.failed;
      bytes_ += r.bytes;
      if (!bad_status_) bad_status_ = r.first_bad_status;
      end = std::max(end, ends[i]);
      if (r.transport_failed) {
        error_ = "connection lost during the run";
        ready_ = false;
      }
    }
    seconds_ += std::chrono::duration<double>(end - start).count();
    if (cpu_before >= 0 && cpu_after >= 0 && cpu_ticks_ >= 0)
      cpu_ticks_ += cpu_after - cpu_before;
    else
      cpu_ticks_ = -1;
    return ready_;
  }

  RunResult result() {
    RunResult out;
    out.error = error_;
    out.requests = requests_;
    out.failed = failed_;
    out.bad_status = bad_status_;
    out.forced_trigger = use_force_.load();
    if (latencies_.empty() || seconds_ <= 0) {
      if (out.error.empty()) out.error = "no request completed";
      return out;
    }
    std::vector<std::uint64_t> all = latencies_;
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) {
      std::size_t i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(all.size())));
      return static_cast<double>(all[std::min(i == 0 ? 0 : i - 1, all.size() - 1)]) / 1000.0;
    };
    out.ops = all.size();
    out.seconds = seconds_;
    out.ops_per_s = static_cast<double>(out.ops) / seconds_;
    out.req_per_s = static_cast<double>(requests_) / seconds_;
    out.mib_per_s = mib(static_cast<double>(bytes_)) / seconds_;
    out.p50_us = pct(0.50);
    out.p99_us = pct(0.99);
    out.max_us = static_cast<double>(all.back()) / 1000.0;
    if (cpu_ticks_ >= 0)
      out.cpu_us = static_cast<double>(cpu_ticks_) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK)) /
                   static_cast<double>(out.ops);
    out.ok = out.error.empty();
    return out;
  }

 private:
  static std::string hex(std::uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", v);
    return b;
  }
  static std::string status_text(const std::string& what, std::uint16_t status) {
    return what + " status " + hex(status) + (status == STATUS_UNSUPPORT ? " (unsupported)" : "");
  }

  pid_t server_;
  Mix mix_;
  Frames frames_;
  std::vector<Conn> conns_;
  bool ready_ = false;
  std::string error_;
  std::atomic<bool> use_force_{false};
  std::vector<std::uint64_t> latencies_;
  std::uint64_t ops_ = 0, requests_ = 0, failed_ = 0, bytes_ = 0;
  std::uint16_t bad_status_ = 0;
  double seconds_ = 0;
  long long cpu_ticks_ = 0;
};

}  // namespace

std::optional<Mix> parse_mix(std::string_view text) {
  Mix m;
  std::string_view head = text.substr(0, text.find(':'));
  std::string_view arg = head.size() < text.size() ? text.substr(head.size() + 1) : std::string_view{};
  bool has_arg = !arg.empty();
  if (has_arg && !parse_u32(arg, m.n)) return std::nullopt;
  if (head == "get_id" && !has_arg) m.kind = Kind::GetId;
  else if (head == "read_register" && !has_arg) m.kind = Kind::ReadRegister;
  else if (head == "wave" || head == "wave-captured") {
    m.kind = Kind::Wave;
    m.captured = head == "wave-captured";
    if (!has_arg) m.n = 32768;
    if (m.n == 0 || m.n > MAX_WAVE_SAMPLES) return std::nullopt;
  } else if (head == "spi") {
    m.kind = Kind::Spi;
    if (!has_arg) m.n = 256;
    if (m.n == 0 || m.n > 65535) return std::nullopt;
  } else if (head == "capture") {
    m.kind = Kind::Capture;
    if (!has_arg) m.n = 16384;
    if (m.n == 0 || m.n > MAX_WAVE_SAMPLES) return std::nullopt;
  } else {
    return std::nullopt;
  }
  return m;
}

void print_header(double seconds, double slice, const std::string& target) {
  std::printf("valdrix-bench: %s; %.1f s per mix and side, in slices of %.2f s alternating floor and service\n",
              target.c_str(), seconds, slice);
  std::printf("floor: a server process of the bench answering the same frame sizes at once "
              "(echo: 13 bytes per 15-byte request; bulk: the wave's bytes from memory);\n"
              "cpu us: the server process's processor time per operation, all threads, user and system\n\n");
  std::printf("%-26s %5s | %9s %9s %6s | %9s %9s %6s | %9s %9s | %8s %8s %6s | %7s %7s\n", "mix",
              "conns", "ops/s", "floor", "ratio", "p50 us", "floor", "ratio", "p99 us", "max us", "MiB/s",
              "floor", "ratio", "cpu us", "floor");
  std::printf("%s\n", std::string(159, '-').c_str());
  std::fflush(stdout);
}

void print_row(const Row& r) {
  const RunResult& s = r.service;
  const RunResult& f = r.floor;
  if (!s.ok && s.ops == 0) {
    std::printf("%-26s %5d | skipped: %s\n", r.mix.name().c_str(), r.connections, s.error.c_str());
    std::fflush(stdout);
    return;
  }
  const bool bulk = r.mix.kind == Kind::Wave || r.mix.kind == Kind::Capture;
  auto cpu = [](double us) { return us < 0 ? std::string("-") : fixed(us); };
  std::printf("%-26s %5d | %9.0f %9.0f %6s | %9s %9s %6s | %9s %9s | %8s %8s %6s | %7s %7s\n",
              r.mix.name().c_str(), r.connections, s.ops_per_s, f.ops_per_s, ratio(s.ops_per_s, f.ops_per_s).c_str(),
              fixed(s.p50_us).c_str(), fixed(f.p50_us).c_str(), ratio(s.p50_us, f.p50_us).c_str(),
              fixed(s.p99_us).c_str(), fixed(s.max_us).c_str(), bulk ? fixed(s.mib_per_s).c_str() : "-",
              bulk ? fixed(f.mib_per_s).c_str() : "-", bulk ? ratio(s.mib_per_s, f.mib_per_s).c_str() : "-",
              cpu(s.cpu_us).c_str(), cpu(f.cpu_us).c_str());
  if (s.failed > 0)
    std::printf("%-26s       | %llu of %llu answers had status 0x%04x\n", "", static_cast<unsigned long long>(s.failed),
                static_cast<unsigned long long>(s.requests), s.bad_status);
  if (!s.error.empty()) std::printf("%-26s       | %s\n", "", s.error.c_str());
  if (r.mix.kind == Kind::Capture)
    std::printf("%-26s       | %.1f requests a loop%s\n", "",
                s.ops ? static_cast<double>(s.requests) / static_cast<double>(s.ops) : 0.0,
                s.forced_trigger ? "; triggered by osc_set_force (no spi_transceive on this server)" : "");
  std::fflush(stdout);
}

Row measure(const sockaddr_in& service, pid_t pid, FloorServer& floor, const Mix& mix, int connections,
            double seconds, double slice) {
  Row row{mix, connections, {}, {}};
  Load f(floor.addr(), floor.pid(), mix, connections);
  Load s(service, pid, mix, connections);
  if (!s.ready() || !f.ready()) {
    row.service.error = s.ready() ? "floor: " + f.error() : s.error();
    print_row(row);
    return row;
  }
  const int slices = std::max(1, static_cast<int>(std::lround(seconds / slice)));
  for (int i = 0; i < slices; ++i) {
    // Alternate which side goes first, so neither always follows the other.
    bool ok = i % 2 == 0 ? f.slice(seconds / slices) && s.slice(seconds / slices)
                         : s.slice(seconds / slices) && f.slice(seconds / slices);
    if (!ok) break;
  }
  row.floor = f.result();
  row.service = s.result();
  print_row(row);
  return row;
}

}  // namespace bench

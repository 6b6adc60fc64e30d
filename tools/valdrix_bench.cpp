// valdrix-bench: request rate, round-trip latency and read-out throughput of a
// Valdrix-M4 server on loopback, each figure next to the floor this machine allows.
//
// Absolute times drift on a shared machine, so every service figure is measured in
// the same run as its floor and reported as a ratio. The floor is a minimal server
// in a process forked by the bench: one thread per connection, it reads each
// request and answers with a frame of the size the service would send (13 bytes
// for get_id, 13 + 2N for a wave of N samples, from a buffer filled once), doing no
// other work. The same client code drives both, in short alternating slices.
//
// Loopback only, and every run is bounded in time and in count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "protocol/frame.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t GET_ID = 0x0001;
constexpr std::uint16_t READ_REGISTER = 0x0004;
constexpr std::uint16_t OSC_SET_SAMPLE_LENGTH = 0x0125;
constexpr std::uint16_t OSC_SET_SINGLE = 0x0126;
constexpr std::uint16_t OSC_GET_TRIGGER_STATUS = 0x0127;
constexpr std::uint16_t OSC_SET_SAMPLE_RATE = 0x0128;
constexpr std::uint16_t OSC_SET_FORCE = 0x0129;
constexpr std::uint16_t OSC_GET_CHANNEL_WAVE = 0x0130;
constexpr std::uint16_t SPI_TRANSCEIVE = 0x023C;
constexpr std::uint16_t SPI_ENABLE = 0x023D;
constexpr std::uint16_t SPI_CONFIG = 0x023F;

constexpr std::uint16_t STATUS_UNSUPPORT = 0x8001;
constexpr std::uint32_t CAPTURE_DONE = 0x102;
// The capture core's status register, read by the read_register mix.
constexpr std::uint32_t OSC_CTL_BASE = 0x43C20000;

// Hard bounds on any run, whatever the options say.
constexpr double MAX_SECONDS = 120;
constexpr int MAX_CONNECTIONS = 256;
constexpr std::size_t MAX_OPS_PER_CONNECTION = 5'000'000;
constexpr int MAX_STATUS_POLLS = 10'000;
// The capture loop samples at this rate, so that it knows how long a capture fills.
constexpr std::uint32_t CAPTURE_RATE_KHZ = 48000;
constexpr std::uint32_t MAX_WAVE_SAMPLES = 0x08000000;  // the whole 256 MiB memory
// The floor's bulk source: contiguous, filled once, repeated for larger answers.
constexpr std::size_t FLOOR_SOURCE_BYTES = 64u << 20;
constexpr std::size_t SCRATCH_BYTES = 1u << 20;

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// User plus system time of a whole process, in clock ticks; -1 if unreadable.
long long cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  // Fields after the command name start at field 3; utime and stime are 14 and 15.
  const char* p = text.c_str() + close + 1;
  long long utime = 0, stime = 0;
  for (int field = 3; field <= 15 && *p; ++field) {
    while (*p == ' ') ++p;
    if (field == 14) utime = std::strtoll(p, nullptr, 10);
    if (field == 15) stime = std::strtoll(p, nullptr, 10);
    while (*p && *p != ' ') ++p;
  }
  return utime + stime;
}

// --- frames ---------------------------------------------------------------------

Bytes request(std::uint16_t command, std::span<const std::uint8_t> payload = {}) {
  const auto head =
      protocol::RequestHeader::for_command(command, static_cast<std::uint32_t>(payload.size()))
          .to_bytes();
  Bytes out(head.size() + payload.size());
  std::memcpy(out.data(), head.data(), head.size());
  if (!payload.empty()) std::memcpy(out.data() + head.size(), payload.data(), payload.size());
  return out;
}

Bytes be32(std::uint32_t v) {
  Bytes b(4);
  base::store_be32(b.data(), v);
  return b;
}

Bytes read_register_frame(std::uint32_t base, std::uint32_t offset) {
  Bytes p(8);
  base::store_be32(p.data(), base);
  base::store_be32(p.data() + 4, offset);
  return request(READ_REGISTER, p);
}

Bytes wave_frame(std::uint8_t channel, std::uint32_t samples) {
  Bytes p(9);
  p[0] = channel;
  base::store_be32(p.data() + 1, 0);
  base::store_be32(p.data() + 5, samples);
  return request(OSC_GET_CHANNEL_WAVE, p);
}

Bytes spi_frame(std::uint16_t bytes, bool trigger) {
  Bytes p(8 + bytes);
  p[0] = 0;  // no delay
  base::store_be32(p.data() + 1, 0);
  base::store_be16(p.data() + 5, bytes);  // read back as many as were sent
  p[7] = trigger ? 1 : 0;
  for (std::size_t i = 0; i < bytes; ++i) p[8 + i] = static_cast<std::uint8_t>(0xA5 ^ i);
  return request(SPI_TRANSCEIVE, p);
}

// --- client ---------------------------------------------------------------------

struct Reply {
  std::uint16_t status = 0;
  std::uint32_t length = 0;
  std::uint8_t head[8] = {};  // first payload bytes; the rest is read and dropped
};

class Conn {
 public:
  // no_delay: requests leave at once, as the one-request-at-a-time mixes want; a
  // pipelining client leaves Nagle's algorithm and its acknowledgements to the kernel.
  static std::optional<Conn> open(const sockaddr_in& addr, std::string& err, bool no_delay = true) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      err = std::string("socket: ") + std::strerror(errno);
      return std::nullopt;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      err = std::string("connect: ") + std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
    int one = 1;
    if (no_delay) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return Conn(fd);
  }

  bool send_all(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    return true;
  }

  // Reads exactly one response, never a byte of the next: for pipelined requests.
  bool read_one(Reply& r) {
    std::uint8_t h[protocol::RESPONSE_HEADER_SIZE];
    if (!read_exact(h, sizeof h)) return false;
    if (std::memcmp(h, protocol::FRAME_MAGIC.data(), 4) != 0 || h[6] != protocol::RESPONSE_DIRECTION) return false;
    r.status = base::load_be16(h + 7);
    r.length = base::load_be32(h + 9);
    std::size_t left = r.length;
    bool first = true;
    while (left > 0) {
      const std::size_t n = std::min(left, scratch_.size());
      if (!read_exact(scratch_.data(), n)) return false;
      if (first) std::memcpy(r.head, scratch_.data(), std::min(n, sizeof r.head));
      first = false;
      left -= n;
    }
    return true;
  }

  int fd() const { return fd_; }
  Conn(Conn&& o) noexcept : fd_(std::exchange(o.fd_, -1)), scratch_(std::move(o.scratch_)) {}
  Conn& operator=(Conn&&) = delete;
  ~Conn() {
    if (fd_ >= 0) ::close(fd_);
  }

  // One request and its whole response. False when the stream failed or ended.
  bool call(std::span<const std::uint8_t> frame, Reply& r) {
    if (!send_all(frame)) return false;
    // Only one response is ever outstanding, so reading ahead cannot take bytes
    // that belong to the next one.
    std::size_t have = 0;
    std::size_t total = protocol::RESPONSE_HEADER_SIZE;
    std::uint8_t* buf = scratch_.data();
    bool header_seen = false;
    std::size_t payload_seen = 0;
    while (have < total) {
      std::size_t room = scratch_.size() - static_cast<std::size_t>(buf - scratch_.data());
      if (header_seen) room = std::min(room, total - have);
      ssize_t n = ::read(fd_, buf, room);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      std::size_t got = static_cast<std::size_t>(n);
      if (!header_seen) {
        if (have + got < protocol::RESPONSE_HEADER_SIZE) {
          // A header split across reads: keep the part we have at the front.
          have += got;
          buf = scratch_.data() + have;
          continue;
        }
        const std::uint8_t* h = scratch_.data();
        if (std::memcmp(h, protocol::FRAME_MAGIC.data(), 4) != 0 || h[6] != protocol::RESPONSE_DIRECTION)
          return false;
        r.status = base::load_be16(h + 7);
        r.length = base::load_be32(h + 9);
        total = protocol::RESPONSE_HEADER_SIZE + r.length;
        header_seen = true;
        std::size_t first = have + got - protocol::RESPONSE_HEADER_SIZE;
        std::memcpy(r.head, h + protocol::RESPONSE_HEADER_SIZE, std::min<std::size_t>(first, sizeof r.head));
        payload_seen = first;
        have += got;
        buf = scratch_.data();
        continue;
      }
      if (payload_seen < sizeof r.head)
        std::memcpy(r.head + payload_seen, buf, std::min(sizeof r.head - payload_seen, got));
      payload_seen += got;
      have += got;
    }
    return true;
  }

 private:
  bool read_exact(std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      ssize_t got = ::read(fd_, p, n);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      p += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  explicit Conn(int fd) : fd_(fd), scratch_(SCRATCH_BYTES) {}
  int fd_;
  Bytes scratch_;
};

// --- the floor: a server that answers at once -----------------------------------

// The size of the answer the service gives to a request, and the first payload
// bytes where the client looks at them (a finished capture for status polls).
std::size_t floor_answer_size(std::uint16_t command, const std::uint8_t* payload, std::size_t len) {
  switch (command) {
    case OSC_GET_CHANNEL_WAVE:
      return len >= 9 ? std::size_t{base::load_be32(payload + 5)} * 2 : 0;
    case SPI_TRANSCEIVE:
      return len >= 8 ? base::load_be16(payload + 5) : 0;
    case OSC_GET_TRIGGER_STATUS:
      return 4;
    default:
      return 0;
  }
}

// Runs in a child process of its own, so that the floor pays for the same switches
// between two address spaces that a client of the real server pays for.
class FloorServer {
 public:
  FloorServer() = default;
  ~FloorServer() { stop(); }

  // Forks the floor process. Call while this process has no other threads.
  bool start(std::string& err) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1024) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      err = std::string("floor server: ") + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
    addr_ = a;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
      err = std::string("fork: ") + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(0);
      fd_ = fd;
      source_.resize(FLOOR_SOURCE_BYTES);
      for (std::size_t i = 0; i < source_.size(); ++i) source_[i] = static_cast<std::uint8_t>(i * 7);
      // Status polls read the first four bytes: a finished capture.
      base::store_be32(source_.data(), CAPTURE_DONE);
      accept_loop();
      ::_exit(0);
    }
    ::close(fd);
    return true;
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  const sockaddr_in& addr() const { return addr_; }
  pid_t pid() const { return pid_; }

 private:
  void accept_loop() {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      std::thread([this, c] { serve(c); }).detach();
    }
  }

  void serve(int fd) {
    std::vector<std::uint8_t> in(64 * 1024);
    std::vector<std::uint8_t> payload;
    std::size_t have = 0;
    for (;;) {
      // A request: 15 header bytes, then `length` payload bytes.
      while (have < protocol::REQUEST_HEADER_SIZE) {
        ssize_t n = ::read(fd, in.data() + have, in.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return close_conn(fd);
        have += static_cast<std::size_t>(n);
      }
      const std::uint16_t command = base::load_be16(in.data() + 7);
      const std::uint32_t length = base::load_be32(in.data() + 11);
      payload.assign(in.begin() + protocol::REQUEST_HEADER_SIZE,
                     in.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(have, protocol::REQUEST_HEADER_SIZE + length)));
      std::size_t used = protocol::REQUEST_HEADER_SIZE + payload.size();
      while (payload.size() < length) {
        std::uint8_t chunk[16384];
        ssize_t n = ::read(fd, chunk, std::min<std::size_t>(sizeof chunk, length - payload.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return close_conn(fd);
        payload.insert(payload.end(), chunk, chunk + n);
      }
      // Keep whatever followed this request for the next one.
      std::memmove(in.data(), in.data() + used, have - used);
      have -= std::min(used, have);

      const std::size_t answer = floor_answer_size(command, payload.data(), payload.size());
      std::uint8_t head[protocol::RESPONSE_HEADER_SIZE];
      std::memcpy(head, protocol::FRAME_MAGIC.data(), 4);
      base::store_be16(head + 4, protocol::RESPONSE_VERSION);
      head[6] = protocol::RESPONSE_DIRECTION;
      base::store_be16(head + 7, 0);
      base::store_be32(head + 9, static_cast<std::uint32_t>(answer));
      if (!send_answer(fd, head, answer)) return close_conn(fd);
    }
  }

  bool send_answer(int fd, std::uint8_t* head, std::size_t answer) {
    std::vector<iovec> iov;
    iov.push_back({head, protocol::RESPONSE_HEADER_SIZE});
    for (std::size_t left = answer; left > 0;) {
      std::size_t n = std::min(left, source_.size());
      iov.push_back({source_.data(), n});
      left -= n;
    }
    iovec* v = iov.data();
    std::size_t count = iov.size();
    while (count > 0) {
      ssize_t n = ::writev(fd, v, static_cast<int>(std::min<std::size_t>(count, IOV_MAX)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      auto done = static_cast<std::size_t>(n);
      while (count > 0 && done >= v->iov_len) {
        done -= v->iov_len;
        ++v;
        --count;
      }
      if (count > 0) {
        v->iov_base = static_cast<std::uint8_t*>(v->iov_base) + done;
        v->iov_len -= done;
      }
    }
    return true;
  }

  void close_conn(int fd) { ::close(fd); }

  pid_t pid_ = -1;
  int fd_ = -1;  // in the floor process
  sockaddr_in addr_{};
  Bytes source_;
};

// --- mixes ----------------------------------------------------------------------

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

bool parse_u32(std::string_view text, std::uint32_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

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
      f.setup.push_back(request(0x0200, Bytes{1}));  // nut_set_voltage_enable
      f.setup.push_back(request(0x0204, Bytes{1}));  // nut_clock_enable
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

// Runs one capture loop; false on a transport failure.
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

// --- the server under test ------------------------------------------------------

long status_kib(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
  return -1;
}

long rss_kib(pid_t pid) { return status_kib(pid, "VmRSS:"); }
// The largest resident size the process ever had.
long peak_rss_kib(pid_t pid) { return status_kib(pid, "VmHWM:"); }

std::uint16_t free_loopback_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  std::uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

bool wait_until_listening(const sockaddr_in& addr, pid_t pid, double seconds) {
  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < until) {
    std::string err;
    if (Conn::open(addr, err)) return true;
    if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A server this process started, stopped when the bench ends (or dies).
class Spawned {
 public:
  static std::optional<Spawned> start(const std::string& path, std::uint16_t port, std::string& err) {
    std::string port_text = std::to_string(port);
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
      err = std::string("fork: ") + std::strerror(errno);
      return std::nullopt;
    }
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      // Its log would interleave with the table; the bench only needs its answers.
      std::FILE* null = std::fopen("/dev/null", "w");
      if (null) {
        ::dup2(::fileno(null), STDOUT_FILENO);
        ::dup2(::fileno(null), STDERR_FILENO);
      }
      char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--port"), port_text.data(), nullptr};
      ::execv(path.c_str(), argv);
      ::_exit(127);
    }
    return Spawned(pid);
  }
  Spawned(Spawned&& o) noexcept : pid_(std::exchange(o.pid_, -1)) {}
  Spawned& operator=(Spawned&&) = delete;
  ~Spawned() { stop(); }

  pid_t pid() const { return pid_; }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  explicit Spawned(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// --- report ---------------------------------------------------------------------

struct Row {
  Mix mix;
  int connections = 1;
  RunResult service, floor;
};

std::string fixed(double v, int decimals = 1) {
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string ratio(double a, double b) { return b > 0 ? fixed(a / b, 2) + "x" : "-"; }

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

constexpr std::uint32_t BATCH_SAMPLES = 2048;
constexpr int BATCHES = 50;
constexpr int FLOOD_CONNECTIONS = 500;
constexpr int MAX_FLOOD = 4000;
constexpr std::uint16_t NUT_SET_VOLTAGE_ENABLE = 0x0200;
constexpr std::uint16_t NUT_SET_CLOCK = 0x0202;
constexpr std::uint16_t NUT_CLOCK_ENABLE = 0x0204;

struct BatchResult {
  bool ok = false;
  std::string error;
  double median_ms = 0, max_ms = 0;
};

// Batches of the capture loop's five requests, each batch sent in one write and
// answered before the next: arm, a write-only SPI transfer that triggers, status,
// both read-outs. The client sets no socket options, as a plain script would.
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

struct FloodResult {
  bool ok = false;
  std::string error;
  long idle_kib = -1, flooded_kib = -1;
  bool answered = false;
};

// `count` connections that each announce a 16 MiB payload, send 16 bytes of it
// and stall; then the server's resident memory, and get_id on one more connection.
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

// --- options --------------------------------------------------------------------

constexpr const char* USAGE =
    "usage: valdrix-bench [options]\n"
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

int run_standard(const sockaddr_in& addr, FloorServer& floor, pid_t pid, const Options& o) {
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

  print_header(o.seconds, o.slice, "standard set");
  Row id1 = measure(addr, pid, floor, {Kind::GetId}, 1, o.seconds, o.slice);
  Row id16 = measure(addr, pid, floor, {Kind::GetId}, 16, o.seconds, o.slice);
  measure(addr, pid, floor, {Kind::ReadRegister}, 1, o.seconds, o.slice);
  constexpr std::uint32_t WAVE_2_MIB = 0x00100000;
  constexpr std::uint32_t WAVE_64_MIB = 0x02000000;
  Row wave2 = measure(addr, pid, floor, {Kind::Wave, WAVE_2_MIB}, 1, o.seconds, o.slice);
  Row wave = measure(addr, pid, floor, {Kind::Wave, WAVE_64_MIB}, 1, o.seconds, o.slice);
  Row wave256 = measure(addr, pid, floor, {Kind::Wave, WAVE_256_MIB}, 1, o.seconds, o.slice);
  measure(addr, pid, floor, {Kind::Spi, 256}, 1, o.seconds, o.slice);
  measure(addr, pid, floor, {Kind::Capture, 16384}, 1, o.seconds, o.slice);
  Row captured = measure(addr, pid, floor, {Kind::Wave, WAVE_64_MIB, true}, 1, o.seconds, o.slice);
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

}  // namespace

int main(int argc, char** argv) {
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
  if (!o.spawn.empty()) {
    o.port = free_loopback_port();
    std::string err;
    if (auto s = Spawned::start(o.spawn, o.port, err)) spawned.emplace(std::move(*s));
    if (!spawned) {
      std::fprintf(stderr, "valdrix-bench: starting %s: %s\n", o.spawn.c_str(), err.c_str());
      return 1;
    }
    pid = spawned->pid();
  }
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
    return run_standard(addr, floor, pid, o);
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

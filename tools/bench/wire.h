#pragma once
// What every mode of valdrix-bench shares: the command codes and bounds, request
// frames, and a blocking client connection that reads answers without keeping
// their payload.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/types.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "protocol/frame.h"
#include "protocol/commands.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t GET_ID = protocol::command::get_id;
inline constexpr std::uint16_t READ_REGISTER = protocol::command::read_register;
inline constexpr std::uint16_t OSC_SET_SAMPLE_LENGTH = protocol::command::osc_set_sample_length;
inline constexpr std::uint16_t OSC_SET_SINGLE = protocol::command::osc_set_single;
inline constexpr std::uint16_t OSC_GET_TRIGGER_STATUS = protocol::command::osc_get_trigger_status;
inline constexpr std::uint16_t OSC_SET_SAMPLE_RATE = protocol::command::osc_set_sample_rate;
inline constexpr std::uint16_t OSC_SET_FORCE = protocol::command::osc_set_force;
inline constexpr std::uint16_t OSC_GET_CHANNEL_WAVE = protocol::command::osc_get_channel_wave;
inline constexpr std::uint16_t SPI_TRANSCEIVE = protocol::command::spi_transceive;
inline constexpr std::uint16_t SPI_ENABLE = protocol::command::spi_enable;
inline constexpr std::uint16_t SPI_CONFIG = protocol::command::spi_config;

inline constexpr std::uint16_t STATUS_UNSUPPORT = 0x8001;
inline constexpr std::uint32_t CAPTURE_DONE = 0x102;
// The capture core's status register, read by the read_register mix.
inline constexpr std::uint32_t OSC_CTL_BASE = 0x43C20000;

// Hard bounds on any run, whatever the options say.
inline constexpr double MAX_SECONDS = 120;
inline constexpr int MAX_CONNECTIONS = 256;
inline constexpr std::size_t MAX_OPS_PER_CONNECTION = 5'000'000;
inline constexpr int MAX_STATUS_POLLS = 10'000;
// The capture loop samples at this rate, so that it knows how long a capture fills.
inline constexpr std::uint32_t CAPTURE_RATE_KHZ = 48000;
inline constexpr std::uint32_t MAX_WAVE_SAMPLES = 0x08000000;  // the whole 256 MiB memory
// The floor's bulk source: contiguous, filled once, repeated for larger answers.
inline constexpr std::size_t FLOOR_SOURCE_BYTES = 64u << 20;
inline constexpr std::size_t SCRATCH_BYTES = 1u << 20;

double mib(double bytes);
// User plus system time of a whole process, in clock ticks; -1 if unreadable.
long long cpu_ticks(pid_t pid);
// A line of /proc/PID/status in KiB ("VmRSS:"), -1 if unreadable.
long status_kib(pid_t pid, const char* key);
long rss_kib(pid_t pid);
// The largest resident size the process ever had.
long peak_rss_kib(pid_t pid);

bool parse_u32(std::string_view text, std::uint32_t& out);
std::string fixed(double v, int decimals = 1);
std::string ratio(double a, double b);

Bytes request(std::uint16_t command, std::span<const std::uint8_t> payload = {});
Bytes be32(std::uint32_t v);
Bytes read_register_frame(std::uint32_t base, std::uint32_t offset);
Bytes wave_frame(std::uint8_t channel, std::uint32_t samples);
Bytes spi_frame(std::uint16_t bytes, bool trigger);

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

}  // namespace bench

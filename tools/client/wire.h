#pragma once
// One TCP connection to the service: sends request frames and reads back response
// frames, checking each response header before its payload is trusted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/format.h"
#include "protocol/frame.h"

namespace client {

// Exit statuses of the command-line client; scripts branch on them, so they are
// part of its interface and listed in its help text.
enum class Exit : int {
  ok = 0,
  local = 1,         // a local file could not be read or written
  usage = 2,
  busy = 3,          // status 0x0001
  timeout = 4,       // status 0x0002
  unsupported = 5,   // status 0x8001
  internal = 6,      // status 0x8000
  connection = 7,    // cannot connect, or the connection broke
  no_answer = 8,     // nothing arrived within --timeout
  bad_response = 9,  // the bytes that came back are not a valid response
};

inline constexpr std::uint16_t STATUS_OK = 0x0000;
inline constexpr std::uint16_t STATUS_BUSY = 0x0001;
inline constexpr std::uint16_t STATUS_TIMEOUT = 0x0002;
inline constexpr std::uint16_t STATUS_INTERNAL = 0x8000;
inline constexpr std::uint16_t STATUS_UNSUPPORTED = 0x8001;

// A wave of the whole 256 MiB sample memory is the largest legitimate answer;
// anything claiming more is a corrupt header, not something to allocate for.
inline constexpr std::uint32_t MAX_ANSWER_LENGTH = 512u * 1024 * 1024;

struct Failure {
  Exit exit;
  std::string message;
};

struct Answer {
  std::uint16_t status = 0;
  std::vector<std::uint8_t> payload;
};

inline bool known_status(std::uint16_t s) {
  return s == STATUS_OK || s == STATUS_BUSY || s == STATUS_TIMEOUT || s == STATUS_INTERNAL ||
         s == STATUS_UNSUPPORTED;
}

inline std::string hex16(std::uint16_t v) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) s.push_back(digits[(v >> shift) & 0xF]);
  return s;
}

class Connection {
 public:
  Connection() = default;
  Connection(Connection&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), peer_(std::move(other.peer_)) {}
  Connection& operator=(Connection&& other) noexcept {
    if (this != &other) {
      close_fd();
      fd_ = std::exchange(other.fd_, -1);
      peer_ = std::move(other.peer_);
    }
    return *this;
  }
  Connection(const Connection&) = delete;
  ~Connection() { close_fd(); }

  static std::expected<Connection, Failure> open(const std::string& host, std::uint16_t port,
                                                 int timeout_ms) {
    Connection c;
    c.peer_ = base::format("{}:{}", host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0)
      return std::unexpected(
          Failure{Exit::connection, base::format("cannot resolve {}: {}", host, ::gai_strerror(rc))});
    std::string last_error = "no address";
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
      auto attempt = connect_one(ai, timeout_ms);
      if (attempt) {
        c.fd_ = *attempt;
        break;
      }
      last_error = attempt.error();
    }
    ::freeaddrinfo(list);
    if (c.fd_ < 0)
      return std::unexpected(
          Failure{Exit::connection, base::format("cannot connect to {}: {}", c.peer_, last_error)});
    int one = 1;
    ::setsockopt(c.fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return c;
  }

  // One request and its response. `timeout_ms` bounds every wait for the peer,
  // not the whole exchange, so a long wave keeps flowing as long as bytes arrive.
  std::expected<Answer, Failure> call(std::uint16_t command, std::span<const std::uint8_t> payload,
                                      int timeout_ms) {
    if (payload.size() > protocol::MAX_PAYLOAD_LENGTH)
      return std::unexpected(Failure{
          Exit::usage, base::format("payload of {} bytes exceeds the service's limit of {}",
                                    payload.size(), protocol::MAX_PAYLOAD_LENGTH)});
    const auto header =
        protocol::RequestHeader::for_command(command, static_cast<std::uint32_t>(payload.size()))
            .to_bytes();
    std::vector<std::uint8_t> frame(header.begin(), header.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (auto sent = send_all(frame, timeout_ms); !sent) return std::unexpected(sent.error());

    std::uint8_t rh[protocol::RESPONSE_HEADER_SIZE];
    if (auto got = recv_all(rh, sizeof rh, timeout_ms, "the response header"); !got)
      return std::unexpected(got.error());
    if (!std::equal(protocol::FRAME_MAGIC.begin(), protocol::FRAME_MAGIC.end(), rh))
      return std::unexpected(Failure{
          Exit::bad_response,
          base::format("invalid response from {}: magic {} instead of VLDX", peer_, printable(rh, 4))});
    if (rh[6] != protocol::RESPONSE_DIRECTION)
      return std::unexpected(Failure{
          Exit::bad_response, base::format("invalid response from {}: direction {} instead of 'R'",
                                           peer_, printable(rh + 6, 1))});
    Answer a;
    a.status = base::load_be16(rh + 7);
    const std::uint32_t length = base::load_be32(rh + 9);
    if (!known_status(a.status))
      return std::unexpected(Failure{
          Exit::bad_response, base::format("invalid response from {}: unknown status {}", peer_,
                                           hex16(a.status))});
    if (length > MAX_ANSWER_LENGTH)
      return std::unexpected(Failure{
          Exit::bad_response,
          base::format("invalid response from {}: length {} is beyond any answer", peer_, length)});
    a.payload.resize(length);
    if (auto got = recv_all(a.payload.data(), length, timeout_ms, "the response payload"); !got)
      return std::unexpected(got.error());
    return a;
  }

  const std::string& peer() const { return peer_; }

 private:
  static std::expected<int, std::string> connect_one(const addrinfo* ai, int timeout_ms) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) return std::unexpected(std::string(std::strerror(errno)));
    auto fail = [fd](std::string why) {
      ::close(fd);
      return std::unexpected(std::move(why));
    };
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) return fail(std::strerror(errno));
      pollfd p{fd, POLLOUT, 0};
      int rc;
      do rc = ::poll(&p, 1, timeout_ms);
      while (rc < 0 && errno == EINTR);
      if (rc == 0) return fail(base::format("no answer within {} ms", timeout_ms));
      if (rc < 0) return fail(std::strerror(errno));
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) return fail(std::strerror(err));
    }
    return fd;
  }

  // Waits until the socket is ready for `events`; false with a failure on time-out.
  std::expected<void, Failure> wait_ready(short events, int timeout_ms, const char* what) {
    pollfd p{fd_, events, 0};
    int rc;
    do rc = ::poll(&p, 1, timeout_ms);
    while (rc < 0 && errno == EINTR);
    if (rc == 0)
      return std::unexpected(Failure{
          Exit::no_answer, base::format("{} did not arrive from {} within {} ms", what, peer_, timeout_ms)});
    if (rc < 0)
      return std::unexpected(Failure{Exit::connection, base::format("waiting for {}: {}", peer_,
                                                                      std::strerror(errno))});
    return {};
  }

  std::expected<void, Failure> send_all(std::span<const std::uint8_t> bytes, int timeout_ms) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (auto r = wait_ready(POLLOUT, timeout_ms, "room to send the request"); !r) return r;
        continue;
      }
      return std::unexpected(Failure{Exit::connection, base::format("sending to {}: {}", peer_,
                                                                      std::strerror(errno))});
    }
    return {};
  }

  std::expected<void, Failure> recv_all(std::uint8_t* dst, std::size_t size, int timeout_ms,
                                        const char* what) {
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::recv(fd_, dst + done, size - done, 0);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0)
        return std::unexpected(Failure{
            Exit::connection, base::format("{} closed the connection before {} was complete ({} of {} bytes)",
                                           peer_, what, done, size)});
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (auto r = wait_ready(POLLIN, timeout_ms, what); !r) return r;
        continue;
      }
      return std::unexpected(Failure{Exit::connection, base::format("receiving from {}: {}", peer_,
                                                                      std::strerror(errno))});
    }
    return {};
  }

  static std::string printable(const std::uint8_t* p, std::size_t n) {
    std::string s = "'";
    for (std::size_t i = 0; i < n; ++i) {
      if (p[i] >= 0x20 && p[i] < 0x7F) {
        s.push_back(static_cast<char>(p[i]));
      } else {
        static constexpr char digits[] = "0123456789abcdef";
        s += "\\x";
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 0xF]);
      }
    }
    return s + "'";
  }

  void close_fd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  std::string peer_;
};

}  // namespace client

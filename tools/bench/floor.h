#pragma once
// The floor the service is measured against: a minimal server in a process of
// its own that answers each request at once with a frame of the size the service
// would send.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <climits>
#include <thread>

#include "bench/wire.h"

namespace bench {

// The size of the answer the service gives to a request, and the first payload
// bytes where the client looks at them (a finished capture for status polls).
inline std::size_t floor_answer_size(std::uint16_t command, const std::uint8_t* payload, std::size_t len) {
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

}  // namespace bench

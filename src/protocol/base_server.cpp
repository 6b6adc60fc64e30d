#include "protocol/base_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include "base/log.h"

namespace protocol {

namespace {

constexpr std::string_view kTarget = "protocol";
// Bytes read ahead per connection: a header and a small payload arrive in one read.
constexpr std::size_t kReadBuffer = 64 * 1024;
// After an error frame the rest of the stream is read and thrown away before the
// socket is closed, so that unread input does not turn the close into a reset that
// could destroy the frame in flight. Bounded, so a client cannot hold the thread.
constexpr int kDiscardMillis = 1000;
constexpr std::size_t kDiscardBytes = 1024 * 1024;
// How long a connection keeps the buffer of its last large request or answer for
// the next one.
constexpr int kSpareKeepMillis = 100;

int close_retry(int fd) { return ::close(fd); }  // never retried: Linux frees fd anyway

// A connection's socket with a read-ahead buffer.
class Stream {
 public:
  explicit Stream(int fd) : fd_(fd), buf_(kReadBuffer) {}

  // Fills `out` with exactly n bytes, from the buffer first. False on error or end
  // of stream.
  bool read_exact(std::uint8_t* out, std::size_t n) {
    std::size_t have = end_ - start_;
    if (have >= n) {
      std::memcpy(out, buf_.data() + start_, n);
      start_ += n;
      return true;
    }
    std::memcpy(out, buf_.data() + start_, have);
    start_ = end_ = 0;
    out += have;
    n -= have;
    // Large remainders go straight into the destination; small ones read ahead.
    while (n > 0) {
      if (n >= buf_.size() / 2) {
        ssize_t r = ::read(fd_, out, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        out += r;
        n -= static_cast<std::size_t>(r);
      } else {
        ssize_t r = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        end_ += static_cast<std::size_t>(r);
        std::size_t take = std::min(n, end_ - start_);
        std::memcpy(out, buf_.data() + start_, take);
        start_ += take;
        out += take;
        n -= take;
      }
    }
    if (start_ == end_) start_ = end_ = 0;
    return true;
  }

  // Writes header and payload with one gathered write where the kernel takes it all.
  base::Result<void> write_frame(const Response& r) {
    auto header = r.header_bytes();
    iovec iov[2] = {{header.data(), header.size()},
                    {const_cast<std::uint8_t*>(r.payload.data()), r.payload.size()}};
    int count = r.payload.empty() ? 1 : 2;
    iovec* v = iov;
    while (count > 0) {
      ssize_t n = ::writev(fd_, v, count);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::unexpected(base::Error(base::errno_description(errno)));
      if (n == 0) return base::fail("failed to write whole buffer");
      auto left = static_cast<std::size_t>(n);
      while (count > 0 && left >= v->iov_len) {
        left -= v->iov_len;
        ++v;
        --count;
      }
      if (count > 0) {
        v->iov_base = static_cast<std::uint8_t*>(v->iov_base) + left;
        v->iov_len -= left;
      }
    }
    return {};
  }

  void discard_rest() {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDiscardMillis);
    std::size_t total = 0;
    while (total < kDiscardBytes) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      until - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      int pr = ::poll(&p, 1, static_cast<int>(left));
      if (pr < 0 && errno == EINTR) continue;
      if (pr <= 0) return;
      ssize_t r = ::read(fd_, buf_.data(), buf_.size());
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return;
      total += static_cast<std::size_t>(r);
    }
  }

  // True once the peer has sent something (or closed) within ms, or bytes are
  // already buffered.
  bool readable_within(int ms) {
    if (end_ > start_) return true;
    pollfd p{fd_, POLLIN, 0};
    int pr = ::poll(&p, 1, ms);
    return pr != 0;  // an interrupted or failed poll leaves it to the next read
  }

  int fd() const { return fd_; }

 private:
  int fd_;
  std::vector<std::uint8_t> buf_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

void write_error_frame(Stream& s, std::string_view text) {
  Response r = Response::with_status(STATUS_INTERNAL_ERROR, base::Bytes(text.begin(), text.end()));
  if (auto w = s.write_frame(r); !w) base::log::error(kTarget, "Failed to write response: {}", w.error().message());
}

HandlerResult call_handler(CommandHandler handler, Request request) {
  try {
    return handler(std::move(request));
  } catch (const std::exception& e) {
    return std::unexpected(
        ProtocolError::internal(base::Error("Request failed", base::Error(e.what()))));
  } catch (...) {
    return std::unexpected(
        ProtocolError::internal(base::Error("Request failed", base::Error("unknown exception"))));
  }
}

std::string peer_text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return base::format("{}:{}", ip, ntohs(a.sin_port));
}

bool is_resource_shortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

base::Result<Runtime> Runtime::build(std::size_t stack_size) {
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return std::unexpected(base::os_error("signal SIGPIPE", errno));
  pthread_attr_t attr;
  if (int e = ::pthread_attr_init(&attr); e != 0) return std::unexpected(base::os_error("pthread_attr_init", e));
  int e = ::pthread_attr_setstacksize(&attr, stack_size);
  ::pthread_attr_destroy(&attr);
  if (e != 0) return std::unexpected(base::os_error("pthread_attr_setstacksize", e));
  return Runtime(stack_size);
}

namespace {
std::atomic<std::size_t> g_running{0};
}  // namespace

std::size_t Runtime::running() { return g_running.load(std::memory_order_acquire); }

base::Result<void> Runtime::spawn(std::function<void()> fn) const {
  pthread_attr_t attr;
  if (int e = ::pthread_attr_init(&attr); e != 0) return std::unexpected(base::os_error("pthread_attr_init", e));
  ::pthread_attr_setstacksize(&attr, stack_size_);
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* boxed = new (std::nothrow) std::function<void()>(std::move(fn));
  if (boxed == nullptr) {
    ::pthread_attr_destroy(&attr);
    return std::unexpected(base::os_error("pthread_create", ENOMEM));
  }
  pthread_t tid;
  g_running.fetch_add(1, std::memory_order_acq_rel);
  int e = ::pthread_create(
      &tid, &attr,
      [](void* arg) -> void* {
        ::pthread_setname_np(::pthread_self(), THREAD_NAME);
        {
          std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(arg));
          (*f)();
        }
        g_running.fetch_sub(1, std::memory_order_acq_rel);
        return nullptr;
      },
      boxed);
  ::pthread_attr_destroy(&attr);
  if (e != 0) {
    g_running.fetch_sub(1, std::memory_order_acq_rel);
    delete boxed;
    return std::unexpected(base::os_error("pthread_create", e));
  }
  return {};
}

base::Result<std::unique_ptr<BaseServer>> BaseServer::create(std::uint16_t port,
                                                             CommandHandler handler,
                                                             std::string_view host) {
  std::string addr_text = base::format("{}:{}", host, port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  std::string host_str(host);
  if (::inet_pton(AF_INET, host_str.c_str(), &addr.sin_addr) != 1)
    return base::fail("could not resolve to any address");
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(base::os_error("socket", errno));
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    int e = errno;
    ::close(fd);
    return std::unexpected(base::os_error("setsockopt SO_REUSEADDR", e));
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    ::close(fd);
    return std::unexpected(base::os_error("bind " + addr_text, e));
  }
  if (::listen(fd, 1024) != 0) {
    int e = errno;
    ::close(fd);
    return std::unexpected(base::os_error("listen " + addr_text, e));
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  return std::unique_ptr<BaseServer>(new BaseServer(fd, ntohs(bound.sin_port), handler));
}

BaseServer::~BaseServer() {
  if (fd_ >= 0) close_retry(fd_);
}

void BaseServer::stop() {
  stopping_.store(true, std::memory_order_release);
  // Wakes a thread blocked in accept().
  ::shutdown(fd_, SHUT_RDWR);
}

base::Result<void> BaseServer::run(const Runtime& runtime) {
  while (!stopping_.load(std::memory_order_acquire)) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int client = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (client < 0) {
      int e = errno;
      if (stopping_.load(std::memory_order_acquire)) break;
      if (e == EINTR || e == ECONNABORTED) continue;
      base::log::error(kTarget, "Accept failed: {}", base::errno_description(e));
      // Out of descriptors or memory: give the connections time to end instead of
      // spinning on a listening socket that stays readable.
      if (is_resource_shortage(e)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    base::log::info(kTarget, "Connected by {}", peer_text(peer));
    CommandHandler handler = handler_;
    if (auto s = runtime.spawn([client, handler] { handle_client(client, handler); }); !s) {
      base::log::error(kTarget, "Failed to start connection thread: {}", s.error().message());
      ::close(client);
    }
  }
  return {};
}

void BaseServer::handle_client(int fd, CommandHandler handler) {
  Stream stream(fd);
  bool discard = false;
  for (;;) {
    std::uint8_t raw[REQUEST_HEADER_SIZE];
    if (!stream.read_exact(raw, sizeof raw)) {
      base::log::info(kTarget, "No header received, Disconnecting");
      break;
    }
    auto header = RequestHeader::parse(raw);
    if (!header) {
      base::log::error(kTarget, "Parse header error: {}", header.error().message());
      write_error_frame(stream, "Parse header error");
      discard = true;
      break;
    }
    if (header->magic != FRAME_MAGIC) {
      base::log::error(kTarget, "Invalid magic code");
      write_error_frame(stream, "Invalid magic code");
      discard = true;
      break;
    }
    if (header->direction != REQUEST_DIRECTION) {
      base::log::error(kTarget, "Invalid direction");
      write_error_frame(stream, "Invalid direction");
      discard = true;
      break;
    }
    if (header->length > MAX_PAYLOAD_LENGTH) {
      base::log::error(kTarget, "Payload length {} exceeds limit {}", header->length,
                       MAX_PAYLOAD_LENGTH);
      write_error_frame(stream, "Payload too large");
      discard = true;
      break;
    }
    Request request{*header, base::Bytes(header->length)};
    if (header->length > 0 && !stream.read_exact(request.payload.data(), header->length)) {
      base::log::error(kTarget, "Failed to read payload");
      request.payload = {};
      write_error_frame(stream, "Read payload error");
      discard = true;
      break;
    }
    {
      Response response = to_response(call_handler(handler, std::move(request)));
      if (auto w = stream.write_frame(response); !w) {
        base::log::error(kTarget, "Failed to write response: {}", w.error().message());
        break;
      }
    }
    // A large request or answer leaves its buffer behind as this thread's spare, so
    // that a capture loop reading out the same wave size again skips the page faults
    // and the zeroing of fresh pages. A connection that goes quiet, or that has not
    // needed it for a while, gives it back.
    base::release_spare_buffer_unused_for(std::chrono::milliseconds(kSpareKeepMillis));
    if (base::spare_buffer_held() && !stream.readable_within(kSpareKeepMillis)) base::release_spare_buffer();
  }
  base::release_spare_buffer();
  if (::shutdown(fd, SHUT_WR) != 0)
    base::log::error(kTarget, "Failed to shutdown stream: {}", base::errno_description(errno));
  if (discard) stream.discard_rest();
  ::close(fd);
}

}  // namespace protocol

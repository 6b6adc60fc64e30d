#include "bench/proxy.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace bench {
namespace {

// Bytes read from one side at a time: 131 us of a 1 Gbit/s link, fine enough for
// round trips of a fraction of a millisecond.
constexpr std::size_t PIECE = 16 * 1024;
// What a direction holds at least, in flight and queued: enough that a writer
// the scheduler wakes late does not leave the emulated link idle.
constexpr std::size_t MIN_HOLD = 1024 * 1024;

// Sleeps of a few microseconds must not last the default timer slack of 50 us.
void fine_sleeps() { ::prctl(PR_SET_TIMERSLACK, 1000, 0, 0, 0); }

// One direction of a forwarded connection.
class Pipe {
 public:
  Pipe(int from, int to, const Link& link)
      : from_(from),
        to_(to),
        ns_per_byte_(link.rate_mbit > 0 ? 8000.0 / link.rate_mbit : 0.0),
        delay_(std::chrono::nanoseconds(static_cast<std::int64_t>(link.rtt_ms * 1e6 / 2))),
        quick_ack_(link.quick_ack) {
    // Room for two round trips at the rate, as a link's queues would hold.
    const double bdp = link.rate_mbit > 0 ? link.rate_mbit * 1e6 / 8 * link.rtt_ms / 1000 : 0;
    hold_ = std::max(MIN_HOLD, static_cast<std::size_t>(2 * bdp));
  }

  void read_side() {
    fine_sleeps();
    for (;;) {
      Bytes piece(PIECE);
      ssize_t n = ::read(from_, piece.data(), piece.size());
      if (n < 0 && errno == EINTR) continue;
      // The proxy cannot pass on when the far end acknowledges, so it
      // acknowledges at once, as a client that asks for quick acknowledgements
      // does: a sender's Nagle never waits for a delayed acknowledgement of the
      // proxy's own.
      if (quick_ack_) {
        int one = 1;
        ::setsockopt(from_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
      }
      std::unique_lock lock(mu_);
      if (n <= 0 || closed_) {
        // The end travels like the last byte.
        queue_.push_back({std::max(Clock::now(), wire_free_) + delay_, {}});
        cv_.notify_all();
        return;
      }
      piece.resize(static_cast<std::size_t>(n));
      cv_.wait(lock, [&] { return closed_ || held_ + piece.size() <= hold_ || held_ == 0; });
      if (closed_) return;
      const auto now = Clock::now();
      wire_free_ = std::max(now, wire_free_) +
                   std::chrono::nanoseconds(static_cast<std::int64_t>(ns_per_byte_ * static_cast<double>(n)));
      held_ += piece.size();
      queue_.push_back({wire_free_ + delay_, std::move(piece)});
      cv_.notify_all();
    }
  }

  void write_side() {
    fine_sleeps();
    for (;;) {
      Piece p;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return closed_ || !queue_.empty(); });
        if (closed_) return;
        p = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(p.due);
      if (p.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      const std::uint8_t* at = p.bytes.data();
      std::size_t left = p.bytes.size();
      while (left > 0) {
        ssize_t n = ::send(to_, at, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          close();
          ::shutdown(from_, SHUT_RDWR);
          return;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
      }
      std::lock_guard lock(mu_);
      held_ -= p.bytes.size();
      cv_.notify_all();
    }
  }

  void close() {
    std::lock_guard lock(mu_);
    closed_ = true;
    cv_.notify_all();
  }

 private:
  struct Piece {
    Clock::time_point due;
    Bytes bytes;  // empty: the sender closed its side
  };
  const int from_;
  const int to_;
  const double ns_per_byte_;
  const std::chrono::nanoseconds delay_;
  const bool quick_ack_;
  std::size_t hold_ = MIN_HOLD;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Piece> queue_;
  std::size_t held_ = 0;
  Clock::time_point wire_free_{};
  bool closed_ = false;
};

// A client's connection and the one to the server, forwarded both ways.
class Forward {
 public:
  Forward(int client, int server, const Link& link)
      : client_(client), server_(server), up_(client, server, link), down_(server, client, link) {}
  ~Forward() {
    stop();
    for (auto& t : threads_) t.join();
    ::close(client_);
    ::close(server_);
  }
  void run() {
    threads_.emplace_back([this] {
      up_.read_side();
      ++done_;
    });
    threads_.emplace_back([this] {
      up_.write_side();
      ++done_;
    });
    threads_.emplace_back([this] {
      down_.read_side();
      ++done_;
    });
    threads_.emplace_back([this] {
      down_.write_side();
      ++done_;
    });
  }
  // Both sides have closed and every thread has returned.
  bool finished() const { return done_.load() == 4; }
  void stop() {
    up_.close();
    down_.close();
    ::shutdown(client_, SHUT_RDWR);
    ::shutdown(server_, SHUT_RDWR);
  }

 private:
  int client_;
  int server_;
  Pipe up_;
  Pipe down_;
  std::vector<std::thread> threads_;
  std::atomic<int> done_{0};
};

}  // namespace

std::string Link::text() const {
  return "round trip " + fixed(rtt_ms, 3) + " ms, " +
         (rate_mbit > 0 ? fixed(rate_mbit, 0) + " Mbit/s" : std::string("unlimited rate")) +
         (quick_ack ? "" : ", no quick acknowledgements");
}

struct LinkProxy::Impl {
  int fd = -1;
  sockaddr_in addr{};
  sockaddr_in to{};
  Link link;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::mutex mu;
  std::list<Forward> forwards;

  void accept_loop() {
    for (;;) {
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (stopping.load()) return;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (s >= 0) ::close(s);
        ::close(c);
        continue;
      }
      // The link's own timing decides when bytes leave; the proxy adds no more.
      int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard lock(mu);
      forwards.remove_if([](const Forward& f) { return f.finished(); });
      forwards.emplace_back(c, s, link).run();
    }
  }
};

LinkProxy::LinkProxy(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

LinkProxy::~LinkProxy() { stop(); }

const sockaddr_in& LinkProxy::addr() const { return impl_->addr; }

std::unique_ptr<LinkProxy> LinkProxy::start(std::uint16_t port, const sockaddr_in& to, Link link, std::string& err) {
  auto impl = std::make_unique<Impl>();
  impl->to = to;
  impl->link = link;
  impl->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  socklen_t len = sizeof a;
  int one = 1;
  if (impl->fd < 0 || ::setsockopt(impl->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(impl->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(impl->fd, 128) != 0 ||
      ::getsockname(impl->fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    err = std::string("proxy on port ") + std::to_string(port) + ": " + std::strerror(errno);
    if (impl->fd >= 0) ::close(impl->fd);
    return nullptr;
  }
  impl->addr = a;
  Impl* raw = impl.get();
  impl->acceptor = std::thread([raw] { raw->accept_loop(); });
  return std::unique_ptr<LinkProxy>(new LinkProxy(std::move(impl)));
}

void LinkProxy::stop() {
  if (!impl_ || impl_->stopping.exchange(true)) return;
  ::shutdown(impl_->fd, SHUT_RDWR);
  impl_->acceptor.join();
  ::close(impl_->fd);
  std::lock_guard lock(impl_->mu);
  impl_->forwards.clear();
}

namespace {

constexpr const char* PROXY_USAGE =
    "usage: valdrix-bench proxy --listen PORT --to HOST:PORT [--rtt-ms MS] [--rate-mbit MBIT]\n"
    "                           [--no-quickack]\n"
    "\n"
    "Forwards connections from 127.0.0.1:PORT to HOST:PORT (a loopback address) as if over a\n"
    "link of round trip MS milliseconds (default 0.2) and MBIT Mbit/s each way (default 1000;\n"
    "0: unlimited). The proxy acknowledges what it receives at once; with --no-quickack it\n"
    "leaves acknowledgements to its kernel, as a host that does not ask for quick ones.\n"
    "Runs until interrupted; exit status 0 then, 1 when it cannot listen, 2 for bad arguments.\n";

std::atomic<bool> g_interrupted{false};

bool parse_host_port(std::string_view text, sockaddr_in& out) {
  const auto colon = text.rfind(':');
  std::uint32_t port = 0;
  if (colon == std::string_view::npos || !parse_u32(text.substr(colon + 1), port) || port == 0 || port > 65535)
    return false;
  const std::string host(text.substr(0, colon));
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1 && (ntohl(out.sin_addr.s_addr) >> 24) == 127;
}

bool parse_double(const char* text, double& out, double max) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && out >= 0 && out <= max;
}

}  // namespace

int run_proxy(int argc, char** argv) {
  std::uint32_t listen = 0;
  sockaddr_in to{};
  bool have_to = false;
  Link link{.rtt_ms = 0.2, .rate_mbit = 1000};
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help") {
      std::fputs(PROXY_USAGE, stdout);
      return 0;
    }
    if (a == "--no-quickack") {
      link.quick_ack = false;
      continue;
    }
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = next != nullptr;
    if (ok && a == "--listen")
      ok = parse_u32(next, listen) && listen > 0 && listen <= 65535;
    else if (ok && a == "--to")
      ok = have_to = parse_host_port(next, to);
    else if (ok && a == "--rtt-ms")
      ok = parse_double(next, link.rtt_ms, 10000);
    else if (ok && a == "--rate-mbit")
      ok = parse_double(next, link.rate_mbit, 1e6);
    else
      ok = false;
    if (!ok) {
      std::fprintf(stderr, "valdrix-bench proxy: bad argument '%s'\n%s", argv[i], PROXY_USAGE);
      return 2;
    }
    ++i;
  }
  if (listen == 0 || !have_to) {
    std::fprintf(stderr, "valdrix-bench proxy: --listen and --to are required\n%s", PROXY_USAGE);
    return 2;
  }
  struct sigaction sa{};
  sa.sa_handler = [](int) { g_interrupted = true; };
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  std::string err;
  auto proxy = LinkProxy::start(static_cast<std::uint16_t>(listen), to, link, err);
  if (!proxy) {
    std::fprintf(stderr, "valdrix-bench proxy: %s\n", err.c_str());
    return 1;
  }
  char to_text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &to.sin_addr, to_text, sizeof to_text);
  std::printf("proxy 127.0.0.1:%u -> %s:%u, %s\n", listen, to_text, ntohs(to.sin_port), link.text().c_str());
  std::fflush(stdout);
  while (!g_interrupted.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  proxy->stop();
  return 0;
}

}  // namespace bench

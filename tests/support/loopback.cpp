#include "support/loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>

#include "server/command.h"

namespace support {

ByteVec bytes_of(std::string_view text) { return ByteVec(text.begin(), text.end()); }

ByteVec request_frame(std::uint16_t command, std::span<const std::uint8_t> payload) {
  ByteVec f = {'V', 'L', 'D', 'X', 0x00, 0x01, 'S',
               static_cast<std::uint8_t>(command >> 8), static_cast<std::uint8_t>(command),
               0x00, 0x00};
  auto n = static_cast<std::uint32_t>(payload.size());
  for (int shift : {24, 16, 8, 0}) f.push_back(static_cast<std::uint8_t>(n >> shift));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

Client::Client(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ADD_FAILURE() << "connect to port " << port << ": " << std::strerror(errno);
  }
}

Client::Client(Client&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

void Client::send(std::span<const std::uint8_t> bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ADD_FAILURE() << "send: " << std::strerror(errno);
      return;
    }
    off += static_cast<std::size_t>(n);
  }
}

namespace {
bool read_exact(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}
}  // namespace

bool Client::read_reply(Reply& out) {
  std::uint8_t h[13];
  if (!read_exact(fd_, h, sizeof h)) return false;
  EXPECT_EQ(std::memcmp(h, "VLDX", 4), 0);
  EXPECT_EQ(h[4], 0x00);
  EXPECT_EQ(h[5], 0x01);
  EXPECT_EQ(h[6], 'R');
  out.status = static_cast<std::uint16_t>((h[7] << 8) | h[8]);
  std::uint32_t len = (std::uint32_t{h[9]} << 24) | (std::uint32_t{h[10]} << 16) |
                      (std::uint32_t{h[11]} << 8) | h[12];
  out.payload.resize(len);
  return read_exact(fd_, out.payload.data(), len);
}

Reply Client::call(std::uint16_t command, std::span<const std::uint8_t> payload) {
  send(request_frame(command, payload));
  Reply r;
  if (!read_reply(r)) {
    ADD_FAILURE() << "no reply to command " << command;
    r.status = 0xFFFF;
  }
  return r;
}

ByteVec Client::read_until_close(int timeout_ms) {
  ByteVec out;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      ADD_FAILURE() << "server did not close the connection";
      return out;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

bool Client::closed_by_peer(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return false;
  std::uint8_t b;
  return ::read(fd_, &b, 1) <= 0;
}

void Client::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

TestServer::TestServer() {
  auto s = protocol::BaseServer::create(0, server::Cmd::router, "127.0.0.1");
  if (!s) {
    ADD_FAILURE() << "cannot start server: " << s.error().describe();
    return;
  }
  server_ = std::move(*s);
  port_ = server_->local_port();
  thread_ = std::thread([this] {
    auto rt = protocol::Runtime::build(1024 * 1024);
    if (rt) (void)server_->run(*rt);
  });
}

TestServer::~TestServer() {
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool connections_ended(int timeout_ms, std::size_t keep) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (protocol::Runtime::running() > keep) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

namespace {
int count_dir(const char* path) {
  DIR* d = ::opendir(path);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}
}  // namespace

bool eventually(const base::log::Capture& cap, base::log::Level level, std::string_view target,
                std::string_view message) {
  for (int i = 0; i < 500; ++i) {
    if (cap.contains(level, target, message)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int count_open_fds() { return count_dir("/proc/self/fd") - 1; }  // less opendir's own

long rss_kib() {
  std::ifstream f("/proc/self/status");
  std::string key;
  while (f >> key) {
    long v = 0;
    if (key == "VmRSS:" && f >> v) return v;
    f.ignore(1 << 20, '\n');
  }
  return -1;
}

bool sizes_mean_something() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#else
  return std::getenv("VALDRIX_EMULATOR") == nullptr;
#endif
}
ThreadCensus thread_census() {
  ThreadCensus census;
  DIR* d = ::opendir("/proc/self/task");
  if (d == nullptr) return {-1, -1};
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
    std::ifstream comm(path);
    std::string name;
    // A thread that ended after the listing has no comm left: it is not counted.
    if (!std::getline(comm, name)) continue;
    if (name == protocol::Runtime::THREAD_NAME) {
      ++census.connection;
    } else {
      ++census.other;
    }
  }
  ::closedir(d);
  return census;
}

void PrintTo(const ThreadCensus& c, std::ostream* os) {
  *os << "{connection threads " << c.connection << ", others " << c.other << "}";
}

}  // namespace support

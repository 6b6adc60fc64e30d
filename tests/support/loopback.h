#pragma once
// Loopback helpers for black-box tests: a server running the real router on an
// ephemeral port, a blocking client that speaks the frame format, and descriptor
// counting for leak checks.
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/log.h"
#include "protocol/base_server.h"

namespace support {

using ByteVec = std::vector<std::uint8_t>;

ByteVec bytes_of(std::string_view text);
// A request frame: magic "VLDX", version 1, direction 'S', the command, reserved 0.
ByteVec request_frame(std::uint16_t command, std::span<const std::uint8_t> payload = {});

struct Reply {
  std::uint16_t status = 0;
  ByteVec payload;
  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

class Client {
 public:
  explicit Client(std::uint16_t port);  // connects to 127.0.0.1:port (fails the test if not)
  ~Client();
  Client(Client&& other) noexcept;
  Client(const Client&) = delete;

  // Sends one request and reads its response.
  Reply call(std::uint16_t command, std::span<const std::uint8_t> payload = {});
  Reply call(std::uint16_t command, std::initializer_list<std::uint8_t> payload) {
    return call(command, std::span<const std::uint8_t>(payload.begin(), payload.size()));
  }
  void send(std::span<const std::uint8_t> bytes);
  // Reads one response frame; nullopt-like empty status 0xFFFF when the stream ended.
  bool read_reply(Reply& out);
  // Everything the server still sends until it closes the connection (bounded wait).
  ByteVec read_until_close(int timeout_ms = 5000);
  // True once the server has closed its side (read returns end of stream).
  bool closed_by_peer(int timeout_ms = 5000);
  void shutdown_write();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// BaseServer with Cmd::router on 127.0.0.1, ephemeral port, accept loop on a thread.
class TestServer {
 public:
  TestServer();
  ~TestServer();
  std::uint16_t port() const { return port_; }

 private:
  std::unique_ptr<protocol::BaseServer> server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
};

// Waits (bounded) until a log message shows up: connection threads log on their own time.
bool eventually(const base::log::Capture& cap, base::log::Level level, std::string_view target,
                std::string_view message);

// Waits (bounded) until every connection thread but `keep` (those of connections the
// caller holds open) has closed its socket and returned. Any count of descriptors,
// threads or memory waits for this first: earlier connections end on their own time.
bool connections_ended(int timeout_ms = 5000, std::size_t keep = 0);

int count_open_fds();

// This process's resident memory (VmRSS) in KiB, or -1.
long rss_kib();
// Whether the process size says anything about ours: qemu-user keeps memory of its
// own for every thread ever started, and the sanitizers' allocators hold freed
// memory back on purpose.
bool sizes_mean_something();

// The process's threads in one pass over /proc/self/task, connection threads
// (found by their name) apart from the rest. A connection thread lives on for a
// moment after its socket is closed, so only this split gives an exact idle count.
struct ThreadCensus {
  int connection = 0;
  int other = 0;
  bool operator==(const ThreadCensus&) const = default;
};
ThreadCensus thread_census();
void PrintTo(const ThreadCensus& census, std::ostream* os);

}  // namespace support

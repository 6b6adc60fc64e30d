#pragma once
// The TCP front end: binds the listening socket, accepts connections and serves each
// on its own thread, one request at a time, handing every well-formed request to
// one command handler. It knows nothing about commands. The answer to a request
// may wait, at most 20 ms, for the answers after it while the client's next
// request has already arrived; one thread of the process, started with the first
// server, sends the answers whose time is up (docs/protocol.md).
//
// Thread-safety: run() is called from one thread; stop() may be called from any.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/error.h"
#include "protocol/error.h"
#include "protocol/frame.h"

namespace protocol {

using CommandHandler = HandlerResult (*)(Request);

// Where connection threads come from: detached threads with a small explicit stack,
// named THREAD_NAME (what `ps -T` and `top -H` show), in a process that ignores SIGPIPE.
class Runtime {
 public:
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Sanitizers pad every frame; give their builds the room they need.
  static constexpr std::size_t DEFAULT_STACK_SIZE = 2 * 1024 * 1024;
#else
  static constexpr std::size_t DEFAULT_STACK_SIZE = 256 * 1024;
#endif
  static constexpr const char* THREAD_NAME = "valdrix-conn";
  static base::Result<Runtime> build(std::size_t stack_size = DEFAULT_STACK_SIZE);
  // Starts fn on a new detached thread.
  base::Result<void> spawn(std::function<void()> fn) const;
  // Threads started by any runtime whose function has not yet returned: a
  // connection counts until its socket is closed.
  static std::size_t running();
  std::size_t stack_size() const { return stack_size_; }

 private:
  explicit Runtime(std::size_t stack_size) : stack_size_(stack_size) {}
  std::size_t stack_size_;
};

class BaseServer {
 public:
  // Binds host:port (the service uses 0.0.0.0 and 9761; port 0 picks a free one).
  // Returns the bind error, naming the call, on failure. Logs nothing.
  static base::Result<std::unique_ptr<BaseServer>> create(std::uint16_t port,
                                                          CommandHandler handler,
                                                          std::string_view host = "0.0.0.0");
  ~BaseServer();

  // The accept loop. A failed accept is logged and retried; returns once stop() is called.
  base::Result<void> run(const Runtime& runtime);
  void stop();
  std::uint16_t local_port() const { return port_; }

  // Serves one accepted connection until it ends; closes fd.
  static void handle_client(int fd, CommandHandler handler);

 private:
  BaseServer(int fd, std::uint16_t port, CommandHandler handler)
      : fd_(fd), port_(port), handler_(handler) {}
  int fd_;
  std::uint16_t port_;
  CommandHandler handler_;
  std::atomic<bool> stopping_{false};
};

}  // namespace protocol

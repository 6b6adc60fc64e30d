#pragma once
// The server under test: a free loopback port, waiting until it listens, and a
// server process the bench starts itself.
#include <sys/prctl.h>
#include <sys/wait.h>

#include <signal.h>

#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "bench/wire.h"

namespace bench {

std::uint16_t free_loopback_port();
bool wait_until_listening(const sockaddr_in& addr, pid_t pid, double seconds);

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
  // What every bench mode does with --spawn PATH: start the server on a free
  // loopback port and measure that process. False, with the reason on stderr
  // after `prog`, when it could not be started. Without a path nothing changes.
  static bool spawn_if_asked(const std::string& path, const char* prog, std::uint16_t& port, pid_t& pid,
                             std::optional<Spawned>& spawned) {
    if (path.empty()) return true;
    port = free_loopback_port();
    std::string err;
    if (auto s = start(path, port, err)) spawned.emplace(std::move(*s));
    if (!spawned) {
      std::fprintf(stderr, "%s: starting %s: %s\n", prog, path.c_str(), err.c_str());
      return false;
    }
    pid = spawned->pid();
    return true;
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

}  // namespace bench

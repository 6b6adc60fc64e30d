#pragma once
// Runs a built executable as a child process for black-box tests. Standard output
// and standard error go to temporary files that the test can read at any time.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace support {

// Directory of the built executables (VALDRIX_BIN_DIR, set by ctest).
std::string bin_dir();
// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_port();

class Process {
 public:
  // env entries "NAME=value" are added to (or replace) the test's own environment;
  // "NAME" alone removes the variable.
  Process(const std::string& exe, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;

  bool running() const { return pid_ > 0 && !status_; }
  // Waits up to timeout_ms for the exit; returns the exit status (128+signal when
  // killed) or nullopt if it is still running.
  std::optional<int> wait(int timeout_ms);
  void kill(int sig);
  std::string out() const;
  std::string err() const;
  // Polls standard output until it contains `text` (bounded).
  bool wait_for_output(const std::string& text, int timeout_ms = 10000) const;
  // Polls until a TCP connect to 127.0.0.1:port succeeds (bounded).
  static bool wait_for_port(std::uint16_t port, int timeout_ms = 10000);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string out_path_, err_path_;
};

}  // namespace support

#pragma once
// A descriptor with exactly one owner: closed once, by the destructor or by close(),
// never by a copy. Used for /dev/mem, the GPIO chip and the simulated line handles.
#include <cerrno>
#include <utility>

#include <unistd.h>

namespace driver::core {

class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.release();
    }
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() { close(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

  // 0 or the errno of close(2). Not retried on EINTR: Linux has released the
  // descriptor by then, and a second close could hit a descriptor reused meanwhile.
  int close() {
    if (fd_ < 0) return 0;
    return ::close(release()) == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace driver::core

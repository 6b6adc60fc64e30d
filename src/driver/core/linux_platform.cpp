// ThreadSanitizer does not model fences and GCC warns about each one. The barrier
// here orders accesses to device memory, not the threads of this process, so there
// is nothing for it to check.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "driver/core/linux_platform.h"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "driver/core/owned_fd.h"

namespace driver::core {
namespace {

// Repeats a call that failed with EINTR; -1 with errno set otherwise.
template <class Call>
int retry_eintr(Call call) {
  int r;
  do {
    r = call();
  } while (r == -1 && errno == EINTR);
  return r;
}

// Orders every earlier memory access before the next device access ("dmb ish" on ARMv7).
inline void barrier() { std::atomic_thread_fence(std::memory_order_seq_cst); }

class LinuxWindow final : public MemoryWindow {
 public:
  LinuxWindow(void* addr, std::size_t size) : addr_(static_cast<std::uint8_t*>(addr)), size_(size) {}
  LinuxWindow(const LinuxWindow&) = delete;
  LinuxWindow& operator=(const LinuxWindow&) = delete;
  // The owner normally unmaps (and reports the result); this only covers an owner
  // that dropped the window without doing so.
  ~LinuxWindow() override {
    if (addr_ != nullptr) ::munmap(addr_, size_);
  }

  std::uint32_t load32(std::size_t offset) override {
    barrier();
    return *word(offset);
  }

  void store32(std::size_t offset, std::uint32_t value) override {
    barrier();
    *word(offset) = value;
  }

  void copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) override {
    barrier();
    copy_words(offset, dst, len, [this](std::size_t aligned) { return *word(aligned); });
  }

  int unmap() override {
    barrier();
    void* addr = std::exchange(addr_, nullptr);
    if (addr == nullptr) return 0;
    return ::munmap(addr, size_) == 0 ? 0 : errno;
  }

 private:
  volatile std::uint32_t* word(std::size_t offset) const {
    return reinterpret_cast<volatile std::uint32_t*>(addr_ + offset);
  }

  std::uint8_t* addr_;
  std::size_t size_;
};

class LinuxGpioChip final : public GpioChip {
 public:
  explicit LinuxGpioChip(OwnedFd chip) : chip_(std::move(chip)) {}

  std::expected<int, int> request_output(std::uint32_t line) override {
    // Default values stay 0, so the kernel drives the line low as soon as it grants
    // it; the consumer label stays empty.
    gpiohandle_request request{.lineoffsets = {line},
                               .flags = GPIOHANDLE_REQUEST_OUTPUT,
                               .default_values = {},
                               .consumer_label = {},
                               .lines = 1,
                               .fd = 0};
    if (retry_eintr([&] { return ::ioctl(chip_.get(), GPIO_GET_LINEHANDLE_IOCTL, &request); }) < 0)
      return std::unexpected(errno);
    return request.fd;
  }

  std::expected<void, int> set_value(int handle, std::uint8_t value) override {
    gpiohandle_data data{};
    data.values[0] = value;
    if (retry_eintr([&] { return ::ioctl(handle, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data); }) < 0)
      return std::unexpected(errno);
    return {};
  }

  int close_handle(int handle) override { return ::close(handle) == 0 ? 0 : errno; }

  int close() override { return chip_.close(); }

 private:
  OwnedFd chip_;
};

// Opens a device for reading and writing. O_CLOEXEC: the service must not leak its
// hardware descriptors into any child it might start.
std::expected<OwnedFd, int> open_device(const std::string& path) {
  int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); });
  if (fd < 0) return std::unexpected(errno);
  return OwnedFd(fd);
}

}  // namespace

LinuxPlatform::LinuxPlatform(std::string mem_path, std::string gpio_chip_path)
    : mem_path_(std::move(mem_path)), gpio_chip_path_(std::move(gpio_chip_path)) {}

std::expected<std::unique_ptr<MemoryWindow>, MapError> LinuxPlatform::map(std::uint64_t base,
                                                                           std::size_t size) {
  auto fd = open_device(mem_path_);
  if (!fd) return std::unexpected(MapError{MapError::Stage::Open, fd.error()});
  // mmap64: the physical address is a 64-bit file offset even on the 32-bit target.
  void* addr = ::mmap64(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd->get(),
                        static_cast<off64_t>(base));
  // The descriptor closes here whether or not the mapping succeeded; a mapping
  // stays valid without it.
  if (addr == MAP_FAILED) {
    const int err = errno;
    return std::unexpected(MapError{MapError::Stage::Map, err});
  }
  return std::make_unique<LinuxWindow>(addr, size);
}

std::expected<std::unique_ptr<GpioChip>, int> LinuxPlatform::open_gpio_chip() {
  auto fd = open_device(gpio_chip_path_);
  if (!fd) return std::unexpected(fd.error());
  return std::make_unique<LinuxGpioChip>(std::move(*fd));
}

}  // namespace driver::core

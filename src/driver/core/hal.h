#pragma once
// The hardware seam: everything the service does to hardware goes through these two
// small interfaces, abstract so that the same service runs on the simulated
// instrument and tests can fault it. The real ones map /dev/mem and drive
// /dev/gpiochip0 (linux_platform.h).
//
// Thread-safety: a MemoryWindow is shared without a lock; each access is a single
// 32-bit load or store. A GpioChip is used by one thread at a time.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>

namespace driver::core {

class MemoryWindow {
 public:
  virtual ~MemoryWindow() = default;
  // Offsets are checked by the caller (Axi): in range and 4-byte aligned.
  virtual std::uint32_t load32(std::size_t offset) = 0;
  virtual void store32(std::size_t offset, std::uint32_t value) = 0;
  // Copies len bytes starting at offset; device memory is read as aligned words.
  virtual void copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) = 0;
  // Releases the mapping; 0 or an errno value. Called exactly once, by the owner.
  virtual int unmap() = 0;
};

// Copies len bytes from offset by whole aligned 32-bit words, load(aligned_offset)
// giving each word in native byte order, and keeps only the bytes asked for from the
// first and last word. Device memory faults on the unaligned and multi-word accesses
// a memcpy may emit.
template <class Load>
void copy_words(std::size_t offset, std::uint8_t* dst, std::size_t len, Load load) {
  const std::size_t end = offset + len;
  for (std::size_t pos = offset; pos < end;) {
    const std::size_t aligned = pos & ~std::size_t{3};
    const std::uint32_t word = load(aligned);
    const std::size_t from = pos - aligned;
    const std::size_t to = end - aligned < 4 ? end - aligned : 4;
    std::memcpy(dst, reinterpret_cast<const std::uint8_t*>(&word) + from, to - from);
    dst += to - from;
    pos = aligned + to;
  }
}

struct MapError {
  enum class Stage : std::uint8_t { Open, Map };
  Stage stage;
  int err;  // errno value
};

class GpioChip {
 public:
  virtual ~GpioChip() = default;
  // Requests one line as an output, driven low; returns the line handle's descriptor.
  virtual std::expected<int, int> request_output(std::uint32_t line) = 0;
  virtual std::expected<void, int> set_value(int handle, std::uint8_t value) = 0;
  // Closes a line handle, releasing the line; 0 or an errno value.
  virtual int close_handle(int handle) = 0;
  // Closes the chip descriptor; 0 or an errno value. Called exactly once, by the owner.
  virtual int close() = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;
  virtual std::expected<std::unique_ptr<MemoryWindow>, MapError> map(std::uint64_t base,
                                                                     std::size_t size) = 0;
  virtual std::expected<std::unique_ptr<GpioChip>, int> open_gpio_chip() = 0;
};

// The installed platform. Each executable installs one at start-up, before serving;
// tests install a fresh simulated instrument. Until something is installed it is
// the Linux platform on /dev/mem and /dev/gpiochip0.
Platform& platform();
void install_platform(std::shared_ptr<Platform> platform);
// A share of the installed platform, for callers that must not lose it to a
// concurrent install_platform() while they use it (Axi::create, Gpio::create).
std::shared_ptr<Platform> current_platform();

}  // namespace driver::core

#pragma once
// A register window onto a range of physical memory: bounds-checked 32-bit register
// access by byte offset and a bulk byte read. Shared without a lock; every access is
// one 32-bit load or store through the installed platform.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/bytes.h"
#include "base/error.h"
#include "driver/core/hal.h"

namespace driver::core {

class Axi {
 public:
  // Maps `size` bytes at physical address `base_addr`.
  // Errors: "Failed to open AXI device: {}", "Failed to mmap AXI: {}".
  static base::Result<Axi> create(std::uint32_t base_addr, std::size_t size);

  Axi(Axi&&) noexcept = default;
  Axi& operator=(Axi&&) noexcept;
  ~Axi();

  // Offsets must be 4-byte aligned and leave the register inside the window, else
  // "AXI invalid offset {} , total size: {}".
  base::Result<std::uint32_t> read_register(std::size_t offset) const;
  base::Result<void> write_register(std::size_t offset, std::uint32_t value) const;
  // "AXI invalid offset {} and size {} , total size: {}" when the range leaves the window.
  base::Result<base::Bytes> read_u8_buffer(std::size_t offset, std::size_t len) const;
  // The same range check and copy into the caller's buffer: a large read-out goes
  // out piece by piece without a buffer of its whole size.
  base::Result<void> copy_u8(std::size_t offset, std::uint8_t* dst, std::size_t len) const;

  std::size_t size() const { return size_; }

 private:
  Axi(std::unique_ptr<MemoryWindow> window, std::size_t size)
      : window_(std::move(window)), size_(size) {}
  void release();
  std::unique_ptr<MemoryWindow> window_;
  std::size_t size_;
};

}  // namespace driver::core

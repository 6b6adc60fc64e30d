#include "driver/core/axi.h"

#include <new>
#include <stdexcept>

#include "base/format.h"
#include "base/log.h"

namespace driver::core {
namespace {

constexpr std::string_view LOG_TARGET = "driver::core::axi";

// Unaligned offsets are refused too: device registers fault on them, and every
// register the drivers name sits on a 4-byte boundary.
bool register_in_window(std::size_t offset, std::size_t size) {
  return offset % 4 == 0 && offset <= size && size - offset >= 4;
}

base::Error invalid_offset(std::size_t offset, std::size_t size) {
  return base::Error(base::format("AXI invalid offset {} , total size: {}", offset, size));
}

bool range_in_window(std::size_t offset, std::size_t len, std::size_t size) {
  return offset < size && len <= size - offset;
}

base::Error invalid_range(std::size_t offset, std::size_t len, std::size_t size) {
  return base::Error(base::format("AXI invalid offset {} and size {} , total size: {}", offset, len, size));
}

}  // namespace

base::Result<Axi> Axi::create(std::uint32_t base_addr, std::size_t size) {
  auto window = current_platform()->map(base_addr, size);
  if (!window) {
    const MapError& e = window.error();
    if (e.stage == MapError::Stage::Open)
      return base::fail(base::format("Failed to open AXI device: {}", base::errno_description(e.err)));
    return base::fail(base::format("Failed to mmap AXI: {}", base::errno_text(e.err)));
  }
  return Axi(std::move(*window), size);
}

Axi& Axi::operator=(Axi&& other) noexcept {
  if (this != &other) {
    release();
    window_ = std::move(other.window_);
    size_ = other.size_;
  }
  return *this;
}

Axi::~Axi() { release(); }

void Axi::release() {
  if (!window_) return;
  if (window_->unmap() != 0) base::log::error(LOG_TARGET, "Failed to unmap AXI memory");
  window_.reset();
}

base::Result<std::uint32_t> Axi::read_register(std::size_t offset) const {
  if (!register_in_window(offset, size_)) return std::unexpected(invalid_offset(offset, size_));
  return window_->load32(offset);
}

base::Result<void> Axi::write_register(std::size_t offset, std::uint32_t value) const {
  if (!register_in_window(offset, size_)) return std::unexpected(invalid_offset(offset, size_));
  window_->store32(offset, value);
  return {};
}

base::Result<base::Bytes> Axi::read_u8_buffer(std::size_t offset, std::size_t len) const {
  if (!range_in_window(offset, len, size_)) return std::unexpected(invalid_range(offset, len, size_));
  base::Bytes buffer;
  if (len == 0) return buffer;
  try {
    buffer.resize(len);
  } catch (const std::bad_alloc&) {
    return base::fail(base::format("Failed to allocate {} bytes", len));
  } catch (const std::length_error&) {
    return base::fail(base::format("Failed to allocate {} bytes", len));
  }
  window_->copy_out(offset, buffer.data(), len);
  return buffer;
}

base::Result<void> Axi::copy_u8(std::size_t offset, std::uint8_t* dst, std::size_t len) const {
  if (!range_in_window(offset, len, size_)) return std::unexpected(invalid_range(offset, len, size_));
  if (len > 0) window_->copy_out(offset, dst, len);
  return {};
}

}  // namespace driver::core

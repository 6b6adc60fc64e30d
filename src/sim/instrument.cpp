#include "sim/instrument.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <sys/eventfd.h>

#include "driver/core/owned_fd.h"

namespace sim {

using driver::core::MapError;
using driver::core::OwnedFd;

namespace {

constexpr std::uint64_t PAGE_SIZE = 4096;
using Page = std::array<std::uint32_t, PAGE_SIZE / 4>;

// Handles and the chip are real descriptors, so a leak shows up in /proc/self/fd
// exactly as it would on the instrument.
std::expected<OwnedFd, int> new_descriptor() {
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  return OwnedFd(fd);
}

}  // namespace

struct Instrument::Impl {
  // Memory map: the blocks by base, the refused bases and the recording switch.
  mutable std::mutex map_mu;
  std::map<std::uint64_t, std::shared_ptr<Block>> blocks;
  std::map<std::uint64_t, int> refused_maps;
  bool recording = false;

  // Plain RAM outside the blocks, one page per 4 KiB touched by a write.
  mutable std::mutex ram_mu;
  std::unordered_map<std::uint64_t, std::unique_ptr<Page>> pages;

  // GPIO. gpio_mu guards the state; notify_mu is held around a change and its
  // notification, so listeners see changes in the order they were made and may
  // still call line_level() or line_held().
  struct LineHandle {
    OwnedFd fd;
    std::uint32_t line;
  };
  mutable std::mutex gpio_mu;
  std::mutex notify_mu;
  std::map<std::uint32_t, std::uint8_t> levels;
  std::map<int, LineHandle> handles;
  std::set<std::uint32_t> held_elsewhere;
  std::vector<std::shared_ptr<LineListener>> listeners;
  std::uint64_t gpio_writes = 0;
  int refuse_chip = 0;

  bool held(std::uint32_t line) const {
    return held_elsewhere.contains(line) ||
           std::any_of(handles.begin(), handles.end(), [&](const auto& h) { return h.second.line == line; });
  }

  void notify(std::uint32_t line, std::uint8_t value) {
    for (const auto& listener : listeners) listener->on_line(line, value);
  }

  void ram_copy(std::uint64_t addr, std::uint8_t* dst, std::size_t len) const {
    std::lock_guard lock(ram_mu);
    while (len > 0) {
      const std::uint64_t in_page = addr % PAGE_SIZE;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, PAGE_SIZE - in_page));
      auto it = pages.find(addr / PAGE_SIZE);
      if (it == pages.end())
        std::memset(dst, 0, n);
      else
        std::memcpy(dst, reinterpret_cast<const std::uint8_t*>(it->second->data()) + in_page, n);
      addr += n;
      dst += n;
      len -= n;
    }
  }
};

// A mapping of [base, base + size): each access goes to the block holding its
// address, at the block's own offset, or to plain RAM. Holds the instrument, so
// the blocks outlive every window onto them.
class SimWindow final : public driver::core::MemoryWindow {
 public:
  SimWindow(std::shared_ptr<Instrument> instrument, std::uint64_t base,
            std::vector<std::shared_ptr<Block>> blocks)
      : instrument_(std::move(instrument)), base_(base), blocks_(std::move(blocks)) {}

  std::uint32_t load32(std::size_t offset) override {
    const std::uint64_t addr = base_ + offset;
    if (Block* b = block_for(addr)) return b->read(static_cast<std::size_t>(addr - b->base()));
    return instrument_->ram_read(addr);
  }

  void store32(std::size_t offset, std::uint32_t value) override {
    const std::uint64_t addr = base_ + offset;
    if (Block* b = block_for(addr))
      b->write(static_cast<std::size_t>(addr - b->base()), value);
    else
      instrument_->ram_write(addr, value);
  }

  void copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) override {
    std::uint64_t addr = base_ + offset;
    const std::uint64_t end = addr + len;
    while (addr < end) {
      std::uint64_t stop = end;
      if (Block* b = block_for(addr)) {
        stop = std::min(end, b->base() + b->size());
        b->copy_out(static_cast<std::size_t>(addr - b->base()), dst, static_cast<std::size_t>(stop - addr));
      } else {
        for (const auto& next : blocks_)
          if (next->base() > addr) stop = std::min(stop, next->base());
        instrument_->impl_->ram_copy(addr, dst, static_cast<std::size_t>(stop - addr));
      }
      dst += stop - addr;
      addr = stop;
    }
  }

  int unmap() override { return 0; }

 private:
  Block* block_for(std::uint64_t addr) const {
    for (const auto& b : blocks_)
      if (addr >= b->base() && addr - b->base() < b->size()) return b.get();
    return nullptr;
  }

  std::shared_ptr<Instrument> instrument_;
  std::uint64_t base_;
  std::vector<std::shared_ptr<Block>> blocks_;  // the blocks the window overlaps
};

class SimGpioChip final : public driver::core::GpioChip {
 public:
  SimGpioChip(std::shared_ptr<Instrument> instrument, OwnedFd chip)
      : instrument_(std::move(instrument)), chip_(std::move(chip)) {}

  std::expected<int, int> request_output(std::uint32_t line) override {
    auto& s = *instrument_->impl_;
    std::lock_guard order(s.notify_mu);
    int handle;
    {
      std::lock_guard lock(s.gpio_mu);
      if (!chip_.valid()) return std::unexpected(EBADF);
      if (s.held(line)) return std::unexpected(EBUSY);
      auto fd = new_descriptor();
      if (!fd) return std::unexpected(fd.error());
      handle = fd->get();
      // A number still in the table was closed behind our back; it is free again.
      if (auto stale = s.handles.find(handle); stale != s.handles.end()) {
        stale->second.fd.release();
        s.handles.erase(stale);
      }
      s.handles.emplace(handle, Instrument::Impl::LineHandle{std::move(*fd), line});
      s.levels[line] = 0;
    }
    s.notify(line, 0);  // granted lines are driven low at once
    return handle;
  }

  std::expected<void, int> set_value(int handle, std::uint8_t value) override {
    auto& s = *instrument_->impl_;
    std::lock_guard order(s.notify_mu);
    std::uint32_t line;
    const std::uint8_t level = value != 0 ? 1 : 0;  // the kernel takes any non-zero value as high
    {
      std::lock_guard lock(s.gpio_mu);
      auto it = s.handles.find(handle);
      if (it == s.handles.end()) return std::unexpected(EBADF);
      line = it->second.line;
      s.levels[line] = level;
      ++s.gpio_writes;
    }
    s.notify(line, level);
    return {};
  }

  int close_handle(int handle) override {
    auto& s = *instrument_->impl_;
    std::lock_guard lock(s.gpio_mu);
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) return EBADF;
    const int err = it->second.fd.close();
    s.handles.erase(it);
    return err;
  }

  int close() override { return chip_.valid() ? chip_.close() : EBADF; }

 private:
  std::shared_ptr<Instrument> instrument_;
  OwnedFd chip_;
};

Instrument::Instrument() : impl_(std::make_unique<Impl>()) {}
Instrument::~Instrument() = default;

std::shared_ptr<Instrument> Instrument::create(const Config& config) {
  std::shared_ptr<Instrument> instrument(new Instrument());
  build_models(*instrument, config);
  for (Fault fault : config.faults) switch_on(*instrument, fault);
  return instrument;
}

std::expected<std::unique_ptr<driver::core::MemoryWindow>, MapError> Instrument::map(
    std::uint64_t base, std::size_t size) {
  // Refused like mmap refuses it: a zero length, an offset that is not page-aligned,
  // or a range past the end of the address space.
  const std::uint64_t end = base + size;
  if (size == 0 || base % PAGE_SIZE != 0 || end < base)
    return std::unexpected(MapError{MapError::Stage::Map, EINVAL});
  std::vector<std::shared_ptr<Block>> overlapping;
  {
    std::lock_guard lock(impl_->map_mu);
    if (auto it = impl_->refused_maps.find(base); it != impl_->refused_maps.end())
      return std::unexpected(MapError{MapError::Stage::Map, it->second});
    for (const auto& [block_base, block] : impl_->blocks)
      if (block_base < end && base < block_base + block->size()) overlapping.push_back(block);
  }
  return std::make_unique<SimWindow>(shared_from_this(), base, std::move(overlapping));
}

std::expected<std::unique_ptr<driver::core::GpioChip>, int> Instrument::open_gpio_chip() {
  {
    std::lock_guard lock(impl_->gpio_mu);
    if (impl_->refuse_chip != 0) return std::unexpected(impl_->refuse_chip);
  }
  auto fd = new_descriptor();
  if (!fd) return std::unexpected(fd.error());
  return std::make_unique<SimGpioChip>(shared_from_this(), std::move(*fd));
}

void Instrument::add_block(std::shared_ptr<Block> block) {
  std::lock_guard lock(impl_->map_mu);
  for (const auto& [base, other] : impl_->blocks)
    if (base < block->base() + block->size() && block->base() < base + other->size())
      throw std::invalid_argument("block " + block->name() + " overlaps block " + other->name());
  block->set_recording(impl_->recording);
  impl_->blocks.emplace(block->base(), std::move(block));
}

Block* Instrument::block_at(std::uint64_t base) const {
  std::lock_guard lock(impl_->map_mu);
  auto it = impl_->blocks.find(base);
  return it == impl_->blocks.end() ? nullptr : it->second.get();
}

void Instrument::set_recording(bool on) {
  std::lock_guard lock(impl_->map_mu);
  impl_->recording = on;
  for (const auto& [base, block] : impl_->blocks) block->set_recording(on);
}

std::uint32_t Instrument::ram_read(std::uint64_t addr) const {
  std::lock_guard lock(impl_->ram_mu);
  auto it = impl_->pages.find(addr / PAGE_SIZE);
  return it == impl_->pages.end() ? 0 : (*it->second)[addr % PAGE_SIZE / 4];
}

void Instrument::ram_write(std::uint64_t addr, std::uint32_t value) {
  std::lock_guard lock(impl_->ram_mu);
  auto& page = impl_->pages[addr / PAGE_SIZE];
  if (!page) page = std::make_unique<Page>();  // value-initialised: untouched words read 0
  (*page)[addr % PAGE_SIZE / 4] = value;
}

std::uint8_t Instrument::line_level(std::uint32_t line) const {
  std::lock_guard lock(impl_->gpio_mu);
  auto it = impl_->levels.find(line);
  return it == impl_->levels.end() ? 0 : it->second;
}

bool Instrument::line_held(std::uint32_t line) const {
  std::lock_guard lock(impl_->gpio_mu);
  return impl_->held(line);
}

void Instrument::add_line_listener(std::shared_ptr<LineListener> listener) {
  std::lock_guard lock(impl_->notify_mu);
  impl_->listeners.push_back(std::move(listener));
}

std::uint64_t Instrument::gpio_writes() const {
  std::lock_guard lock(impl_->gpio_mu);
  return impl_->gpio_writes;
}

void Instrument::refuse_map(std::uint64_t base, int err) {
  std::lock_guard lock(impl_->map_mu);
  if (err == 0)
    impl_->refused_maps.erase(base);
  else
    impl_->refused_maps[base] = err;
}

void Instrument::hold_line(std::uint32_t line) {
  std::lock_guard lock(impl_->gpio_mu);
  impl_->held_elsewhere.insert(line);
}

void Instrument::release_line(std::uint32_t line) {
  std::lock_guard lock(impl_->gpio_mu);
  impl_->held_elsewhere.erase(line);
}

void Instrument::refuse_gpio_chip(int err) {
  std::lock_guard lock(impl_->gpio_mu);
  impl_->refuse_chip = err;
}

}  // namespace sim

#include "sim/block.h"

#include <algorithm>
#include <iterator>

#include "driver/core/hal.h"

namespace sim {

Block::Block(std::string name, std::uint64_t base, std::size_t size)
    : name_(std::move(name)), base_(base), size_(size) {}

std::uint32_t Block::read(std::size_t offset) {
  std::lock_guard lock(mu_);
  const std::uint32_t value = on_read(offset);
  if (recording_) log_.push_back(rd(static_cast<std::uint32_t>(offset), value));
  return value;
}

void Block::write(std::size_t offset, std::uint32_t value) {
  std::lock_guard lock(mu_);
  if (recording_) log_.push_back(wr(static_cast<std::uint32_t>(offset), value));
  on_write(offset, value);
}

// What word-by-word reads of the range return, as the bulk copy on the instrument
// sees them.
void Block::copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) {
  std::lock_guard lock(mu_);
  driver::core::copy_words(offset, dst, len, [this](std::size_t aligned) { return on_read(aligned); });
}

void Block::set_recording(bool on) {
  std::lock_guard lock(mu_);
  recording_ = on;
}

std::vector<Access> Block::accesses() const {
  std::lock_guard lock(mu_);
  return log_;
}

std::vector<Access> Block::writes() const {
  std::lock_guard lock(mu_);
  std::vector<Access> out;
  std::copy_if(log_.begin(), log_.end(), std::back_inserter(out),
               [](const Access& a) { return a.op == Access::Op::Write; });
  return out;
}

void Block::clear_accesses() {
  std::lock_guard lock(mu_);
  log_.clear();
}

std::uint32_t Block::on_read(std::size_t offset) { return reg(offset); }

void Block::on_write(std::size_t offset, std::uint32_t value) { set_reg(offset, value); }

std::uint32_t Block::reg(std::size_t offset) const {
  auto it = regs_.find(offset);
  return it == regs_.end() ? 0 : it->second;
}

void Block::set_reg(std::size_t offset, std::uint32_t value) { regs_[offset] = value; }

}  // namespace sim

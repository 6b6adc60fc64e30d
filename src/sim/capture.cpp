#include "sim/capture.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include <sys/mman.h>

#include "sim/clock_gen.h"
#include "sim/power_bus.h"

namespace sim {

SampleMemory::SampleMemory(std::string name, std::uint64_t base)
    : Block(std::move(name), base, SIZE) {}

SampleMemory::~SampleMemory() {
  if (memory_) ::munmap(memory_, SIZE);
}

// Anonymous and unreserved: the kernel commits a page only when it is first
// written, so a capture of a few thousand samples costs a few pages.
bool SampleMemory::commit() {
  if (memory_) return true;
  void* p = ::mmap(nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
  if (p == MAP_FAILED) return false;
  memory_ = static_cast<std::uint8_t*>(p);
  return true;
}

bool SampleMemory::committed() const {
  std::lock_guard lock(mu_);
  return memory_ != nullptr;
}

std::uint32_t SampleMemory::on_read(std::size_t offset) {
  if (!memory_) return 0;
  const std::uint8_t* p = memory_ + offset;
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

void SampleMemory::on_write(std::size_t offset, std::uint32_t value) {
  if (!commit()) return;  // no memory to be had: the write is lost, as on a bus error
  std::uint8_t* p = memory_ + offset;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void SampleMemory::copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) {
  std::lock_guard lock(mu_);
  if (memory_)
    std::memcpy(dst, memory_ + offset, len);
  else
    std::memset(dst, 0, len);
}

void SampleMemory::write_samples(std::size_t first, std::span<const std::int16_t> samples) {
  std::lock_guard lock(mu_);
  if (first >= CAPACITY || samples.empty() || !commit()) return;
  const std::size_t n = std::min(samples.size(), CAPACITY - first);
  std::uint8_t* p = memory_ + 2 * first;
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = static_cast<std::uint16_t>(samples[i]);
    p[2 * i] = static_cast<std::uint8_t>(v);
    p[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
  }
}

CaptureCore::CaptureCore(Inputs inputs) : Block("capture", BASE, SIZE), inputs_(inputs) {}

bool CaptureCore::trigger(std::span<const std::uint8_t> target_bytes) {
  std::lock_guard lock(mu_);
  return capture(target_bytes);
}

std::uint32_t CaptureCore::status() const {
  std::lock_guard lock(mu_);
  return status_;
}

std::uint32_t CaptureCore::on_read(std::size_t offset) {
  if (offset == STATUS_OFFSET) return status_;
  return reg(offset);
}

// SINGLE and FORCE act on the rising edge of bit 0; the driver pulses every bit.
void CaptureCore::on_write(std::size_t offset, std::uint32_t value) {
  if (offset == STATUS_OFFSET) return;  // read-only
  const bool rising = (value & 1) && !(reg(offset) & 1);
  set_reg(offset, value);
  if (!rising) return;
  if (offset == SINGLE_OFFSET)
    status_ = STATUS_ARMED;
  else if (offset == FORCE_OFFSET)
    capture({});
}

namespace {

std::int16_t saturate(double v) {
  return static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

class Noise {
 public:
  explicit Noise(std::uint32_t seed) : state_(seed) {}
  int next(int span) {  // in [-span, span)
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<int>(state_ % static_cast<std::uint32_t>(2 * span)) - span;
  }

 private:
  std::uint32_t state_;
};

}  // namespace

bool CaptureCore::capture(std::span<const std::uint8_t> target_bytes) {
  if (!(status_ & STATUS_ARMED)) return false;

  const std::uint64_t fs = inputs_.sample_clock->frequency_hz();
  const std::uint64_t ft = inputs_.target_clock->frequency_hz();
  const double phase = inputs_.sample_clock->phase_millideg() / 360000.0;  // of a sample period
  const double gain_a = inputs_.power->gain_a() / 255.0;
  const double gain_b = inputs_.power->gain_b() / 255.0;
  const std::uint64_t delay = reg(SAMPLE_DELAY_OFFSET);
  const std::size_t length = std::min<std::size_t>(reg(SAMPLE_LENGTH_OFFSET), SampleMemory::CAPACITY);

  // Eight target clock cycles per received byte; each pulse lasts half of that.
  const std::size_t byte_period = (fs != 0 && ft != 0) ? std::max<std::uint64_t>(2, 8 * fs / ft) : 2;
  const std::size_t pulse_width = byte_period / 2;
  auto pulse_at = [&](std::size_t i) -> int {
    if (i < B_FIRST_PULSE) return 0;
    const std::size_t k = (i - B_FIRST_PULSE) / byte_period;
    if (k >= target_bytes.size() || (i - B_FIRST_PULSE) % byte_period >= pulse_width) return 0;
    return B_PULSE_PER_BIT * std::popcount(target_bytes[k]);
  };

  constexpr std::size_t CHUNK = 16384;
  std::vector<std::int16_t> a(CHUNK);
  std::vector<std::int16_t> b(CHUNK);
  Noise noise(NOISE_SEED);
  for (std::size_t first = 0; first < length; first += CHUNK) {
    const std::size_t n = std::min(CHUNK, length - first);
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t i = first + j;
      // Target cycles elapsed at this instant, kept exact in integers before the
      // fraction goes to floating point.
      double cycles = 0.0;
      if (fs != 0)
        cycles = static_cast<double>((ft * (delay + i)) % fs) / static_cast<double>(fs) +
                 static_cast<double>(ft) * phase / static_cast<double>(fs);
      a[j] = saturate(A_AMPLITUDE * gain_a * std::sin(2.0 * std::numbers::pi * cycles));
      b[j] = saturate(gain_b * (B_BASELINE + noise.next(B_NOISE) + pulse_at(i)));
    }
    inputs_.memory_a->write_samples(first, std::span(a.data(), n));
    inputs_.memory_b->write_samples(first, std::span(b.data(), n));
  }
  status_ = STATUS_TRIGGERED | STATUS_COMPLETE;
  captures_.fetch_add(1);
  return true;
}

}  // namespace sim

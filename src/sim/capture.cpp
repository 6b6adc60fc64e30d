#include "sim/capture.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <numeric>

#include <sys/mman.h>

#include "sim/clock_gen.h"
#include "sim/power_bus.h"
#include "sim/random.h"

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
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, samples.data(), 2 * n);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      const auto v = static_cast<std::uint16_t>(samples[i]);
      p[2 * i] = static_cast<std::uint8_t>(v);
      p[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
  }
}

namespace {

// Periods up to this many samples are computed once per setting; longer ones
// (clock pairs that no row of the clock table gives) are computed per sample.
constexpr std::uint64_t TABLE_MAX = 1u << 16;
constexpr std::size_t CHUNK = 16384;
// Captures up to this long are written at the trigger itself.
constexpr std::size_t INLINE_MAX = 16384;
// How far the worker looks for the crossing that a level trigger fired on.
constexpr std::int64_t SEARCH_LIMIT = 1 << 22;
enum Align { ALIGN_NONE = 0, ALIGN_A = 1, ALIGN_B = 2 };

// Noise is a function of the capture's key and the sample's index (mix64, splitmix64's
// finaliser), so any stretch of a capture can be made on its own.

// Uniform in [-span, span) from 16 random bits, by multiply and shift.
std::int32_t uniform(std::uint32_t bits16, std::uint32_t span) {
  return static_cast<std::int32_t>((bits16 * (2 * span)) >> 16) - static_cast<std::int32_t>(span);
}

// 32 random bits for absolute sample index k (16 for A, 16 for B); one hash serves
// two neighbouring samples.
std::uint32_t noise_bits(std::uint64_t key, std::int64_t k) {
  const std::uint64_t h = mix64(key + static_cast<std::uint64_t>(k >> 1));
  return static_cast<std::uint32_t>((k & 1) ? h >> 32 : h);
}

// Channel B's Gaussian noise of standard deviation `sigma` at absolute sample index k,
// from a stream of its own (key ^ GAUSS_SALT), 16 bits a sample: one hash serves four.
constexpr std::uint64_t GAUSS_SALT = 0x6A055EEDull;
std::int32_t gauss_at(std::uint64_t h, std::int64_t k, std::int32_t sigma) {
  const auto bits = static_cast<std::uint32_t>(h >> (16 * (k & 3))) & 0xFFFF;
  return (normal_q12(bits) * sigma + 2048) >> 12;
}
std::uint64_t gauss_hash(std::uint64_t key, std::int64_t k) {
  return mix64((key ^ GAUSS_SALT) + static_cast<std::uint64_t>(k >> 2));
}

// value x gain / 255, to the nearest integer.
std::int32_t scaled(std::int64_t value, std::uint32_t gain) {
  const std::int64_t v = value * gain;
  return static_cast<std::int32_t>((v >= 0 ? v + 127 : v - 127) / 255);
}

std::int16_t clamp16(std::int32_t v) { return static_cast<std::int16_t>(std::clamp(v, -32768, 32767)); }

// Lowest and highest value of a uniform noise span.
std::pair<std::int32_t, std::int32_t> noise_range(std::uint32_t span) {
  if (span == 0) return {0, 0};
  return {-static_cast<std::int32_t>(span), static_cast<std::int32_t>(span) - 1};
}

bool crosses(std::int32_t lo, std::int32_t hi, std::int32_t level, std::uint32_t edge) {
  const bool rising = lo < level && level <= hi;
  const bool falling = lo <= level && level < hi;
  if (edge == CaptureCore::EDGE_FALLING) return falling;
  if (edge == CaptureCore::EDGE_EITHER) return rising || falling;
  return rising;
}

bool crossed(std::int32_t before, std::int32_t now, std::int32_t level, std::uint32_t edge) {
  const bool rising = before < level && now >= level;
  const bool falling = before > level && now <= level;
  if (edge == CaptureCore::EDGE_FALLING) return falling;
  if (edge == CaptureCore::EDGE_EITHER) return rising || falling;
  return rising;
}

}  // namespace

// Channel A without noise: the target clock as the sample clock sees it, gain
// applied, one period of q = f_sample / gcd(f_sample, f_target) samples.
struct CaptureCore::Table {
  std::uint64_t fs = 0, ft = 0;
  std::uint32_t phase = 0;
  std::uint8_t gain = 0;
  bool gated = false;
  std::vector<std::int32_t> period;  // empty: too long, computed per sample
  std::int32_t lo = 0, hi = 0;

  // Sample at absolute index k (any sign).
  std::int32_t formula(std::int64_t k) const {
    const auto sfs = static_cast<std::int64_t>(fs);
    const auto k_mod = static_cast<std::uint64_t>(((k % sfs) + sfs) % sfs);
    const double cycles = static_cast<double>((ft * k_mod) % fs) / static_cast<double>(fs) +
                          static_cast<double>(ft) * (phase / 360000.0) / static_cast<double>(fs);
    return static_cast<std::int32_t>(
        std::lround(A_AMPLITUDE * (gain / 255.0) * std::sin(2.0 * std::numbers::pi * cycles)));
  }
  std::size_t q() const { return period.size(); }
  std::int32_t at(std::int64_t k) const {
    if (period.empty()) return formula(k);
    const auto n = static_cast<std::int64_t>(period.size());
    return period[static_cast<std::size_t>(((k % n) + n) % n)];
  }
};

struct CaptureCore::Job {
  std::uint64_t generation = 0;
  std::uint64_t key = 0;  // of the noise
  std::size_t length = 0;
  std::int64_t offset = 0;  // delay minus pre-trigger samples: sample i lies at trigger + offset + i
  int align = ALIGN_NONE;
  std::int32_t level = 0;
  std::uint32_t edge = EDGE_RISING;
  std::shared_ptr<const Table> table;
  std::uint32_t noise_a = 0, noise_b = 0;  // spans
  std::int32_t gauss_b = 0;                 // standard deviation, gain applied
  std::int32_t base_b = 0;
  std::int32_t pulse_b = 0;  // per unit of weight
  std::uint64_t fs = 0, ft = 0;
  std::vector<Draw> draws;
  std::int64_t origin = 0;  // sample, from the transfer's start, that the trigger lies at
};

CaptureCore::CaptureCore(Inputs inputs) : Block("capture", BASE, SIZE), inputs_(std::move(inputs)) {
  if (inputs_.gauss_b) normal_q12(0);  // its table, before the first capture needs it
}

CaptureCore::~CaptureCore() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
    generation_.fetch_add(1);
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

std::shared_ptr<const CaptureCore::Table> CaptureCore::table_a() const {
  const std::uint64_t fs = inputs_.sample_clock->frequency_hz();
  const std::uint64_t ft = inputs_.target_clock->frequency_hz();
  const std::uint32_t phase = inputs_.sample_clock->phase_millideg();
  const std::uint8_t gain = inputs_.power->gain_a();
  const bool gated = (inputs_.power->clock_gate() & 1) && ft != 0 && fs != 0;
  const auto& c = table_cache_;
  if (c && c->fs == fs && c->ft == ft && c->phase == phase && c->gain == gain && c->gated == gated) return c;

  auto t = std::make_shared<Table>();
  t->fs = fs;
  t->ft = ft;
  t->phase = phase;
  t->gain = gain;
  t->gated = gated;
  if (!gated) {
    t->period.assign(1, 0);
  } else if (const std::uint64_t q = fs / std::gcd(fs, ft); q <= TABLE_MAX) {
    t->period.resize(static_cast<std::size_t>(q));
    for (std::uint64_t j = 0; j < q; ++j) t->period[static_cast<std::size_t>(j)] = t->formula(static_cast<std::int64_t>(j));
  }
  if (t->period.empty()) {
    t->hi = scaled(A_AMPLITUDE, gain);
    t->lo = -t->hi;
  } else {
    const auto [lo, hi] = std::minmax_element(t->period.begin(), t->period.end());
    t->lo = *lo;
    t->hi = *hi;
  }
  table_cache_ = t;
  return t;
}

std::uint32_t CaptureCore::status_at(Clock::time_point now) const {
  if (armed_) return STATUS_ARMED;
  if (!triggered_) return 0;
  return now >= done_at_ && written_ ? STATUS_TRIGGERED | STATUS_COMPLETE : STATUS_TRIGGERED;
}

std::uint32_t CaptureCore::status() {
  std::lock_guard lock(mu_);
  const auto now = Clock::now();
  poll(now);
  return status_at(now);
}

std::uint32_t CaptureCore::on_read(std::size_t offset) {
  if (offset != STATUS_OFFSET) return reg(offset);
  const auto now = Clock::now();
  poll(now);
  return status_at(now);
}

// SINGLE and FORCE act on the rising edge of bit 0; the driver pulses every bit.
void CaptureCore::on_write(std::size_t offset, std::uint32_t value) {
  if (offset == STATUS_OFFSET) return;  // read-only
  const bool rising = (value & 1) && !(reg(offset) & 1);
  set_reg(offset, value);
  const auto now = Clock::now();
  if (offset == SINGLE_OFFSET && rising) {
    // Re-arming abandons a capture still being written.
    armed_ = true;
    triggered_ = false;
    written_ = true;
    generation_.fetch_add(1);
  } else if (offset == FORCE_OFFSET && rising && armed_) {
    fire(now, 0, {}, ALIGN_NONE, nullptr);
    return;
  }
  poll(now);
}

bool CaptureCore::crossing_now(std::uint32_t source, std::shared_ptr<const Table>& table) const {
  const auto level = static_cast<std::int32_t>(static_cast<std::int16_t>(reg(TRIGGER_LEVEL_OFFSET)));
  const std::uint32_t edge = reg(TRIGGER_EDGE_OFFSET);
  if (source == SOURCE_A) {
    table = table_a();
    const auto [nlo, nhi] = noise_range(static_cast<std::uint32_t>(scaled(A_NOISE, inputs_.power->gain_a())));
    return crosses(table->lo + nlo, table->hi + nhi, level, edge);
  }
  const auto [lo, hi] = quiet_band_b();
  return crosses(lo, hi, level, edge);
}

// Channel B while nothing draws: the baseline plus every value the noise can take.
std::pair<std::int32_t, std::int32_t> CaptureCore::quiet_band_b() const {
  const std::uint8_t gain = inputs_.power->gain_b();
  const std::int32_t base = inputs_.power->target_running() ? scaled(B_BASELINE, gain) : 0;
  const auto [nlo, nhi] = noise_range(static_cast<std::uint32_t>(scaled(B_NOISE, gain)));
  const std::int32_t sigma = scaled(inputs_.gauss_b, gain);
  const std::int32_t g = sigma ? (normal_q12_max() * sigma + 2048) >> 12 : 0;
  return {base + nlo - g, base + nhi + g};
}

// A level that the running signal keeps crossing triggers at once.
void CaptureCore::poll(Clock::time_point now) {
  if (!armed_) return;
  const std::uint32_t source = reg(TRIGGER_SOURCE_OFFSET);
  if (source != SOURCE_A && source != SOURCE_B) return;
  std::shared_ptr<const Table> table;
  if (crossing_now(source, table))
    fire(now, 0, {}, source == SOURCE_A ? ALIGN_A : ALIGN_B, std::move(table));
}

bool CaptureCore::bus_transfer(std::span<const Draw> draws, bool trigger_bit, Clock::time_point at) {
  std::lock_guard lock(mu_);
  if (!armed_) return false;
  const std::uint32_t source = reg(TRIGGER_SOURCE_OFFSET);
  if (source == SOURCE_B) {
    poll(Clock::now());
    if (!armed_) return true;
    // A draw that rises above the level: the trigger lies where it starts (rising,
    // either) or ends (falling).
    const std::uint64_t fs = inputs_.sample_clock->frequency_hz();
    const std::uint64_t ft = inputs_.target_clock->frequency_hz();
    if (fs == 0 || ft == 0 || !inputs_.power->target_running()) return false;
    const std::uint8_t gain = inputs_.power->gain_b();
    const std::int32_t base = scaled(B_BASELINE, gain);
    const auto level = static_cast<std::int32_t>(static_cast<std::int16_t>(reg(TRIGGER_LEVEL_OFFSET)));
    // Not crossed by the quiet signal (poll above), so the level lies above or below
    // its band; one below it is never crossed at all, whatever draws.
    if (level <= quiet_band_b().first) return false;
    const bool at_end = reg(TRIGGER_EDGE_OFFSET) == EDGE_FALLING;
    const Draw* first = nullptr;
    for (const Draw& d : draws)
      if (base + scaled(std::int64_t{B_PULSE_PER_BIT} * d.weight, gain) >= level && (!first || d.at < first->at))
        first = &d;
    if (!first) return false;
    const std::uint64_t cycle = std::uint64_t{first->at} + (at_end ? first->cycles : 0);
    const auto origin = static_cast<std::int64_t>(cycle * fs / ft);
    const auto when = at + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
                               static_cast<std::int64_t>(cycle * 1'000'000'000 / ft)));
    fire(when, origin, {draws.begin(), draws.end()}, ALIGN_NONE, nullptr);
    return true;
  }
  if (source != SOURCE_NONE || !trigger_bit) return false;
  fire(at, 0, {draws.begin(), draws.end()}, ALIGN_NONE, nullptr);
  return true;
}

void CaptureCore::target_came_up() {
  std::lock_guard lock(mu_);
  if (armed_ && reg(TRIGGER_SOURCE_OFFSET) == SOURCE_POWER) fire(Clock::now(), 0, {}, ALIGN_NONE, nullptr);
}

void CaptureCore::fire(Clock::time_point at, std::int64_t origin, std::vector<Draw> draws, int align,
                       std::shared_ptr<const Table> table) {
  armed_ = false;
  triggered_ = true;
  const std::uint32_t seq = captures_.fetch_add(1);
  const std::uint64_t generation = generation_.fetch_add(1) + 1;

  const std::size_t length = std::min<std::size_t>(reg(SAMPLE_LENGTH_OFFSET), SampleMemory::CAPACITY);
  const std::size_t pre = reg(TRIGGER_MODE_OFFSET) == MODE_PRE_TRIGGER ? length / 2 : 0;
  const std::uint64_t delay = reg(SAMPLE_DELAY_OFFSET);
  const std::uint64_t fs = inputs_.sample_clock->frequency_hz();
  if (fs == 0) {
    done_at_ = Clock::time_point::max();  // a stopped sample clock takes no samples
    written_ = true;
    return;
  }
  const std::uint64_t after = delay + length - pre;  // samples taken after the trigger
  done_at_ = at + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::nanoseconds(static_cast<std::int64_t>(after * 1'000'000'000 / fs)));
  if (length == 0) {
    written_ = true;
    return;
  }

  auto job = std::make_unique<Job>();
  job->generation = generation;
  job->key = mix64(inputs_.seed ^ mix64(seq));
  job->length = length;
  job->offset = static_cast<std::int64_t>(delay) - static_cast<std::int64_t>(pre);
  job->align = align;
  job->level = static_cast<std::int16_t>(reg(TRIGGER_LEVEL_OFFSET));
  job->edge = reg(TRIGGER_EDGE_OFFSET);
  job->table = table ? std::move(table) : table_a();
  const std::uint8_t gain_a = inputs_.power->gain_a();
  const std::uint8_t gain_b = inputs_.power->gain_b();
  job->noise_a = static_cast<std::uint32_t>(scaled(A_NOISE, gain_a));
  job->noise_b = static_cast<std::uint32_t>(scaled(B_NOISE, gain_b));
  job->gauss_b = scaled(inputs_.gauss_b, gain_b);
  job->base_b = inputs_.power->target_running() ? scaled(B_BASELINE, gain_b) : 0;
  job->pulse_b = scaled(B_PULSE_PER_BIT, gain_b);
  job->fs = fs;
  job->ft = inputs_.target_clock->frequency_hz();
  if (inputs_.power->target_running()) job->draws = std::move(draws);  // a dead target draws nothing
  job->origin = origin;

  if (length <= INLINE_MAX && align == ALIGN_NONE) {
    // Cheaper than a hand-over to the worker, and over within microseconds.
    synthesise(*job);
    written_ = true;
    return;
  }
  written_ = false;
  pending_ = std::move(job);
  if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
  cv_.notify_all();
}

void CaptureCore::work() {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || pending_; });
    if (stop_) return;
    std::unique_ptr<Job> job = std::move(pending_);
    lock.unlock();
    synthesise(*job);
    lock.lock();
    if (job->generation == generation_.load()) written_ = true;
  }
}

void CaptureCore::synthesise(const Job& job) {
  const Table& table = *job.table;
  auto sample_a = [&](std::int64_t k, std::uint32_t bits) { return table.at(k) + uniform(bits & 0xFFFF, job.noise_a); };
  auto sample_b = [&](std::int64_t k, std::uint32_t bits) {
    const std::int32_t g = job.gauss_b ? gauss_at(gauss_hash(job.key, k), k, job.gauss_b) : 0;
    return job.base_b + uniform(bits >> 16, job.noise_b) + g;
  };
  auto hash = [&](std::int64_t k) { return noise_bits(job.key, k); };

  // The trigger point's index on the running signal: where a level trigger saw its
  // crossing, found on the same noisy samples the memories get.
  std::int64_t m = 0;
  if (job.align != ALIGN_NONE) {
    std::uint32_t h = hash(0);
    std::int32_t before = job.align == ALIGN_A ? sample_a(0, h) : sample_b(0, h);
    for (std::int64_t k = 1; k < SEARCH_LIMIT; ++k) {
      h = hash(k);
      const std::int32_t now = job.align == ALIGN_A ? sample_a(k, h) : sample_b(k, h);
      if (crossed(before, now, job.level, job.edge)) {
        m = k;
        break;
      }
      before = now;
    }
  }

  // Draws as sample ranges of the capture.
  struct Span {
    std::int64_t first, end;
    std::int32_t amplitude;
  };
  std::vector<Span> spans;
  if (job.ft != 0) {
    const std::int64_t shift = job.origin + job.offset;  // capture sample i is transfer sample i + shift
    // Whole samples a target cycle (the clock table's usual case) spare a division.
    const std::uint64_t per_cycle = job.fs % job.ft == 0 ? job.fs / job.ft : 0;
    auto sample_of = [&](std::uint64_t cycle) {
      return static_cast<std::int64_t>(per_cycle ? cycle * per_cycle : cycle * job.fs / job.ft);
    };
    for (const Draw& d : job.draws) {
      const auto s = sample_of(d.at);
      auto e = sample_of(std::uint64_t{d.at} + d.cycles);
      if (e == s) e = s + 1;
      const std::int64_t first = std::max<std::int64_t>(s - shift, 0);
      const std::int64_t end = std::min<std::int64_t>(e - shift, static_cast<std::int64_t>(job.length));
      if (first < end) spans.push_back({first, end, job.pulse_b * d.weight});
    }
  }

  const std::size_t chunk = std::min(CHUNK, job.length);
  auto a = std::make_unique_for_overwrite<std::int16_t[]>(chunk);
  auto b = std::make_unique_for_overwrite<std::int16_t[]>(chunk);
  auto b_wide = std::make_unique_for_overwrite<std::int32_t[]>(chunk);
  const std::int64_t k0 = m + job.offset;
  const std::size_t q = table.q();
  std::size_t pa = 0;
  if (q != 0) {
    const auto n = static_cast<std::int64_t>(q);
    pa = static_cast<std::size_t>(((k0 % n) + n) % n);
  }
  for (std::size_t first = 0; first < job.length; first += chunk) {
    if (generation_.load(std::memory_order_relaxed) != job.generation) return;  // superseded
    const std::size_t n = std::min(chunk, job.length - first);
    const std::int64_t k = k0 + static_cast<std::int64_t>(first);
    if (q != 0) {
      const std::int32_t* period = table.period.data();
      std::uint64_t h = mix64(job.key + static_cast<std::uint64_t>(k >> 1));
      for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t kj = k + static_cast<std::int64_t>(j);
        if (j != 0 && !(kj & 1)) h = mix64(job.key + static_cast<std::uint64_t>(kj >> 1));
        const auto bits = static_cast<std::uint32_t>((kj & 1) ? h >> 32 : h);
        a[j] = clamp16(period[pa] + uniform(bits & 0xFFFF, job.noise_a));
        b_wide[j] = job.base_b + uniform(bits >> 16, job.noise_b);
        if (++pa == q) pa = 0;
      }
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t kj = k + static_cast<std::int64_t>(j);
        const std::uint32_t bits = hash(kj);
        a[j] = clamp16(sample_a(kj, bits));
        b_wide[j] = job.base_b + uniform(bits >> 16, job.noise_b);
      }
    }
    if (job.gauss_b) {
      // gauss_at() unrolled: a hash for every four samples, a table look-up each.
      const std::int16_t* z = normal_q12_table();
      const std::int64_t sigma = job.gauss_b;
      std::size_t j = 0;
      while (j < n) {
        const std::int64_t kj = k + static_cast<std::int64_t>(j);
        std::uint64_t h = gauss_hash(job.key, kj) >> (16 * (kj & 3));
        for (std::int64_t lane = kj & 3; lane < 4 && j < n; ++lane, ++j, h >>= 16)
          b_wide[j] += static_cast<std::int32_t>((z[h & 0xFFFF] * sigma + 2048) >> 12);
      }
    }
    const auto lo = static_cast<std::int64_t>(first);
    const auto hi = static_cast<std::int64_t>(first + n);
    for (const Span& s : spans) {
      const std::int64_t from = std::max(s.first, lo);
      const std::int64_t to = std::min(s.end, hi);
      for (std::int64_t i = from; i < to; ++i) b_wide[static_cast<std::size_t>(i - lo)] += s.amplitude;
    }
    for (std::size_t j = 0; j < n; ++j) b[j] = clamp16(b_wide[j]);
    inputs_.memory_a->write_samples(first, std::span(a.get(), n));
    inputs_.memory_b->write_samples(first, std::span(b.get(), n));
  }
}

}  // namespace sim

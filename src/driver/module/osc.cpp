#include "driver/module/osc.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "base/format.h"
#include "base/log.h"
#include "driver/module/setpoint.h"

namespace driver::module::osc {
namespace {

constexpr std::string_view LOG_TARGET = "driver::module::osc";

base::Result<void> pulse(const core::Axi& ctl, std::size_t offset) {
  if (auto r = ctl.write_register(offset, 0xFFFFFFFF); !r) return r;
  return ctl.write_register(offset, 0);
}

// Single precision throughout, as the host tools compute it: 20 % gives 51, not 50.
std::uint8_t gain_to_raw(std::uint8_t percent) {
  const float scaled = static_cast<float>(percent) * 2.55f;
  return static_cast<std::uint8_t>(std::clamp(std::trunc(scaled), 0.0f, 255.0f));
}

}  // namespace

base::Result<Osc> Osc::create() {
  auto ctl = core::Axi::create(OSC_CTL_BASE, OSC_CTL_SIZE);
  if (!ctl) return std::unexpected(ctl.error());
  auto wave_a = core::Axi::create(WAVE_A_BASE, WAVE_SIZE);
  if (!wave_a) return std::unexpected(wave_a.error());
  auto wave_b = core::Axi::create(WAVE_B_BASE, WAVE_SIZE);
  if (!wave_b) return std::unexpected(wave_b.error());
  auto gain_axi = core::Axi::create(GAIN_AXI_BASE, GAIN_AXI_SIZE);
  if (!gain_axi) return std::unexpected(gain_axi.error());
  return Osc(std::move(*ctl), std::move(*wave_a), std::move(*wave_b), std::move(*gain_axi));
}

base::Result<void> Osc::set_sample_length(std::uint32_t sample_length) const {
  base::log::debug(LOG_TARGET, "Starting set_sample_length with sample_length: {}", sample_length);
  if (sample_length > MAX_SAMPLE_LENGTH) return base::fail("Invalid sample length");
  const std::uint32_t actual = (sample_length + 1023) & ~std::uint32_t{1023};
  base::log::debug(LOG_TARGET, "Calculated actual sample length: {}", actual);
  return ctl_.write_register(OSC_CTL_OFFSET_SAMPLE_LENGTH, actual);
}

base::Result<void> Osc::single() const {
  base::log::debug(LOG_TARGET, "Starting single");
  return pulse(ctl_, OSC_CTL_OFFSET_SINGLE);
}

base::Result<void> Osc::force() const {
  base::log::debug(LOG_TARGET, "Starting force");
  return pulse(ctl_, OSC_CTL_OFFSET_FORCE);
}

base::Result<std::uint32_t> Osc::get_trigger_status() const {
  base::log::debug(LOG_TARGET, "Starting get_trigger_status");
  auto status = ctl_.read_register(OSC_CTL_OFFSET_STATUS);
  if (!status) return status;
  base::log::debug(LOG_TARGET, "Read OSC_CTL_OFFSET_STATUS with value: {}", *status);
  return status;
}

base::Result<CaptureWait> Osc::wait_for_capture(std::chrono::microseconds limit, const Polling& polling) const {
  base::log::debug(LOG_TARGET, "Starting wait_for_capture with limit: {} us", limit.count());
  CaptureWait wait;
  auto end = poll_until(std::chrono::steady_clock::now(), {.limit = limit, .read_at_least_once = true}, polling,
                        [&]() -> base::Result<bool> {
                          auto status = ctl_.read_register(OSC_CTL_OFFSET_STATUS);
                          if (!status) return std::unexpected(status.error());
                          wait.status = *status;
                          return (*status & STATUS_COMPLETE) != 0;
                        });
  if (!end) return std::unexpected(end.error());
  wait.complete = *end == WaitEnd::done;
  base::log::debug(LOG_TARGET, "Capture {} with status: {}", wait.complete ? "complete" : "not complete",
                   wait.status);
  return wait;
}

base::Result<WaveReader> Osc::open_wave(const ChannelWave& wave) const {
  base::log::debug(LOG_TARGET, "Starting get_wave with channel: {}, offset: {}, length: {}",
                   wave.channel, wave.offset, wave.length);
  const core::Axi* memory = nullptr;
  if (wave.channel == 1)
    memory = &wave_a_;
  else if (wave.channel == 2)
    memory = &wave_b_;
  else
    return base::fail("Invalid channel");
  // Twice a u32 needs 33 bits; on the 32-bit instrument size_t cannot hold it.
  const std::uint64_t byte_offset = std::uint64_t{wave.offset} * 2;
  const std::uint64_t byte_len = std::uint64_t{wave.length} * 2;
  if (byte_offset >= memory->size() || byte_len > memory->size() - byte_offset)
    return base::fail(base::format("AXI invalid offset {} and size {} , total size: {}", byte_offset,
                                   byte_len, memory->size()));
  return WaveReader(*memory, static_cast<std::size_t>(byte_offset), static_cast<std::size_t>(byte_len));
}

base::Result<base::Bytes> Osc::get_wave(const ChannelWave& wave) const {
  auto reader = open_wave(wave);
  if (!reader) return std::unexpected(reader.error());
  base::Bytes buffer;
  try {
    buffer.resize(reader->size());
  } catch (const std::bad_alloc&) {
    return base::fail(base::format("Failed to allocate {} bytes", reader->size()));
  }
  reader->read(buffer.data(), buffer.size());
  return buffer;
}

void WaveReader::read(std::uint8_t* dst, std::size_t n) {
  if (n > end_ - next_) n = end_ - next_;
  // Cannot fail: the range was checked when the reader was made.
  (void)memory_->copy_u8(next_, dst, n);
  next_ += n;
}

base::Result<void> Osc::set_channel_gain(const ChannelGain& gain) const {
  base::log::debug(LOG_TARGET, "Starting set_channel_gain with channel: {}, gain: {}", gain.channel,
                   gain.gain);
  if (gain.gain > 100) return base::fail("Invalid gain value");
  const std::uint8_t raw = gain_to_raw(gain.gain);
  base::log::debug(LOG_TARGET, "Calculated raw gain: {}", raw);
  return set_channel_gain_raw(ChannelGain{.channel = gain.channel, .gain = raw});
}

base::Result<void> Osc::set_channel_gain_raw(const ChannelGain& gain) const {
  base::log::debug(LOG_TARGET, "Starting set_channel_gain_raw with channel: {}, gain: {}",
                   gain.channel, gain.gain);
  std::uint32_t select = 0;
  if (gain.channel == 1)
    select = SETPOINT_SEL_GAIN_A;
  else if (gain.channel == 2)
    select = SETPOINT_SEL_GAIN_B;
  else
    return base::fail("Invalid channel");
  return load_setpoint(gain_axi_, gain.gain, select);
}

base::Result<void> Osc::set_sample_delay(std::uint32_t delay) const {
  base::log::debug(LOG_TARGET, "Starting set_sample_delay with delay: {}", delay);
  return ctl_.write_register(OSC_CTL_OFFSET_SAMPLE_DELAY, delay);
}

base::Result<void> Osc::set_trigger_mode(std::uint8_t mode) const {
  base::log::debug(LOG_TARGET, "Starting set_trigger_mode with mode: {}", mode);
  return ctl_.write_register(OSC_CTL_OFFSET_TRIGGER_MODE, mode);
}

base::Result<void> Osc::set_trigger_source(std::uint8_t source) const {
  base::log::debug(LOG_TARGET, "Starting set_trigger_source with source: {}", source);
  return ctl_.write_register(OSC_CTL_OFFSET_TRIGGER_SOURCE, source);
}

base::Result<void> Osc::set_trigger_edge(std::uint8_t edge) const {
  base::log::debug(LOG_TARGET, "Starting set_trigger_edge with edge: {}", edge);
  return ctl_.write_register(OSC_CTL_OFFSET_TRIGGER_EDGE, edge);
}

base::Result<void> Osc::set_trigger_edge_level(std::uint16_t level) const {
  base::log::debug(LOG_TARGET, "Starting set_trigger_edge_level with level: {}", level);
  return ctl_.write_register(OSC_CTL_OFFSET_TRIGGER_EDGE_LEVEL, level);
}

}  // namespace driver::module::osc

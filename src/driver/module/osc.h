#pragma once
// The two-channel capture core: capture length and trigger set-up, arming and
// forcing, the status word, the channel gains and the read-out of the two sample
// memories. Every operation is a short fixed register sequence or one bulk copy.
//
// Shared without a lock; the capture core's registers are the only state. Gain
// loads go through load_setpoint, which serialises them with the supply voltage
// loads of Hw.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "base/error.h"
#include "driver/core/axi.h"
#include "driver/module/polling.h"
#include "protocol/packet_server.h"

namespace driver::module::osc {

using protocol::packet::server::ChannelGain;
using protocol::packet::server::ChannelWave;

inline constexpr std::uint32_t OSC_CTL_BASE = 0x43C20000;
inline constexpr std::size_t OSC_CTL_SIZE = 0x1000;
inline constexpr std::uint32_t WAVE_A_BASE = 0x10000000;
inline constexpr std::uint32_t WAVE_B_BASE = 0x20000000;
inline constexpr std::size_t WAVE_SIZE = 0x10000000;
inline constexpr std::uint32_t GAIN_AXI_BASE = 0x43C10000;
inline constexpr std::size_t GAIN_AXI_SIZE = 0x1000;

inline constexpr std::size_t OSC_CTL_OFFSET_STATUS = 0x00;
inline constexpr std::size_t OSC_CTL_OFFSET_SINGLE = 0x08;
inline constexpr std::size_t OSC_CTL_OFFSET_FORCE = 0x0C;
inline constexpr std::size_t OSC_CTL_OFFSET_SAMPLE_LENGTH = 0x14;
inline constexpr std::size_t OSC_CTL_OFFSET_SAMPLE_DELAY = 0x18;
inline constexpr std::size_t OSC_CTL_OFFSET_TRIGGER_SOURCE = 0x1C;
inline constexpr std::size_t OSC_CTL_OFFSET_TRIGGER_MODE = 0x20;
inline constexpr std::size_t OSC_CTL_OFFSET_TRIGGER_EDGE = 0x24;
inline constexpr std::size_t OSC_CTL_OFFSET_TRIGGER_EDGE_LEVEL = 0x28;

// Set in the status word once a capture is complete (0x102).
inline constexpr std::uint32_t STATUS_COMPLETE = 0x100;

// The largest request whose next multiple of 1024 still fits in 32 bits.
inline constexpr std::uint32_t MAX_SAMPLE_LENGTH = 0xFFFFFC00;

// A validated range of one sample memory, read out front to back in pieces of the
// caller's choosing. Valid while the Osc that opened it lives.
class WaveReader {
 public:
  std::size_t size() const { return end_ - next_; }
  // The next n bytes (at most size()) into dst, read as aligned 32-bit words.
  void read(std::uint8_t* dst, std::size_t n);

 private:
  friend class Osc;
  WaveReader(const core::Axi& memory, std::size_t offset, std::size_t len)
      : memory_(&memory), next_(offset), end_(offset + len) {}
  const core::Axi* memory_;
  std::size_t next_;
  std::size_t end_;
};

// How a wait for a capture ended: the last status word read, and whether it said
// complete.
struct CaptureWait {
  std::uint32_t status = 0;
  bool complete = false;
};

class Osc {
 public:
  // Opens ctl, wave_a, wave_b and gain_axi in that order.
  static base::Result<Osc> create();

  // Rounds up to a multiple of 1024 samples.
  base::Result<void> set_sample_length(std::uint32_t sample_length) const;
  base::Result<void> single() const;
  base::Result<void> force() const;
  base::Result<std::uint32_t> get_trigger_status() const;
  // Reads the status word as `polling` says until it says complete, `limit` has
  // passed (tested before every read after the first) or the caller cancels.
  base::Result<CaptureWait> wait_for_capture(std::chrono::microseconds limit, const Polling& polling) const;
  // 2 x length bytes from sample `offset` on, in sample-memory byte order.
  base::Result<base::Bytes> get_wave(const ChannelWave& wave) const;
  // The same checks without a buffer: the read-out is left to the caller.
  base::Result<WaveReader> open_wave(const ChannelWave& wave) const;
  // Gain in percent, 0..100.
  base::Result<void> set_channel_gain(const ChannelGain& gain) const;
  // Gain as the raw 8-bit setpoint.
  base::Result<void> set_channel_gain_raw(const ChannelGain& gain) const;
  base::Result<void> set_sample_delay(std::uint32_t delay) const;
  base::Result<void> set_trigger_mode(std::uint8_t mode) const;
  base::Result<void> set_trigger_source(std::uint8_t source) const;
  base::Result<void> set_trigger_edge(std::uint8_t edge) const;
  base::Result<void> set_trigger_edge_level(std::uint16_t level) const;

 private:
  Osc(core::Axi ctl, core::Axi wave_a, core::Axi wave_b, core::Axi gain_axi)
      : gain_axi_(std::move(gain_axi)),
        wave_b_(std::move(wave_b)),
        wave_a_(std::move(wave_a)),
        ctl_(std::move(ctl)) {}

  // Declared last to first: members are destroyed in reverse, so the windows are
  // unmapped ctl, wave_a, wave_b, gain_axi.
  core::Axi gain_axi_;
  core::Axi wave_b_;
  core::Axi wave_a_;
  core::Axi ctl_;
};

}  // namespace driver::module::osc

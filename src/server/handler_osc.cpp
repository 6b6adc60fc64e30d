// Oscilloscope commands: capture set-up, arming, status and read-out through Osc,
// the sample clock through Clock; gains and trigger settings are shown on the
// status display.
#include <string_view>

#include "base/format.h"
#include "base/log.h"
#include "driver/module/oled.h"
#include "protocol/connection.h"
#include "protocol/packet.h"
#include "protocol/packet_server.h"
#include "server/driver_set.h"
#include "server/handler.h"
#include "server/handler_support.h"

namespace server::handler {
namespace {

using protocol::ProtocolError;
using protocol::packet::U16Wrapper;
using protocol::packet::U32Wrapper;
using protocol::packet::U8Range;
using protocol::packet::server::ChannelGain;
using protocol::packet::server::ChannelWave;
namespace oled = driver::module::oled;

constexpr std::string_view LOG_TARGET = "server::handler";

using support::decode;
using support::drivers;
using support::internal;

// Line 3 of the display: trigger source, mode and edge side by side.
constexpr std::uint8_t TRIGGER_LINE = 3;
constexpr std::uint8_t GAIN_LINE = 2;

std::string_view source_text(std::uint8_t source) {
  switch (source) {
    case 0: return "SR:N";
    case 1: return "SR:A";
    case 2: return "SR:B";
    case 3: return "SR:P";
    default: return {};
  }
}

std::string_view mode_text(std::uint8_t mode) {
  switch (mode) {
    case 0: return "MD:E";
    case 1: return "MD:P";
    default: return {};
  }
}

std::string_view edge_text(std::uint8_t edge) {
  switch (edge) {
    case 0: return "EG:U";
    case 1: return "EG:D";
    case 2: return "EG:E";
    default: return {};
  }
}

// A value without a label shows nothing; the records' bounds keep it from getting here.
base::Result<void> show_label(std::uint8_t start, std::uint8_t end, std::string_view text) {
  if (text.empty()) return {};
  return oled::clear_partial_line_and_display(TRIGGER_LINE, start, end, text);
}

}  // namespace

HandlerResult osc_set_sample_length(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_sample_length command");
  auto value = decode<U32Wrapper>("parse u32 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint32_t length = value->self_0;
  base::log::debug(LOG_TARGET, "Setting sample length to: {}", length);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_sample_length(length); !r)
    return internal(r.error().context(base::format("Setting sample length {}", length)));
  base::log::debug(LOG_TARGET, "Sample length set to: {}", length);
  return base::Bytes{};
}

HandlerResult osc_set_single(Request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_single command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.single(); !r) return internal(r.error().context("Setting osc single"));
  base::log::debug(LOG_TARGET, "Oscillator set to single mode");
  return base::Bytes{};
}

HandlerResult osc_set_force(Request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_force command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.force(); !r) return internal(r.error().context("Setting osc force"));
  base::log::debug(LOG_TARGET, "Oscillator set to force mode");
  return base::Bytes{};
}

HandlerResult osc_set_trigger_delay(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_trigger_delay command");
  auto value = decode<U32Wrapper>("parse u32 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint32_t delay = value->self_0;
  base::log::debug(LOG_TARGET, "Setting trigger delay to: {}", delay);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_sample_delay(delay); !r)
    return internal(r.error().context(base::format("Setting osc sample delay {}", delay)));
  base::log::debug(LOG_TARGET, "Trigger delay set to: {}", delay);
  return base::Bytes{};
}

HandlerResult osc_get_trigger_status(Request) {
  base::log::debug(LOG_TARGET, "Handling osc_get_trigger_status command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  auto status = (*set)->osc.get_trigger_status();
  if (!status) return internal(std::move(status.error()));
  base::log::debug(LOG_TARGET, "Trigger status retrieved: {}", *status);
  base::Bytes payload(4);
  base::store_be32(payload.data(), *status);
  return payload;
}

HandlerResult osc_get_channel_wave(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_get_channel_wave command");
  auto wave = decode<ChannelWave>("parse channel_wave error:", request.payload);
  if (!wave) return std::unexpected(std::move(wave.error()));
  base::log::debug(LOG_TARGET, "Channel: {}, Offset: {}, Sample Length: {}", wave->channel,
                   wave->offset, wave->length);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  auto reader = (*set)->osc.open_wave(*wave);
  if (!reader)
    return internal(
        reader.error().context(base::format("Getting osc wave data on channel {}", wave->channel)));
  // On a connection the samples go out as the socket takes them, so a read-out of
  // the whole 256 MiB memory holds one chunk; elsewhere they are gathered.
  if (protocol::Connection* connection = protocol::Connection::current()) {
    auto sent = connection->stream_answer(reader->size(),
                                          [&](std::uint8_t* dst, std::size_t n) {
                                            reader->read(dst, n);
                                            return n;
                                          });
    if (!sent) return internal(std::move(sent.error()));
    return base::Bytes{};
  }
  base::Bytes samples;
  try {
    samples.resize(reader->size());
  } catch (const std::bad_alloc&) {
    return internal(base::Error(base::format("Failed to allocate {} bytes", reader->size()))
                        .context(base::format("Getting osc wave data on channel {}", wave->channel)));
  }
  reader->read(samples.data(), samples.size());
  return samples;
}

HandlerResult osc_set_channel_gain(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_channel_gain command");
  auto gain = decode<ChannelGain>("parse channel_gain error:", request.payload);
  if (!gain) return std::unexpected(std::move(gain.error()));
  base::log::debug(LOG_TARGET, "Channel: {}, Gain value: {}", gain->channel, gain->gain);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_channel_gain(*gain); !r)
    return internal(r.error().context(
        base::format("Setting osc gain {} on channel {}", gain->gain, gain->channel)));
  // The percentage the host sent, not the raw setpoint.
  const auto shown = gain->channel == 1
                         ? oled::clear_partial_line_and_display(GAIN_LINE, 0, 64,
                                                                base::format("GA:{}", gain->gain))
                         : oled::clear_partial_line_and_display(GAIN_LINE, 64, 128,
                                                                base::format("GB:{}", gain->gain));
  if (!shown) return internal(shown.error());
  base::log::debug(LOG_TARGET, "Gain set for channel {}: {}", gain->channel, gain->gain);
  return base::Bytes{};
}

HandlerResult osc_set_channel_gain_raw(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_channel_gain_raw command");
  auto gain = decode<ChannelGain>("parse channel_gain_raw error:", request.payload);
  if (!gain) return std::unexpected(std::move(gain.error()));
  base::log::debug(LOG_TARGET, "Channel: {}, Gain raw value: {}", gain->channel, gain->gain);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_channel_gain_raw(*gain); !r)
    return internal(r.error().context(
        base::format("Setting osc raw gain {} on channel {}", gain->gain, gain->channel)));
  base::log::debug(LOG_TARGET, "Raw gain set for channel {}: {}", gain->channel, gain->gain);
  return base::Bytes{};
}

HandlerResult osc_set_trigger_source(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_trigger_source command");
  auto value = decode<U8Range<0, 3>>("parse u8 range error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint8_t source = value->value;
  base::log::debug(LOG_TARGET, "Setting trigger source to: {}", source);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_trigger_source(source); !r)
    return internal(r.error().context(base::format("Setting osc trigger source {}", source)));
  if (auto shown = show_label(0, 42, source_text(source)); !shown) return internal(shown.error());
  base::log::debug(LOG_TARGET, "Trigger source set to: {}", source);
  return base::Bytes{};
}

HandlerResult osc_set_trigger_mode(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_trigger_mode command");
  auto value = decode<U8Range<0, 1>>("parse u8 range error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint8_t mode = value->value;
  base::log::debug(LOG_TARGET, "Setting trigger mode to: {}", mode);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_trigger_mode(mode); !r)
    return internal(r.error().context(base::format("Setting osc trigger mode {}", mode)));
  if (auto shown = show_label(42, 84, mode_text(mode)); !shown) return internal(shown.error());
  base::log::debug(LOG_TARGET, "Trigger mode set to: {}", mode);
  return base::Bytes{};
}

HandlerResult osc_set_trigger_edge(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_trigger_edge command");
  auto value = decode<U8Range<0, 2>>("parse u8 range error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint8_t edge = value->value;
  base::log::debug(LOG_TARGET, "Setting trigger edge to: {}", edge);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_trigger_edge(edge); !r)
    return internal(r.error().context(base::format("Setting osc trigger edge {}", edge)));
  if (auto shown = show_label(84, 128, edge_text(edge)); !shown) return internal(shown.error());
  base::log::debug(LOG_TARGET, "Trigger edge set to: {}", edge);
  return base::Bytes{};
}

HandlerResult osc_set_trigger_edge_level(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_trigger_edge_level command");
  auto value = decode<U16Wrapper>("parse u16 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint16_t level = value->self_0;
  base::log::debug(LOG_TARGET, "Setting trigger edge level to: {}", level);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->osc.set_trigger_edge_level(level); !r)
    return internal(r.error().context(base::format("Setting osc trigger edge level {}", level)));
  base::log::debug(LOG_TARGET, "Trigger edge level set to: {}", level);
  return base::Bytes{};
}

// Both channels are always on; the command is kept for the host tools and needs
// no hardware, so it works even when the drivers cannot be created.
HandlerResult osc_set_channel_enable(Request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_channel_enable command");
  base::log::debug(LOG_TARGET, "Channel enable not implemented");
  return base::Bytes{0x01};
}

HandlerResult osc_set_sample_clock_phase(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_sample_clock_phase command");
  auto value = decode<U32Wrapper>("parse u32 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint32_t phase = value->self_0;
  base::log::debug(LOG_TARGET, "Setting sample clock phase to: {}", phase);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->clock.set_osc_phase_shift(phase); !r)
    return internal(r.error().context("Set sample clock phase"));
  base::log::debug(LOG_TARGET, "Sample clock phase set to: {}", phase);
  return base::Bytes{};
}

HandlerResult osc_set_sample_rate(Request request) {
  base::log::debug(LOG_TARGET, "Handling osc_set_sample_rate command");
  auto value = decode<U32Wrapper>("parse u32 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint32_t rate = value->self_0;
  base::log::debug(LOG_TARGET, "Setting sample rate to: {}", rate);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->clock.set_osc_clock(rate); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "Sample rate set to: {}", rate);
  return base::Bytes{};
}

}  // namespace server::handler

#include "protocol/packet_server.h"

#include <span>
#include <string_view>

#include "base/format.h"
#include "protocol/packet.h"

namespace protocol::packet::server {
namespace {

// "Name { a: 1, b: [2, 3] }"
class DebugText {
 public:
  explicit DebugText(std::string_view record) : out_(record) { out_ += " {"; }

  template <class T>
  DebugText& field(std::string_view name, const T& value) {
    start(name);
    base::detail::append_value(out_, value);
    return *this;
  }
  template <class T>
  DebugText& list(std::string_view name, std::span<const T> values) {
    start(name);
    out_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) out_ += ", ";
      base::detail::append_value(out_, values[i]);
    }
    out_ += ']';
    return *this;
  }
  std::string done() { return std::move(out_) + " }"; }

 private:
  void start(std::string_view name) {
    out_ += first_ ? " " : ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
  }
  std::string out_;
  bool first_ = true;
};

bool zero_or_one(std::uint8_t v) { return v <= 1; }

}  // namespace

base::Result<I2cConfig> I2cConfig::decode(base::ByteView payload) {
  Reader r(payload, "I2cConfig");
  I2cConfig out;
  r.field("addr", out.addr) && r.field("speed", out.speed) &&
      r.rule(out.speed <= 4, "Speed must be between 0 and 4");
  return r.finish(std::move(out));
}

std::string I2cConfig::debug_text() const {
  return DebugText("I2cConfig").field("addr", addr).field("speed", speed).done();
}

base::Result<SpiConfig> SpiConfig::decode(base::ByteView payload) {
  Reader r(payload, "SpiConfig");
  SpiConfig out;
  r.field("psc", out.psc) && r.field("cpol", out.cpol) &&
      r.rule(zero_or_one(out.cpol), "Cpol must be 0 or 1") && r.field("cpha", out.cpha) &&
      r.rule(zero_or_one(out.cpha), "Cpha must be 0 or 1");
  return r.finish(std::move(out));
}

std::string SpiConfig::debug_text() const {
  return DebugText("SpiConfig").field("psc", psc).field("cpol", cpol).field("cpha", cpha).done();
}

base::Result<UartConfig> UartConfig::decode(base::ByteView payload) {
  Reader r(payload, "UartConfig");
  UartConfig out;
  r.field("stop_bits", out.stop_bits) &&
      r.rule(out.stop_bits <= 2, "StopBits must be between 0 and 2") &&
      r.field("parity", out.parity) && r.rule(out.parity <= 4, "Parity must be between 0 and 4") &&
      r.field("bytesize", out.bytesize) &&
      r.rule(out.bytesize >= 5 && out.bytesize <= 8, "ByteSize must be between 5 and 8") &&
      r.field("baudrate", out.baudrate);
  return r.finish(std::move(out));
}

std::string UartConfig::debug_text() const {
  return DebugText("UartConfig")
      .field("stop_bits", stop_bits)
      .field("parity", parity)
      .field("bytesize", bytesize)
      .field("baudrate", baudrate)
      .done();
}

base::Result<ChannelGain> ChannelGain::decode(base::ByteView payload) {
  Reader r(payload, "ChannelGain");
  ChannelGain out;
  r.field("channel", out.channel) &&
      r.rule(out.channel == 1 || out.channel == 2, "Channel must be 1 or 2") &&
      r.field("gain", out.gain);
  return r.finish(std::move(out));
}

base::Result<ChannelWave> ChannelWave::decode(base::ByteView payload) {
  Reader r(payload, "ChannelWave");
  ChannelWave out;
  r.field("channel", out.channel) &&
      r.rule(out.channel == 1 || out.channel == 2, "Channel must be 1 or 2") &&
      r.field("offset", out.offset) && r.field("length", out.length);
  return r.finish(std::move(out));
}

base::Result<ReadRegister> ReadRegister::decode(base::ByteView payload) {
  Reader r(payload, "ReadRegister");
  ReadRegister out;
  r.field("base_addr", out.base_addr) && r.field("offset", out.offset);
  return r.finish(std::move(out));
}

base::Result<WriteRegister> WriteRegister::decode(base::ByteView payload) {
  Reader r(payload, "WriteRegister");
  WriteRegister out;
  r.field("base_addr", out.base_addr) && r.field("offset", out.offset) &&
      r.field("value", out.value);
  return r.finish(std::move(out));
}

base::Result<SpiTransceive> SpiTransceive::decode(base::ByteView payload) {
  Reader r(payload, "SpiTransceive");
  SpiTransceive out;
  r.field("is_delay", out.is_delay) &&
      r.rule(zero_or_one(out.is_delay), "IsDelay must be 0 or 1") &&
      r.field("delay", out.delay) && r.field("rx_len", out.rx_len) &&
      r.field("is_trigger", out.is_trigger) &&
      r.rule(zero_or_one(out.is_trigger), "IsTrigger must be 0 or 1") && r.rest(out.tx_data);
  return r.finish(std::move(out));
}

std::string SpiTransceive::debug_text() const {
  return DebugText("SpiTransceive")
      .field("is_delay", is_delay)
      .field("delay", delay)
      .field("rx_len", rx_len)
      .field("is_trigger", is_trigger)
      .list<std::uint8_t>("tx_data", tx_data)
      .done();
}

base::Result<I2cTransceive> I2cTransceive::decode(base::ByteView payload) {
  Reader r(payload, "I2cTransceive");
  I2cTransceive out;
  r.field("is_delay", out.is_delay) &&
      r.rule(zero_or_one(out.is_delay), "IsDelay must be 0 or 1") &&
      r.field("delay", out.delay) && r.field("tsf1_count", out.tsf1_count) &&
      r.field("tsf2_count", out.tsf2_count) && r.field("tsf_rw", out.tsf_rw) &&
      r.field("tsf_lens", out.tsf_lens) && r.field("is_trigger", out.is_trigger) &&
      r.rule(zero_or_one(out.is_trigger), "IsTrigger must be 0 or 1") && r.rest(out.tx_data);
  return r.finish(std::move(out));
}

std::string I2cTransceive::debug_text() const {
  return DebugText("I2cTransceive")
      .field("is_delay", is_delay)
      .field("delay", delay)
      .field("tsf1_count", tsf1_count)
      .field("tsf2_count", tsf2_count)
      .field("tsf_rw", tsf_rw)
      .list<std::uint16_t>("tsf_lens", tsf_lens)
      .field("is_trigger", is_trigger)
      .list<std::uint8_t>("tx_data", tx_data)
      .done();
}

base::Result<UartTransceive> UartTransceive::decode(base::ByteView payload) {
  Reader r(payload, "UartTransceive");
  UartTransceive out;
  r.field("rx_len", out.rx_len) && r.field("is_trigger", out.is_trigger) &&
      r.rule(zero_or_one(out.is_trigger), "IsTrigger must be 0 or 1") &&
      r.field("timeout", out.timeout) && r.rest(out.tx_data);
  return r.finish(std::move(out));
}

std::string UartTransceive::debug_text() const {
  return DebugText("UartTransceive")
      .field("rx_len", rx_len)
      .field("is_trigger", is_trigger)
      .field("timeout", timeout)
      .list<std::uint8_t>("tx_data", tx_data)
      .done();
}

}  // namespace protocol::packet::server

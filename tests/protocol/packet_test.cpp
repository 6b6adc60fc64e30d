#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/format.h"
#include "protocol/packet.h"
#include "protocol/packet_server.h"

namespace {

using namespace protocol::packet;
using namespace protocol::packet::server;
using Payload = std::vector<std::uint8_t>;
using Bit = U8Range<0, 1>;
using Edge = U8Range<0, 2>;
using Source = U8Range<0, 3>;

Payload prefix(const Payload& p, std::size_t n) { return Payload(p.begin(), p.begin() + n); }

template <class Rec>
std::string decode_error(const Payload& p) {
  auto r = Rec::decode(p);
  if (r) return "<decoded>";
  return error_text(r.error());
}

struct Field {
  std::string_view name;
  std::size_t offset;
  std::size_t size;
};

// Cuts a valid payload inside and at the start of every field and expects the
// short-payload error naming that field, with the end of data as its cause.
template <class Rec>
void expect_short_payload_errors(std::string_view record, const Payload& valid,
                                 const std::vector<Field>& fields) {
  ASSERT_TRUE(Rec::decode(valid).has_value()) << record;
  for (const Field& f : fields) {
    const std::string context = base::format("While parsing field '{}' in {}", f.name, record);
    for (std::size_t cut = f.offset; cut < f.offset + f.size; ++cut) {
      SCOPED_TRACE(base::format("{} cut at {}", context, cut));
      auto r = Rec::decode(prefix(valid, cut));
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message(), context);
      ASSERT_NE(r.error().cause(), nullptr);
      EXPECT_EQ(r.error().cause()->message(), "failed to fill whole buffer");
      EXPECT_EQ(error_text(r.error()), context + ": failed to fill whole buffer");
    }
  }
}

TEST(Packet, ShortPayloadNamesFieldAndRecord) {
  expect_short_payload_errors<U8Wrapper>("U8Wrapper", {7}, {{"self_0", 0, 1}});
  expect_short_payload_errors<U16Wrapper>("U16Wrapper", {1, 2}, {{"self_0", 0, 2}});
  expect_short_payload_errors<U32Wrapper>("U32Wrapper", {1, 2, 3, 4}, {{"self_0", 0, 4}});
  expect_short_payload_errors<U8Range<0, 3>>("U8Range", {3}, {{"value", 0, 1}});
  expect_short_payload_errors<I2cConfig>("I2cConfig", {0x50, 4}, {{"addr", 0, 1}, {"speed", 1, 1}});
  expect_short_payload_errors<SpiConfig>("SpiConfig", {0, 9, 1, 0},
                                         {{"psc", 0, 2}, {"cpol", 2, 1}, {"cpha", 3, 1}});
  expect_short_payload_errors<UartConfig>(
      "UartConfig", {0, 0, 8, 0, 0, 0x25, 0x80},
      {{"stop_bits", 0, 1}, {"parity", 1, 1}, {"bytesize", 2, 1}, {"baudrate", 3, 4}});
  expect_short_payload_errors<ChannelGain>("ChannelGain", {1, 50},
                                           {{"channel", 0, 1}, {"gain", 1, 1}});
  expect_short_payload_errors<ChannelWave>("ChannelWave", {2, 0, 0, 0, 1, 0, 0, 0, 2},
                                           {{"channel", 0, 1}, {"offset", 1, 4}, {"length", 5, 4}});
  expect_short_payload_errors<ReadRegister>("ReadRegister", Payload(8, 0),
                                            {{"base_addr", 0, 4}, {"offset", 4, 4}});
  expect_short_payload_errors<WriteRegister>(
      "WriteRegister", Payload(12, 0), {{"base_addr", 0, 4}, {"offset", 4, 4}, {"value", 8, 4}});
  expect_short_payload_errors<SpiTransceive>(
      "SpiTransceive", Payload(8, 0),
      {{"is_delay", 0, 1}, {"delay", 1, 4}, {"rx_len", 5, 2}, {"is_trigger", 7, 1}});
  expect_short_payload_errors<I2cTransceive>("I2cTransceive", Payload(25, 0),
                                             {{"is_delay", 0, 1},
                                              {"delay", 1, 4},
                                              {"tsf1_count", 5, 1},
                                              {"tsf2_count", 6, 1},
                                              {"tsf_rw", 7, 1},
                                              {"tsf_lens", 8, 16},
                                              {"is_trigger", 24, 1}});
  expect_short_payload_errors<UartTransceive>(
      "UartTransceive", Payload(7, 0),
      {{"rx_len", 0, 2}, {"is_trigger", 2, 1}, {"timeout", 3, 4}});
}

TEST(Packet, SingleValuesAreBigEndianAndIgnoreTrailingBytes) {
  EXPECT_EQ(U8Wrapper::decode(Payload{0xAB, 0xCD})->self_0, 0xAB);
  EXPECT_EQ(U16Wrapper::decode(Payload{0x12, 0x34, 0xFF})->self_0, 0x1234);
  // Six bytes: the first four are the value, the last two are left alone.
  EXPECT_EQ(U32Wrapper::decode(Payload{0x00, 0x01, 0x86, 0xA0, 0xDE, 0xAD})->self_0, 100000u);
  EXPECT_EQ(decode_error<U32Wrapper>({}),
            "While parsing field 'self_0' in U32Wrapper: failed to fill whole buffer");
}

TEST(Packet, U8RangeChecksItsBounds) {
  EXPECT_EQ((U8Range<0, 1>::decode(Payload{0})->value), 0);
  EXPECT_EQ((U8Range<0, 1>::decode(Payload{1, 9})->value), 1);
  EXPECT_EQ(decode_error<Bit>({2}), "Value must be between 0 and 1 at 0x0");
  EXPECT_EQ((U8Range<0, 2>::decode(Payload{2})->value), 2);
  EXPECT_EQ(decode_error<Edge>({3}), "Value must be between 0 and 2 at 0x0");
  EXPECT_EQ((U8Range<0, 3>::decode(Payload{3})->value), 3);
  EXPECT_EQ(decode_error<Source>({7}), "Value must be between 0 and 3 at 0x0");
  EXPECT_EQ(decode_error<Source>({255}), "Value must be between 0 and 3 at 0x0");
  // A rule error is a single message, not a context over a cause.
  auto r = U8Range<0, 3>::decode(Payload{4});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().cause(), nullptr);
}

TEST(Packet, RegisterRecordsReadFieldsInOrder) {
  auto rd = ReadRegister::decode(Payload{0x43, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10});
  ASSERT_TRUE(rd.has_value());
  EXPECT_EQ(rd->base_addr, 0x43C10000u);
  EXPECT_EQ(rd->offset, 16u);

  auto wr = WriteRegister::decode(
      Payload{0x43, 0xC2, 0x00, 0x00, 0x00, 0x00, 0x01, 0x04, 0xDE, 0xAD, 0xBE, 0xEF, 0x77});
  ASSERT_TRUE(wr.has_value());
  EXPECT_EQ(*wr, (WriteRegister{0x43C20000u, 0x104u, 0xDEADBEEFu}));
}

TEST(Packet, ChannelRecords) {
  SCOPED_TRACE("gain");
  EXPECT_EQ(*ChannelGain::decode(Payload{1, 80}), (ChannelGain{1, 80}));
  EXPECT_EQ(*ChannelGain::decode(Payload{2, 255}), (ChannelGain{2, 255}));
  EXPECT_EQ(decode_error<ChannelGain>({0, 80}), "Channel must be 1 or 2 at 0x0");
  EXPECT_EQ(decode_error<ChannelGain>({3, 80}), "Channel must be 1 or 2 at 0x0");
  // The channel is refused before the missing gain is noticed.
  EXPECT_EQ(decode_error<ChannelGain>({3}), "Channel must be 1 or 2 at 0x0");

  SCOPED_TRACE("wave");
  EXPECT_EQ(*ChannelWave::decode(Payload{2, 0, 0, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02}),
            (ChannelWave{2, 256, 65538}));
  EXPECT_EQ(decode_error<ChannelWave>({0, 0, 0, 0, 0, 0, 0, 0, 0}),
            "Channel must be 1 or 2 at 0x0");
}

TEST(Packet, BusConfigRules) {
  SCOPED_TRACE("i2c");
  EXPECT_EQ(*I2cConfig::decode(Payload{0x3C, 4}), (I2cConfig{0x3C, 4}));
  EXPECT_EQ(decode_error<I2cConfig>({0x3C, 5}), "Speed must be between 0 and 4 at 0x0");

  SCOPED_TRACE("spi");
  EXPECT_EQ(*SpiConfig::decode(Payload{0x01, 0x02, 1, 1}), (SpiConfig{258, 1, 1}));
  EXPECT_EQ(decode_error<SpiConfig>({0, 0, 2, 2}), "Cpol must be 0 or 1 at 0x0");
  // cpol fails before cpha is read, so a missing cpha does not matter.
  EXPECT_EQ(decode_error<SpiConfig>({0, 0, 2}), "Cpol must be 0 or 1 at 0x0");
  EXPECT_EQ(decode_error<SpiConfig>({0, 0, 0, 2}), "Cpha must be 0 or 1 at 0x0");

  SCOPED_TRACE("uart");
  auto uart = UartConfig::decode(Payload{2, 4, 5, 0x00, 0x01, 0xC2, 0x00});
  ASSERT_TRUE(uart.has_value());
  EXPECT_EQ(*uart, (UartConfig{2, 4, 5, 115200}));
  EXPECT_TRUE(UartConfig::decode(Payload{0, 0, 8, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(decode_error<UartConfig>({0, 0, 4, 0, 0, 0, 0}), "ByteSize must be between 5 and 8 at 0x0");
  EXPECT_EQ(decode_error<UartConfig>({0, 0, 9, 0, 0, 0, 0}), "ByteSize must be between 5 and 8 at 0x0");
  EXPECT_EQ(decode_error<UartConfig>({3, 0, 8, 0, 0, 0, 0}), "StopBits must be between 0 and 2 at 0x0");
  EXPECT_EQ(decode_error<UartConfig>({0, 5, 8, 0, 0, 0, 0}), "Parity must be between 0 and 4 at 0x0");
  // Rules are checked in field order: the first broken one is reported.
  EXPECT_EQ(decode_error<UartConfig>({3, 5, 9}), "StopBits must be between 0 and 2 at 0x0");
}

TEST(Packet, SpiTransceive) {
  auto t = SpiTransceive::decode(Payload{1, 0x00, 0x00, 0x03, 0xE8, 0x01, 0x02, 0, 0xAA, 0x55});
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->is_delay, 1);
  EXPECT_EQ(t->delay, 1000u);
  EXPECT_EQ(t->rx_len, 258);
  EXPECT_EQ(t->is_trigger, 0);
  EXPECT_EQ(t->tx_data, (base::Bytes{0xAA, 0x55}));

  auto empty = SpiTransceive::decode(Payload{0, 0, 0, 0, 0, 0, 4, 1});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->tx_data.empty());
  EXPECT_EQ(decode_error<SpiTransceive>({0, 0, 0, 0, 0, 0, 4}),
            "While parsing field 'is_trigger' in SpiTransceive: failed to fill whole buffer");

  EXPECT_EQ(decode_error<SpiTransceive>({2, 0, 0, 0, 0, 0, 0, 0}), "IsDelay must be 0 or 1 at 0x0");
  EXPECT_EQ(decode_error<SpiTransceive>({0, 0, 0, 0, 0, 0, 0, 2, 1}),
            "IsTrigger must be 0 or 1 at 0x0");
}

TEST(Packet, I2cTransceive) {
  Payload p{0, 0x00, 0x00, 0x00, 0x05, 2, 1, 0x01};
  for (std::uint16_t len : {1, 2, 3, 0x0102, 5, 6, 7, 0xFFFE}) {
    p.push_back(static_cast<std::uint8_t>(len >> 8));
    p.push_back(static_cast<std::uint8_t>(len));
  }
  p.push_back(1);
  ASSERT_EQ(p.size(), 25u);

  auto fixed = I2cTransceive::decode(p);
  ASSERT_TRUE(fixed.has_value());
  EXPECT_EQ(fixed->delay, 5u);
  EXPECT_EQ(fixed->tsf1_count, 2);
  EXPECT_EQ(fixed->tsf2_count, 1);
  EXPECT_EQ(fixed->tsf_rw, 1);
  EXPECT_EQ(fixed->tsf_lens, (std::array<std::uint16_t, 8>{1, 2, 3, 0x0102, 5, 6, 7, 0xFFFE}));
  EXPECT_EQ(fixed->is_trigger, 1);
  EXPECT_TRUE(fixed->tx_data.empty());

  Payload with_data = p;
  with_data.insert(with_data.end(), {0xA0, 0x10, 0x20});
  EXPECT_EQ(I2cTransceive::decode(with_data)->tx_data, (base::Bytes{0xA0, 0x10, 0x20}));

  EXPECT_EQ(decode_error<I2cTransceive>(prefix(p, 24)),
            "While parsing field 'is_trigger' in I2cTransceive: failed to fill whole buffer");
  Payload bad = p;
  bad[24] = 2;
  EXPECT_EQ(decode_error<I2cTransceive>(bad), "IsTrigger must be 0 or 1 at 0x0");
  bad = p;
  bad[0] = 7;
  EXPECT_EQ(decode_error<I2cTransceive>(bad), "IsDelay must be 0 or 1 at 0x0");
}

TEST(Packet, UartTransceive) {
  auto t = UartTransceive::decode(Payload{0x00, 0x05, 0, 0x00, 0x00, 0x00, 0x64, 'h', 'e'});
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(*t, (UartTransceive{5, 0, 100, base::Bytes{'h', 'e'}}));
  EXPECT_TRUE(UartTransceive::decode(Payload(7, 0))->tx_data.empty());
  EXPECT_EQ(decode_error<UartTransceive>({0, 5, 3, 0, 0, 0, 0}), "IsTrigger must be 0 or 1 at 0x0");
}

TEST(Packet, DebugTexts) {
  EXPECT_EQ((UartTransceive{5, 0, 100, base::Bytes{104, 101}}).debug_text(),
            "UartTransceive { rx_len: 5, is_trigger: 0, timeout: 100, tx_data: [104, 101] }");
  EXPECT_EQ((UartTransceive{1, 1, 0, {}}).debug_text(),
            "UartTransceive { rx_len: 1, is_trigger: 1, timeout: 0, tx_data: [] }");
  EXPECT_EQ((SpiTransceive{1, 70000, 300, 0, base::Bytes{0, 255}}).debug_text(),
            "SpiTransceive { is_delay: 1, delay: 70000, rx_len: 300, is_trigger: 0, tx_data: [0, 255] }");
  EXPECT_EQ((I2cTransceive{0, 10, 2, 1, 3, {1, 2, 0, 0, 0, 0, 0, 513}, 1, base::Bytes{160}})
                .debug_text(),
            "I2cTransceive { is_delay: 0, delay: 10, tsf1_count: 2, tsf2_count: 1, tsf_rw: 3, "
            "tsf_lens: [1, 2, 0, 0, 0, 0, 0, 513], is_trigger: 1, tx_data: [160] }");
  EXPECT_EQ((SpiConfig{1000, 1, 0}).debug_text(), "SpiConfig { psc: 1000, cpol: 1, cpha: 0 }");
  EXPECT_EQ((I2cConfig{60, 3}).debug_text(), "I2cConfig { addr: 60, speed: 3 }");
  EXPECT_EQ((UartConfig{1, 2, 7, 9600}).debug_text(),
            "UartConfig { stop_bits: 1, parity: 2, bytesize: 7, baudrate: 9600 }");
}

}  // namespace

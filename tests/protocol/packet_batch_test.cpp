// The batch extension's records on their own: the request's fields and every
// check that refuses it, in order, and the head of an answer record.
#include "protocol/packet_batch.h"

#include <gtest/gtest.h>

#include "protocol/packet.h"

namespace {

using protocol::packet::batch::CaptureBatch;
using protocol::packet::batch::RecordHead;

constexpr std::uint64_t MEMORY = 0x08000000;

TEST(PacketBatch, RequestFieldsAreBigEndianInTheirPlaces) {
  const base::Bytes payload = {3,    2,    0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x04, 0x00, 0x00, 0x10, 0x00,
                               0x08, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0xAA, 0xBB};
  auto b = CaptureBatch::decode(payload);
  ASSERT_TRUE(b) << b.error().describe();
  EXPECT_EQ(*b, (CaptureBatch{.bus = 3, .channels = 2, .offset = 0x102, .length = 0x400, .tx_len = 16, .rx_len = 8,
                              .count = 2, .timeout_ms = 1000, .flags = 0}));
  EXPECT_EQ(b->record_size(), 8u + 8 + 2 * 0x400);

  auto short_one = CaptureBatch::decode(base::ByteView(payload).first(21));
  ASSERT_FALSE(short_one);
  EXPECT_EQ(protocol::packet::error_text(short_one.error()),
            "While parsing field 'timeout_ms' in CaptureBatch: failed to fill whole buffer");
}

TEST(PacketBatch, ChecksRefuseInTheDocumentedOrder) {
  const CaptureBatch ok{.bus = 1, .channels = 3, .offset = 0, .length = 16, .tx_len = 2, .rx_len = 1, .count = 4,
                        .timeout_ms = 10, .flags = 0};
  const std::size_t size = CaptureBatch::HEADER_SIZE + 8;
  EXPECT_TRUE(ok.check(size, MEMORY));
  struct Case {
    CaptureBatch b;
    std::size_t size;
    std::string text;
  };
  auto with = [&](auto change) {
    CaptureBatch b = ok;
    change(b);
    return b;
  };
  const Case cases[] = {
      // Everything wrong at once: the count is named first.
      {with([](auto& b) { b.count = 0; b.bus = 9; b.flags = 1; }), size, "Batch count must be at least 1"},
      {ok, size + 1, "Batch payload must be 24 + count x tx_len = 32 bytes, got 33"},
      {with([](auto& b) { b.bus = 4; b.channels = 0; }), size, "Unknown batch bus 4: 0 none, 1 SPI, 2 I2C or 3 UART"},
      {with([](auto& b) { b.channels = 4; }), size, "Batch channels must be 1, 2 or 3, got 4"},
      {with([](auto& b) { b.offset = MEMORY - 15; }), size,
       "Batch window of 16 samples from 134217713 lies beyond the sample memory of 134217728 samples"},
      {with([](auto& b) { b.offset = 0xFFFFFFFF; b.length = 0xFFFFFFFF; }), size,
       "Batch window of 4294967295 samples from 4294967295 lies beyond the sample memory of 134217728 samples"},
      {with([](auto& b) { b.length = 0x04000000; b.channels = 1; b.count = 33; }), CaptureBatch::HEADER_SIZE + 66,
       "Batch answer of 33 records of 134217737 bytes exceeds the frame's 4294967295 bytes"},
      {with([](auto& b) { b.flags = 2; }), size, "Batch flags must be 0, got 2"},
      {with([](auto& b) { b.bus = 2; b.tx_len = 0; b.rx_len = 0; }), CaptureBatch::HEADER_SIZE,
       "An I2C batch needs input or answer bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = c.b.check(c.size, MEMORY);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.text);
  }
}

TEST(PacketBatch, RecordHeadIsResultErrorAndStatusBigEndian) {
  std::uint8_t bytes[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE};
  RecordHead{.result = 2, .error = 0x8000, .trigger_status = 0x00000102}.encode(bytes);
  EXPECT_EQ(base::Bytes(bytes, bytes + 10), (base::Bytes{0, 2, 0x80, 0, 0, 0, 1, 2, 0xEE, 0xEE}));
  auto head = RecordHead::decode(base::ByteView(bytes, 10));
  ASSERT_TRUE(head);
  EXPECT_EQ(*head, (RecordHead{.result = 2, .error = 0x8000, .trigger_status = 0x102}));
  EXPECT_EQ(RecordHead{}, (RecordHead{.result = 1, .error = 0, .trigger_status = 0})) << "a missed trigger until told";
  EXPECT_FALSE(RecordHead::decode(base::ByteView(bytes, 7)));
}

}  // namespace

#include "protocol/packet_batch.h"

#include "base/bytes.h"
#include "base/format.h"
#include "protocol/packet.h"

namespace protocol::packet::batch {
namespace {

void put16(base::Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put32(base::Bytes& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v >> 16));
  put16(out, static_cast<std::uint16_t>(v));
}

}  // namespace

void RecordHead::encode(std::uint8_t* dst) const {
  base::store_be16(dst, result);
  base::store_be16(dst + 2, error);
  base::store_be32(dst + 4, trigger_status);
}

base::Result<RecordHead> RecordHead::decode(base::ByteView record) {
  Reader r(record, "RecordHead");
  RecordHead out;
  r.field("result", out.result) && r.field("error", out.error) && r.field("trigger_status", out.trigger_status);
  return r.finish(std::move(out));
}

base::Result<CaptureBatch> CaptureBatch::decode(base::ByteView payload) {
  Reader r(payload, "CaptureBatch");
  CaptureBatch out;
  r.field("bus", out.bus) && r.field("channels", out.channels) && r.field("offset", out.offset) &&
      r.field("length", out.length) && r.field("tx_len", out.tx_len) && r.field("rx_len", out.rx_len) &&
      r.field("count", out.count) && r.field("timeout_ms", out.timeout_ms) && r.field("flags", out.flags);
  return r.finish(std::move(out));
}

std::string CaptureBatch::debug_text() const {
  return base::format(
      "CaptureBatch { bus: {}, channels: {}, offset: {}, length: {}, tx_len: {}, rx_len: {}, count: {}, "
      "timeout_ms: {}, flags: {} }",
      bus, channels, offset, length, tx_len, rx_len, count, timeout_ms, flags);
}

base::Result<void> CaptureBatch::check(std::size_t payload_size, std::uint64_t memory_samples) const {
  if (count == 0) return base::fail("Batch count must be at least 1");
  const std::uint64_t expected = HEADER_SIZE + std::uint64_t{count} * tx_len;
  if (payload_size != expected)
    return base::fail(base::format("Batch payload must be 24 + count x tx_len = {} bytes, got {}", expected,
                                   payload_size));
  if (bus > BUS_UART)
    return base::fail(base::format("Unknown batch bus {}: 0 none, 1 SPI, 2 I2C or 3 UART", bus));
  if (channels < 1 || channels > 3)
    return base::fail(base::format("Batch channels must be 1, 2 or 3, got {}", channels));
  if (std::uint64_t{offset} + length > memory_samples)
    return base::fail(base::format("Batch window of {} samples from {} lies beyond the sample memory of {} samples",
                                   length, offset, memory_samples));
  // count and the record size are below 2^32 here, so their product fits.
  const std::uint64_t record = record_size();
  if (record > MAX_ANSWER || std::uint64_t{count} * record > MAX_ANSWER)
    return base::fail(base::format("Batch answer of {} records of {} bytes exceeds the frame's {} bytes", count,
                                   record, MAX_ANSWER));
  if (flags != 0) return base::fail(base::format("Batch flags must be 0, got {}", flags));
  if (bus == BUS_I2C && tx_len == 0 && rx_len == 0)
    return base::fail("An I2C batch needs input or answer bytes");
  return {};
}

base::Bytes BatchInfo::encode() const {
  base::Bytes out;
  out.reserve(16);
  put16(out, version);
  put16(out, buses);
  put32(out, memory_samples);
  put32(out, max_request);
  put32(out, max_answer);
  return out;
}

}  // namespace protocol::packet::batch

#pragma once
// Records of the batch capture extension (capture_batch and batch_info): the fixed
// fields of a capture_batch request, the checks that refuse it before anything is
// captured, the size of its answer and the head of each of its records, and the
// batch_info answer. docs/protocol.md
// describes both commands.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "base/error.h"

namespace protocol::packet::batch {

inline constexpr std::uint16_t BATCH_VERSION = 1;

enum Bus : std::uint8_t { BUS_NONE = 0, BUS_SPI = 1, BUS_I2C = 2, BUS_UART = 3 };
// Bit b set: bus code b is served.
inline constexpr std::uint16_t SUPPORTED_BUSES = 0x000F;

// Each answer record starts with its result.
enum Result : std::uint16_t { RESULT_COMPLETE = 0, RESULT_MISSED_TRIGGER = 1, RESULT_BUS_ERROR = 2 };
inline constexpr std::size_t RECORD_HEAD_SIZE = 8;  // result, error, trigger status
inline constexpr std::uint64_t MAX_ANSWER = 0xFFFFFFFF;

// The first RECORD_HEAD_SIZE bytes of each answer record, big-endian.
struct RecordHead {
  std::uint16_t result = RESULT_MISSED_TRIGGER;
  std::uint16_t error = 0;            // the status the single command would have answered
  std::uint32_t trigger_status = 0;  // the last status word read for the trace

  void encode(std::uint8_t* dst) const;  // writes RECORD_HEAD_SIZE bytes
  static base::Result<RecordHead> decode(base::ByteView record);
  bool operator==(const RecordHead&) const = default;
};

// The 24 bytes in front of the inputs; input k lies at HEADER_SIZE + k x tx_len.
struct CaptureBatch {
  static constexpr std::size_t HEADER_SIZE = 24;

  std::uint8_t bus = BUS_NONE;
  std::uint8_t channels = 0;  // bit 0 channel 1 (A), bit 1 channel 2 (B)
  std::uint32_t offset = 0;   // window start, in samples
  std::uint32_t length = 0;   // window length, in samples
  std::uint16_t tx_len = 0;
  std::uint16_t rx_len = 0;
  std::uint32_t count = 0;
  std::uint32_t timeout_ms = 0;
  std::uint16_t flags = 0;

  static base::Result<CaptureBatch> decode(base::ByteView payload);
  std::string debug_text() const;
  bool operator==(const CaptureBatch&) const = default;

  // Everything that refuses a batch before its first capture, in the order the
  // documentation lists it, given the payload's size and the samples a channel's
  // memory holds.
  base::Result<void> check(std::size_t payload_size, std::uint64_t memory_samples) const;

  int channel_count() const { return (channels & 1) + ((channels >> 1) & 1); }
  std::uint64_t window_bytes() const { return std::uint64_t{length} * 2; }
  // One answer record: head, answer bytes, the window of each channel.
  std::uint64_t record_size() const {
    return RECORD_HEAD_SIZE + rx_len + static_cast<std::uint64_t>(channel_count()) * window_bytes();
  }
};

// The 16-byte answer of batch_info.
struct BatchInfo {
  std::uint16_t version = BATCH_VERSION;
  std::uint16_t buses = SUPPORTED_BUSES;
  std::uint32_t memory_samples = 0;
  std::uint32_t max_request = 0;
  std::uint32_t max_answer = static_cast<std::uint32_t>(MAX_ANSWER);

  base::Bytes encode() const;
};

}  // namespace protocol::packet::batch

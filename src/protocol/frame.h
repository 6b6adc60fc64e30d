#pragma once
// Request and response frames. All header integers are big-endian.
#include <array>
#include <cstdint>
#include <span>

#include "base/bytes.h"
#include "base/error.h"

namespace protocol {

inline constexpr std::array<std::uint8_t, 4> FRAME_MAGIC{'V', 'L', 'D', 'X'};
inline constexpr std::uint8_t REQUEST_DIRECTION = 'S';
inline constexpr std::uint8_t RESPONSE_DIRECTION = 'R';
inline constexpr std::uint16_t RESPONSE_VERSION = 1;
inline constexpr std::size_t REQUEST_HEADER_SIZE = 15;
inline constexpr std::size_t RESPONSE_HEADER_SIZE = 13;
// Largest request payload the server reads; longer frames are refused unread.
inline constexpr std::uint32_t MAX_PAYLOAD_LENGTH = 16u * 1024 * 1024;

struct RequestHeader {
  std::array<std::uint8_t, 4> magic{};
  std::uint16_t version = 0;
  std::uint8_t direction = 0;
  std::uint16_t command = 0;
  std::array<std::uint8_t, 2> reserved{};
  std::uint32_t length = 0;

  // Reads the first 15 bytes; fails with "Buffer too short" when there are fewer.
  // Nothing is validated here.
  static base::Result<RequestHeader> parse(std::span<const std::uint8_t> bytes);
  // The header a host sends: magic, version 1, direction 'S', reserved zero.
  static RequestHeader for_command(std::uint16_t command, std::uint32_t length);
  std::array<std::uint8_t, REQUEST_HEADER_SIZE> to_bytes() const;
};

struct Request {
  RequestHeader header;
  base::Bytes payload;
};

struct Response {
  std::array<std::uint8_t, 4> magic = FRAME_MAGIC;
  std::uint16_t version = RESPONSE_VERSION;
  std::uint8_t direction = RESPONSE_DIRECTION;
  std::uint16_t status = 0;
  std::uint32_t length = 0;
  base::Bytes payload;

  static Response with_status(std::uint16_t status, base::Bytes payload);

  std::array<std::uint8_t, RESPONSE_HEADER_SIZE> header_bytes() const;
  // The whole frame in one new buffer of 13 + payload bytes.
  base::Bytes to_bytes() const;
};

}  // namespace protocol

#pragma once
// The errors a command handler returns, their wire status codes, and the one
// conversion from a handler result to a response frame.
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "base/bytes.h"
#include "base/error.h"
#include "protocol/frame.h"

namespace protocol {

class ProtocolError {
 public:
  enum class Kind : std::uint8_t { Busy, TimeOut, Unsupport, InternalError };

  static ProtocolError busy() { return ProtocolError(Kind::Busy); }
  static ProtocolError time_out() { return ProtocolError(Kind::TimeOut); }
  static ProtocolError unsupport() { return ProtocolError(Kind::Unsupport); }
  static ProtocolError internal(base::Error error) {
    return ProtocolError(Kind::InternalError, std::move(error));
  }
  static ProtocolError internal(std::string message) {
    return internal(base::Error(std::move(message)));
  }

  Kind kind() const { return kind_; }
  // The carried error of InternalError, null for the other kinds.
  const base::Error* error() const { return error_ ? &*error_ : nullptr; }
  // "Device is busy", "Operation timed out", "Unsupported operation",
  // "An internal error occurred".
  std::string_view text() const;
  std::uint16_t status() const;
  // As an error value for wrapping: the carried error, or one with text().
  base::Error to_error() const;

 private:
  explicit ProtocolError(Kind kind, std::optional<base::Error> error = std::nullopt)
      : kind_(kind), error_(std::move(error)) {}
  Kind kind_;
  std::optional<base::Error> error_;
};

inline constexpr std::uint16_t STATUS_OK = 0x0000;
inline constexpr std::uint16_t STATUS_BUSY = 0x0001;
inline constexpr std::uint16_t STATUS_TIME_OUT = 0x0002;
inline constexpr std::uint16_t STATUS_INTERNAL_ERROR = 0x8000;
inline constexpr std::uint16_t STATUS_UNSUPPORT = 0x8001;

using HandlerResult = std::expected<base::Bytes, ProtocolError>;

// Builds the response for a handler result, logging errors at error level under
// "protocol::error": the error's text and, for an internal error, one
// "Caused by: {}" line per cause.
Response to_response(HandlerResult&& result);
// The same, serialised.
base::Bytes to_response_bytes(HandlerResult&& result);

}  // namespace protocol

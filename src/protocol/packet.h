#pragma once
// Request payload records. Every record is read big-endian from the first payload
// byte, field after field; bytes after the last field are ignored.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/error.h"
#include "base/format.h"

namespace protocol::packet {

// Reads the fields of one record in order. The first failure sticks: every later
// read does nothing and returns false, so a decoder can chain its fields and
// checks with && and stop at the first field that is missing or breaks its rule.
//
// A missing field gives "While parsing field 'f' in Record" caused by "failed to
// fill whole buffer"; a broken rule gives the rule's message " at 0x0" (records
// always start at the first payload byte).
class Reader {
 public:
  Reader(base::ByteView payload, std::string_view record) : payload_(payload), record_(record) {}

  bool field(std::string_view name, std::uint8_t& out);
  bool field(std::string_view name, std::uint16_t& out);
  bool field(std::string_view name, std::uint32_t& out);
  bool field(std::string_view name, std::array<std::uint16_t, 8>& out);
  // Everything left in the payload; the byte blocks carry no length of their own.
  bool rest(base::Bytes& out);
  bool rule(bool ok, std::string_view message);

  template <class T>
  base::Result<T> finish(T&& value) {
    if (error_) return std::unexpected(std::move(*error_));
    return std::forward<T>(value);
  }

 private:
  const std::uint8_t* take(std::string_view name, std::size_t size);

  base::ByteView payload_;
  std::string_view record_;
  std::size_t pos_ = 0;
  std::optional<base::Error> error_;
};

// The text a handler appends to its parse prefix: "context: cause" for a short
// payload, the rule message for a broken rule.
std::string error_text(const base::Error& error);

struct U8Wrapper {
  std::uint8_t self_0 = 0;
  static base::Result<U8Wrapper> decode(base::ByteView payload);
  bool operator==(const U8Wrapper&) const = default;
};

struct U16Wrapper {
  std::uint16_t self_0 = 0;
  static base::Result<U16Wrapper> decode(base::ByteView payload);
  bool operator==(const U16Wrapper&) const = default;
};

struct U32Wrapper {
  std::uint32_t self_0 = 0;
  static base::Result<U32Wrapper> decode(base::ByteView payload);
  bool operator==(const U32Wrapper&) const = default;
};

template <std::uint8_t MIN, std::uint8_t MAX>
struct U8Range {
  static_assert(MIN <= MAX);
  std::uint8_t value = MIN;

  static base::Result<U8Range> decode(base::ByteView payload) {
    Reader r(payload, "U8Range");
    U8Range out;
    // Compared as int so that MIN == 0 does not trip the always-true warning.
    const auto in_range = [&] {
      const int v = out.value;
      return v >= int{MIN} && v <= int{MAX};
    };
    r.field("value", out.value) &&
        r.rule(in_range(), base::format("Value must be between {} and {}", MIN, MAX));
    return r.finish(std::move(out));
  }
  bool operator==(const U8Range&) const = default;
};

}  // namespace protocol::packet

#pragma once
// Reading numbers and bytes from the command line, and printing answers for people.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/format.h"

namespace client {

// Decimal or 0x-hex, at most `max`. The error text completes "NAME: ...".
inline std::expected<std::uint64_t, std::string> parse_number(std::string_view text,
                                                              std::uint64_t max) {
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.size() > 1 && digits[0] == '-' && digits[1] >= '0' && digits[1] <= '9')
    return std::unexpected(base::format("{} is out of range (0 to {})", text, max));
  if (digits.empty() || ec == std::errc::invalid_argument || end != digits.data() + digits.size())
    return std::unexpected(base::format("'{}' is not a number (decimal or 0x-hex)", text));
  if (ec == std::errc::result_out_of_range || value > max)
    return std::unexpected(base::format("{} is out of range (at most {})", text, max));
  return value;
}

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One byte argument: "@FILE" for a file's contents, otherwise hex ("DE", "0xDEADBEEF",
// "deadbeef"); a single digit is one byte, longer runs need an even count of digits.
inline std::expected<void, std::string> append_byte_argument(std::string_view arg,
                                                             std::vector<std::uint8_t>& out) {
  if (arg.starts_with('@')) {
    const std::string path(arg.substr(1));
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::unexpected(base::format("cannot read '{}'", path));
    out.insert(out.end(), std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return {};
  }
  std::string_view hex = arg;
  if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
  const auto bad = [&] {
    return std::unexpected(base::format("'{}' is not a hex byte string (like DE, 0xDEAD or @FILE)", arg));
  };
  if (hex.empty()) return bad();
  for (char c : hex)
    if (hex_digit(c) < 0) return bad();
  if (hex.size() == 1) {
    out.push_back(static_cast<std::uint8_t>(hex_digit(hex[0])));
    return {};
  }
  if (hex.size() % 2 != 0) return bad();
  for (std::size_t i = 0; i < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(hex_digit(hex[i]) * 16 + hex_digit(hex[i + 1])));
  return {};
}

template <class T>
std::string hex_fixed(T value, int digits) {
  static constexpr char table[] = "0123456789abcdef";
  std::string s(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) s[static_cast<std::size_t>(i)] = table[value & 0xF];
  return s;
}

// "258 (0x00000102)": decimal for arithmetic, hex padded to the field's width for bit fields.
inline std::string number_text(std::uint32_t value, int width_bytes) {
  return base::format("{} (0x{})", value, hex_fixed(value, width_bytes * 2));
}

// Sixteen bytes per line with the offset and the printable characters, like hexdump -C.
inline std::string hex_dump(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    out += hex_fixed(line, 8);
    out += "  ";
    std::string ascii;
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 8) out += ' ';
      if (line + i < bytes.size()) {
        const std::uint8_t b = bytes[line + i];
        out += hex_fixed(b, 2);
        out += ' ';
        ascii.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
      } else {
        out += "   ";
      }
    }
    out += " |";
    out += ascii;
    out += "|\n";
  }
  return out;
}

}  // namespace client

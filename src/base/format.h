#pragma once
// A small "{}" formatter: std::format is not available in this standard library.
// Integers print in decimal, strings as they are; "{{" and "}}" stand for braces.
#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace base {
namespace detail {

inline void append_value(std::string& out, std::string_view v) { out.append(v); }
inline void append_value(std::string& out, const char* v) { out.append(v); }
inline void append_value(std::string& out, const std::string& v) { out.append(v); }
inline void append_value(std::string& out, char c) { out.push_back(c); }
inline void append_value(std::string& out, bool b) { out.append(b ? "true" : "false"); }

template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
void append_value(std::string& out, T v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_value(std::string& out, double v);
inline void append_value(std::string& out, float v) { append_value(out, static_cast<double>(v)); }

// Copies literal text from fmt[pos..] up to the next "{}" (consumed) or the end.
// Returns false when no placeholder was left.
bool copy_until_placeholder(std::string& out, std::string_view fmt, std::size_t& pos);

}  // namespace detail

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  std::string out;
  out.reserve(fmt.size() + 12 * sizeof...(args));
  std::size_t pos = 0;
  [[maybe_unused]] auto one = [&](const auto& arg) {
    if (detail::copy_until_placeholder(out, fmt, pos)) detail::append_value(out, arg);
  };
  (one(args), ...);
  while (detail::copy_until_placeholder(out, fmt, pos)) {
  }
  return out;
}

}  // namespace base

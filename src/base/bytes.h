#pragma once
// Byte buffers and big-endian helpers shared by the wire protocol and the drivers.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace base {

namespace detail {
// Buffers from this size on get a mapping of their own, advised for transparent
// huge pages (bytes.cpp): a fresh 64 MiB wave then costs 32 page faults instead of
// 16384. The mapping a thread frees last stays with that thread as its spare, so
// that back-to-back read-outs of the same size skip the faults and the zeroing of
// fresh pages; whoever runs the thread gives the spare back (see below).
inline constexpr std::size_t LARGE_BUFFER = std::size_t{4} << 20;
void* allocate_large(std::size_t bytes);
void deallocate_large(void* p, std::size_t bytes) noexcept;
}  // namespace detail

// The calling thread's spare large buffer. It goes back to the system when the
// thread ends, on release_spare_buffer(), and on
// release_spare_buffer_unused_for(age) once it has lain unused that long.
bool spare_buffer_held() noexcept;
void release_spare_buffer() noexcept;
void release_spare_buffer_unused_for(std::chrono::milliseconds age) noexcept;

// An allocator that leaves new elements uninitialised. Payload buffers are sized
// first and filled right after (from a socket, from sample memory), so zero-filling
// them would only cost a pass over up to 256 MiB. Not derived from std::allocator,
// whose allocate_at_least would bypass allocate() and deallocate() here.
template <class T>
struct DefaultInitAllocator {
  using value_type = T;

  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n >= detail::LARGE_BUFFER / sizeof(T)) return static_cast<T*>(detail::allocate_large(n * sizeof(T)));
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n >= detail::LARGE_BUFFER / sizeof(T)) return detail::deallocate_large(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const DefaultInitAllocator<U>&) const noexcept {
    return true;
  }
};

using Bytes = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;
using ByteView = std::span<const std::uint8_t>;

inline std::uint16_t load_be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
         (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}
inline void store_be16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace base

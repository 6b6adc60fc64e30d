#include "base/bytes.h"

#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <new>

namespace base::detail {
namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Address sanitizer checks heap blocks only, so its builds keep large buffers there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool PLAIN_HEAP = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool PLAIN_HEAP = true;
#else
constexpr bool PLAIN_HEAP = false;
#endif
#else
constexpr bool PLAIN_HEAP = false;
#endif

std::size_t mapped_size(std::size_t bytes) { return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); }

// The last large mapping this thread freed, pages still faulted in, kept for the
// thread's next large buffer.
struct Spare {
  void* p = nullptr;
  std::size_t size = 0;
  std::chrono::steady_clock::time_point freed_at{};

  Spare() = default;
  Spare(const Spare&) = delete;
  Spare& operator=(const Spare&) = delete;
  ~Spare() { release(); }

  void release() noexcept {
    if (p != nullptr) ::munmap(p, size);
    p = nullptr;
    size = 0;
  }
};

thread_local Spare t_spare;

}  // namespace

void* allocate_large(std::size_t bytes) {
  if constexpr (PLAIN_HEAP) return ::operator new(bytes);
  const std::size_t size = mapped_size(bytes);
  if (size < bytes || size + HUGE_PAGE < size) throw std::bad_alloc();
  if (t_spare.p != nullptr) {
    if (t_spare.size >= size) {
      auto* reused = static_cast<std::uint8_t*>(t_spare.p);
      if (t_spare.size > size) ::munmap(reused + size, t_spare.size - size);
      t_spare.p = nullptr;
      t_spare.size = 0;
      return reused;
    }
    t_spare.release();
  }
  // One huge page more than needed, so that an aligned start fits; the slack on
  // either side is unmapped again.
  void* p = ::mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~std::uintptr_t{HUGE_PAGE - 1};
  const std::uintptr_t end = start + size + HUGE_PAGE;
  if (aligned > start) ::munmap(p, aligned - start);
  if (end > aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
  // Only a hint: a kernel without transparent huge pages maps ordinary ones.
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void deallocate_large(void* p, std::size_t bytes) noexcept {
  if constexpr (PLAIN_HEAP) return ::operator delete(p);
  t_spare.release();
  t_spare.p = p;
  t_spare.size = mapped_size(bytes);
  t_spare.freed_at = std::chrono::steady_clock::now();
}

}  // namespace base::detail

namespace base {

bool spare_buffer_held() noexcept { return detail::t_spare.p != nullptr; }

void release_spare_buffer() noexcept { detail::t_spare.release(); }

void release_spare_buffer_unused_for(std::chrono::milliseconds age) noexcept {
  if (detail::t_spare.p != nullptr && std::chrono::steady_clock::now() - detail::t_spare.freed_at >= age)
    detail::t_spare.release();
}

}  // namespace base

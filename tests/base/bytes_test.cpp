// Payload buffers: large ones live in mappings of their own; the last one a thread
// frees is kept as its spare for the next large buffer, and goes back to the system
// when released, so a 256 MiB wave leaves no resident memory behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/bytes.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

long resident_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

TEST(Bytes, LargeBufferHoldsWhatIsWrittenAndIsHugePageAligned) {
  const std::size_t n = base::detail::LARGE_BUFFER + 3;
  base::Bytes b(n);
  for (std::size_t i = 0; i < n; i += 4093) b[i] = static_cast<std::uint8_t>(i);
  b[n - 1] = 0x5A;
  for (std::size_t i = 0; i < n; i += 4093) EXPECT_EQ(b[i], static_cast<std::uint8_t>(i));
  EXPECT_EQ(b[n - 1], 0x5A);
  if (!kAddressSanitizer) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % (2u << 20), 0u);
  }
}

TEST(Bytes, GrowingAcrossTheLargeSizeKeepsTheContents) {
  base::Bytes b;
  for (std::size_t i = 0; i < base::detail::LARGE_BUFFER + 100; ++i) b.push_back(static_cast<std::uint8_t>(i * 13));
  for (std::size_t i = 0; i < b.size(); i += 997) ASSERT_EQ(b[i], static_cast<std::uint8_t>(i * 13));
  b.resize(10);
  b.shrink_to_fit();
  EXPECT_EQ(b[9], static_cast<std::uint8_t>(9 * 13));
  base::Bytes copy = b;
  EXPECT_EQ(copy, b);
}

TEST(Bytes, ReleasedSpareLeavesNoResidentMemory) {
  if (kAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's heap keeps freed blocks in quarantine";
  }
  base::release_spare_buffer();
  const long before = resident_kib();
  {
    base::Bytes b(64u << 20);
    for (std::size_t i = 0; i < b.size(); i += 4096) b[i] = 1;
    EXPECT_GE(resident_kib(), before + 60 * 1024);
  }
  EXPECT_TRUE(base::spare_buffer_held());
  base::release_spare_buffer_unused_for(std::chrono::hours(1));
  EXPECT_TRUE(base::spare_buffer_held()) << "released before its time";
  base::release_spare_buffer_unused_for(std::chrono::milliseconds(0));
  EXPECT_FALSE(base::spare_buffer_held());
  EXPECT_LT(resident_kib(), before + 8 * 1024);
}

TEST(Bytes, SpareServesTheNextLargeBufferOfItsSizeOrSmaller) {
  if (kAddressSanitizer) {
    GTEST_SKIP() << "large buffers come from the sanitizer's heap";
  }
  base::release_spare_buffer();
  const std::size_t mib = 1u << 20;
  const std::uint8_t* first = nullptr;
  {
    base::Bytes b(32 * mib);
    first = b.data();
    for (std::size_t i = 0; i < b.size(); i += 4096) b[i] = 0xA5;
  }
  {
    base::Bytes again(31 * mib + 5);  // the same 2 MiB-rounded size
    EXPECT_EQ(again.data(), first);
    EXPECT_FALSE(base::spare_buffer_held());
    EXPECT_EQ(again[31 * mib], 0xA5) << "not the same pages";
  }
  {
    // A smaller one takes the spare too; the rest of the mapping is given back.
    const long before = resident_kib();
    base::Bytes small(8 * mib);
    EXPECT_EQ(small.data(), first);
    EXPECT_LT(resident_kib(), before - 20 * 1024);
    small[8 * mib - 1] = 2;
  }
  {
    // A larger one cannot: the spare is dropped for a fresh mapping.
    base::Bytes large(16 * mib);
    EXPECT_FALSE(base::spare_buffer_held());
    for (std::size_t i = 0; i < large.size(); i += 4096) large[i] = 3;
    EXPECT_EQ(large[16 * mib - 4096], 3);
  }
  {
    // Small buffers never touch it.
    base::Bytes tiny(100);
    EXPECT_TRUE(base::spare_buffer_held());
  }
  base::release_spare_buffer();
  EXPECT_FALSE(base::spare_buffer_held());
}

}  // namespace

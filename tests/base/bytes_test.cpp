// Payload buffers: large ones live in mappings of their own and go back to the
// system when freed, so a 256 MiB wave leaves no resident memory behind.
#include <gtest/gtest.h>

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

TEST(Bytes, FreedLargeBufferLeavesNoResidentMemory) {
  if (kAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's heap keeps freed blocks in quarantine";
  }
  const long before = resident_kib();
  {
    base::Bytes b(64u << 20);
    for (std::size_t i = 0; i < b.size(); i += 4096) b[i] = 1;
    EXPECT_GE(resident_kib(), before + 60 * 1024);
  }
  EXPECT_LT(resident_kib(), before + 8 * 1024);
}

}  // namespace

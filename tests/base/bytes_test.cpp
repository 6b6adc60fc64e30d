// Payload buffers leave new bytes uninitialised but keep what they hold when they
// grow, shrink or are copied.
#include <gtest/gtest.h>

#include <cstdint>

#include "base/bytes.h"

namespace {

TEST(Bytes, GrowingKeepsTheContents) {
  base::Bytes b;
  for (std::size_t i = 0; i < (4u << 20) + 100; ++i) b.push_back(static_cast<std::uint8_t>(i * 13));
  for (std::size_t i = 0; i < b.size(); i += 997) ASSERT_EQ(b[i], static_cast<std::uint8_t>(i * 13));
  b.resize(10);
  b.shrink_to_fit();
  EXPECT_EQ(b[9], static_cast<std::uint8_t>(9 * 13));
  base::Bytes copy = b;
  EXPECT_EQ(copy, b);
}

}  // namespace

// Axi on the seam: routing through the installed platform, refusals, allocation
// failure and the release of the mapping. The exact bounds texts are pinned
// against the Linux window in linux_platform_test.cpp.
#include "driver/core/axi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>

#include "base/log.h"
#include "sim/block.h"
#include "support/sim_fixture.h"

namespace {

using driver::core::Axi;
using sim::rd;
using sim::wr;

constexpr std::uint64_t TEST_BLOCK = 0x60000000;  // no model of the logic sits here

class AxiTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    auto b = std::make_shared<sim::Block>("test", TEST_BLOCK, 0x10000);
    block_ = b.get();
    sim().add_block(std::move(b));
  }
  sim::Block* block_ = nullptr;
};

TEST_F(AxiTest, RegisterAccessesReachTheBlockInOrderOnce) {
  auto axi = Axi::create(TEST_BLOCK, 0x10000);
  ASSERT_TRUE(axi);
  ASSERT_TRUE(axi->write_register(0x10, 5));
  ASSERT_TRUE(axi->write_register(0x10, 5));  // the same value again is still a write
  EXPECT_EQ(axi->read_register(0x10).value(), 5u);
  EXPECT_EQ(axi->read_register(0x10).value(), 5u);
  EXPECT_FALSE(axi->read_register(0x12));  // unaligned: refused before the bus
  EXPECT_EQ(block_->accesses(), (std::vector<sim::Access>{wr(0x10, 5), wr(0x10, 5), rd(0x10, 5), rd(0x10, 5)}));
}

TEST_F(AxiTest, WindowInsideABlockUsesTheBlockOffsets) {
  auto axi = Axi::create(TEST_BLOCK + 0x1000, 0x1000);
  ASSERT_TRUE(axi);
  ASSERT_TRUE(axi->write_register(4, 9));
  EXPECT_EQ(block_->writes(), (std::vector<sim::Access>{wr(0x1004, 9)}));
}

TEST_F(AxiTest, RefusedMappingsGiveTheMmapText) {
  sim().refuse_map(TEST_BLOCK, EACCES);
  auto refused = Axi::create(TEST_BLOCK, 0x10000);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Failed to mmap AXI: EACCES: Permission denied");

  auto misaligned = Axi::create(0x43C10004, 0x10000);
  ASSERT_FALSE(misaligned);
  EXPECT_EQ(misaligned.error().message(), "Failed to mmap AXI: EINVAL: Invalid argument");
}

TEST_F(AxiTest, BulkReadThatCannotBeAllocatedFails) {
  // A window as large as the address space lets the length pass the bounds check.
  const std::size_t huge = static_cast<std::size_t>(PTRDIFF_MAX) + 1;
  auto axi = Axi::create(0, std::numeric_limits<std::size_t>::max() & ~std::size_t{0xFFF});
  ASSERT_TRUE(axi);
  auto r = axi->read_u8_buffer(0, huge);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), base::format("Failed to allocate {} bytes", huge));
}

// A window whose unmap fails, to see what destruction does about it.
struct FailingUnmapPlatform : driver::core::Platform {
  struct Window : driver::core::MemoryWindow {
    explicit Window(int* unmaps) : unmaps(unmaps) {}
    std::uint32_t load32(std::size_t) override { return 0; }
    void store32(std::size_t, std::uint32_t) override {}
    void copy_out(std::size_t, std::uint8_t*, std::size_t) override {}
    int unmap() override {
      ++*unmaps;
      return EINVAL;
    }
    int* unmaps;
  };
  std::expected<std::unique_ptr<driver::core::MemoryWindow>, driver::core::MapError> map(std::uint64_t,
                                                                                         std::size_t) override {
    return std::make_unique<Window>(&unmaps);
  }
  std::expected<std::unique_ptr<driver::core::GpioChip>, int> open_gpio_chip() override {
    return std::unexpected(ENODEV);
  }
  int unmaps = 0;
};

TEST(AxiRelease, FailedUnmapIsLoggedOncePerWindowAndNotReturned) {
  auto platform = std::make_shared<FailingUnmapPlatform>();
  driver::core::install_platform(platform);
  base::log::Capture capture;
  {
    auto a = Axi::create(0, 0x1000);
    auto b = Axi::create(0x1000, 0x1000);
    ASSERT_TRUE(a && b);
    Axi moved = std::move(*a);
    moved = std::move(*b);  // releases a's mapping
    EXPECT_EQ(platform->unmaps, 1);
  }
  EXPECT_EQ(platform->unmaps, 2);
  EXPECT_EQ(capture.messages("driver::core::axi"),
            (std::vector<std::string>{"Failed to unmap AXI memory", "Failed to unmap AXI memory"}));
  EXPECT_TRUE(capture.contains(base::log::Level::Error, "driver::core::axi", "Failed to unmap AXI memory"));
  driver::core::install_platform(nullptr);
}

}  // namespace

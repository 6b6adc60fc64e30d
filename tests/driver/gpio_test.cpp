// Gpio against the simulated chip, whose handles are real descriptors: line
// ownership, levels, error texts, and descriptor counts on every path.
#include "driver/core/gpio.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "base/log.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"

namespace {

using driver::core::Gpio;

struct Recorder : sim::LineListener {
  void on_line(std::uint32_t line, std::uint8_t value) override { seen.emplace_back(line, value); }
  std::vector<std::pair<std::uint32_t, std::uint8_t>> seen;
};

class GpioTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    fds_before_ = support::count_open_fds();
    recorder_ = std::make_shared<Recorder>();
    sim().add_line_listener(recorder_);
  }
  void TearDown() override { EXPECT_EQ(support::count_open_fds(), fds_before_) << "descriptor leaked"; }

  int fds_before_ = 0;
  std::shared_ptr<Recorder> recorder_;
};

TEST_F(GpioTest, LinesAreGrantedLowAndFollowWrites) {
  auto gpio = Gpio::create();
  ASSERT_TRUE(gpio);
  auto scl = gpio->set_output(12);
  ASSERT_TRUE(scl);
  EXPECT_TRUE(sim().line_held(12));
  EXPECT_EQ(sim().line_level(12), 0);
  ASSERT_TRUE(gpio->write(*scl, 1));
  EXPECT_EQ(sim().line_level(12), 1);
  ASSERT_TRUE(gpio->write(*scl, 0));
  EXPECT_EQ(sim().gpio_writes(), 2u);
  EXPECT_EQ(gpio->close_handle(*scl), 0);
  EXPECT_FALSE(sim().line_held(12));
  using Seen = std::vector<std::pair<std::uint32_t, std::uint8_t>>;
  EXPECT_EQ(recorder_->seen, (Seen{{12, 0}, {12, 1}, {12, 0}}));
}

TEST_F(GpioTest, AFreshLineReadsLowWhateverItWasBefore) {
  auto gpio = Gpio::create();
  ASSERT_TRUE(gpio);
  int handle = gpio->set_output(13).value();
  ASSERT_TRUE(gpio->write(handle, 1));
  EXPECT_EQ(gpio->close_handle(handle), 0);
  EXPECT_EQ(sim().line_level(13), 1);
  handle = gpio->set_output(13).value();
  EXPECT_EQ(sim().line_level(13), 0);
  EXPECT_EQ(recorder_->seen.back(), (std::pair<std::uint32_t, std::uint8_t>{13, 0}));
  EXPECT_EQ(gpio->close_handle(handle), 0);
}

TEST_F(GpioTest, HeldLinesAreBusyAndTheChipStaysUsable) {
  auto gpio = Gpio::create();
  ASSERT_TRUE(gpio);
  sim().hold_line(12);
  auto busy = gpio->set_output(12);
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error().message(), "Failed to set GPIO as output:Device or resource busy");

  auto sda = gpio->set_output(13);
  ASSERT_TRUE(sda);
  auto second = gpio->set_output(13);  // our own handle holds it just the same
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message(), "Failed to set GPIO as output:Device or resource busy");
  EXPECT_EQ(gpio->close_handle(*sda), 0);

  sim().release_line(12);
  auto scl = gpio->set_output(12);
  ASSERT_TRUE(scl);
  EXPECT_EQ(gpio->close_handle(*scl), 0);
}

TEST_F(GpioTest, WritingThroughAClosedHandleFails) {
  auto gpio = Gpio::create();
  ASSERT_TRUE(gpio);
  int handle = gpio->set_output(12).value();
  EXPECT_EQ(support::count_open_fds(), fds_before_ + 2);
  EXPECT_EQ(gpio->close_handle(handle), 0);
  EXPECT_EQ(support::count_open_fds(), fds_before_ + 1);
  auto w = gpio->write(handle, 1);
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().message(), base::format("Failed to write GPIO for pin_fd {}:Bad file descriptor", handle));
  EXPECT_EQ(gpio->close_handle(handle), EBADF);
  EXPECT_EQ(sim().gpio_writes(), 0u);
}

TEST_F(GpioTest, ARefusedChipGivesTheOpenText) {
  sim().refuse_gpio_chip(EACCES);
  auto gpio = Gpio::create();
  ASSERT_FALSE(gpio);
  EXPECT_EQ(gpio.error().message(), "Failed to open GPIO chip:Permission denied");
}

// A chip whose descriptor will not close, to see what destruction does about it.
struct StuckChipPlatform : driver::core::Platform {
  struct Chip : driver::core::GpioChip {
    std::expected<int, int> request_output(std::uint32_t) override { return std::unexpected(EBUSY); }
    std::expected<void, int> set_value(int, std::uint8_t) override { return {}; }
    int close_handle(int) override { return 0; }
    int close() override { return EIO; }
  };
  std::expected<std::unique_ptr<driver::core::MemoryWindow>, driver::core::MapError> map(std::uint64_t,
                                                                                         std::size_t) override {
    return std::unexpected(driver::core::MapError{driver::core::MapError::Stage::Open, ENOENT});
  }
  std::expected<std::unique_ptr<driver::core::GpioChip>, int> open_gpio_chip() override {
    return std::make_unique<Chip>();
  }
};

TEST(GpioRelease, AChipThatWillNotCloseIsLoggedOnce) {
  driver::core::install_platform(std::make_shared<StuckChipPlatform>());
  base::log::Capture capture;
  {
    auto gpio = Gpio::create();
    ASSERT_TRUE(gpio);
    Gpio moved = std::move(*gpio);
  }
  EXPECT_EQ(capture.messages("driver::core::gpio"), std::vector<std::string>{"Failed to close gpio fd"});
  EXPECT_TRUE(capture.contains(base::log::Level::Error, "driver::core::gpio", "Failed to close gpio fd"));
  driver::core::install_platform(nullptr);
}

}  // namespace

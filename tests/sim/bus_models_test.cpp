// The bus controller models through raw register accesses to the power block: how
// long transfers keep them busy, what the target devices answer, reset, enable,
// queued starts and the trigger into the capture core.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "sim/capture.h"
#include "sim/i2c_ctrl.h"
#include "sim/spi_ctrl.h"
#include "sim/uart_ctrl.h"
#include "support/sim_fixture.h"
#include "support/target_power.h"

namespace {

using sim::I2cCtrl;
using sim::SpiCtrl;
using sim::UartCtrl;
using std::chrono::nanoseconds;

class BusModelsTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    support::power_target(sim());
  }
  sim::PowerBus& power() { return *sim().model_at<sim::PowerBus>(sim::PowerBus::BASE); }
  sim::CaptureCore& capture() { return *sim().model_at<sim::CaptureCore>(sim::CaptureCore::BASE); }
  SpiCtrl& spi() { return *sim::bus_controller<SpiCtrl>(sim(), 0x80); }
  I2cCtrl& i2c() { return *sim::bus_controller<I2cCtrl>(sim(), 0xC0); }
  UartCtrl& uart() { return *sim::bus_controller<UartCtrl>(sim(), 0x40); }

  void spi_start(std::uint32_t rx_len, std::initializer_list<std::uint8_t> tx, std::uint32_t control = 1) {
    power().write(SpiCtrl::TX_LEN_OFFSET, static_cast<std::uint32_t>(tx.size()));
    power().write(SpiCtrl::RX_LEN_OFFSET, rx_len);
    for (auto b : tx) power().write(SpiCtrl::TX_OFFSET, b);
    power().write(SpiCtrl::CTL_OFFSET, control);
  }
  // One I2C transaction of write segments and read segments, in table order.
  void i2c_start(std::uint32_t segments, std::uint32_t reads, std::initializer_list<std::uint32_t> lens,
                 std::initializer_list<std::uint8_t> tx, std::uint32_t control = 1) {
    power().write(I2cCtrl::TSF_OFFSET, (segments << 4) + (reads << 12));
    std::size_t i = 0;
    for (auto len : lens) power().write(I2cCtrl::TSF_LEN_OFFSET + 4 * i++, len);
    for (auto b : tx) power().write(I2cCtrl::TX_OFFSET, b);
    power().write(I2cCtrl::CTL_OFFSET, control);
  }
  std::vector<std::uint32_t> drain(sim::BusCtrl& model, std::size_t rx_offset, std::size_t n) {
    while (model.busy()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(power().read(rx_offset));
    return out;
  }
  static nanoseconds length(const sim::BusCtrl::Transfer& t) {
    return std::chrono::duration_cast<nanoseconds>(t.end - t.start);
  }
};

TEST_F(BusModelsTest, SpiEchoesWhatItReceivedAndTakesLongerWithThePrescaler) {
  power().write(SpiCtrl::ENABLE_OFFSET, 1);
  spi_start(7, {1, 2, 3});
  EXPECT_EQ(drain(spi(), SpiCtrl::RX_OFFSET, 8),
            (std::vector<std::uint32_t>{0x101, 0x102, 0x103, 0x101, 0x102, 0x103, 0x101, 0}));
  // Nothing sent, or a FIFO that ran dry: the line idles high.
  spi_start(2, {});
  EXPECT_EQ(drain(spi(), SpiCtrl::RX_OFFSET, 2), (std::vector<std::uint32_t>{0x1FF, 0x1FF}));
  power().write(SpiCtrl::TX_LEN_OFFSET, 2);
  power().write(SpiCtrl::RX_LEN_OFFSET, 2);
  power().write(SpiCtrl::TX_OFFSET, 0x42);
  power().write(SpiCtrl::CTL_OFFSET, 1);
  EXPECT_EQ(drain(spi(), SpiCtrl::RX_OFFSET, 2), (std::vector<std::uint32_t>{0x142, 0x1FF}));

  // Eight clocks a byte, 20 ns x (psc + 1) a clock, plus the delay when bit 2 asks.
  power().write(SpiCtrl::CONFIG_OFFSET, 9 << 8);
  spi_start(7, {1, 2, 3});
  drain(spi(), SpiCtrl::RX_OFFSET, 7);
  // About ten seconds at the slowest clock; a start meanwhile queues behind it.
  power().write(SpiCtrl::CONFIG_OFFSET, 0xFFFF << 8);
  spi_start(1000, {});
  power().write(SpiCtrl::DELAY_OFFSET, 1000);
  spi_start(7, {1, 2, 3}, 5);
  const auto t = spi().transfers();
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(length(t[0]), nanoseconds(10 * 8 * 20));
  EXPECT_EQ(length(t[3]), nanoseconds(10 * 8 * 10 * 20));
  EXPECT_EQ(length(t[4]), nanoseconds(1000LL * 8 * 65536 * 20));
  EXPECT_EQ(length(t[5]), nanoseconds(10LL * 8 * 65536 * 20 + 1000 * 20));
  EXPECT_EQ(t[5].start, t[4].end);
  EXPECT_EQ(spi().starts_while_busy(), 1u);
  power().write(SpiCtrl::RESET_OFFSET, 1);
  EXPECT_FALSE(spi().busy());
}

TEST_F(BusModelsTest, ControllersHonourEnableResetAndTheirKnobs) {
  // Disabled: a start is ignored.
  spi_start(1, {7});
  EXPECT_TRUE(spi().transfers().empty());
  EXPECT_EQ(power().read(SpiCtrl::RX_OFFSET), 0u);
  EXPECT_EQ(spi().tx_waiting(), 1u);  // the FIFO took the byte all the same

  power().write(SpiCtrl::ENABLE_OFFSET, 1);
  power().write(SpiCtrl::CONFIG_OFFSET, 0xFFFF03);
  spi_start(200, {1, 2});  // about 1.1 s at the slowest clock
  EXPECT_EQ(power().read(SpiCtrl::STATUS_OFFSET), 1u);
  EXPECT_EQ(power().read(SpiCtrl::RX_OFFSET), 0u);  // bytes come in at the end
  power().write(SpiCtrl::TX_OFFSET, 9);
  EXPECT_EQ(spi().tx_waiting(), 2u);  // 7 went out first, then 1; 2 and 9 wait
  // Reset aborts the transfer and empties the FIFOs; enable and configuration stay.
  power().write(SpiCtrl::RESET_OFFSET, 1);
  EXPECT_EQ(power().read(SpiCtrl::RESET_OFFSET), 0u);
  EXPECT_EQ(power().read(SpiCtrl::STATUS_OFFSET), 0u);
  EXPECT_EQ(spi().tx_waiting(), 0u);
  EXPECT_EQ(spi().rx_waiting(), 0u);
  EXPECT_EQ(power().read(SpiCtrl::ENABLE_OFFSET), 1u);
  EXPECT_EQ(power().read(SpiCtrl::CONFIG_OFFSET), 0xFFFF03u);

  spi().stick(SpiCtrl::CONFIG_OFFSET, 0);
  power().write(SpiCtrl::CONFIG_OFFSET, 0x100);
  EXPECT_EQ(power().read(SpiCtrl::CONFIG_OFFSET), 0u);
  EXPECT_EQ(spi().config(), 0x100u);  // the write still acted
  spi().stick(SpiCtrl::CONFIG_OFFSET, std::nullopt);
  EXPECT_EQ(power().read(SpiCtrl::CONFIG_OFFSET), 0x100u);

  spi().set_hang(true);
  EXPECT_EQ(power().read(SpiCtrl::STATUS_OFFSET), 1u);
  spi().set_hang(false);
  EXPECT_EQ(power().read(SpiCtrl::STATUS_OFFSET), 0u);

  spi().fail_next_start();
  EXPECT_THROW(spi_start(1, {1}), std::runtime_error);
  power().write(SpiCtrl::RESET_OFFSET, 1);  // the failed start left its byte behind
  spi_start(1, {5});  // only the next start fails
  EXPECT_EQ(drain(spi(), SpiCtrl::RX_OFFSET, 1), (std::vector<std::uint32_t>{0x105}));
}

TEST_F(BusModelsTest, I2cMemoryDeviceKeepsAWrappingPointer) {
  power().write(I2cCtrl::ENABLE_OFFSET, 1);
  power().write(I2cCtrl::CONFIG_OFFSET, (0x50 << 8) | 0);
  // Pointer 0xFE, four bytes stored across the wrap.
  i2c_start(1, 0, {5}, {0xFE, 0xA0, 0xA1, 0xA2, 0xA3});
  auto memory = i2c().device_memory();
  EXPECT_EQ(memory[0xFE], 0xA0);
  EXPECT_EQ(memory[0xFF], 0xA1);
  EXPECT_EQ(memory[0x00], 0xA2);
  EXPECT_EQ(memory[0x01], 0xA3);
  EXPECT_EQ(i2c().device_pointer(), 0x02);
  // Pointer 0xFF, then one read segment of three.
  i2c_start(2, 0b10, {1, 3}, {0xFF});
  EXPECT_EQ(drain(i2c(), I2cCtrl::RX_OFFSET, 3), (std::vector<std::uint32_t>{0x1A1, 0x1A2, 0x1A3}));
  // A read without a write continues from where the pointer stands.
  i2c_start(1, 1, {1}, {});
  EXPECT_EQ(drain(i2c(), I2cCtrl::RX_OFFSET, 1), (std::vector<std::uint32_t>{0x100}));
  // Segments past tsf1 + tsf2 do not run.
  i2c_start(1, 0b10, {1, 4}, {0x00});
  EXPECT_EQ(i2c().device_pointer(), 0x00);
  EXPECT_EQ(power().read(I2cCtrl::RX_OFFSET), 0u);

  // Nobody at 0x51: reads float high and nothing is stored.
  power().write(I2cCtrl::CONFIG_OFFSET, (0x51 << 8) | 1);
  i2c_start(2, 0b10, {2, 2}, {0x00, 0x77}, 3);
  EXPECT_EQ(drain(i2c(), I2cCtrl::RX_OFFSET, 2), (std::vector<std::uint32_t>{0x1FF, 0x1FF}));
  EXPECT_EQ(i2c().device_memory(), memory);

  // A start, the address and nine clocks a byte per segment, one stop: 57 bits.
  const auto t = i2c().transfers();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(length(t[1]), nanoseconds((1 + 10 + 9 + 10 + 3 * 9) * 10'000));  // 100 kHz
  EXPECT_EQ(length(t[4]), nanoseconds((1 + 2 * 10 + 4 * 9) * 2'500));  // 400 kHz
  EXPECT_TRUE(t[4].target_received.empty());
  EXPECT_EQ(t[0].target_received, (std::vector<std::uint8_t>{0xFE, 0xA0, 0xA1, 0xA2, 0xA3}));
}

TEST_F(BusModelsTest, UartBytesComeBackAtTheBaudRateAndResetForgetsThem) {
  power().write(UartCtrl::ENABLE_OFFSET, 1);
  power().write(UartCtrl::CONFIG_OFFSET, 0x800);  // 9600: about 1.04 ms a byte
  power().write(UartCtrl::TX_LEN_OFFSET, 200);
  for (int i = 0; i < 200; ++i) power().write(UartCtrl::TX_DATA_OFFSET, static_cast<std::uint32_t>(i));
  power().write(UartCtrl::CTL_OFFSET, 3);
  const std::uint32_t status = power().read(UartCtrl::STATUS_OFFSET);
  EXPECT_EQ(status & 0xFFFF, 1u);
  EXPECT_LT(status >> 16, 200u);
  const auto t = uart().transfers();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(length(t[0]), 200 * std::chrono::duration_cast<nanoseconds>(nanoseconds(10'000'000'000 / 9600)));
  // Reset mid-way: what arrived and what is still on its way are gone.
  power().write(UartCtrl::RESET_OFFSET, 1);
  std::this_thread::sleep_until(t[0].end + std::chrono::milliseconds(5));
  EXPECT_EQ(power().read(UartCtrl::STATUS_OFFSET), 0u);

  // At 115200 the echo is all there shortly after the sending ends.
  power().write(UartCtrl::CONFIG_OFFSET, 0x804);
  power().write(UartCtrl::TX_LEN_OFFSET, 3);
  for (std::uint32_t b : {7, 8, 9}) power().write(UartCtrl::TX_DATA_OFFSET, b);
  power().write(UartCtrl::CTL_OFFSET, 3);
  std::this_thread::sleep_until(uart().transfers().back().end + std::chrono::milliseconds(1));
  EXPECT_EQ(power().read(UartCtrl::STATUS_OFFSET), 3u << 16);
  EXPECT_EQ(drain(uart(), UartCtrl::RX_DATA_OFFSET, 3), (std::vector<std::uint32_t>{0x107, 0x108, 0x109}));
}

TEST_F(BusModelsTest, UartFrameSetsTheByteTimeAndMasksTheData) {
  power().write(UartCtrl::ENABLE_OFFSET, 1);
  auto send = [&](std::uint32_t config) {
    power().write(UartCtrl::CONFIG_OFFSET, config);
    power().write(UartCtrl::TX_LEN_OFFSET, 2);
    for (std::uint32_t b : {0xFF, 0xA5}) power().write(UartCtrl::TX_DATA_OFFSET, b);
    power().write(UartCtrl::CTL_OFFSET, 3);
    return length(uart().transfers().back()) / 2;
  };
  EXPECT_EQ(send(0x804), nanoseconds(10 * 1'000'000'000LL / 115200));  // 8N1
  EXPECT_EQ(send(0x12704), nanoseconds(21 * 1'000'000'000LL / (2 * 115200)));  // 7E1.5
  EXPECT_EQ(send(0x23504), nanoseconds(18 * 1'000'000'000LL / (2 * 115200)));  // 5 data, mark, 2 stop
  power().write(UartCtrl::RESET_OFFSET, 1);
  send(0x504);  // 5N1: only the low five bits reach the device
  std::this_thread::sleep_until(uart().transfers().back().end + std::chrono::milliseconds(1));
  EXPECT_EQ(drain(uart(), UartCtrl::RX_DATA_OFFSET, 2), (std::vector<std::uint32_t>{0x11F, 0x105}));
}

TEST_F(BusModelsTest, TriggerBitsCaptureAPulsePerReceivedByte) {
  for (std::size_t offset : {SpiCtrl::ENABLE_OFFSET, I2cCtrl::ENABLE_OFFSET, UartCtrl::ENABLE_OFFSET})
    power().write(offset, 1);
  power().write(I2cCtrl::CONFIG_OFFSET, 0x50 << 8);
  capture().write(sim::CaptureCore::SAMPLE_LENGTH_OFFSET, 1024);
  auto b_sample = [&](std::size_t i) {
    const std::uint32_t word = sim().block_at(sim::SampleMemory::B_BASE)->read(2 * i & ~std::size_t{3});
    return static_cast<std::int16_t>(word >> (i % 2 ? 16 : 0));
  };
  auto arm = [&] {
    capture().write(sim::CaptureCore::SINGLE_OFFSET, 0);
    capture().write(sim::CaptureCore::SINGLE_OFFSET, 1);
  };
  const std::size_t first = sim::BYTE_CYCLES * 12;  // the first byte's draw, at 12 samples a cycle

  // Untriggered starts leave an armed capture waiting: SPI and I2C without bit 1,
  // the UART with it.
  arm();
  spi_start(0, {0xFF});
  i2c_start(1, 0, {2}, {0x00, 0xFF});
  power().write(UartCtrl::TX_LEN_OFFSET, 1);
  power().write(UartCtrl::TX_DATA_OFFSET, 0xFF);
  power().write(UartCtrl::CTL_OFFSET, 3);
  EXPECT_EQ(capture().status(), sim::CaptureCore::STATUS_ARMED);

  spi_start(0, {0x00}, 3);
  ASSERT_TRUE(support::wait_complete(capture()));
  const std::int16_t quiet = b_sample(first);
  arm();
  i2c_start(1, 0, {2}, {0x10, 0xFF}, 3);
  ASSERT_TRUE(support::wait_complete(capture()));
  // The pointer byte reached the device first, then 0xFF: one bit, then eight.
  EXPECT_GT(b_sample(first), quiet);
  EXPECT_EQ(i2c().transfers().back().target_received, (std::vector<std::uint8_t>{0x10, 0xFF}));
  arm();
  power().write(UartCtrl::TX_LEN_OFFSET, 1);
  power().write(UartCtrl::TX_DATA_OFFSET, 0xFF);
  power().write(UartCtrl::CTL_OFFSET, 1);
  ASSERT_TRUE(support::wait_complete(capture()));
  EXPECT_GT(b_sample(first), quiet + 5000);
  EXPECT_EQ(capture().captures(), 3u);
}

}  // namespace

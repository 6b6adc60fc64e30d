// The SPI, I2C and UART operations of Hw against the simulated controllers: the
// register sequences, read-backs, completion loops, log lines and the bus locks.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/log.h"
#include "driver/module/hw.h"
#include "sim/i2c_ctrl.h"
#include "sim/spi_ctrl.h"
#include "sim/uart_ctrl.h"
#include "support/sim_fixture.h"
#include "support/target_power.h"

namespace {

using driver::module::hw::Hw;
using protocol::ProtocolError;
using protocol::packet::server::I2cConfig;
using protocol::packet::server::I2cTransceive;
using protocol::packet::server::SpiConfig;
using protocol::packet::server::SpiTransceive;
using protocol::packet::server::UartConfig;
using protocol::packet::server::UartTransceive;
using sim::rd;
using sim::wr;
using Accesses = std::vector<sim::Access>;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr std::string_view SPI_TARGET = "driver::module::hw::spi";
constexpr std::string_view I2C_TARGET = "driver::module::hw::i2c";
constexpr std::string_view UART_TARGET = "driver::module::hw::uart";

class HwBusTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    saved_ = base::log::threshold();
    base::log::set_threshold(base::log::Level::Trace);
    auto hw = Hw::create();
    ASSERT_TRUE(hw) << hw.error().describe();
    hw_.emplace(std::move(*hw));
  }
  void TearDown() override { base::log::set_threshold(saved_); }

  sim::PowerBus& power() { return *sim().model_at<sim::PowerBus>(sim::PowerBus::BASE); }
  sim::SpiCtrl& spi() { return *sim::bus_controller<sim::SpiCtrl>(sim(), 0x80); }
  sim::I2cCtrl& i2c() { return *sim::bus_controller<sim::I2cCtrl>(sim(), 0xC0); }
  sim::UartCtrl& uart() { return *sim::bus_controller<sim::UartCtrl>(sim(), 0x40); }

  // Enables the controllers and powers the target behind the driver's back, so
  // that transfers run and the devices answer.
  void enable_all() {
    for (std::size_t offset : {0x44, 0x84, 0xC4}) power().write(offset, 1);
    support::power_target(sim());
    power().clear_accesses();
  }

  std::optional<Hw> hw_;
  base::log::Level saved_{};
};

// Splits a transfer's accesses after the control word and checks that what follows
// is the completion loop (status reads, the last one idle) and then the FIFO reads.
struct Tail {
  std::size_t status_reads = 0;
  Accesses rest;
};
Tail after_start(const Accesses& all, std::size_t prefix, std::uint32_t status_offset) {
  Tail tail;
  std::size_t i = prefix;
  while (i < all.size() && all[i].op == sim::Access::Op::Read && all[i].offset == status_offset) {
    ++tail.status_reads;
    ++i;
  }
  tail.rest.assign(all.begin() + static_cast<std::ptrdiff_t>(i), all.end());
  return tail;
}

TEST_F(HwBusTest, EnableAndResetFollowOneSequenceOnEveryBus) {
  struct Bus {
    std::string_view target;
    std::function<base::Result<void>(std::uint8_t)> enable;
    std::function<base::Result<void>()> reset;
    sim::BusCtrl* model;
    std::uint32_t enable_offset, reset_offset;
    std::string name, upper, reset_line;
  };
  const std::vector<Bus> buses{
      {SPI_TARGET, [&](std::uint8_t v) { return hw_->spi_enable(v); }, [&] { return hw_->spi_reset(); }, &spi(),
       0x84, 0x88, "spi", "SPI", "SPI reset"},
      {I2C_TARGET, [&](std::uint8_t v) { return hw_->i2c_enable(v); }, [&] { return hw_->i2c_reset(); }, &i2c(),
       0xC4, 0xC8, "i2c", "I2C", "I2C reset"},
      {UART_TARGET, [&](std::uint8_t v) { return hw_->uart_enable(v); }, [&] { return hw_->uart_reset(); },
       &uart(), 0x44, 0x48, "uart", "UART", "Uart reset"},
  };
  for (const Bus& bus : buses) {
    SCOPED_TRACE(bus.name);
    const std::uint32_t en = bus.enable_offset, rst = bus.reset_offset;
    base::log::Capture log;
    power().clear_accesses();

    // Enabling: write, read back, 5 ms, reset without read-back.
    const auto before = Clock::now();
    ASSERT_TRUE(bus.enable(1));
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(5));
    EXPECT_TRUE(bus.model->enabled());
    EXPECT_EQ(bus.model->resets(), 1u);
    // Any value but 1 disables.
    ASSERT_TRUE(bus.enable(7));
    EXPECT_FALSE(bus.model->enabled());
    ASSERT_TRUE(bus.reset());
    EXPECT_EQ(power().accesses(), (Accesses{wr(en, 1), rd(en, 1), wr(rst, 1), wr(en, 0), rd(en, 0), wr(rst, 1),
                                            wr(rst, 1), rd(rst, 0)}));
    EXPECT_EQ(log.messages(bus.target),
              (Lines{"Starting " + bus.name + "_enable with enable: 1", "Enabling " + bus.upper, bus.reset_line,
                     "Starting " + bus.name + "_enable with enable: 7", "Disabling " + bus.upper, bus.reset_line,
                     "Resetting " + bus.upper}));

    // A register that does not read back: no sleep, no reset.
    power().clear_accesses();
    bus.model->stick(en, 0);
    auto on = bus.enable(1);
    ASSERT_FALSE(on);
    EXPECT_EQ(on.error().message(), "Failed to enable " + bus.name);
    bus.model->stick(en, 1);
    auto off = bus.enable(0);
    ASSERT_FALSE(off);
    EXPECT_EQ(off.error().message(), "Failed to disable " + bus.name);
    EXPECT_EQ(power().accesses(), (Accesses{wr(en, 1), rd(en, 0), wr(en, 0), rd(en, 1)}));
    bus.model->stick(en, std::nullopt);

    // A reset that is not taken is read back at once and refused.
    power().clear_accesses();
    bus.model->stick(rst, 1);
    auto reset = bus.reset();
    ASSERT_FALSE(reset);
    EXPECT_EQ(reset.error().message(), "Failed to reset " + bus.name);
    EXPECT_EQ(power().accesses(), (Accesses{wr(rst, 1), rd(rst, 1)}));
    bus.model->stick(rst, std::nullopt);
  }
}

TEST_F(HwBusTest, ConfigurationWordsAreWrittenAndReadBack) {
  base::log::Capture log;
  ASSERT_TRUE(hw_->spi_config(SpiConfig{.psc = 4, .cpol = 1, .cpha = 1}));
  ASSERT_TRUE(hw_->spi_config(SpiConfig{.psc = 0, .cpol = 0, .cpha = 0}));
  ASSERT_TRUE(hw_->spi_config(SpiConfig{.psc = 0xFFFF, .cpol = 0, .cpha = 1}));
  ASSERT_TRUE(hw_->i2c_config(I2cConfig{.addr = 0x50, .speed = 1}));
  ASSERT_TRUE(hw_->uart_config(UartConfig{.stop_bits = 0, .parity = 0, .bytesize = 8, .baudrate = 115200}));
  ASSERT_TRUE(hw_->uart_config(UartConfig{.stop_bits = 1, .parity = 2, .bytesize = 7, .baudrate = 9600}));
  EXPECT_EQ(power().accesses(),
            (Accesses{wr(0x8C, 0x403), rd(0x8C, 0x403), wr(0x8C, 0), rd(0x8C, 0), wr(0x8C, 0xFFFF01),
                      rd(0x8C, 0xFFFF01), wr(0xCC, 0x5001), rd(0xCC, 0x5001), wr(0x4C, 0x804), rd(0x4C, 0x804),
                      wr(0x4C, 0x12700), rd(0x4C, 0x12700)}));
  EXPECT_EQ(log.messages(SPI_TARGET)[0], "Configuring SPI with config: SpiConfig { psc: 4, cpol: 1, cpha: 1 }");
  EXPECT_EQ(log.messages(I2C_TARGET), (Lines{"Configuring I2C with: I2cConfig { addr: 80, speed: 1 }"}));
  EXPECT_EQ(log.messages(UART_TARGET), (Lines{"Configuring UART", "Caculated register value: 2052",
                                              "Configuring UART", "Caculated register value: 75520"}));

  // Rates outside the table are refused before any register is touched.
  power().clear_accesses();
  for (std::uint32_t rate : {4800u, 230400u}) {
    auto r = hw_->uart_config(UartConfig{.stop_bits = 0, .parity = 0, .bytesize = 8, .baudrate = rate});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Unsupported baudrate: " + std::to_string(rate));
  }
  EXPECT_TRUE(power().accesses().empty());

  spi().stick(0x8C, 0);
  i2c().stick(0xCC, 0);
  uart().stick(0x4C, 0);
  auto s = hw_->spi_config(SpiConfig{.psc = 1, .cpol = 0, .cpha = 0});
  auto i = hw_->i2c_config(I2cConfig{.addr = 1, .speed = 0});
  auto u = hw_->uart_config(UartConfig{.stop_bits = 0, .parity = 0, .bytesize = 8, .baudrate = 9600});
  ASSERT_FALSE(s);
  ASSERT_FALSE(i);
  ASSERT_FALSE(u);
  EXPECT_EQ(s.error().message(), "Failed to configure SPI");
  EXPECT_EQ(i.error().message(), "Failed to configure i2c");
  EXPECT_EQ(u.error().message(), "Failed to configure UART");
}

TEST_F(HwBusTest, ATransferWaitsAndPollsAsItsCallerAsks) {
  enable_all();
  power().write(0x8C, 3999u << 8);  // 80 us a bit: 32 bytes take 20.48 ms
  auto status_reads = [&](driver::module::Polling polling) {
    power().clear_accesses();
    auto got = hw_->spi_transceive(
        SpiTransceive{.is_delay = 0, .delay = 0, .rx_len = 16, .is_trigger = 0, .tx_data = base::Bytes(16, 0x5A)},
        polling);
    EXPECT_EQ(got.value_or(base::Bytes{}), base::Bytes(16, 0x5A));
    const Tail tail = after_start(power().accesses(), 19, 0x80);  // counts, 16 bytes, control word
    EXPECT_EQ(tail.rest.size(), 16u) << "the status reads come straight after the control word";
    return tail.status_reads;
  };
  using std::chrono::microseconds;
  const std::size_t single = status_reads({});
  const std::size_t fine = status_reads({.first = microseconds{0}, .interval = microseconds{20}});
  // Waiting out more than the transfer takes leaves one read, which finds it done.
  const std::size_t waited = status_reads({.first = microseconds{25000}, .interval = microseconds{20}});
  EXPECT_LE(single, 24u) << "1 ms steps";
  EXPECT_GE(fine, 50u) << "20 us steps";
  EXPECT_EQ(waited, 1u);
}

TEST_F(HwBusTest, SpiTransferLoadsCountsBytesDelayThenControlAndUnloadsTheEcho) {
  enable_all();
  base::log::Capture log;
  auto got = hw_->spi_transceive(
      SpiTransceive{.is_delay = 1, .delay = 500, .rx_len = 5, .is_trigger = 1, .tx_data = {0xA1, 0xB2, 0xC3}});
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (base::Bytes{0xA1, 0xB2, 0xC3, 0xA1, 0xB2}));
  const Accesses all = power().accesses();
  const Accesses start{wr(0x94, 3), wr(0x98, 5), wr(0x9C, 0xA1), wr(0x9C, 0xB2), wr(0x9C, 0xC3), wr(0xA4, 500),
                       wr(0x90, 7)};
  ASSERT_GE(all.size(), start.size());
  EXPECT_EQ(Accesses(all.begin(), all.begin() + 7), start);
  const Tail tail = after_start(all, start.size(), 0x80);
  ASSERT_GE(tail.status_reads, 1u);
  EXPECT_EQ(all[start.size() + tail.status_reads - 1], rd(0x80, 0));
  // The FIFO's valid flag above bit 7 does not reach the bytes.
  EXPECT_EQ(tail.rest, (Accesses{rd(0xA0, 0x1A1), rd(0xA0, 0x1B2), rd(0xA0, 0x1C3), rd(0xA0, 0x1A1),
                                 rd(0xA0, 0x1B2)}));
  EXPECT_EQ(log.messages(SPI_TARGET),
            (Lines{"Waiting for spi lock", "Starting to write data to SPI_TX_OFFSET",
                   "Finished writing data to SPI_TX_OFFSET", "Wrote SPI_DELAY_OFFSET with value: 500",
                   "Calculated SPI control value: 7", "Starting SPI transfer", "SPI transfer completed"}));

  // Without delay and trigger: no delay write (whatever `delay` holds), control 1.
  power().clear_accesses();
  got = hw_->spi_transceive(SpiTransceive{.is_delay = 0, .delay = 500, .rx_len = 1, .is_trigger = 0, .tx_data = {9}});
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (base::Bytes{9}));
  const Accesses plain = power().accesses();
  EXPECT_EQ(Accesses(plain.begin(), plain.begin() + 4), (Accesses{wr(0x94, 1), wr(0x98, 1), wr(0x9C, 9), wr(0x90, 1)}));
  EXPECT_EQ(plain.back(), rd(0xA0, 0x109));

  // Write-only and empty transfers still load both counts and the control word, and
  // never read the status.
  power().clear_accesses();
  log.clear();
  got = hw_->spi_transceive(SpiTransceive{.is_delay = 0, .delay = 0, .rx_len = 0, .is_trigger = 1, .tx_data = {1, 2}});
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  got = hw_->spi_transceive(SpiTransceive{});
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x94, 2), wr(0x98, 0), wr(0x9C, 1), wr(0x9C, 2), wr(0x90, 3),
                                          wr(0x94, 0), wr(0x98, 0), wr(0x90, 1)}));
  EXPECT_EQ(log.messages(SPI_TARGET).back(), "Calculated SPI control value: 1");
}

TEST_F(HwBusTest, I2cLayoutWordIsASumAndTheReadLengthComesFromReadSegments) {
  enable_all();
  ASSERT_TRUE(hw_->i2c_config(I2cConfig{.addr = 0x50, .speed = 4}));
  power().clear_accesses();
  base::log::Capture log;
  // Write two bytes, read one, write one: only segment 1 comes back.
  auto got = hw_->i2c_transceive(I2cTransceive{.is_delay = 1, .delay = 500, .tsf1_count = 2, .tsf2_count = 1,
                                               .tsf_rw = 2, .tsf_lens = {2, 1, 1}, .is_trigger = 1,
                                               .tx_data = {0x10, 0xAA, 0xBB}});
  ASSERT_TRUE(got);
  const Accesses all = power().accesses();
  const Accesses start{wr(0x100, 500), wr(0xD4, 0x2121), wr(0xD8, 2), wr(0xDC, 1), wr(0xE0, 1), wr(0xE4, 0),
                       wr(0xE8, 0), wr(0xEC, 0), wr(0xF0, 0), wr(0xF4, 0), wr(0xF8, 0x10), wr(0xF8, 0xAA),
                       wr(0xF8, 0xBB), wr(0xD0, 3)};
  ASSERT_GE(all.size(), start.size());
  EXPECT_EQ(Accesses(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(start.size())), start);
  const Tail tail = after_start(all, start.size(), 0xC0);
  ASSERT_GE(tail.status_reads, 1u);
  EXPECT_EQ(tail.rest.size(), 1u);  // segment 1 reads one byte
  EXPECT_EQ(got->size(), 1u);
  EXPECT_EQ(log.messages(I2C_TARGET),
            (Lines{"Waiting for i2c lock", "Wrote I2C_DELAY_OFFSET with value: 500", "Calculated I2C control value: 3",
                   "Wrote I2C_CTL_OFFSET with value: 3", "Starting I2C transfer", "I2C transfer completed"}));

  // No delay: the delay register is left alone and bit 0 is clear. Nothing to read:
  // the control word is the last access.
  power().clear_accesses();
  got = hw_->i2c_transceive(I2cTransceive{.is_delay = 0, .delay = 9, .tsf1_count = 1, .tsf2_count = 0, .tsf_rw = 0,
                                          .tsf_lens = {1}, .is_trigger = 0, .tx_data = {0x20}});
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  Accesses expected{wr(0xD4, 0x10)};
  for (std::uint32_t i = 0; i < 8; ++i) expected.push_back(wr(0xD8 + 4 * i, i == 0 ? 1 : 0));
  expected.push_back(wr(0xF8, 0x20));
  expected.push_back(wr(0xD0, 1));
  EXPECT_EQ(power().accesses(), expected);

  // A count above 15 carries into the next field.
  power().clear_accesses();
  ASSERT_TRUE(hw_->i2c_transceive(I2cTransceive{.tsf1_count = 16, .tx_data = {}}));
  EXPECT_EQ(power().accesses().front(), wr(0xD4, 0x100));

  // Segments 0 and 7 read: 2 + 3 bytes, from the pointer set above.
  power().clear_accesses();
  got = hw_->i2c_transceive(
      I2cTransceive{.tsf1_count = 8, .tsf_rw = 0x81, .tsf_lens = {2, 9, 9, 9, 9, 9, 9, 3}, .tx_data = {}});
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 5u);
  const Accesses reads = power().accesses();
  const Tail rest = after_start(reads, 10, 0xC0);
  EXPECT_EQ(rest.rest.size(), 5u);
  for (const auto& a : rest.rest) EXPECT_EQ(a.offset, 0xFCu);
}

TEST_F(HwBusTest, UartWaitsForIdleAndEnoughBytesAndLeavesTheRestInTheFifo) {
  enable_all();
  ASSERT_TRUE(hw_->uart_config(UartConfig{.stop_bits = 0, .parity = 0, .bytesize = 8, .baudrate = 115200}));
  // Five bytes sent without waiting; their echoes pile up in the receive FIFO.
  auto sent = hw_->uart_transceive(UartTransceive{.rx_len = 0, .is_trigger = 1, .timeout = 0, .tx_data = {1, 2, 3, 4, 5}});
  ASSERT_TRUE(sent);
  EXPECT_TRUE(sent->empty());
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x4C, 0x804), rd(0x4C, 0x804), wr(0x54, 5), wr(0x58, 0), wr(0x5C, 1),
                                          wr(0x5C, 2), wr(0x5C, 3), wr(0x5C, 4), wr(0x5C, 5), wr(0x50, 1)}));
  for (int i = 0; i < 5000 && uart().rx_waiting() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(uart().rx_waiting(), 5u);

  // Three of them satisfy the next transfer at its first status read.
  power().clear_accesses();
  base::log::Capture log;
  auto got = hw_->uart_transceive(UartTransceive{.rx_len = 3, .is_trigger = 0, .timeout = 1000, .tx_data = {}});
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (base::Bytes{1, 2, 3}));
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x54, 0), wr(0x58, 3), wr(0x50, 3), rd(0x40, 5 << 16), rd(0x60, 0x101),
                                          rd(0x60, 0x102), rd(0x60, 0x103)}));
  EXPECT_EQ(log.messages(UART_TARGET),
            (Lines{"Waiting for uart lock", "Starting to write data to UART_TX_DATA_OFFSET",
                   "Finished writing data to UART_TX_DATA_OFFSET", "Starting to read uart data",
                   "Uart transfer completed"}));

  power().clear_accesses();
  log.clear();
  auto remained = hw_->uart_receive_fifo_remained();
  ASSERT_TRUE(remained);
  EXPECT_EQ(*remained, 2u);
  auto dumped = hw_->uart_receive_fifo_dump();
  ASSERT_TRUE(dumped);
  EXPECT_EQ(*dumped, (base::Bytes{4, 5}));
  auto empty = hw_->uart_receive_fifo_dump();
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(power().accesses(), (Accesses{rd(0x40, 2 << 16), rd(0x40, 2 << 16), rd(0x60, 0x104), rd(0x60, 0x105),
                                          rd(0x40, 0)}));
  EXPECT_EQ(log.messages(UART_TARGET),
            (Lines{"Starting uart_receive_fifo_remained", "Starting uart_receive_fifo_dump", "Staring dump with count:2",
                   "Finished dump", "Starting uart_receive_fifo_dump", "Staring dump with count:0", "Finished dump"}));

  // Clearing writes the reset register and believes it, even when it reads 1.
  power().clear_accesses();
  uart().stick(0x48, 1);
  EXPECT_TRUE(hw_->uart_receive_fifo_clear());
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x48, 1)}));
  EXPECT_EQ(uart().resets(), 1u);
}

TEST_F(HwBusTest, UartTimeOutZeroFailsBeforeAnyStatusRead) {
  enable_all();
  base::log::Capture log;
  auto got = hw_->uart_transceive(UartTransceive{.rx_len = 1, .is_trigger = 0, .timeout = 0, .tx_data = {7}});
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), ProtocolError::Kind::TimeOut);
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x54, 1), wr(0x58, 1), wr(0x5C, 7), wr(0x50, 3)}));
  EXPECT_EQ(log.messages(UART_TARGET).back(), "Uart timeout");

  // A short limit against a slow rate: the bytes come in after the time-out and wait.
  ASSERT_TRUE(hw_->uart_config(UartConfig{.stop_bits = 0, .parity = 0, .bytesize = 8, .baudrate = 9600}));
  const auto before = Clock::now();
  got = hw_->uart_transceive(UartTransceive{.rx_len = 20, .is_trigger = 0, .timeout = 5, .tx_data = base::Bytes(20, 0x55)});
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), ProtocolError::Kind::TimeOut);
  EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(5));
  for (int i = 0; i < 5000 && uart().rx_waiting() < 21; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(uart().rx_waiting(), 21u);  // the 7 from before and the 20
}

TEST_F(HwBusTest, StuckControllersTimeOutAfterASecondOfOneMillisecondPolls) {
  enable_all();
  spi().set_hang(true);
  i2c().set_hang(true);
  uart().set_hang(true);
  base::log::Capture log;

  struct Case {
    std::string name;
    std::function<driver::module::hw::BusResult()> transfer;
    std::uint32_t status_offset;
    std::chrono::milliseconds limit;
    std::string_view target;
    std::string line;
  };
  const std::vector<Case> cases{
      {"spi", [&] { return hw_->spi_transceive(SpiTransceive{.rx_len = 1, .tx_data = {1}}); }, 0x80,
       std::chrono::milliseconds(1000), SPI_TARGET, "SPI transfer timed out"},
      {"i2c", [&] { return hw_->i2c_transceive(I2cTransceive{.tsf1_count = 1, .tsf_rw = 1, .tsf_lens = {1}, .tx_data = {}}); },
       0xC0, std::chrono::milliseconds(1000), I2C_TARGET, "I2C transfer timed out"},
      {"uart", [&] { return hw_->uart_transceive(UartTransceive{.rx_len = 1, .timeout = 300, .tx_data = {1}}); },
       0x40, std::chrono::milliseconds(300), UART_TARGET, "Uart timeout"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    power().clear_accesses();
    const auto before = Clock::now();
    auto got = c.transfer();
    const auto took = Clock::now() - before;
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind(), ProtocolError::Kind::TimeOut);
    EXPECT_GE(took, c.limit);
    std::size_t status_reads = 0;
    for (const auto& a : power().accesses()) {
      if (a.op == sim::Access::Op::Read) {
        EXPECT_EQ(a.offset, c.status_offset);  // nothing is unloaded after a time-out
        ++status_reads;
      }
    }
    // At most one read a millisecond: the sleeps overshoot, never undershoot. How
    // far they overshoot depends on the machine's load, so only the bound is pinned,
    // and that the controller was polled more than once.
    const auto ms = static_cast<std::size_t>(c.limit.count());
    EXPECT_GT(status_reads, 1u);
    EXPECT_LE(status_reads, ms + ms / 10);
    EXPECT_EQ(log.messages(c.target).back(), c.line);
  }

  // The locks were released: the next transfers take them at once and complete.
  spi().set_hang(false);
  i2c().set_hang(false);
  uart().set_hang(false);
  EXPECT_TRUE(hw_->spi_transceive(SpiTransceive{.rx_len = 1, .tx_data = {1}}));
  EXPECT_TRUE(hw_->i2c_transceive(I2cTransceive{.tsf1_count = 1, .tsf_rw = 1, .tsf_lens = {1}, .tx_data = {}}));
  EXPECT_TRUE(hw_->uart_transceive(UartTransceive{.rx_len = 1, .timeout = 1000, .tx_data = {1}}));
}

TEST_F(HwBusTest, AFaultWhileHoldingABusLockBreaksThatBusForGood) {
  enable_all();
  base::log::Capture log;
  spi().fail_next_start();
  EXPECT_THROW(hw_->spi_transceive(SpiTransceive{.rx_len = 1, .tx_data = {1}}), std::runtime_error);
  i2c().fail_next_start();
  EXPECT_THROW(hw_->i2c_transceive(I2cTransceive{.tsf1_count = 1, .tsf_rw = 1, .tsf_lens = {1}, .tx_data = {}}), std::runtime_error);
  uart().fail_next_start();
  EXPECT_THROW(hw_->uart_transceive(UartTransceive{.rx_len = 1, .timeout = 100, .tx_data = {1}}), std::runtime_error);

  // Busy without a single register access, every time.
  power().clear_accesses();
  log.clear();
  for (int i = 0; i < 2; ++i) {
    auto s = hw_->spi_transceive(SpiTransceive{.rx_len = 1, .tx_data = {1}});
    auto c = hw_->i2c_transceive(I2cTransceive{.tsf1_count = 1, .tsf_rw = 1, .tsf_lens = {1}, .tx_data = {}});
    auto u = hw_->uart_transceive(UartTransceive{.rx_len = 1, .timeout = 100, .tx_data = {1}});
    ASSERT_FALSE(s);
    ASSERT_FALSE(c);
    ASSERT_FALSE(u);
    EXPECT_EQ(s.error().kind(), ProtocolError::Kind::Busy);
    EXPECT_EQ(c.error().kind(), ProtocolError::Kind::Busy);
    EXPECT_EQ(u.error().kind(), ProtocolError::Kind::Busy);
  }
  EXPECT_TRUE(power().accesses().empty());
  EXPECT_EQ(log.messages(SPI_TARGET), (Lines{"Waiting for spi lock", "Waiting for spi lock"}));

  // The unlocked operations do not care.
  EXPECT_TRUE(hw_->spi_enable(1));
  EXPECT_TRUE(hw_->i2c_reset());
  EXPECT_TRUE(hw_->uart_receive_fifo_remained());
}

TEST_F(HwBusTest, OneBrokenBusLeavesTheOthersWorking) {
  enable_all();
  spi().fail_next_start();
  EXPECT_THROW(hw_->spi_transceive(SpiTransceive{.rx_len = 1, .tx_data = {1}}), std::runtime_error);
  auto i = hw_->i2c_transceive(I2cTransceive{.tsf1_count = 1, .tsf_rw = 1, .tsf_lens = {1}, .tx_data = {}});
  auto u = hw_->uart_transceive(UartTransceive{.rx_len = 2, .timeout = 1000, .tx_data = {4, 2}});
  ASSERT_TRUE(i);
  ASSERT_TRUE(u);
  EXPECT_EQ(*u, (base::Bytes{4, 2}));
  auto s = hw_->spi_transceive(SpiTransceive{.rx_len = 1, .tx_data = {1}});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ProtocolError::Kind::Busy);
}

}  // namespace

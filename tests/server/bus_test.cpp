// The SPI, I2C and UART commands over a real socket against the simulated
// instrument: the targets' answers, the per-bus error mapping, time-outs while
// other connections are served, the capture loop and the bus locks under load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "base/bytes.h"
#include "base/log.h"
#include "server/driver_set.h"
#include "sim/capture.h"
#include "sim/i2c_ctrl.h"
#include "sim/spi_ctrl.h"
#include "sim/uart_ctrl.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/server_fixture.h"
#include "support/sim_fixture.h"
#include "support/target_power.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Reply;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t OK = 0x0000;
constexpr std::uint16_t BUSY = 0x0001;
constexpr std::uint16_t TIME_OUT = 0x0002;
constexpr std::uint16_t INTERNAL_ERROR = 0x8000;

void put16(ByteVec& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
void put32(ByteVec& out, std::uint32_t v) {
  for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

ByteVec spi_transfer(std::uint16_t rx_len, const ByteVec& tx, std::uint8_t is_trigger = 0) {
  ByteVec out{0};
  put32(out, 0);
  put16(out, rx_len);
  out.push_back(is_trigger);
  out.insert(out.end(), tx.begin(), tx.end());
  return out;
}
ByteVec i2c_transfer(std::uint8_t tsf1, std::uint8_t tsf2, std::uint8_t rw, std::initializer_list<std::uint16_t> lens,
                     const ByteVec& tx) {
  ByteVec out{0};
  put32(out, 0);
  out.insert(out.end(), {tsf1, tsf2, rw});
  std::vector<std::uint16_t> all(lens);
  all.resize(8);
  for (auto len : all) put16(out, len);
  out.push_back(0);
  out.insert(out.end(), tx.begin(), tx.end());
  return out;
}
ByteVec uart_transfer(std::uint16_t rx_len, std::uint32_t timeout, const ByteVec& tx) {
  ByteVec out;
  put16(out, rx_len);
  out.push_back(0);
  put32(out, timeout);
  out.insert(out.end(), tx.begin(), tx.end());
  return out;
}
ByteVec uart_settings(std::uint32_t baudrate) {
  ByteVec out{0, 0, 8};
  put32(out, baudrate);
  return out;
}
ByteVec wave(std::uint8_t channel, std::uint32_t length) {
  ByteVec out{channel};
  put32(out, 0);
  put32(out, length);
  return out;
}

class BusTest : public support::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    support::power_target(sim());  // so that the bus devices answer
  }

  void enable_buses() {
    expect_ok(cmd::spi_enable, {1});
    expect_ok(cmd::i2c_enable, {1});
    expect_ok(cmd::uart_enable, {1});
  }

  sim::PowerBus& power() { return *sim().model_at<sim::PowerBus>(sim::PowerBus::BASE); }
  sim::CaptureCore& capture() { return *sim().model_at<sim::CaptureCore>(sim::CaptureCore::BASE); }
  sim::SpiCtrl& spi() { return *sim::bus_controller<sim::SpiCtrl>(sim(), 0x80); }
  sim::I2cCtrl& i2c() { return *sim::bus_controller<sim::I2cCtrl>(sim(), 0xC0); }
  sim::UartCtrl& uart() { return *sim::bus_controller<sim::UartCtrl>(sim(), 0x40); }

  // Bounded wait for the model to get somewhere on its own clock.
  template <class Pred>
  bool eventually(Pred pred, int timeout_ms = 10000) {
    for (int i = 0; i < timeout_ms && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
  }

  base::log::Capture log_;
};

TEST_F(BusTest, SpiEchoesAMultiByteTransfer) {
  expect_ok(cmd::spi_enable, {1});
  expect_ok(cmd::spi_config, {0x00, 0x02, 0x01, 0x00});
  EXPECT_EQ(spi().config(), 0x202u);
  auto r = call(cmd::spi_transceive, spi_transfer(6, {0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(r.status, OK);
  EXPECT_EQ(r.payload, (ByteVec{0xDE, 0xAD, 0xBE, 0xEF, 0xDE, 0xAD}));
  // Nothing sent: the device's line idles high.
  r = call(cmd::spi_transceive, spi_transfer(2, {}));
  EXPECT_EQ(r.payload, (ByteVec{0xFF, 0xFF}));
  EXPECT_EQ(log_.messages("server::handler::spi"),
            (Lines{"Handling spi_enable command", "SPI enable set to: 1", "Handling spi_config command",
                   "SPI config parameters: SpiConfig { psc: 2, cpol: 1, cpha: 0 }", "SPI config set",
                   "Handling spi_transceive command",
                   "SPI transceive parameters: SpiTransceive { is_delay: 0, delay: 0, rx_len: 6, is_trigger: 0, "
                   "tx_data: [222, 173, 190, 239] }",
                   "Handling spi_transceive command",
                   "SPI transceive parameters: SpiTransceive { is_delay: 0, delay: 0, rx_len: 2, is_trigger: 0, "
                   "tx_data: [] }"}));
}

TEST_F(BusTest, I2cWriteThenReadRoundTripsThroughTheMemoryDevice) {
  expect_ok(cmd::i2c_enable, {1});
  expect_ok(cmd::i2c_config, {0x50, 1});
  // One write segment: the pointer, then three bytes stored from it.
  auto w = call(cmd::i2c_transceive, i2c_transfer(1, 0, 0, {4}, {0x20, 'a', 'b', 'c'}));
  EXPECT_EQ(w.status, OK);
  EXPECT_TRUE(w.payload.empty());
  // Set the pointer, then a read segment of three.
  auto r = call(cmd::i2c_transceive, i2c_transfer(1, 1, 0b10, {1, 3}, {0x20}));
  EXPECT_EQ(r.status, OK);
  EXPECT_EQ(r.text(), "abc");
  EXPECT_EQ(i2c().device_memory()[0x21], 'b');

  // Nobody answers at another address.
  expect_ok(cmd::i2c_config, {0x51, 1});
  r = call(cmd::i2c_transceive, i2c_transfer(1, 1, 0b10, {1, 2}, {0x20}));
  EXPECT_EQ(r.payload, (ByteVec{0xFF, 0xFF}));
  EXPECT_EQ(log_.messages("server::handler::i2c")[0], "Handling i2c_enable command");
  EXPECT_EQ(log_.messages("server::handler::i2c")[1], "Handling i2c_config command");
  EXPECT_EQ(log_.messages("server::handler::i2c")[2], "I2C config parameters: I2cConfig { addr: 80, speed: 1 }");
  EXPECT_EQ(log_.messages("server::handler::i2c")[3], "I2C config set");
  EXPECT_EQ(log_.messages("server::handler::i2c")[5],
            "I2C transceive parameters: I2cTransceive { is_delay: 0, delay: 0, tsf1_count: 1, tsf2_count: 0, "
            "tsf_rw: 0, tsf_lens: [4, 0, 0, 0, 0, 0, 0, 0], is_trigger: 0, tx_data: [32, 97, 98, 99] }");
}

TEST_F(BusTest, UartEchoesHelloAndSlowRatesTimeOutWithTheBytesLeftInTheFifo) {
  expect_ok(cmd::uart_enable, {1});
  expect_ok(cmd::uart_config, uart_settings(115200));
  auto r = call(cmd::uart_transceive, uart_transfer(5, 1000, support::bytes_of("hello")));
  EXPECT_EQ(r.status, OK);
  EXPECT_EQ(r.text(), "hello");

  // 100 bytes at 9600 baud take about 106 ms to come back; 20 ms is not enough.
  expect_ok(cmd::uart_config, uart_settings(9600));
  ByteVec hundred(100);
  for (std::size_t i = 0; i < hundred.size(); ++i) hundred[i] = static_cast<std::uint8_t>(i * 7);
  r = call(cmd::uart_transceive, uart_transfer(100, 20, hundred));
  EXPECT_EQ(r.status, TIME_OUT);
  EXPECT_TRUE(r.payload.empty());
  ASSERT_TRUE(eventually([&] { return uart().rx_waiting() == 100; }));
  r = call(cmd::uart_receive_fifo_remained);
  EXPECT_EQ(r.payload, (ByteVec{0, 100}));
  r = call(cmd::uart_receive_fifo_dump);
  EXPECT_EQ(r.status, OK);
  EXPECT_EQ(r.payload, hundred);
  r = call(cmd::uart_receive_fifo_remained);
  EXPECT_EQ(r.payload, (ByteVec{0, 0}));

  const Lines lines = log_.messages("server::handler::uart");
  EXPECT_EQ(lines[1], "UART enable set to: 1");
  EXPECT_EQ(lines[3], "UART config parameters: UartConfig { stop_bits: 0, parity: 0, bytesize: 8, baudrate: 115200 }");
  EXPECT_EQ(lines[4], "UART configured successfully");
  EXPECT_EQ(lines[6], "UART transceive parameters: UartTransceive { rx_len: 5, is_trigger: 0, timeout: 1000, "
                      "tx_data: [104, 101, 108, 108, 111] }");
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, "server::handler::uart", "UART receive FIFO remained count: 100"));
  EXPECT_TRUE(log_.contains(base::log::Level::Error, "protocol::error", "Operation timed out"));
}

TEST_F(BusTest, FifoCountIsBigEndianAndClearEmptiesIt) {
  expect_ok(cmd::uart_enable, {1});
  expect_ok(cmd::uart_config, uart_settings(115200));
  EXPECT_EQ(call(cmd::uart_transceive, uart_transfer(0, 0, ByteVec(300, 0x5A))).status, OK);
  ASSERT_TRUE(eventually([&] { return uart().rx_waiting() == 300; }));
  auto r = call(cmd::uart_receive_fifo_remained);
  EXPECT_EQ(r.status, OK);
  EXPECT_EQ(r.payload, (ByteVec{0x01, 0x2C}));
  expect_ok(cmd::uart_receive_fifo_clear);
  EXPECT_EQ(call(cmd::uart_receive_fifo_remained).payload, (ByteVec{0, 0}));
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, "server::handler::uart", "UART receive FIFO cleared successfully"));
}

TEST_F(BusTest, CommandsWithoutARecordIgnoreTheirPayload) {
  enable_buses();
  for (const ByteVec& payload : {ByteVec{}, ByteVec{9, 9, 9, 9, 9, 9, 9, 9, 9}}) {
    for (std::uint16_t command : {cmd::spi_reset, cmd::i2c_reset, cmd::uart_reset, cmd::uart_receive_fifo_remained,
                                  cmd::uart_receive_fifo_dump, cmd::uart_receive_fifo_clear}) {
      auto r = call(command, payload);
      EXPECT_EQ(r.status, OK) << std::hex << command << ": " << r.text();
    }
  }
  EXPECT_EQ(call(cmd::uart_receive_fifo_remained).payload.size(), 2u);
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, "server::handler::spi", "SPI reset"));
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, "server::handler::i2c", "I2C reset"));
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, "server::handler::uart", "UART reset"));
}

TEST_F(BusTest, PayloadsThatDoNotDecodeAnswerWithThePrefixAndTouchNothing) {
  power().clear_accesses();
  const std::vector<std::tuple<std::uint16_t, ByteVec, std::string>> cases{
      {cmd::spi_enable, {2}, "parse u8 range error:Value must be between 0 and 1 at 0x0"},
      {cmd::i2c_enable, {3}, "parse u8 range error:Value must be between 0 and 1 at 0x0"},
      {cmd::uart_enable, {255}, "parse u8 range error:Value must be between 0 and 1 at 0x0"},
      {cmd::spi_config, {0, 1, 2, 2}, "parse spi_config error:Cpol must be 0 or 1 at 0x0"},
      {cmd::i2c_config, {0x50, 5}, "parse i2c config error:Speed must be between 0 and 4 at 0x0"},
      {cmd::uart_config, {0, 0, 9, 0, 0, 0x25, 0x80}, "parse uart_config error:ByteSize must be between 5 and 8 at 0x0"},
      {cmd::spi_transceive, {0, 0, 0, 0, 0, 0, 1, 2}, "parse spi_transceive error:IsTrigger must be 0 or 1 at 0x0"},
  };
  for (const auto& [command, payload, message] : cases) {
    auto r = call(command, payload);
    EXPECT_EQ(r.status, INTERNAL_ERROR);
    EXPECT_EQ(r.text(), message);
  }
  // Short payloads: the prefix, then the decoder's text naming the field.
  const std::vector<std::tuple<std::uint16_t, ByteVec, std::string>> short_cases{
      {cmd::uart_transceive, ByteVec(6, 0), "parse uart_transceive error:While parsing field 'timeout' in UartTransceive"},
      {cmd::i2c_transceive, ByteVec(24, 0), "parse i2c_transceive error:While parsing field 'is_trigger' in I2cTransceive"},
      {cmd::spi_enable, {}, "parse u8 range error:While parsing field 'value' in U8Range"},
  };
  for (const auto& [command, payload, prefix] : short_cases) {
    auto r = call(command, payload);
    EXPECT_EQ(r.status, INTERNAL_ERROR);
    EXPECT_EQ(r.text().substr(0, prefix.size()), prefix);
  }
  EXPECT_TRUE(power().accesses().empty());
  EXPECT_TRUE(log_.messages("driver::module::hw::spi").empty());
}

TEST_F(BusTest, UnsupportedBaudRateIsACauseOfConfiguringUart) {
  auto r = call(cmd::uart_config, uart_settings(4800));
  EXPECT_EQ(r.status, INTERNAL_ERROR);
  EXPECT_EQ(r.text(), "Configuring UART");
  EXPECT_EQ(log_.messages("protocol::error"), (Lines{"Configuring UART", "Caused by: Unsupported baudrate: 4800"}));

  // Register read-back failures are the driver's own messages.
  spi().stick(0x8C, 0);
  r = call(cmd::spi_config, {0x00, 0x01, 0x00, 0x00});
  EXPECT_EQ(r.text(), "Failed to configure SPI");
  i2c().stick(0xC4, 0);
  r = call(cmd::i2c_enable, {1});
  EXPECT_EQ(r.text(), "Failed to enable i2c");
  uart().stick(0x48, 1);
  r = call(cmd::uart_reset);
  EXPECT_EQ(r.text(), "Failed to reset uart");
}

TEST_F(BusTest, StuckTransfersTimeOutPerBusWhileOtherConnectionsAreServed) {
  enable_buses();
  spi().set_hang(true);
  i2c().set_hang(true);
  support::Client spi_client(server_->port());
  support::Client i2c_client(server_->port());

  std::atomic<bool> spi_done{false}, i2c_done{false};
  Reply spi_reply, i2c_reply;
  Clock::duration spi_took{}, i2c_took{};
  std::thread spi_thread([&] {
    const auto t = Clock::now();
    spi_reply = spi_client.call(cmd::spi_transceive, spi_transfer(4, {1, 2, 3, 4}));
    spi_took = Clock::now() - t;
    spi_done = true;
  });
  std::thread i2c_thread([&] {
    const auto t = Clock::now();
    i2c_reply = i2c_client.call(cmd::i2c_transceive, i2c_transfer(1, 0, 1, {2}, {}));
    i2c_took = Clock::now() - t;
    i2c_done = true;
  });
  // Both are polling their controllers; the UART and the first connection still answer.
  EXPECT_TRUE(eventually([&] {
    std::size_t spi_polls = 0, i2c_polls = 0;
    for (const auto& a : power().accesses()) {
      if (a == sim::rd(0x80, 1)) ++spi_polls;
      if (a == sim::rd(0xC0, 1)) ++i2c_polls;
    }
    return spi_polls > 0 && i2c_polls > 0;
  }));
  expect_ok(cmd::uart_config, uart_settings(115200));
  EXPECT_EQ(call(cmd::uart_transceive, uart_transfer(2, 1000, {'o', 'k'})).text(), "ok");
  const bool served_meanwhile = !spi_done && !i2c_done;
  spi_thread.join();
  i2c_thread.join();
  EXPECT_TRUE(served_meanwhile);

  EXPECT_EQ(spi_reply.status, INTERNAL_ERROR);
  EXPECT_EQ(spi_reply.text(), "SPI transceive");
  EXPECT_GE(spi_took, std::chrono::seconds(1));
  EXPECT_EQ(i2c_reply.status, TIME_OUT);
  EXPECT_TRUE(i2c_reply.payload.empty());
  EXPECT_GE(i2c_took, std::chrono::seconds(1));
  EXPECT_TRUE(log_.contains(base::log::Level::Error, "protocol::error", "Caused by: Operation timed out"));

  // The UART's limit is the request's own.
  uart().set_hang(true);
  auto r = call(cmd::uart_transceive, uart_transfer(1, 30, {1}));
  EXPECT_EQ(r.status, TIME_OUT);
}

TEST_F(BusTest, AFaultDuringATransferLeavesThatBusBusyForGood) {
  enable_buses();
  spi().fail_next_start();
  i2c().fail_next_start();
  uart().fail_next_start();
  for (auto [command, payload] : {std::pair{cmd::spi_transceive, spi_transfer(1, {1})},
                                  std::pair{cmd::i2c_transceive, i2c_transfer(1, 0, 1, {1}, {})},
                                  std::pair{cmd::uart_transceive, uart_transfer(1, 100, {1})}}) {
    auto r = call(command, payload);
    EXPECT_EQ(r.status, INTERNAL_ERROR);
    EXPECT_EQ(r.text(), "Request failed");
  }
  log_.clear();
  auto s = call(cmd::spi_transceive, spi_transfer(1, {1}));
  EXPECT_EQ(s.status, INTERNAL_ERROR);
  EXPECT_EQ(s.text(), "SPI transceive");
  EXPECT_EQ(log_.messages("protocol::error"), (Lines{"SPI transceive", "Caused by: Device is busy"}));
  auto i = call(cmd::i2c_transceive, i2c_transfer(1, 0, 1, {1}, {}));
  EXPECT_EQ(i.status, BUSY);
  auto u = call(cmd::uart_transceive, uart_transfer(1, 100, {1}));
  EXPECT_EQ(u.status, BUSY);
  // Set-up commands do not take the lock.
  expect_ok(cmd::spi_reset);
  expect_ok(cmd::uart_config, uart_settings(57600));
}

TEST_F(BusTest, ATriggeredTransferCapturesTheTargetsPowerDraw) {
  expect_ok(cmd::spi_enable, {1});
  constexpr std::uint32_t SAMPLES = 2048;
  expect_ok(cmd::osc_set_sample_length, {0, 0, SAMPLES >> 8, 0});
  auto capture_of = [&](std::uint8_t byte) {
    expect_ok(cmd::osc_set_single);
    EXPECT_EQ(call(cmd::spi_transceive, spi_transfer(1, {byte}, 1)).payload, (ByteVec{byte}));
    bool complete = false;
    for (int i = 0; i < 20000 && !complete; ++i) complete = call(cmd::osc_get_trigger_status).payload == ByteVec{0, 0, 1, 2};
    EXPECT_TRUE(complete);
    auto a = call(cmd::osc_get_channel_wave, wave(1, SAMPLES));
    auto b = call(cmd::osc_get_channel_wave, wave(2, SAMPLES));
    EXPECT_EQ(a.payload.size(), 2 * SAMPLES);
    EXPECT_EQ(b.payload.size(), 2 * SAMPLES);
    return std::pair{a.payload, b.payload};
  };
  const auto [a_zero, b_zero] = capture_of(0x00);
  const auto [a_full, b_full] = capture_of(0xFF);
  EXPECT_EQ(capture().captures(), 2u);
  EXPECT_NE(b_zero, b_full);

  // Without the trigger bit an armed capture keeps waiting.
  expect_ok(cmd::osc_set_single);
  EXPECT_EQ(call(cmd::spi_transceive, spi_transfer(1, {0x0F})).status, OK);
  EXPECT_EQ(call(cmd::osc_get_trigger_status).payload, (ByteVec{0, 0, 0, 1}));
}

TEST_F(BusTest, TransfersOnOneBusNeverOverlapAndEachGetsItsOwnEcho) {
  expect_ok(cmd::spi_enable, {1});
  expect_ok(cmd::spi_config, {0x00, 0xFF, 0x00, 0x00});  // about 41 us a byte
  constexpr int CLIENTS = 4, ROUNDS = 5;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < CLIENTS; ++c) {
    threads.emplace_back([&, c] {
      support::Client client(server_->port());
      for (int round = 0; round < ROUNDS; ++round) {
        ByteVec tx(24);
        for (std::size_t i = 0; i < tx.size(); ++i) tx[i] = static_cast<std::uint8_t>(c * 64 + round * 8 + i);
        auto r = client.call(cmd::spi_transceive, spi_transfer(24, tx));
        if (r.status != OK || r.payload != tx) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  // No control word ever reached the controller while a transfer was running.
  EXPECT_EQ(spi().starts_while_busy(), 0u);
  EXPECT_EQ(spi().transfers().size(), static_cast<std::size_t>(CLIENTS * ROUNDS));
}

TEST_F(BusTest, TransfersOnDifferentBusesRunInParallel) {
  enable_buses();
  expect_ok(cmd::uart_config, uart_settings(9600));
  expect_ok(cmd::i2c_config, {0x50, 0});
  // About a second of UART traffic on one connection...
  const ByteVec long_tx(1000, 0x33);
  Reply uart_reply;
  std::thread uart_thread([&] {
    support::Client client(server_->port());
    uart_reply = client.call(cmd::uart_transceive, uart_transfer(1000, 10000, long_tx));
  });
  ASSERT_TRUE(eventually([&] { return uart().busy(); }));
  // ...while SPI and I2C transfers on others start and finish.
  support::Client other(server_->port());
  EXPECT_EQ(other.call(cmd::spi_transceive, spi_transfer(3, {1, 2, 3})).payload, (ByteVec{1, 2, 3}));
  EXPECT_EQ(other.call(cmd::i2c_transceive, i2c_transfer(1, 1, 0b10, {1, 2}, {0})).status, OK);
  uart_thread.join();
  EXPECT_EQ(uart_reply.payload, long_tx);

  const auto uart_transfer_window = uart().transfers().at(0);
  const auto spi_transfer_window = spi().transfers().at(0);
  const auto i2c_transfer_window = i2c().transfers().at(0);
  EXPECT_LT(spi_transfer_window.start, uart_transfer_window.end);
  EXPECT_LT(i2c_transfer_window.end, uart_transfer_window.end);
}

// The shipped simulator answers the three buses the same way.
void talk_to_targets(std::uint16_t port) {
  support::Client c(port);
  EXPECT_EQ(c.call(cmd::nut_set_voltage_enable, {1}).status, OK);  // supply on
  EXPECT_EQ(c.call(cmd::nut_clock_enable, {1}).status, OK);  // clock gate open
  for (std::uint16_t enable : {cmd::spi_enable, cmd::i2c_enable, cmd::uart_enable}) EXPECT_EQ(c.call(enable, {1}).status, OK);
  EXPECT_EQ(c.call(cmd::spi_transceive, spi_transfer(3, {5, 6})).payload, (ByteVec{5, 6, 5}));
  EXPECT_EQ(c.call(cmd::i2c_config, {0x50, 2}).status, OK);
  EXPECT_EQ(c.call(cmd::i2c_transceive, i2c_transfer(1, 0, 0, {3}, {0x80, 'h', 'i'})).status, OK);
  EXPECT_EQ(c.call(cmd::i2c_transceive, i2c_transfer(1, 1, 0b10, {1, 2}, {0x80})).text(), "hi");
  EXPECT_EQ(c.call(cmd::uart_config, uart_settings(57600)).status, OK);
  EXPECT_EQ(c.call(cmd::uart_transceive, uart_transfer(5, 1000, support::bytes_of("hello"))).text(), "hello");
}

TEST(BusSimulator, ValdrixdSimTalksToItsTargetDevices) {
  ASSERT_TRUE(support::connections_ended());  // earlier tests' connections hold descriptors
  const int fds = support::count_open_fds();
  {
    const std::uint16_t port = support::free_port();
    support::Process p(support::bin_dir() + "/valdrixd-sim", {"--port", std::to_string(port)}, {"NO_COLOR=1"});
    ASSERT_TRUE(support::Process::wait_for_port(port));
    talk_to_targets(port);
  }
  EXPECT_EQ(support::count_open_fds(), fds);
}

}  // namespace

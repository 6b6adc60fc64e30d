// valdrixd-sim over the wire as a host author meets it: the target needs power and
// its clock, triggers follow their settings, captures take their time without
// holding anybody up, noise averages and repeats with the seed, and every fault
// of --fault answers as the instrument would.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/loopback.h"
#include "support/process.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Reply;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t OK = 0, BUSY = 1, TIME_OUT = 2, INTERNAL_ERROR = 0x8000;

ByteVec be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v)};
}
ByteVec cat(std::initializer_list<ByteVec> parts) {
  ByteVec out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
ByteVec spi_transfer(std::uint16_t rx_len, const ByteVec& tx, std::uint8_t trigger = 0) {
  return cat({{0}, be32(0), {static_cast<std::uint8_t>(rx_len >> 8), static_cast<std::uint8_t>(rx_len), trigger}, tx});
}
// One segment written (the device's pointer), then one read of `rx` bytes.
ByteVec i2c_read(std::uint8_t pointer, std::uint8_t rx) {
  ByteVec out = cat({{0}, be32(0), {1, 1, 0b10}, {0, 1, 0, rx}});
  out.resize(out.size() + 12, 0);
  return cat({out, {0, pointer}});
}
ByteVec uart_transfer(std::uint16_t rx_len, std::uint32_t timeout_ms, const ByteVec& tx) {
  return cat({{static_cast<std::uint8_t>(rx_len >> 8), static_cast<std::uint8_t>(rx_len), 0}, be32(timeout_ms), tx});
}
ByteVec uart_settings(std::uint8_t bytesize) { return cat({{0, 0, bytesize}, be32(115200)}); }
ByteVec wave(std::uint8_t channel, std::uint32_t length) { return cat({{channel}, be32(0), be32(length)}); }

std::vector<std::int16_t> samples(const ByteVec& bytes) {
  std::vector<std::int16_t> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return out;
}

// A valdrixd-sim of its own with extra arguments, and a client on it.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args = {}) : port_(support::free_port()), process_(start(args)) {
    EXPECT_TRUE(support::Process::wait_for_port(port_));
  }
  std::uint16_t port() const { return port_; }
  support::Process& process() { return process_; }

 private:
  support::Process start(std::vector<std::string>& args) {
    args.insert(args.begin(), {"--port", std::to_string(port_)});
    return support::Process(support::bin_dir() + "/valdrixd-sim", args, {"NO_COLOR=1"});
  }
  std::uint16_t port_;
  support::Process process_;
};

void expect_ok(support::Client& c, std::uint16_t command, const ByteVec& payload = {}) {
  const Reply r = c.call(command, payload);
  EXPECT_EQ(r.status, OK) << command << ": " << r.text();
}

void power_up(support::Client& c) {
  expect_ok(c, cmd::nut_set_voltage_enable, {1});
  expect_ok(c, cmd::nut_clock_enable, {1});
}

std::uint32_t status(support::Client& c) {
  const Reply r = c.call(cmd::osc_get_trigger_status);
  return r.payload.size() == 4 ? static_cast<std::uint32_t>(r.payload[0] << 24 | r.payload[1] << 16 |
                                                            r.payload[2] << 8 | r.payload[3])
                               : 0xFFFFFFFF;
}

bool wait_complete(support::Client& c, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto until = Clock::now() + limit;
  while (status(c) != 0x102)
    if (Clock::now() >= until) return false;
  return true;
}

std::vector<std::int16_t> read_wave(support::Client& c, std::uint8_t channel, std::uint32_t n) {
  return samples(c.call(cmd::osc_get_channel_wave, wave(channel, n)).payload);
}

TEST(Simulator, TargetAnswersOnlyWhilePoweredAndClocked) {
  Sim sim;
  support::Client c(sim.port());
  for (std::uint16_t enable : {cmd::spi_enable, cmd::i2c_enable, cmd::uart_enable}) expect_ok(c, enable, {1});
  expect_ok(c, cmd::i2c_config, {0x50, 2});
  expect_ok(c, cmd::uart_config, uart_settings(8));
  auto check = [&](bool answers) {
    EXPECT_EQ(c.call(cmd::spi_transceive, spi_transfer(2, {0x12, 0x34})).payload,
              answers ? ByteVec({0x12, 0x34}) : ByteVec({0xFF, 0xFF}));
    EXPECT_EQ(c.call(cmd::i2c_transceive, i2c_read(0, 1)).payload, answers ? ByteVec{0x00} : ByteVec{0xFF});
    const Reply u = c.call(cmd::uart_transceive, uart_transfer(1, 100, {0x5A}));
    EXPECT_EQ(u.status, answers ? OK : TIME_OUT);
    if (answers) {
      EXPECT_EQ(u.payload, ByteVec{0x5A});
    }
  };
  check(false);  // power-on: supply off, gate closed
  expect_ok(c, cmd::nut_set_voltage_enable, {1});
  check(false);
  expect_ok(c, cmd::nut_clock_enable, {1});
  check(true);
  expect_ok(c, cmd::nut_set_voltage_enable, {0});
  check(false);
}

TEST(Simulator, FiveBitUartEchoesOnlyItsDataBits) {
  Sim sim;
  support::Client c(sim.port());
  power_up(c);
  expect_ok(c, cmd::uart_enable, {1});
  expect_ok(c, cmd::uart_config, uart_settings(5));
  EXPECT_EQ(c.call(cmd::uart_transceive, uart_transfer(2, 1000, {0xFF, 0xE5})).payload, (ByteVec{0x1F, 0x05}));
}

TEST(Simulator, ChannelLevelTriggersFollowSourceEdgeAndMode) {
  Sim sim;
  support::Client c(sim.port());
  power_up(c);
  expect_ok(c, cmd::spi_enable, {1});
  expect_ok(c, cmd::osc_set_sample_length, be32(1024));
  auto capture = [&](std::uint8_t source, std::uint8_t edge, std::int16_t level, std::uint8_t mode = 0) {
    expect_ok(c, cmd::osc_set_trigger_source, {source});
    expect_ok(c, cmd::osc_set_trigger_edge, {edge});
    expect_ok(c, cmd::osc_set_trigger_mode, {mode});
    const auto raw = static_cast<std::uint16_t>(level);
    expect_ok(c, cmd::osc_set_trigger_edge_level, {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
    expect_ok(c, cmd::osc_set_single);
  };

  // Channel A, the target clock: sample 0 lies at the crossing, no force needed.
  capture(1, 0, 0);
  ASSERT_TRUE(wait_complete(c));
  auto a = read_wave(c, 1, 1024);
  EXPECT_GE(a[0], 0);
  EXPECT_GT(a[1], a[0]);
  capture(1, 1, 1000);
  ASSERT_TRUE(wait_complete(c));
  a = read_wave(c, 1, 1024);
  EXPECT_LE(a[0], 1000);
  EXPECT_LT(a[1], a[0]);
  // Pre-trigger mode: the crossing lies in the middle, what came before ahead of it;
  // either edge takes the first crossing of the level in whichever direction.
  capture(1, 2, -500, 1);
  ASSERT_TRUE(wait_complete(c));
  a = read_wave(c, 1, 1024);
  EXPECT_TRUE((a[511] < -500 && a[512] >= -500) || (a[511] > -500 && a[512] <= -500)) << a[511] << " " << a[512];

  // A level the signal never reaches waits; a bus trigger bit does not trigger a
  // channel source, force does.
  capture(1, 0, 30000);
  EXPECT_EQ(c.call(cmd::spi_transceive, spi_transfer(1, {0xFF}, 1)).status, OK);
  EXPECT_EQ(status(c), 0x001u);
  expect_ok(c, cmd::osc_set_force);
  EXPECT_TRUE(wait_complete(c));

  // Channel B, the power draw: above the noise only while the target works on a
  // byte, so an SPI transfer triggers without its trigger bit. Rising: sample 0 is
  // the draw's start; falling: its end.
  capture(2, 0, 5000);
  EXPECT_EQ(status(c), 0x001u);
  EXPECT_EQ(c.call(cmd::spi_transceive, spi_transfer(1, {0x0F, 0xFF})).status, OK);
  ASSERT_TRUE(wait_complete(c));
  auto b = read_wave(c, 2, 1024);
  EXPECT_GT(b[0], 5000);
  EXPECT_LT(b[48], 5000);  // the draw lasts 4 target cycles, 48 samples
  capture(2, 1, 5000);
  EXPECT_EQ(c.call(cmd::spi_transceive, spi_transfer(1, {0xFF})).status, OK);
  ASSERT_TRUE(wait_complete(c));
  b = read_wave(c, 2, 1024);
  EXPECT_LT(b[0], 5000);
  EXPECT_LT(b[47], 5000);
}

TEST(Simulator, PowerSourceTriggersWhenTheTargetComesUp) {
  Sim sim;
  support::Client c(sim.port());
  expect_ok(c, cmd::osc_set_sample_length, be32(1024));
  expect_ok(c, cmd::osc_set_trigger_source, {3});
  expect_ok(c, cmd::osc_set_single);
  expect_ok(c, cmd::nut_set_voltage_enable, {1});
  EXPECT_EQ(status(c), 0x001u);  // the clock is still gated
  expect_ok(c, cmd::nut_clock_enable, {1});
  EXPECT_TRUE(wait_complete(c));
}

TEST(Simulator, LongCaptureRunsItsTimeWhileOtherConnectionsAreServed) {
  Sim sim;
  support::Client c(sim.port());
  support::Client other(sim.port());
  constexpr std::uint32_t SAMPLES = 16 << 20;  // at 4 MHz: 4.19 s
  expect_ok(c, cmd::osc_set_sample_rate, be32(4000));
  expect_ok(c, cmd::osc_set_sample_length, be32(SAMPLES));
  expect_ok(c, cmd::osc_set_single);
  const auto forced = Clock::now();
  expect_ok(c, cmd::osc_set_force);
  EXPECT_EQ(status(other), 0x002u);

  Clock::duration slowest{};
  for (int i = 0; i < 20; ++i) {
    for (auto [command, payload] : {std::pair{cmd::get_id, ByteVec{}}, std::pair{cmd::osc_get_trigger_status, ByteVec{}},
                                    std::pair{cmd::nut_set_voltage_enable, ByteVec{static_cast<std::uint8_t>(i % 2)}}}) {
      const auto t = Clock::now();
      EXPECT_EQ(other.call(command, payload).status, OK);
      slowest = std::max(slowest, Clock::now() - t);
    }
  }
  // Generous for a loaded machine; a capture that held a lock would cost seconds.
  EXPECT_LT(slowest, std::chrono::milliseconds(1000));
  std::printf("slowest answer during the capture: %.1f ms\n",
              std::chrono::duration<double, std::milli>(slowest).count());
  EXPECT_EQ(status(other), 0x002u);
  ASSERT_TRUE(wait_complete(c, std::chrono::seconds(60)));
  EXPECT_GE(Clock::now() - forced, std::chrono::microseconds(SAMPLES / 4));
}

TEST(Simulator, NoiseAveragesAwayAndTheSeedRepeatsIt) {
  constexpr std::uint32_t N = 1024;
  constexpr int TRACES = 64;
  auto first_traces = [&](const std::string& seed, int traces) {
    Sim sim({"--seed", seed});
    support::Client c(sim.port());
    power_up(c);
    expect_ok(c, cmd::osc_set_sample_length, be32(N));
    std::vector<ByteVec> out;
    for (int t = 0; t < traces; ++t) {
      expect_ok(c, cmd::osc_set_single);
      expect_ok(c, cmd::osc_set_force);
      EXPECT_TRUE(wait_complete(c));
      out.push_back(c.call(cmd::osc_get_channel_wave, wave(2, N)).payload);
    }
    return out;
  };
  auto deviation = [](const std::vector<double>& v) {
    double mean = 0, var = 0;
    for (double x : v) mean += x / static_cast<double>(v.size());
    for (double x : v) var += (x - mean) * (x - mean) / static_cast<double>(v.size());
    return std::sqrt(var);
  };
  const auto traces = first_traces("7", TRACES);
  std::vector<double> one(N), mean(N, 0.0);
  for (int t = 0; t < TRACES; ++t) {
    const auto s = samples(traces[t]);
    for (std::size_t i = 0; i < N; ++i) {
      if (t == 0) one[i] = s[i];
      mean[i] += s[i] / static_cast<double>(TRACES);
    }
  }
  EXPECT_GT(deviation(one), 4 * deviation(mean));

  EXPECT_EQ(first_traces("7", 2), std::vector<ByteVec>(traces.begin(), traces.begin() + 2));
  EXPECT_NE(first_traces("8", 1)[0], traces[0]);
}

struct FaultCase {
  const char* name;
  std::uint16_t command;
  ByteVec payload;
  std::uint16_t status;
  const char* text;
};

TEST(Simulator, EveryFaultAnswersAsTheProtocolDescribes) {
  const std::vector<FaultCase> cases{
      {"spi-hang", cmd::spi_transceive, spi_transfer(1, {1}), INTERNAL_ERROR, "SPI transceive"},
      {"i2c-hang", cmd::i2c_transceive, i2c_read(0, 1), TIME_OUT, ""},
      {"uart-hang", cmd::uart_transceive, uart_transfer(1, 50, {1}), TIME_OUT, ""},
      {"spi-readback", cmd::spi_enable, {1}, INTERNAL_ERROR, "Failed to enable spi"},
      {"i2c-readback", cmd::i2c_reset, {}, INTERNAL_ERROR, "Failed to reset i2c"},
      {"uart-readback", cmd::uart_config, uart_settings(8), INTERNAL_ERROR, "Configuring UART"},
      {"display-busy", cmd::nut_set_voltage_value, be32(3300), INTERNAL_ERROR, "Initializing OLED"},
      {"map-refused", cmd::osc_get_trigger_status, {}, INTERNAL_ERROR, "Unable to init driver"},
  };
  for (const auto& f : cases) {
    SCOPED_TRACE(f.name);
    Sim sim({"--fault", f.name});
    support::Client c(sim.port());
    EXPECT_EQ(c.call(cmd::get_id).text(), "VALDRIX-M4-123456");
    if (std::string(f.name) != "map-refused") {
      power_up(c);
      for (std::uint16_t enable : {cmd::spi_enable, cmd::i2c_enable, cmd::uart_enable})
        if (enable != f.command) c.call(enable, {1});
    }
    const Reply r = c.call(f.command, f.payload);
    EXPECT_EQ(r.status, f.status);
    EXPECT_EQ(r.text(), f.text);
  }

  // A broken lock: the first transfer faults inside its start, every later one is
  // Busy (SPI's wrapped in its handler's context); the other buses still work.
  for (auto [name, command, payload, busy_status, busy_text] :
       {std::tuple{"spi-broken-lock", cmd::spi_transceive, spi_transfer(1, {1}), INTERNAL_ERROR, "SPI transceive"},
        std::tuple{"i2c-broken-lock", cmd::i2c_transceive, i2c_read(0, 1), BUSY, ""},
        std::tuple{"uart-broken-lock", cmd::uart_transceive, uart_transfer(1, 100, {1}), BUSY, ""}}) {
    SCOPED_TRACE(name);
    Sim sim({"--fault", name});
    support::Client c(sim.port());
    power_up(c);
    for (std::uint16_t enable : {cmd::spi_enable, cmd::i2c_enable, cmd::uart_enable}) expect_ok(c, enable, {1});
    const Reply first = c.call(command, payload);
    EXPECT_EQ(first.status, INTERNAL_ERROR);
    EXPECT_EQ(first.text(), "Request failed");
    for (int i = 0; i < 2; ++i) {
      const Reply later = c.call(command, payload);
      EXPECT_EQ(later.status, busy_status);
      EXPECT_EQ(later.text(), busy_text);
    }
    const Reply spi = c.call(cmd::spi_transceive, spi_transfer(1, {9}));
    if (command != cmd::spi_transceive) {
      EXPECT_EQ(spi.payload, ByteVec{9});
    }
    EXPECT_TRUE(sim.process().wait_for_output("Device is busy"));
  }
}

// Whether a TCP connection to address:port is accepted.
bool connects(const char* address, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &addr.sin_addr);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

TEST(Simulator, ListensOnTheAddressItIsGiven) {
  const std::uint16_t port = support::free_port();
  support::Process p(support::bin_dir() + "/valdrixd-sim", {"--port", std::to_string(port), "--listen", "127.0.0.2"},
                     {"NO_COLOR=1"});
  ASSERT_TRUE(p.wait_for_output("Server is listening on 127.0.0.2:" + std::to_string(port)));
  EXPECT_TRUE(connects("127.0.0.2", port));
  EXPECT_FALSE(connects("127.0.0.1", port));

  support::Process bad(support::bin_dir() + "/valdrixd-sim", {"--listen", "localhost"});
  EXPECT_EQ(bad.wait(10000), 2);
  const std::string message = "valdrixd-sim: --listen needs an IPv4 address such as 127.0.0.1\n";
  EXPECT_EQ(bad.err().substr(0, message.size()), message);
}

TEST(Simulator, UnknownFaultIsAUsageError) {
  support::Process p(support::bin_dir() + "/valdrixd-sim", {"--fault", "kettle-boils"}, {"NO_COLOR=1"});
  EXPECT_EQ(p.wait(10000), 2);
  EXPECT_NE(p.err().find("--fault needs one of the fault names below"), std::string::npos);
  EXPECT_NE(p.err().find("    uart-broken-lock  "), std::string::npos);
}

}  // namespace

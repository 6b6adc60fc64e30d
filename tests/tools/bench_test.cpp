// valdrix-bench's link emulator and campaign mode, run as child processes against
// a spawned valdrixd-sim: what passes through the proxy arrives whole and a round
// trip later, and a campaign runs both styles on both paths.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/loopback.h"
#include "support/process.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Process;

class Bench : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = support::free_port();
    sim_ = std::make_unique<Process>(support::bin_dir() + "/valdrixd-sim",
                                     std::vector<std::string>{"--port", std::to_string(port_)});
    ASSERT_TRUE(Process::wait_for_port(port_)) << sim_->err();
  }
  void TearDown() override {
    sim_->kill(SIGTERM);
    sim_->wait(10000);
  }
  std::unique_ptr<Process> bench(std::vector<std::string> args) {
    return std::make_unique<Process>(support::bin_dir() + "/valdrix-bench", args);
  }

  std::uint16_t port_ = 0;
  std::unique_ptr<Process> sim_;
};

TEST_F(Bench, TheProxyForwardsBothWaysARoundTripLaterAndEndsOnASignal) {
  const std::uint16_t listen = support::free_port();
  auto proxy = bench({"proxy", "--listen", std::to_string(listen), "--to", "127.0.0.1:" + std::to_string(port_),
                      "--rtt-ms", "20", "--rate-mbit", "0"});
  ASSERT_TRUE(proxy->wait_for_output("proxy 127.0.0.1:" + std::to_string(listen))) << proxy->err();
  {
    support::Client c(listen);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.call(cmd::get_id).text(), "VALDRIX-M4-123456");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20)) << "the link's round trip";
    // A read-out of 2 MiB arrives whole.
    const support::Reply wave = c.call(cmd::osc_get_channel_wave, {1, 0, 0, 0, 0, 0, 0x10, 0, 0});
    EXPECT_EQ(wave.status, 0);
    EXPECT_EQ(wave.payload.size(), std::size_t{2} << 20);
  }
  proxy->kill(SIGTERM);
  EXPECT_EQ(proxy->wait(10000), 0);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"proxy", "--listen", "0", "--to", "127.0.0.1:9761"},
        {"proxy", "--listen", "9800", "--to", "10.0.0.1:9761"},
        {"proxy", "--listen", "9800"}}) {
    auto p = bench(bad);
    EXPECT_EQ(p->wait(10000), 2);
    EXPECT_TRUE(p->err().starts_with("valdrix-bench proxy: ")) << p->err();
  }
}

TEST_F(Bench, ACampaignRunsBatchedAndPerTraceOnLoopbackAndThroughTheLink) {
  auto campaign = bench({"campaign", "--port", std::to_string(port_), "-d", "0.3", "--samples", "1024",
                         "--memory-mib", "0"});
  ASSERT_EQ(campaign->wait(120000), 0) << campaign->out() << campaign->err();
  const std::string out = campaign->out();
  EXPECT_NE(out.find("limits: instrument 21307 traces/s (fill 21.3 us + exchange 25.6 us)"), std::string::npos)
      << out;
  for (const std::string row : {"loopback   batched, 1018 a request", "loopback   one request sequence a trace",
                                "link       batched, 1018 a request", "link       one request sequence a trace",
                                "loopback   the same, no quick ACKs", "link       the same, no quick ACKs",
                                "without quick ACKs over with:  loopback "})
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
  EXPECT_EQ(out.find("incomplete"), std::string::npos) << out;
}

}  // namespace

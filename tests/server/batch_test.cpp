// The batch capture extension over a real socket against the simulated
// instrument: the records on the wire next to what the single commands give for
// the same captures, failed traces in mid-batch, a client that leaves, the memory
// a large answer holds, refused requests and discovery.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "protocol/memory_budget.h"
#include "server/driver_set.h"
#include "sim/bus_ctrl.h"
#include "sim/capture.h"
#include "sim/spi_ctrl.h"
#include "sim/uart_ctrl.h"
#include "support/loopback.h"
#include "support/server_fixture.h"
#include "support/target_power.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Client;
using support::Reply;

void put16(ByteVec& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
void put32(ByteVec& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v >> 16));
  put16(out, static_cast<std::uint16_t>(v));
}
ByteVec u32(std::uint32_t v) {
  ByteVec out;
  put32(out, v);
  return out;
}

struct Batch {
  std::uint8_t bus = 0;
  std::uint8_t channels = 3;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  std::uint16_t rx_len = 0;
  std::uint32_t timeout_ms = 1000;
  std::vector<ByteVec> inputs;
  std::uint32_t count = 0;  // 0: as many as inputs
  std::uint16_t flags = 0;

  ByteVec payload() const {
    ByteVec p{bus, channels};
    put32(p, offset);
    put32(p, length);
    put16(p, static_cast<std::uint16_t>(inputs.empty() ? 0 : inputs[0].size()));
    put16(p, rx_len);
    put32(p, count != 0 ? count : static_cast<std::uint32_t>(inputs.size()));
    put32(p, timeout_ms);
    put16(p, flags);
    for (const auto& in : inputs) p.insert(p.end(), in.begin(), in.end());
    return p;
  }
  std::size_t record_size() const {
    return 8 + rx_len + std::size_t{2} * length * static_cast<std::size_t>((channels & 1) + (channels >> 1 & 1));
  }
};

// One record as the answer carries it.
struct Record {
  std::uint16_t result;
  std::uint16_t error;
  std::uint32_t status;
  ByteVec rx;
  ByteVec samples;
};

std::vector<Record> records(const Batch& b, const ByteVec& answer) {
  std::vector<Record> out;
  const std::size_t r = b.record_size();
  for (std::size_t at = 0; at + r <= answer.size(); at += r) {
    const std::uint8_t* p = answer.data() + at;
    out.push_back({static_cast<std::uint16_t>(p[0] << 8 | p[1]), static_cast<std::uint16_t>(p[2] << 8 | p[3]),
                   std::uint32_t{p[4]} << 24 | std::uint32_t{p[5]} << 16 | std::uint32_t{p[6]} << 8 | p[7],
                   ByteVec(p + 8, p + 8 + b.rx_len), ByteVec(p + 8 + b.rx_len, p + r)});
  }
  return out;
}

class BatchTest : public support::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    set_up_instrument();
  }
  void set_up_instrument() {
    support::power_target(sim());  // so that the bus devices answer
    expect_ok(cmd::spi_enable, {1});
    expect_ok(cmd::osc_set_sample_length, u32(1024));
  }
  sim::CaptureCore& capture() { return *sim().model_at<sim::CaptureCore>(sim::CaptureCore::BASE); }

  ByteVec wave(std::uint8_t channel, std::uint32_t offset, std::uint32_t length) {
    ByteVec p{channel};
    put32(p, offset);
    put32(p, length);
    Reply r = call(cmd::osc_get_channel_wave, p);
    EXPECT_EQ(r.status, 0);
    return r.payload;
  }

  base::log::Capture log_;
};

TEST_F(BatchTest, RecordsCarryTheAnswerAndTheSamplesOfEachCaptureInInputOrder) {
  Batch b{.bus = 1, .channels = 3, .offset = 5, .length = 6, .rx_len = 3, .inputs = {{0x12, 0x34}, {0xAB, 0xCD}}};
  Reply answer = call(cmd::capture_batch, b.payload());
  ASSERT_EQ(answer.status, 0) << answer.text();
  ASSERT_EQ(answer.payload.size(), 2 * b.record_size());
  EXPECT_EQ(capture().captures(), 2u);
  // The last capture is still in the memories: its record is what the read-outs give.
  ByteVec last{0, 0, 0, 0, 0, 0, 1, 2, 0xAB, 0xCD, 0xAB};
  for (std::uint8_t channel : {1, 2}) {
    const ByteVec samples = wave(channel, 5, 6);
    last.insert(last.end(), samples.begin(), samples.end());
  }
  EXPECT_EQ(ByteVec(answer.payload.begin() + static_cast<long>(b.record_size()), answer.payload.end()), last);

  // The same inputs one request per capture, on an instrument started afresh with
  // the same seed, give the same answer byte for byte.
  sim_ = support::install_sim();
  server::testing::reset_driver();
  set_up_instrument();
  ByteVec expected;
  for (const ByteVec& in : b.inputs) {
    expect_ok(cmd::osc_set_single);
    ByteVec spi{0, 0, 0, 0, 0, 0, 3, 1};
    spi.insert(spi.end(), in.begin(), in.end());
    const Reply rx = call(cmd::spi_transceive, spi);
    ASSERT_TRUE(support::wait_complete(capture()));
    expected.insert(expected.end(), {0, 0, 0, 0, 0, 0, 1, 2});
    expected.insert(expected.end(), rx.payload.begin(), rx.payload.end());
    for (std::uint8_t channel : {1, 2}) {
      const ByteVec samples = wave(channel, 5, 6);
      expected.insert(expected.end(), samples.begin(), samples.end());
    }
  }
  EXPECT_EQ(answer.payload, expected);

  // One channel and an empty window: a record is its head and the answer bytes.
  Batch forced{.bus = 0, .channels = 2, .length = 0, .rx_len = 0, .inputs = {{}, {}, {}}};
  answer = call(cmd::capture_batch, forced.payload());
  EXPECT_EQ(answer.payload, (ByteVec{0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 1, 2}));
}

TEST_F(BatchTest, AMissedTriggerOrABusErrorFailsOnlyItsTraceAndTheBatchGoesOn) {
  // Channel B triggers on the target's draw: an input of all ones draws past the
  // level, one of all zeros does not.
  expect_ok(cmd::osc_set_channel_gain_raw, {2, 255});
  expect_ok(cmd::osc_set_trigger_edge_level, {0x1F, 0x40});
  expect_ok(cmd::osc_set_trigger_source, {2});
  Batch spi{.bus = 1, .channels = 1, .length = 4, .rx_len = 2, .timeout_ms = 20,
            .inputs = {{0xFF, 0xFF}, {0x00, 0x00}, {0xFF, 0xFF}}};
  auto r = records(spi, call(cmd::capture_batch, spi.payload()).payload);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].result, 0);
  EXPECT_EQ(r[0].rx, (ByteVec{0xFF, 0xFF}));
  EXPECT_EQ(r[1].result, 1);
  EXPECT_EQ(r[1].error, 0);
  EXPECT_EQ(r[1].status, 0x001u) << "armed and waiting";
  EXPECT_EQ(r[1].rx, ByteVec(2, 0));
  EXPECT_EQ(r[1].samples, ByteVec(8, 0));
  EXPECT_EQ(r[2].result, 0);
  EXPECT_EQ(r[2].status, 0x102u);
  EXPECT_EQ(r[2].samples, wave(1, 0, 4));
  EXPECT_EQ(capture().captures(), 2u);

  // The UART echo: two bytes already wait, each trace sends two and reads three,
  // so the third trace finds only two and times out; the fourth reads them.
  expect_ok(cmd::osc_set_trigger_source, {0});
  expect_ok(cmd::uart_config, {0, 0, 8, 0, 0x01, 0xC2, 0x00});
  expect_ok(cmd::uart_enable, {1});
  expect_ok(cmd::uart_transceive, {0, 0, 0, 0, 0, 0, 0, 0x70, 0x71});
  for (int i = 0; i < 1000 && call(cmd::uart_receive_fifo_remained).payload != ByteVec{0, 2}; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Batch uart{.bus = 3, .channels = 2, .length = 4, .rx_len = 3, .timeout_ms = 30,
             .inputs = {{1, 2}, {3, 4}, {5, 6}, {7, 8}}};
  r = records(uart, call(cmd::capture_batch, uart.payload()).payload);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].rx, (ByteVec{0x70, 0x71, 1}));
  EXPECT_EQ(r[1].rx, (ByteVec{2, 3, 4}));
  EXPECT_EQ(r[2].result, 2);
  EXPECT_EQ(r[2].error, 2) << "the status a single uart_transceive answers: TimeOut";
  EXPECT_EQ(r[2].rx, ByteVec(3, 0));
  EXPECT_EQ(r[2].samples, ByteVec(8, 0));
  EXPECT_EQ(r[3].result, 0);
  EXPECT_EQ(r[3].rx, (ByteVec{5, 6, 7}));
  EXPECT_EQ(r[3].samples, wave(2, 0, 4));
}

TEST_F(BatchTest, AClientThatLeavesEndsItsBatchAndTheNextClientCapturesAtOnce) {
  // A hundred thousand forced captures: far longer than this test runs.
  Batch b{.bus = 0, .channels = 1, .length = 1024, .inputs = {}, .count = 100000};
  {
    Client leaving(server_->port());
    leaving.send(support::request_frame(cmd::capture_batch, b.payload()));
    std::uint8_t head[13 + 4096];
    pollfd p{leaving.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_GT(::read(leaving.fd(), head, sizeof head), 0);
  }  // closed with the rest unread
  bool ended = false;
  for (int i = 0; i < 5000 && !ended; ++i) {
    for (const auto& m : log_.messages("server::handler::batch")) ended |= m.starts_with("Batch ended after");
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(ended);
  const std::uint32_t after = capture().captures();
  EXPECT_LT(after, 100000u);
  // Nothing captures any more, and the next client's capture goes through.
  expect_ok(cmd::osc_set_single);
  expect_ok(cmd::osc_set_force);
  EXPECT_TRUE(support::wait_complete(capture(), std::chrono::seconds(5)));
  EXPECT_EQ(capture().captures(), after + 1);
  EXPECT_EQ(call(cmd::spi_transceive, {0, 0, 0, 0, 0, 0, 1, 1, 0x5A}).payload, (ByteVec{0x5A}));
}

TEST_F(BatchTest, ALargeAnswerStreamsWithinTheConnectionsShare) {
  // 64 MiB of answer from sixteen short captures, each read through a 4 MiB window.
  Batch b{.bus = 0, .channels = 3, .length = 1u << 20, .inputs = {}, .count = 16};
  ASSERT_TRUE(support::connections_ended(5000, 1));
  const long idle = support::rss_kib();
  Client reader(server_->port());
  reader.send(support::request_frame(cmd::capture_batch, b.payload()));
  pollfd p{reader.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the answer never started";
  // The socket buffers fill; the batch waits for its client with one piece.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (support::sizes_mean_something()) {
    EXPECT_LT(support::rss_kib(), idle + 16 * 1024) << "idle " << idle << " KiB";
  }
  EXPECT_LE(protocol::MemoryBudget::shared().in_use(), std::size_t{1} << 20);
  EXPECT_EQ(call(cmd::get_id).text(), "VALDRIX-M4-123456");
  Reply answer;
  ASSERT_TRUE(reader.read_reply(answer));
  EXPECT_EQ(answer.status, 0);
  const auto r = records(b, answer.payload);
  ASSERT_EQ(r.size(), 16u);
  for (const Record& rec : r) EXPECT_EQ(rec.status, 0x102u);
  EXPECT_EQ(r[15].samples.size(), std::size_t{4} << 20);
}

TEST_F(BatchTest, BadRequestsAreRefusedBeforeAnyCapture) {
  struct Case {
    ByteVec payload;
    std::string text;
  };
  const Batch ok{.bus = 1, .channels = 3, .length = 16, .rx_len = 1, .inputs = {{1}, {2}}};
  auto with = [&](auto change) {
    Batch b = ok;
    change(b);
    return b.payload();
  };
  ByteVec short_inputs = ok.payload();
  short_inputs.pop_back();
  const std::vector<Case> cases = {
      {ByteVec(23, 0), "parse capture_batch error:While parsing field 'flags' in CaptureBatch: failed to fill whole buffer"},
      {with([](Batch& b) { b.inputs.clear(); }), "Batch count must be at least 1"},
      {short_inputs, "Batch payload must be 24 + count x tx_len = 26 bytes, got 25"},
      {with([](Batch& b) { b.bus = 4; }), "Unknown batch bus 4: 0 none, 1 SPI, 2 I2C or 3 UART"},
      {with([](Batch& b) { b.channels = 0; }), "Batch channels must be 1, 2 or 3, got 0"},
      {with([](Batch& b) { b.channels = 4; }), "Batch channels must be 1, 2 or 3, got 4"},
      {with([](Batch& b) { b.offset = 0x8000000 - 15; }),
       "Batch window of 16 samples from 134217713 lies beyond the sample memory of 134217728 samples"},
      {with([](Batch& b) { b.length = 0x8000000; b.count = 9; b.inputs.resize(9, {0}); }),
       "Batch answer of 9 records of 536870921 bytes exceeds the frame's 4294967295 bytes"},
      {with([](Batch& b) { b.flags = 1; }), "Batch flags must be 0, got 1"},
      {with([](Batch& b) { b.bus = 2; b.rx_len = 0; b.inputs = {{}, {}}; }),
       "An I2C batch needs input or answer bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Reply r = call(cmd::capture_batch, c.payload);
    EXPECT_EQ(r.status, 0x8000);
    EXPECT_EQ(r.text(), c.text);
  }
  EXPECT_EQ(capture().captures(), 0u);
  EXPECT_EQ(call(cmd::get_id).text(), "VALDRIX-M4-123456") << "the connection stays open";
}

TEST_F(BatchTest, DiscoveryNamesVersionBusesMemoryAndLimits) {
  EXPECT_EQ(call(cmd::batch_info, {0x42}).payload,
            (ByteVec{0, 1, 0, 0x0F, 0x08, 0, 0, 0, 0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}

}  // namespace

namespace {

class BatchWaitTest : public BatchTest {
 protected:
  // Channel B triggers on the target's draw; an input of zeros never draws past the level.
  void trigger_on_draw() {
    expect_ok(cmd::osc_set_channel_gain_raw, {2, 255});
    expect_ok(cmd::osc_set_trigger_edge_level, {0x1F, 0x40});
    expect_ok(cmd::osc_set_trigger_source, {2});
  }
  // Bounded wait until a UART transfer has started on the controller.
  bool eventually_busy() {
    auto& uart = *sim::bus_controller<sim::UartCtrl>(sim(), 0x40);
    for (int i = 0; i < 5000 && uart.transfers().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return !uart.transfers().empty();
  }
  std::size_t capture_status_reads() const {
    std::size_t n = 0;
    for (const auto& a : sim_->model_at<sim::CaptureCore>(sim::CaptureCore::BASE)->accesses())
      n += a.op == sim::Access::Op::Read && a.offset == sim::CaptureCore::STATUS_OFFSET;
    return n;
  }
};

TEST_F(BatchWaitTest, WaitsThatFailReadTheStatusAboutOncePerMillisecond) {
  trigger_on_draw();
  Batch b{.bus = 1, .channels = 1, .length = 4, .rx_len = 2, .timeout_ms = 100,
          .inputs = {{0xFF, 0xFF}, {0, 0}, {0, 0}, {0, 0}}};
  capture().clear_accesses();
  const auto r = records(b, call(cmd::capture_batch, b.payload()).payload);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].result, 0);
  for (int k = 1; k < 4; ++k) EXPECT_EQ(r[k].result, 1) << k;
  // Spinning in 10 us steps would read some 10,000 times per missed trace; in the
  // single commands' step it is about a hundred, plus the spin window around what
  // the first trace taught.
  const std::size_t reads = capture_status_reads();
  EXPECT_GE(reads, 3u * 10) << "each missed trace polled to its end";
  EXPECT_LE(reads, 3u * 400) << "the missed traces spun";
}

TEST_F(BatchWaitTest, ABatchBehindAnotherClientsLongTransferLearnsOnlyItsOwnWork) {
  expect_ok(cmd::uart_config, {0, 0, 8, 0, 0x01, 0xC2, 0x00});
  expect_ok(cmd::uart_enable, {1});
  // Another client holds the UART for 400 ms: it waits for four bytes of an echo of two.
  Client other(server_->port());
  other.send(support::request_frame(cmd::uart_transceive, ByteVec{0, 4, 0, 0, 0, 0x01, 0x90, 0x61, 0x62}));
  ASSERT_TRUE(eventually_busy());
  // Each trace's own transfer takes a fraction of a millisecond; had the batch
  // learned the lock's 400 ms as its transfer time, every later trace would first
  // sleep past its 100 ms time-out and fail.
  Batch b{.bus = 3, .channels = 1, .length = 4, .rx_len = 2, .timeout_ms = 100,
          .inputs = {{1, 2}, {3, 4}, {5, 6}, {7, 8}}};
  const auto r = records(b, call(cmd::capture_batch, b.payload()).payload);
  ASSERT_EQ(r.size(), 4u);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(r[k].result, 0) << k << ": error " << r[k].error;
  // The other client's echo still waited in the FIFO: each trace reads the one before.
  EXPECT_EQ(r[0].rx, (ByteVec{0x61, 0x62}));
  EXPECT_EQ(r[3].rx, (ByteVec{5, 6}));
  Reply timed_out;
  ASSERT_TRUE(other.read_reply(timed_out));
  EXPECT_EQ(timed_out.status, 2);
}

TEST_F(BatchWaitTest, AHungSpiBusGivesTheSingleCommandsInternalError) {
  sim::bus_controller<sim::SpiCtrl>(sim(), 0x80)->set_hang(true);
  Batch b{.bus = 1, .channels = 1, .length = 4, .rx_len = 1, .timeout_ms = 10, .inputs = {{0x5A}}};
  const auto r = records(b, call(cmd::capture_batch, b.payload()).payload);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].result, 2);
  EXPECT_EQ(r[0].error, 0x8000) << "spi_transceive answers InternalError \"SPI transceive\"";
}

TEST_F(BatchWaitTest, ARecordLeavesBeforeItsPieceIsFullWhenTheNextTraceMayTakeLong) {
  trigger_on_draw();
  // Three missed triggers of 300 ms: each record is far smaller than a piece.
  Batch b{.bus = 1, .channels = 1, .length = 4, .rx_len = 2, .timeout_ms = 300, .inputs = {{0, 0}, {0, 0}, {0, 0}}};
  capture().clear_accesses();
  Client c(server_->port());
  c.send(support::request_frame(cmd::capture_batch, b.payload()));
  ByteVec got;
  std::uint8_t buf[256];
  while (got.size() < 13 + b.record_size()) {
    pollfd p{c.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the first record did not leave";
    const ssize_t n = ::read(c.fd(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.insert(got.end(), buf, buf + n);
  }
  // The first record is here while the batch still waits for a later trigger:
  // the third trace has not even been armed.
  std::size_t arms = 0;
  for (const auto& a : capture().accesses())
    arms += a == sim::wr(sim::CaptureCore::SINGLE_OFFSET, 0xFFFFFFFF);
  EXPECT_LE(arms, 2u);
  EXPECT_EQ(got[13], 0);
  EXPECT_EQ(got[14], 1) << "missed trigger";
}

}  // namespace

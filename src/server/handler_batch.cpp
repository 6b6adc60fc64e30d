// The batch capture extension: capture_batch runs N captures in one request, each
// an arm, an input sent over the chosen bus with its trigger bit and a wait for the
// capture, and streams one fixed-size record per trace as the traces are taken;
// batch_info tells a host what the extension offers. docs/protocol.md has the
// records.
//
// The answer's length is known before the first capture, so it goes out as one
// frame that streams in pieces of BATCH_CHUNK: the kernel sends one piece while
// the next traces are captured, and the connection holds one piece whatever N and
// the window. The samples go from the sample memories straight into that piece.
#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/bytes.h"
#include "base/format.h"
#include "base/log.h"
#include "protocol/connection.h"
#include "protocol/frame.h"
#include "protocol/packet_batch.h"
#include "server/handler.h"
#include "server/handler_support.h"

namespace server::handler::batch {
namespace {

using protocol::packet::batch::BatchInfo;
using protocol::packet::batch::CaptureBatch;
namespace wire = protocol::packet::batch;
namespace osc = driver::module::osc;
using driver::module::Polling;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

constexpr std::string_view LOG_TARGET = "server::handler::batch";
// A trace's transfer and capture take tens of microseconds; the batch polls them
// this finely once their expected end is near.
constexpr microseconds POLL_STEP{10};
// Large enough for the socket to take whole segments, small enough that the first
// traces leave while the later ones are still being captured.
constexpr std::size_t BATCH_CHUNK = 256 * 1024;
constexpr std::uint64_t MEMORY_SAMPLES = osc::WAVE_SIZE / 2;

// The batch's waits that sleep (the long ones; short ones spin) would otherwise
// overrun by the thread's default timer slack of 50 us.
class FineSleeps {
 public:
  FineSleeps() : saved_(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
    if (saved_ > 0) ::prctl(PR_SET_TIMERSLACK, 1000, 0, 0, 0);
  }
  ~FineSleeps() {
    if (saved_ > 0) ::prctl(PR_SET_TIMERSLACK, saved_, 0, 0, 0);
  }
  FineSleeps(const FineSleeps&) = delete;
  FineSleeps& operator=(const FineSleeps&) = delete;

 private:
  long saved_;
};

// What a wait has taken at least so far in this batch; the next wait waits out
// most of that before its first read. Failed waits teach nothing.
class Expected {
 public:
  Polling polling() const {
    if (!shortest_) return Polling{.first = microseconds{0}, .interval = POLL_STEP};
    return Polling{.first = std::max(microseconds{0}, *shortest_ - POLL_STEP), .interval = POLL_STEP};
  }
  void took(Clock::duration d) {
    const auto us = std::chrono::duration_cast<microseconds>(d);
    if (!shortest_ || us < *shortest_) shortest_ = us;
  }

 private:
  std::optional<microseconds> shortest_;
};

// Produces the answer front to back, capturing trace k when its record's first
// byte is asked for. Runs on the connection's thread only.
class Batch {
 public:
  Batch(const DriverSet& drivers, const CaptureBatch& request, base::ByteView inputs)
      : drivers_(drivers), request_(request), inputs_(inputs), head_(wire::RECORD_HEAD_SIZE + request.rx_len) {
    if (request.channels & 1) channels_[channel_count_++] = 1;
    if (request.channels & 2) channels_[channel_count_++] = 2;
  }

  // The next n bytes of the answer. Once the client has gone the rest of the piece
  // is zeros; the connection then ends without sending it.
  void fill(std::uint8_t* dst, std::size_t n) {
    while (n > 0) {
      if (at_ == 0) {
        if (stopped_ || protocol::client_gone()) {
          stopped_ = true;
          std::memset(dst, 0, n);
          return;
        }
        capture(next_++);
      }
      const std::size_t take = copy(dst, n);
      dst += take;
      n -= take;
      at_ += take;
      if (at_ == request_.record_size()) at_ = 0;
    }
  }

  // Fills a buffer of the whole answer: for a caller without a connection.
  void fill_all(base::Bytes& out) { fill(out.data(), out.size()); }

  void log_summary() const {
    base::log::debug(LOG_TARGET, "Batch ended after {} of {} traces: {} complete, {} missed, {} bus errors", next_,
                     request_.count, complete_, missed_, bus_errors_);
  }

 private:
  // Bytes of the current record from position at_ on, at most n.
  std::size_t copy(std::uint8_t* dst, std::size_t n) {
    std::uint64_t at = at_;
    if (at < head_.size()) {
      const std::size_t take = std::min<std::size_t>(n, head_.size() - at);
      std::memcpy(dst, head_.data() + at, take);
      return take;
    }
    at -= head_.size();
    const std::uint64_t window = request_.window_bytes();
    const std::size_t c = static_cast<std::size_t>(at / window);  // window > 0 here: at < record size
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, window - at % window));
    if (complete_now_ && readers_[c])
      readers_[c]->read(dst, take);
    else
      std::memset(dst, 0, take);
    return take;
  }

  void capture(std::uint32_t k) {
    const base::ByteView input = inputs_.subspan(std::size_t{k} * request_.tx_len, request_.tx_len);
    std::fill(head_.begin(), head_.end(), std::uint8_t{0});
    complete_now_ = false;
    std::uint16_t result = wire::RESULT_MISSED_TRIGGER;
    std::uint16_t error = 0;
    std::uint32_t status = 0;

    const auto& osc = drivers_.osc;
    if (auto armed = osc.single(); !armed) {
      // The capture core's registers cannot be reached: no capture for this trace.
      error = protocol::STATUS_INTERNAL_ERROR;
    } else if (auto sent = transfer(input); !sent) {
      result = wire::RESULT_BUS_ERROR;
      error = sent.error().status();
      ++bus_errors_;
      if (auto s = osc.get_trigger_status(); s) status = *s;
    } else {
      std::copy(sent->begin(), sent->end(), head_.begin() + wire::RECORD_HEAD_SIZE);
      const auto started = Clock::now();
      auto wait = osc.wait_for_capture(std::chrono::milliseconds(request_.timeout_ms), capture_.polling());
      if (!wait) {
        error = protocol::STATUS_INTERNAL_ERROR;
      } else {
        status = wait->status;
        if (wait->complete) {
          capture_.took(Clock::now() - started);
          result = wire::RESULT_COMPLETE;
          complete_now_ = true;
        }
      }
    }
    if (result == wire::RESULT_MISSED_TRIGGER) ++missed_;
    if (complete_now_) {
      ++complete_;
      open_readers();
    } else {
      std::fill(head_.begin() + wire::RECORD_HEAD_SIZE, head_.end(), std::uint8_t{0});
    }
    base::store_be16(head_.data(), result);
    base::store_be16(head_.data() + 2, error);
    base::store_be32(head_.data() + 4, status);
  }

  void open_readers() {
    for (int i = 0; i < channel_count_; ++i) {
      const protocol::packet::server::ChannelWave wave{
          .channel = channels_[i], .offset = request_.offset, .length = request_.length};
      // Checked against the memory before the first capture; cannot fail here.
      auto reader = drivers_.osc.open_wave(wave);
      if (reader)
        readers_[i].emplace(*reader);
      else
        readers_[i].reset();
    }
  }

  // Sends the input with the trigger bit and reads the answer, or forces the
  // trigger; the bytes the target answered.
  driver::module::hw::BusResult transfer(base::ByteView input) {
    namespace rec = protocol::packet::server;
    const auto& hw = drivers_.hw;
    const auto started = Clock::now();
    driver::module::hw::BusResult sent;
    switch (request_.bus) {
      case wire::BUS_NONE: {
        if (auto forced = drivers_.osc.force(); !forced)
          return std::unexpected(protocol::ProtocolError::internal(std::move(forced.error())));
        return base::Bytes(request_.rx_len, 0);
      }
      case wire::BUS_SPI:
        sent = hw.spi_transceive(rec::SpiTransceive{.is_delay = 0,
                                                    .delay = 0,
                                                    .rx_len = request_.rx_len,
                                                    .is_trigger = 1,
                                                    .tx_data = base::Bytes(input.begin(), input.end())},
                                 transfer_.polling());
        break;
      case wire::BUS_I2C:
        sent = hw.i2c_transceive(i2c_request(input), transfer_.polling());
        break;
      default:
        sent = hw.uart_transceive(rec::UartTransceive{.rx_len = request_.rx_len,
                                                      .is_trigger = 1,
                                                      .timeout = request_.timeout_ms,
                                                      .tx_data = base::Bytes(input.begin(), input.end())},
                                  transfer_.polling());
        break;
    }
    if (sent) transfer_.took(Clock::now() - started);
    return sent;
  }

  // The input as a write segment and the answer as a read segment, in the first
  // and the second transfer of one transaction, as the host tools lay them out.
  protocol::packet::server::I2cTransceive i2c_request(base::ByteView input) const {
    protocol::packet::server::I2cTransceive r;
    r.is_trigger = 1;
    r.tx_data.assign(input.begin(), input.end());
    if (request_.tx_len > 0 && request_.rx_len > 0) {
      r.tsf1_count = 1;
      r.tsf2_count = 1;
      r.tsf_rw = 0b10;
      r.tsf_lens[0] = request_.tx_len;
      r.tsf_lens[1] = request_.rx_len;
    } else {
      r.tsf1_count = 1;
      r.tsf_rw = request_.tx_len > 0 ? 0 : 1;
      r.tsf_lens[0] = request_.tx_len > 0 ? request_.tx_len : request_.rx_len;
    }
    return r;
  }

  const DriverSet& drivers_;
  const CaptureBatch request_;
  const base::ByteView inputs_;
  std::array<std::uint8_t, 2> channels_{};
  int channel_count_ = 0;
  base::Bytes head_;
  std::array<std::optional<osc::WaveReader>, 2> readers_;
  bool complete_now_ = false;
  bool stopped_ = false;
  std::uint64_t at_ = 0;  // position inside the current record
  std::uint32_t next_ = 0;
  std::uint32_t complete_ = 0;
  std::uint32_t missed_ = 0;
  std::uint32_t bus_errors_ = 0;
  Expected transfer_;
  Expected capture_;
};

}  // namespace

HandlerResult capture_batch(Request request) {
  base::log::debug(LOG_TARGET, "Handling capture_batch command");
  auto batch = support::decode<CaptureBatch>("parse capture_batch error:", request.payload);
  if (!batch) return std::unexpected(std::move(batch.error()));
  base::log::debug(LOG_TARGET, "Capture batch parameters: {}", batch->debug_text());
  if (auto ok = batch->check(request.payload.size(), MEMORY_SAMPLES); !ok) return support::internal(ok.error());
  auto set = support::drivers();
  if (!set) return std::unexpected(std::move(set.error()));

  const base::ByteView inputs = base::ByteView(request.payload).subspan(CaptureBatch::HEADER_SIZE);
  const std::uint64_t length = std::uint64_t{batch->count} * batch->record_size();
  FineSleeps fine;
  Batch run(**set, *batch, inputs);
  if (protocol::Connection* connection = protocol::Connection::current()) {
    auto sent = connection->stream_answer(
        length, [&](std::uint8_t* dst, std::size_t n) { run.fill(dst, n); }, BATCH_CHUNK);
    run.log_summary();
    if (!sent) return support::internal(std::move(sent.error()));
    return base::Bytes{};
  }
  base::Bytes answer;
  try {
    answer.resize(static_cast<std::size_t>(length));
  } catch (const std::exception&) {
    return support::internal(base::Error(base::format("Failed to allocate {} bytes", length)));
  }
  run.fill_all(answer);
  run.log_summary();
  return answer;
}

HandlerResult batch_info(Request) {
  base::log::debug(LOG_TARGET, "Handling batch_info command");
  return BatchInfo{.memory_samples = static_cast<std::uint32_t>(MEMORY_SAMPLES),
                   .max_request = protocol::MAX_PAYLOAD_LENGTH}
      .encode();
}

}  // namespace server::handler::batch

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
// this finely only around their expected end.
constexpr microseconds POLL_STEP{10};
// Past its expected end (or, before anything is learned, past this much) a wait
// sleeps in the single commands' step: a trigger that never comes or a target
// that never answers must not keep a core busy for the whole time-out.
constexpr microseconds UNLEARNED_SPIN{1000};
constexpr microseconds SPIN_PAST{200};
constexpr microseconds LATE_STEP = std::chrono::milliseconds(1);
// Large enough for the socket to take whole segments, small enough that the first
// traces leave while the later ones are still being captured.
constexpr std::size_t BATCH_CHUNK = 256 * 1024;
// A complete record waits for its piece to fill at most this long.
constexpr Clock::duration HOLD_LIMIT = std::chrono::milliseconds(20);
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

// What a wait has taken at least so far in this batch, counted by the driver
// from the start of the work (a bus lock's wait is not the work); the next wait
// sleeps through most of that before its first read. Failed waits teach nothing.
class Expected {
 public:
  Polling polling() {
    Polling p{.first = microseconds{0},
              .interval = POLL_STEP,
              .fine_for = UNLEARNED_SPIN,
              .late_interval = LATE_STEP,
              .cancelled = [] { return protocol::client_gone(); },
              .took = &took_};
    took_ = microseconds{-1};
    if (shortest_) {
      p.first = std::max(microseconds{0}, *shortest_ - POLL_STEP);
      p.fine_for = *shortest_ + *shortest_ / 4 + SPIN_PAST;
    }
    return p;
  }
  // After work done with polling(): learns what it took. Work with nothing to
  // wait for (a write-only transfer) took no time worth a wait.
  void learn() {
    const microseconds took = std::max(took_, microseconds{0});
    if (!shortest_ || took < *shortest_) shortest_ = took;
  }
  std::optional<microseconds> shortest() const { return shortest_; }

 private:
  std::optional<microseconds> shortest_;
  microseconds took_{-1};
};

// Produces the answer front to back, capturing trace k when its record's first
// byte is asked for. Runs on the connection's thread only.
//
// Complete records wait in the connection's piece only while the next trace is
// expected to be quick: before a trace that may take long (nothing learned yet,
// the previous trace failed, or its expected time would hold a record past
// HOLD_LIMIT) fill stops short, so what is finished leaves at once. A capture that
// runs past the hold's limit while records are held lets them go too, then waits
// out its own time-out.
class Batch {
 public:
  Batch(const DriverSet& drivers, const CaptureBatch& request, base::ByteView inputs)
      : drivers_(drivers), request_(request), inputs_(inputs), record_(wire::RECORD_HEAD_SIZE + request.rx_len) {
    if (request.channels & 1) channels_[channel_count_++] = 1;
    if (request.channels & 2) channels_[channel_count_++] = 2;
  }

  // Writes the next bytes of the answer, at most n; fewer when the finished
  // records should leave before the next trace. Once the client has gone the rest
  // of the piece is zeros; the connection then ends without sending it.
  std::size_t fill(std::uint8_t* dst, std::size_t n) {
    // Whatever came before this call has left: the connection sends between calls.
    held_since_.reset();
    std::size_t made = 0;
    while (made < n) {
      if (at_ == 0) {
        if (stopped_ || protocol::client_gone()) {
          stopped_ = true;
          std::memset(dst + made, 0, n - made);
          return n;
        }
        if (!waiting_) {
          // Records finished in this call are held: they leave now unless the
          // next trace is expected soon (the connection sends before asking again).
          if (held_since_ && !quick_next()) return made;
          start(next_++);
        }
        if (waiting_ && !wait()) return made;
      }
      const std::size_t take = copy(dst + made, n - made);
      made += take;
      at_ += take;
      if (at_ == request_.record_size()) {
        at_ = 0;
        if (!held_since_) held_since_ = Clock::now();
      }
    }
    return made;
  }

  // Fills a buffer of the whole answer: for a caller without a connection.
  void fill_all(base::Bytes& out) {
    for (std::size_t at = 0; at < out.size();) at += fill(out.data() + at, out.size() - at);
  }

  void log_summary() const {
    base::log::debug(LOG_TARGET, "Batch ended after {} of {} traces: {} complete, {} missed, {} bus errors", next_,
                     request_.count, complete_, missed_, bus_errors_);
  }

 private:
  // Whether the next trace is expected to end soon enough for the held records
  // to wait for it.
  bool quick_next() const {
    if (!last_complete_) return false;
    const auto transfer = transfer_.shortest();
    const auto capture = capture_.shortest();
    if (!capture || (request_.bus != wire::BUS_NONE && !transfer)) return false;
    const Clock::duration expected = *capture + transfer.value_or(microseconds{0});
    return Clock::now() - *held_since_ + expected < HOLD_LIMIT;
  }

  // Bytes of the current record from position at_ on, at most n.
  std::size_t copy(std::uint8_t* dst, std::size_t n) {
    std::uint64_t at = at_;
    if (at < record_.size()) {
      const std::size_t take = std::min<std::size_t>(n, record_.size() - at);
      std::memcpy(dst, record_.data() + at, take);
      return take;
    }
    at -= record_.size();
    const std::uint64_t window = request_.window_bytes();
    const std::size_t c = static_cast<std::size_t>(at / window);  // window > 0 here: at < record size
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, window - at % window));
    if (head_.result == wire::RESULT_COMPLETE && readers_[c])
      readers_[c]->read(dst, take);
    else
      std::memset(dst, 0, take);
    return take;
  }

  // Arms, sends input k and starts its capture's wait; the record is final unless
  // waiting_ is left set.
  void start(std::uint32_t k) {
    const base::ByteView input = inputs_.subspan(std::size_t{k} * request_.tx_len, request_.tx_len);
    std::fill(record_.begin(), record_.end(), std::uint8_t{0});
    head_ = wire::RecordHead{};
    if (auto armed = drivers_.osc.single(); !armed) {
      // The capture core's registers cannot be reached: no capture for this trace.
      head_.error = protocol::STATUS_INTERNAL_ERROR;
      finish();
      return;
    }
    auto sent = transfer(input);
    if (!sent) {
      head_.result = wire::RESULT_BUS_ERROR;
      head_.error = sent.error().status();
      if (auto s = drivers_.osc.get_trigger_status(); s) head_.trigger_status = *s;
      finish();
      return;
    }
    std::copy(sent->begin(), sent->end(), record_.begin() + wire::RECORD_HEAD_SIZE);
    waiting_ = true;
    wait_started_ = Clock::now();
    resumed_ = false;
  }

  // Waits for the capture; false when it stopped early so that the held records
  // can leave, and is to be called again.
  bool wait() {
    const microseconds limit = std::chrono::milliseconds(request_.timeout_ms);
    const auto spent = std::chrono::duration_cast<microseconds>(Clock::now() - wait_started_);
    microseconds part = resumed_ ? std::max(microseconds{0}, limit - spent) : limit;
    bool cut = false;
    if (held_since_) {
      const auto hold_left =
          std::chrono::duration_cast<microseconds>(HOLD_LIMIT - (Clock::now() - *held_since_));
      if (hold_left < part) {
        part = std::max(microseconds{0}, hold_left);
        cut = true;
      }
    }
    Polling polling = capture_.polling();
    if (resumed_) polling = Polling{.cancelled = polling.cancelled};
    auto wait = drivers_.osc.wait_for_capture(part, polling);
    if (!wait) {
      head_.error = protocol::STATUS_INTERNAL_ERROR;
    } else {
      head_.trigger_status = wait->status;
      if (wait->complete) {
        if (!resumed_) capture_.learn();
        head_.result = wire::RESULT_COMPLETE;
      } else if (cut && !protocol::client_gone()) {
        resumed_ = true;
        return false;
      }
    }
    waiting_ = false;
    finish();
    return true;
  }

  void finish() {
    last_complete_ = head_.result == wire::RESULT_COMPLETE;
    if (last_complete_) {
      ++complete_;
      open_readers();
    } else {
      std::fill(record_.begin() + wire::RECORD_HEAD_SIZE, record_.end(), std::uint8_t{0});
      if (head_.result == wire::RESULT_MISSED_TRIGGER) ++missed_;
      if (head_.result == wire::RESULT_BUS_ERROR) ++bus_errors_;
    }
    head_.encode(record_.data());
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
    if (sent) transfer_.learn();
    // The single command answers every SPI failure, a hung bus's TimeOut among
    // them, as an internal error "SPI transceive"; a record says what it would.
    if (!sent && request_.bus == wire::BUS_SPI)
      return std::unexpected(protocol::ProtocolError::internal(sent.error().to_error().context("SPI transceive")));
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
  base::Bytes record_;  // the head and the answer bytes of the current record
  wire::RecordHead head_;
  std::array<std::optional<osc::WaveReader>, 2> readers_;
  bool stopped_ = false;
  bool waiting_ = false;        // the current trace's capture is still awaited
  bool resumed_ = false;        // and its wait was cut short once already
  bool last_complete_ = false;  // the previous trace completed
  Clock::time_point wait_started_;
  std::optional<Clock::time_point> held_since_;  // the oldest complete record not yet sent
  std::uint64_t at_ = 0;                         // position inside the current record
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
        length, [&](std::uint8_t* dst, std::size_t n) { return run.fill(dst, n); }, BATCH_CHUNK);
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

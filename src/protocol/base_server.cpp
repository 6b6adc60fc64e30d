#include "protocol/base_server.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "base/log.h"
#include "protocol/connection.h"
#include "protocol/memory_budget.h"

namespace protocol {

namespace {

constexpr std::string_view kTarget = "protocol";
// Bytes read ahead per connection: a header and a small payload arrive in one read.
constexpr std::size_t READ_AHEAD = 16 * 1024;
// Answers held back while the client's next request is already here leave
// together once this much has gathered, or sooner.
constexpr std::size_t HOLD_BACK = 16 * 1024;
// The longest an answer is held back while the connection works on, or waits
// for, the request after it. Longer than the 1 ms a transfer waits before its
// first poll and than most single commands take, so that arm, transfer and status
// answers leave in one segment; shorter than the 40 ms a host may delay its
// acknowledgement, which is what an answer sent alone can cost the next one when
// Nagle's algorithm holds it.
constexpr auto HOLD_LIMIT = std::chrono::milliseconds(20);
constexpr const char* FLUSHER_THREAD_NAME = "valdrix-flush";
// A streamed answer goes out in chunks of up to this size while the budget has
// room, else in HOLD_BACK pieces from the connection's own allowance. Every chunk
// boundary gives the kernel a chance to send a short segment, which Nagle's
// algorithm and a client's delayed acknowledgement can turn into a 40 ms stall at
// the end of the answer; chunks of a few MiB make that rare and keep read-outs
// at the speed of the loopback.
constexpr std::size_t STREAM_CHUNK = 4 * 1024 * 1024;
// A payload buffer starts this large and doubles as its bytes arrive, so what a
// connection holds follows what its client sent, not what the header announced.
constexpr std::size_t PAYLOAD_FIRST = 16 * 1024;
// After an error frame the rest of the stream is read and thrown away before the
// socket is closed, so that unread input does not turn the close into a reset that
// could destroy the frame in flight. Bounded, so a client cannot hold the thread;
// the byte bound lets the rest of a refused 16 MiB upload drain.
constexpr int kDiscardMillis = 1000;
constexpr std::size_t kDiscardBytes = 32 * 1024 * 1024;
// Connection threads mostly wait in socket calls, so a few malloc arenas serve them
// without contention; glibc would otherwise give up to eight per core on 64-bit
// hosts (64 MiB of address space each) and two per core on the instrument.
constexpr int MALLOC_ARENAS = 4;

int close_retry(int fd) { return ::close(fd); }  // never retried: Linux frees fd anyway

thread_local Connection* t_connection = nullptr;

// Set while a connection thread runs; what handlers and transfers reach through
// Connection::current().
class CurrentConnection {
 public:
  explicit CurrentConnection(Connection* c) : previous_(t_connection) { t_connection = c; }
  ~CurrentConnection() { t_connection = previous_; }
  CurrentConnection(const CurrentConnection&) = delete;

 private:
  Connection* previous_;
};

// An owned byte buffer whose size is charged to the connection's account.
class Charged {
 public:
  explicit Charged(Account& account) : account_(account) {}
  ~Charged() { reset(); }
  Charged(const Charged&) = delete;

  // Replaces the buffer by one of `capacity` bytes keeping the first `keep`;
  // false, with the buffer unchanged, when neither the budget nor the allocator
  // has room (`anyway` charges past the budget).
  bool resize(std::size_t capacity, std::size_t keep, bool anyway = false) {
    if (anyway)
      account_.charge_anyway(capacity);
    else if (!account_.charge(capacity))
      return false;
    std::unique_ptr<std::uint8_t[]> fresh(new (std::nothrow) std::uint8_t[capacity]);
    if (!fresh) {
      account_.release(capacity);
      return false;
    }
    if (keep > 0) std::memcpy(fresh.get(), data_.get(), keep);
    account_.release(capacity_);
    data_ = std::move(fresh);
    capacity_ = capacity;
    return true;
  }
  void reset() {
    data_.reset();
    account_.release(capacity_);
    capacity_ = 0;
  }
  std::uint8_t* data() const { return data_.get(); }
  std::size_t capacity() const { return capacity_; }

 private:
  Account& account_;
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
};

enum class ReadOutcome { Done, Ended, OutOfMemory };

class Stream;

// Sends held answers whose time is up, whatever their connection's thread is doing
// meanwhile: reading a slow payload, waiting for a bus lock or a transfer,
// sleeping. One thread for the whole service; it sleeps while nothing is held.
//
// Thread-safety: a held connection's buffer belongs to the flusher's lock from
// hold() until release(); its connection touches it only outside that span.
class Flusher {
 public:
  // The service's flusher, started on first use; null when no thread could be had,
  // and then nothing is held back.
  static Flusher* get();

  // Links s, whose buffer holds complete answers, to leave by `until`.
  void hold(Stream& s, std::chrono::steady_clock::time_point until);
  // Gives s's buffer back to its connection, sent or not.
  void release(Stream& s);

 private:
  void run();
  void link(Stream& s);
  void unlink(Stream& s);

  std::mutex mu_;
  std::condition_variable cv_;
  // In order of their deadlines.
  Stream* head_ = nullptr;
  Stream* tail_ = nullptr;
  std::chrono::steady_clock::time_point sleeps_until_ = std::chrono::steady_clock::time_point::max();
};

// A connection's socket: read-ahead on one side; on the other, answers held back
// while the client's next request is already here, so that the answers to a batch
// of requests leave together instead of one small segment each (which Nagle's
// algorithm would hold until the client acknowledges the one before). Held
// answers go out before anything else is written and before the socket is shut
// down, and the flusher sends them once HOLD_LIMIT has passed.
class Stream final : public Connection {
 public:
  explicit Stream(int fd) : fd_(fd), in_(account_), out_(account_) {}
  ~Stream() override { reclaim(); }
  Stream(const Stream&) = delete;

  bool start() { return in_.resize(READ_AHEAD, 0, true) && out_.resize(HOLD_BACK, 0, true); }

  // Fills `out` with exactly n bytes, from the buffer first. False on error or end
  // of stream.
  bool read_exact(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (start_ == end_) {
        start_ = end_ = 0;
        // Large remainders go straight into the destination; small ones read ahead.
        if (n >= READ_AHEAD / 2) {
          ssize_t r = ::read(fd_, out, n);
          if (r < 0 && errno == EINTR) continue;
          if (r <= 0) return false;
          out += r;
          n -= static_cast<std::size_t>(r);
          continue;
        }
        if (!fill(0)) return false;
      }
      const std::size_t take = std::min(n, end_ - start_);
      std::memcpy(out, in_.data() + start_, take);
      start_ += take;
      out += take;
      n -= take;
    }
    return true;
  }

  // Reads a payload of `length` bytes into a buffer that grows with what arrives.
  ReadOutcome read_payload(std::uint32_t length, base::Bytes& payload) {
    std::size_t charged = 0;
    std::size_t have = 0;
    while (have < length) {
      if (have == payload.size()) {
        const std::size_t want = std::min<std::size_t>(length, std::max(PAYLOAD_FIRST, 2 * payload.size()));
        if (!account_.charge(want)) {
          account_.release(charged);
          return ReadOutcome::OutOfMemory;
        }
        if (!grow(payload, want)) {
          account_.release(want + charged);
          return ReadOutcome::OutOfMemory;
        }
        account_.release(charged);
        charged = want;
      }
      const std::size_t n = std::min(payload.size(), std::size_t{length}) - have;
      if (!read_some(payload.data() + have, n, have)) {
        account_.release(charged);
        return ReadOutcome::Ended;
      }
    }
    payload.resize(length);
    payload_charge_ = charged;
    return ReadOutcome::Done;
  }
  // The payload went to the handler, which has released it.
  void payload_released() {
    account_.release(payload_charge_);
    payload_charge_ = 0;
  }

  // Holds the frame back when the client's next request has already arrived,
  // else sends it together with whatever was held.
  base::Result<void> send_frame(const Response& r) {
    // The answer exists already (its transfer ran): counted while a slow reader
    // keeps it here, so that later payloads wait for it.
    account_.charge_anyway(r.payload.size());
    reclaim();
    auto header = r.header_bytes();
    auto w = append(header.data(), header.size());
    if (w) w = append(r.payload.data(), r.payload.size());
    if (w) w = end_of_answer();
    account_.release(r.payload.size());
    return w;
  }

  // After an answer: held back only while the next request is already here.
  base::Result<void> end_of_answer() {
    if (out_len_ == 0 || !next_request_waiting()) return flush();
    Flusher* flusher = Flusher::get();
    if (flusher == nullptr) return flush();
    const auto now = std::chrono::steady_clock::now();
    if (!held_since_) held_since_ = now;
    holding_ = true;
    flusher->hold(*this, *held_since_ + HOLD_LIMIT);
    return {};
  }

  base::Result<void> flush() {
    reclaim();
    auto w = send_out(0);
    // A chunk the budget lent for a streamed answer goes back once it is out.
    if (out_.capacity() > HOLD_BACK) out_.resize(HOLD_BACK, 0, true);
    return w;
  }

  base::Result<void> stream_answer(std::uint64_t length,
                                   const std::function<std::size_t(std::uint8_t*, std::size_t)>& fill_bytes,
                                   std::size_t chunk) override {
    streamed_ = true;
    reclaim();
    // An answer made slowly (captures between its pieces) must not keep the
    // answers before it; one copied from memory takes them along in its first send.
    if (chunk != 0 && out_len_ > 0) {
      if (auto w = send_out(0); !w) return w;
    }
    // Bytes of an answer that cannot be finished are not sent when none has left yet.
    const std::size_t frame_start = out_len_;
    bool started = false;
    try {
      return stream_frame(length, fill_bytes, chunk == 0 ? STREAM_CHUNK : chunk, started);
    } catch (...) {
      if (!started) out_len_ = frame_start;
      throw;
    }
  }

  base::Result<void> stream_frame(std::uint64_t length, const std::function<std::size_t(std::uint8_t*, std::size_t)>& fill_bytes,
                                  std::size_t chunk, bool& started) {
    const std::size_t at = out_len_;
    Response head = Response::with_status(STATUS_OK, {});
    head.length = static_cast<std::uint32_t>(length);
    auto header = head.header_bytes();
    if (auto w = append(header.data(), header.size()); !w) return w;
    if (out_len_ != at + header.size()) started = true;  // held answers went out with part of it
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, out_len_ + length));
    if (want > out_.capacity()) out_.resize(want, out_len_);
    const std::size_t cap = out_.capacity();
    std::uint64_t left = length;
    // The odd-sized piece goes first and whole chunks follow, so the answer never
    // ends with a small send that Nagle's algorithm could hold back until the
    // client acknowledges the rest.
    std::size_t piece = static_cast<std::size_t>((out_len_ + length) % cap);
    if (piece == 0) {
      piece = cap;
    } else if (piece < out_len_) {
      // Held bytes reach past the odd piece: that much of them goes first.
      started = true;
      if (auto w = send_prefix(piece, MSG_MORE); !w) return w;
      piece = cap;
    }
    while (left > 0) {
      if (out_len_ == piece) {
        // More of this answer follows: let the kernel fill whole segments.
        started = true;
        if (auto w = send_out(MSG_MORE); !w) return w;
        piece = cap;
      }
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece - out_len_));
      const std::size_t made = std::min(n, fill_bytes(out_.data() + out_len_, n));
      out_len_ += made;
      left -= made;
      if (gone_) return base::fail("Client gone while its answer was being made");
      if (made < n) {
        // The producer's next bytes may be slow to come: what is finished leaves now.
        started = true;
        if (auto w = send_out(0); !w) return w;
        piece = static_cast<std::size_t>(left % cap);
        if (piece == 0) piece = cap;
      }
    }
    return end_of_answer();
  }

  bool client_gone() override {
    if (gone_) return true;
    pollfd p{fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) gone_ = true;
    return gone_;
  }

  // Taken once per request: whether its answer was streamed by the handler.
  bool take_streamed() { return std::exchange(streamed_, false); }
  bool gone() const { return gone_; }

  void discard_rest() {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDiscardMillis);
    std::size_t total = 0;
    while (total < kDiscardBytes) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      until - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      int pr = ::poll(&p, 1, static_cast<int>(left));
      if (pr < 0 && errno == EINTR) continue;
      if (pr <= 0) return;
      ssize_t r = ::read(fd_, in_.data(), in_.capacity());
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return;
      total += static_cast<std::size_t>(r);
    }
  }

  int fd() const { return fd_; }

  // On the flusher's thread, under its lock: sends what the socket takes at once.
  // True when nothing needs another try: all sent, or the socket failed, which
  // the connection's own next send then reports.
  bool send_held_now() {
    std::size_t sent = 0;
    bool again = false;
    while (sent < out_len_) {
      ssize_t n = ::send(fd_, out_.data() + sent, out_len_ - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        again = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
    std::memmove(out_.data(), out_.data() + sent, out_len_ - sent);
    out_len_ -= sent;
    return !again;
  }

 private:
  friend class Flusher;

  // Takes the buffer back from the flusher before this thread writes or sends.
  void reclaim() {
    if (!holding_) return;
    if (Flusher* flusher = Flusher::get()) flusher->release(*this);
    holding_ = false;
    if (out_len_ == 0) held_since_.reset();
  }

  // Moves the payload into a buffer of `size` bytes; false (the charge for it
  // given back by the caller) when it cannot be had.
  static bool grow(base::Bytes& payload, std::size_t size) {
    try {
      base::Bytes grown;
      grown.reserve(size);
      grown.assign(payload.begin(), payload.end());
      grown.resize(size);
      payload.swap(grown);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
  }

  // One read into the read-ahead buffer from `at`; flags as for recv.
  bool fill(int flags) {
    for (;;) {
      ssize_t r = ::recv(fd_, in_.data() + end_, in_.capacity() - end_, flags);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      end_ += static_cast<std::size_t>(r);
      return true;
    }
  }

  // Up to n bytes into dst, from the read-ahead first; `have` grows by what came.
  bool read_some(std::uint8_t* dst, std::size_t n, std::size_t& have) {
    if (start_ < end_) {
      const std::size_t take = std::min(n, end_ - start_);
      std::memcpy(dst, in_.data() + start_, take);
      start_ += take;
      have += take;
      return true;
    }
    for (;;) {
      ssize_t r = ::read(fd_, dst, n);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      have += static_cast<std::size_t>(r);
      return true;
    }
  }

  // True when bytes of a further request are buffered or have arrived; looks at
  // the socket without taking anything from it.
  bool next_request_waiting() {
    if (start_ < end_) return true;
    std::uint8_t byte = 0;
    for (;;) {
      ssize_t r = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (r < 0 && errno == EINTR) continue;
      return r > 0;
    }
  }

  base::Result<void> append(const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      if (out_len_ == out_.capacity()) {
        if (auto w = send_out(MSG_MORE); !w) return w;
      }
      const std::size_t take = std::min(n, out_.capacity() - out_len_);
      std::memcpy(out_.data() + out_len_, p, take);
      out_len_ += take;
      p += take;
      n -= take;
    }
    return {};
  }

  // Sends the first n held bytes and keeps the rest.
  base::Result<void> send_prefix(std::size_t n, int flags) {
    const std::size_t rest = out_len_ - n;
    out_len_ = n;
    auto w = send_out(flags);
    if (!w) return w;
    std::memmove(out_.data(), out_.data() + n, rest);
    out_len_ = rest;
    return {};
  }

  // Sends every held byte. With MSG_MORE (more of the same answer follows at
  // once) the kernel may keep a partial segment for the next send, which always
  // comes: bytes are only ever held in out_, never left with MSG_MORE alone.
  base::Result<void> send_out(int flags) {
    std::size_t sent = 0;
    while (sent < out_len_) {
      ssize_t n = ::send(fd_, out_.data() + sent, out_len_ - sent, flags | MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        out_len_ = 0;
        return std::unexpected(base::Error(base::errno_description(errno)));
      }
      if (n == 0) {
        out_len_ = 0;
        return base::fail("failed to write whole buffer");
      }
      sent += static_cast<std::size_t>(n);
    }
    out_len_ = 0;
    if ((flags & MSG_MORE) == 0) held_since_.reset();
    return {};
  }

  int fd_;
  Account account_;
  Charged in_;
  Charged out_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  std::size_t out_len_ = 0;
  std::size_t payload_charge_ = 0;
  bool streamed_ = false;
  bool gone_ = false;
  // This thread's view: out_ belongs to the flusher until reclaim().
  bool holding_ = false;
  // When the oldest answer in out_ was first held back.
  std::optional<std::chrono::steady_clock::time_point> held_since_;
  // The flusher's, under its lock.
  Stream* prev_ = nullptr;
  Stream* next_ = nullptr;
  bool linked_ = false;
  std::chrono::steady_clock::time_point hold_until_;
};

Flusher* Flusher::get() {
  // Never destroyed: connection threads may still hold answers while the process exits.
  static Flusher* const flusher = []() -> Flusher* {
    auto* f = new (std::nothrow) Flusher;
    if (f == nullptr) return nullptr;
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) return nullptr;
    ::pthread_attr_setstacksize(&attr, Runtime::DEFAULT_STACK_SIZE);
    ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    const int e = ::pthread_create(
        &tid, &attr,
        [](void* arg) -> void* {
          ::pthread_setname_np(::pthread_self(), FLUSHER_THREAD_NAME);
          try {
            static_cast<Flusher*>(arg)->run();
          } catch (...) {
          }
          return nullptr;
        },
        f);
    ::pthread_attr_destroy(&attr);
    return e == 0 ? f : nullptr;
  }();
  return flusher;
}

void Flusher::hold(Stream& s, std::chrono::steady_clock::time_point until) {
  std::lock_guard lock(mu_);
  s.hold_until_ = until;
  link(s);
  // Woken only for a deadline before the one it sleeps until: deadlines mostly
  // come later than those already held, so a busy service wakes it rarely.
  if (until < sleeps_until_) cv_.notify_one();
}

void Flusher::release(Stream& s) {
  std::lock_guard lock(mu_);
  if (s.linked_) unlink(s);
}

void Flusher::run() {
  std::unique_lock lock(mu_);
  for (;;) {
    if (head_ == nullptr) {
      sleeps_until_ = std::chrono::steady_clock::time_point::max();
      cv_.wait(lock);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (head_->hold_until_ > now) {
      sleeps_until_ = head_->hold_until_;
      cv_.wait_until(lock, sleeps_until_);
      continue;
    }
    Stream& s = *head_;
    unlink(s);
    // A client that reads nothing leaves the rest for the connection's next send;
    // it is tried again meanwhile, in case the client starts reading.
    if (!s.send_held_now()) {
      s.hold_until_ = now + HOLD_LIMIT;
      link(s);
    }
  }
}

void Flusher::link(Stream& s) {
  // Deadlines mostly arrive in order: the walk from the tail is short.
  Stream* after = tail_;
  while (after != nullptr && after->hold_until_ > s.hold_until_) after = after->prev_;
  s.prev_ = after;
  s.next_ = after != nullptr ? after->next_ : head_;
  (s.next_ != nullptr ? s.next_->prev_ : tail_) = &s;
  (after != nullptr ? after->next_ : head_) = &s;
  s.linked_ = true;
}

void Flusher::unlink(Stream& s) {
  (s.prev_ != nullptr ? s.prev_->next_ : head_) = s.next_;
  (s.next_ != nullptr ? s.next_->prev_ : tail_) = s.prev_;
  s.prev_ = s.next_ = nullptr;
  s.linked_ = false;
}

base::Result<void> write_error_frame(Stream& s, std::string_view text) {
  Response r = Response::with_status(STATUS_INTERNAL_ERROR, base::Bytes(text.begin(), text.end()));
  auto w = s.send_frame(r);
  if (w) w = s.flush();
  if (!w) base::log::error(kTarget, "Failed to write response: {}", w.error().message());
  return w;
}

HandlerResult call_handler(CommandHandler handler, Request request) {
  try {
    return handler(std::move(request));
  } catch (const std::exception& e) {
    return std::unexpected(
        ProtocolError::internal(base::Error("Request failed", base::Error(e.what()))));
  } catch (...) {
    return std::unexpected(
        ProtocolError::internal(base::Error("Request failed", base::Error("unknown exception"))));
  }
}

std::string peer_text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return base::format("{}:{}", ip, ntohs(a.sin_port));
}

bool is_resource_shortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// How one connection ends.
enum class Ending { Quietly, AfterErrorFrame };

// Serves requests until the connection ends. May throw (an allocation failure
// while logging or answering); the caller catches it.
Ending serve(Stream& stream, CommandHandler handler) {
  for (;;) {
    std::uint8_t raw[REQUEST_HEADER_SIZE];
    if (!stream.read_exact(raw, sizeof raw)) {
      base::log::info(kTarget, "No header received, Disconnecting");
      return Ending::Quietly;
    }
    auto header = RequestHeader::parse(raw);
    if (!header) {
      base::log::error(kTarget, "Parse header error: {}", header.error().message());
      write_error_frame(stream, "Parse header error");
      return Ending::AfterErrorFrame;
    }
    if (header->magic != FRAME_MAGIC) {
      base::log::error(kTarget, "Invalid magic code");
      write_error_frame(stream, "Invalid magic code");
      return Ending::AfterErrorFrame;
    }
    if (header->direction != REQUEST_DIRECTION) {
      base::log::error(kTarget, "Invalid direction");
      write_error_frame(stream, "Invalid direction");
      return Ending::AfterErrorFrame;
    }
    if (header->length > MAX_PAYLOAD_LENGTH) {
      base::log::error(kTarget, "Payload length {} exceeds limit {}", header->length,
                       MAX_PAYLOAD_LENGTH);
      write_error_frame(stream, "Payload too large");
      return Ending::AfterErrorFrame;
    }
    Request request{*header, {}};
    switch (stream.read_payload(header->length, request.payload)) {
      case ReadOutcome::Done: break;
      case ReadOutcome::Ended:
        base::log::error(kTarget, "Failed to read payload");
        request.payload = {};
        write_error_frame(stream, "Read payload error");
        return Ending::AfterErrorFrame;
      case ReadOutcome::OutOfMemory:
        request.payload = {};
        base::log::error(kTarget, "Out of memory: no room for a payload of {} bytes", header->length);
        write_error_frame(stream, "Out of memory");
        return Ending::AfterErrorFrame;
    }
    HandlerResult result = call_handler(handler, std::move(request));
    stream.payload_released();
    if (stream.gone()) {
      base::log::debug(kTarget, "Client gone while its request waited, dropping the answer");
      return Ending::Quietly;
    }
    if (stream.take_streamed()) {
      // The handler sent its answer itself; a failure to send it ended the client.
      if (!result) {
        base::log::error(kTarget, "Failed to write response: {}", result.error().to_error().message());
        return Ending::Quietly;
      }
      continue;
    }
    Response response = to_response(std::move(result));
    if (auto w = stream.send_frame(response); !w) {
      base::log::error(kTarget, "Failed to write response: {}", w.error().message());
      return Ending::Quietly;
    }
  }
}

}  // namespace

Connection* Connection::current() { return t_connection; }

bool client_gone() {
  Connection* c = Connection::current();
  return c != nullptr && c->client_gone();
}

base::Result<Runtime> Runtime::build(std::size_t stack_size) {
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return std::unexpected(base::os_error("signal SIGPIPE", errno));
  ::mallopt(M_ARENA_MAX, MALLOC_ARENAS);
  // Every connection is a descriptor; the hard limit is what the system allows us.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  pthread_attr_t attr;
  if (int e = ::pthread_attr_init(&attr); e != 0) return std::unexpected(base::os_error("pthread_attr_init", e));
  int e = ::pthread_attr_setstacksize(&attr, stack_size);
  ::pthread_attr_destroy(&attr);
  if (e != 0) return std::unexpected(base::os_error("pthread_attr_setstacksize", e));
  return Runtime(stack_size);
}

namespace {
std::atomic<std::size_t> g_running{0};
}  // namespace

std::size_t Runtime::running() { return g_running.load(std::memory_order_acquire); }

base::Result<void> Runtime::spawn(std::function<void()> fn) const {
  pthread_attr_t attr;
  if (int e = ::pthread_attr_init(&attr); e != 0) return std::unexpected(base::os_error("pthread_attr_init", e));
  ::pthread_attr_setstacksize(&attr, stack_size_);
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* boxed = new (std::nothrow) std::function<void()>(std::move(fn));
  if (boxed == nullptr) {
    ::pthread_attr_destroy(&attr);
    return std::unexpected(base::os_error("pthread_create", ENOMEM));
  }
  pthread_t tid;
  g_running.fetch_add(1, std::memory_order_acq_rel);
  int e = ::pthread_create(
      &tid, &attr,
      [](void* arg) -> void* {
        ::pthread_setname_np(::pthread_self(), THREAD_NAME);
        {
          std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(arg));
          // Nothing that goes wrong on one connection may end the process.
          try {
            (*f)();
          } catch (...) {
          }
        }
        g_running.fetch_sub(1, std::memory_order_acq_rel);
        return nullptr;
      },
      boxed);
  ::pthread_attr_destroy(&attr);
  if (e != 0) {
    g_running.fetch_sub(1, std::memory_order_acq_rel);
    delete boxed;
    return std::unexpected(base::os_error("pthread_create", e));
  }
  return {};
}

base::Result<std::unique_ptr<BaseServer>> BaseServer::create(std::uint16_t port,
                                                             CommandHandler handler,
                                                             std::string_view host) {
  // Started with the first server, so that its thread is there before any client.
  (void)Flusher::get();
  std::string addr_text = base::format("{}:{}", host, port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  std::string host_str(host);
  if (::inet_pton(AF_INET, host_str.c_str(), &addr.sin_addr) != 1)
    return base::fail("could not resolve to any address");
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(base::os_error("socket", errno));
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    int e = errno;
    ::close(fd);
    return std::unexpected(base::os_error("setsockopt SO_REUSEADDR", e));
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    ::close(fd);
    return std::unexpected(base::os_error("bind " + addr_text, e));
  }
  if (::listen(fd, 1024) != 0) {
    int e = errno;
    ::close(fd);
    return std::unexpected(base::os_error("listen " + addr_text, e));
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  return std::unique_ptr<BaseServer>(new BaseServer(fd, ntohs(bound.sin_port), handler));
}

BaseServer::~BaseServer() {
  if (fd_ >= 0) close_retry(fd_);
}

void BaseServer::stop() {
  stopping_.store(true, std::memory_order_release);
  // Wakes a thread blocked in accept().
  ::shutdown(fd_, SHUT_RDWR);
}

base::Result<void> BaseServer::run(const Runtime& runtime) {
  while (!stopping_.load(std::memory_order_acquire)) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int client = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (client < 0) {
      int e = errno;
      if (stopping_.load(std::memory_order_acquire)) break;
      if (e == EINTR || e == ECONNABORTED) continue;
      base::log::error(kTarget, "Accept failed: {}", base::errno_description(e));
      // Out of descriptors or memory: give the connections time to end instead of
      // spinning on a listening socket that stays readable.
      if (is_resource_shortage(e)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    try {
      base::log::info(kTarget, "Connected by {}", peer_text(peer));
      CommandHandler handler = handler_;
      if (auto s = runtime.spawn([client, handler] { handle_client(client, handler); }); !s) {
        base::log::error(kTarget, "Failed to start connection thread: {}", s.error().message());
        ::close(client);
      }
    } catch (const std::exception& e) {
      // The connection's thread never started: only this one client is refused.
      base::log::error(kTarget, "Failed to start connection thread: {}", e.what());
      ::close(client);
    }
  }
  return {};
}

void BaseServer::handle_client(int fd, CommandHandler handler) {
  Ending ending = Ending::Quietly;
  try {
    Stream stream(fd);
    CurrentConnection current(&stream);
    if (!stream.start()) {
      base::log::error(kTarget, "Out of memory: no room for a new connection's buffers");
    } else {
      ending = serve(stream, handler);
      if (auto w = stream.flush(); !w)
        base::log::error(kTarget, "Failed to write response: {}", w.error().message());
    }
    if (::shutdown(fd, SHUT_WR) != 0)
      base::log::error(kTarget, "Failed to shutdown stream: {}", base::errno_description(errno));
    if (ending == Ending::AfterErrorFrame) stream.discard_rest();
  } catch (const std::exception& e) {
    // Out of memory while answering or logging: this connection ends, the
    // service goes on. Logging may fail again; the descriptor is closed anyway.
    try {
      base::log::error(kTarget, "Connection ended by an error: {}", e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      base::log::error(kTarget, "Connection ended by an unknown exception");
    } catch (...) {
    }
  }
  ::close(fd);
}

}  // namespace protocol

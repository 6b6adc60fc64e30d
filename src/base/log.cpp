#include "base/log.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace base::log {

namespace detail {
std::atomic<std::uint8_t> g_threshold{static_cast<std::uint8_t>(Level::Info)};
}

class Pipeline {
 public:
  Pipeline(bool colours, int fd, std::size_t capacity)
      : colours_(colours), fd_(fd), capacity_(capacity) {}

  bool colours() const { return colours_; }

  void push(std::string line) {
    {
      std::lock_guard lock(mu_);
      if (stopping_ || queue_.size() >= capacity_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      queue_.push_back(std::move(line));
    }
    cv_.notify_one();
  }

  void start() { writer_ = std::thread([this] { run(); }); }

  bool retired() const { return retired_.load(std::memory_order_acquire); }
  void retire() { retired_.store(true, std::memory_order_release); }

  // Signals the writer and gives it `limit` to write out the queue.
  void drain(std::chrono::milliseconds limit) {
    {
      std::unique_lock lock(mu_, std::defer_lock);
      // Handing over the stop signal waits at most 100 ms for the lock.
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= until) break;
        std::this_thread::yield();
      }
      stopping_ = true;
    }
    cv_.notify_one();
    std::unique_lock lock(mu_);
    if (done_cv_.wait_for(lock, limit, [this] { return done_; })) {
      lock.unlock();
      writer_.join();
    } else {
      writer_.detach();
    }
  }

  std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void run() {
    std::deque<std::string> batch;
    std::string out;
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      batch.swap(queue_);
      bool stop = stopping_;
      lock.unlock();
      out.clear();
      for (auto& l : batch) out += l;
      batch.clear();
      write_all(out);
      lock.lock();
      if (stop && queue_.empty()) break;
    }
    done_ = true;
    done_cv_.notify_all();
  }

  void write_all(const std::string& s) const {
    const char* p = s.data();
    std::size_t left = s.size();
    while (left > 0) {
      ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // nowhere to log a logging failure
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }

  const bool colours_;
  const int fd_;
  const std::size_t capacity_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable done_cv_;
  std::deque<std::string> queue_;
  bool stopping_ = false;
  bool done_ = false;
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<bool> retired_{false};
  std::thread writer_;
};

namespace {

std::mutex g_install_mu;
// Never destroyed either, so a guard that ends during exit still finds it.
auto* const g_pipeline = new std::shared_ptr<Pipeline>;  // guarded by g_install_mu
std::atomic<Pipeline*> g_active{nullptr};
// Pipelines are never freed, not even by exit handlers: a thread that loaded
// g_active just before its guard ended, or a connection thread still running while
// the process exits, may still push a line, which a stopped pipeline drops.
auto* const g_retired = new std::vector<std::shared_ptr<Pipeline>>;  // guarded by g_install_mu

std::mutex g_capture_mu;
std::vector<std::shared_ptr<Capture::State>> g_captures;  // guarded by g_capture_mu
std::atomic<bool> g_any_capture{false};

constexpr std::string_view kLevelPadded[] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
constexpr std::string_view kLevelColour[] = {"\x1b[35m", "\x1b[34m", "\x1b[32m", "\x1b[33m",
                                             "\x1b[31m"};
constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kDim = "\x1b[2m";

}  // namespace

struct Capture::State {
  mutable std::mutex mu;
  std::vector<Entry> entries;
};

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace: return "trace";
    case Level::Debug: return "debug";
    case Level::Info: return "info";
    case Level::Warn: return "warn";
    case Level::Error: return "error";
    case Level::Off: return "off";
  }
  return "off";
}

void set_threshold(Level level) {
  detail::g_threshold.store(static_cast<std::uint8_t>(level), std::memory_order_relaxed);
}

std::string format_line(Level level, std::string_view target, std::string_view message,
                        bool colours) {
  auto idx = static_cast<std::size_t>(level);
  if (idx > 4) idx = 4;
  std::string line;
  line.reserve(target.size() + message.size() + 32);
  if (colours) {
    line += kLevelColour[idx];
    line += kLevelPadded[idx];
    line += kReset;
    line += ' ';
    line += kDim;
    line += target;
    line += ':';
    line += kReset;
  } else {
    line += kLevelPadded[idx];
    line += ' ';
    line += target;
    line += ':';
  }
  line += ' ';
  line += message;
  line += '\n';
  return line;
}

bool colours_from_env() {
  const char* v = std::getenv("NO_COLOR");
  return v == nullptr || *v == '\0';
}

void emit(Level level, std::string_view target, std::string_view message) {
  if (g_any_capture.load(std::memory_order_acquire)) {
    std::lock_guard lock(g_capture_mu);
    for (auto& c : g_captures) {
      std::lock_guard l2(c->mu);
      c->entries.push_back({level, std::string(target), std::string(message)});
    }
  }
  // The pipeline outlives every log statement made while its guard lives.
  Pipeline* p = g_active.load(std::memory_order_acquire);
  if (p != nullptr) p->push(format_line(level, target, message, p->colours()));
}

Result<void> ReloadHandle::modify(Level level) const {
  auto p = pipeline_.lock();
  if (!p || p->retired()) return fail("the logging pipeline is gone");
  set_threshold(level);
  return {};
}

Guard::Guard(std::shared_ptr<Pipeline> pipeline) : pipeline_(std::move(pipeline)) {}
Guard::Guard(Guard&& other) noexcept : pipeline_(std::move(other.pipeline_)) {}

Guard::~Guard() {
  if (!pipeline_) return;
  {
    std::lock_guard lock(g_install_mu);
    if (*g_pipeline == pipeline_) {
      g_active.store(nullptr, std::memory_order_release);
      g_pipeline->reset();
    }
    pipeline_->retire();
    g_retired->push_back(pipeline_);
  }
  pipeline_->drain(std::chrono::seconds(1));
  pipeline_.reset();
}

Setup install(Level initial, bool colours, int fd, std::size_t capacity) {
  auto p = std::make_shared<Pipeline>(colours, fd, capacity);
  p->start();
  set_threshold(initial);
  {
    std::lock_guard lock(g_install_mu);
    *g_pipeline = p;
    g_active.store(p.get(), std::memory_order_release);
  }
  return Setup{Guard(p), ReloadHandle(p)};
}

std::uint64_t dropped_lines() {
  std::lock_guard lock(g_install_mu);
  return *g_pipeline ? (*g_pipeline)->dropped() : 0;
}

Capture::Capture() : state_(std::make_shared<State>()) {
  std::lock_guard lock(g_capture_mu);
  g_captures.push_back(state_);
  g_any_capture.store(true, std::memory_order_release);
}

Capture::~Capture() {
  std::lock_guard lock(g_capture_mu);
  std::erase(g_captures, state_);
  g_any_capture.store(!g_captures.empty(), std::memory_order_release);
}

std::vector<Capture::Entry> Capture::entries() const {
  std::lock_guard lock(state_->mu);
  return state_->entries;
}

std::vector<std::string> Capture::messages(std::string_view target) const {
  std::lock_guard lock(state_->mu);
  std::vector<std::string> out;
  for (auto& e : state_->entries)
    if (e.target == target) out.push_back(e.message);
  return out;
}

bool Capture::contains(Level level, std::string_view target, std::string_view message) const {
  std::lock_guard lock(state_->mu);
  for (auto& e : state_->entries)
    if (e.level == level && e.target == target && e.message == message) return true;
  return false;
}

void Capture::clear() {
  std::lock_guard lock(state_->mu);
  state_->entries.clear();
}

}  // namespace base::log

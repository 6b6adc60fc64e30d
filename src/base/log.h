#pragma once
// The logging pipeline. Thread-safe: a log statement checks the process-wide level
// threshold (one atomic load), formats its line on the calling thread and hands it
// to a bounded queue drained by one writer thread. A full queue drops the line; a
// log statement never blocks on the writer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/format.h"

namespace base::log {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error, Off };

// Lower-case name: "trace" ... "error", "off".
std::string_view level_name(Level level);

Level threshold();
inline bool enabled(Level level);

// Hands one message to the installed pipeline (and to a test capture, if any).
void emit(Level level, std::string_view target, std::string_view message);

// One log line as written: "DEBUG server::handler: text\n", with ANSI colours on the
// level and a dim target when `colours` is set.
std::string format_line(Level level, std::string_view target, std::string_view message,
                        bool colours);

// Colours are on unless NO_COLOR is set to a non-empty value.
bool colours_from_env();

template <class... Args>
void log(Level level, std::string_view target, std::string_view fmt, const Args&... args) {
  if (enabled(level)) emit(level, target, base::format(fmt, args...));
}
template <class... Args>
void trace(std::string_view target, std::string_view fmt, const Args&... args) {
  log(Level::Trace, target, fmt, args...);
}
template <class... Args>
void debug(std::string_view target, std::string_view fmt, const Args&... args) {
  log(Level::Debug, target, fmt, args...);
}
template <class... Args>
void info(std::string_view target, std::string_view fmt, const Args&... args) {
  log(Level::Info, target, fmt, args...);
}
template <class... Args>
void warn(std::string_view target, std::string_view fmt, const Args&... args) {
  log(Level::Warn, target, fmt, args...);
}
template <class... Args>
void error(std::string_view target, std::string_view fmt, const Args&... args) {
  log(Level::Error, target, fmt, args...);
}

class Pipeline;

// Replaces the level threshold of a pipeline. Fails once the pipeline is gone.
class ReloadHandle {
 public:
  explicit ReloadHandle(std::weak_ptr<Pipeline> pipeline) : pipeline_(std::move(pipeline)) {}
  Result<void> modify(Level level) const;

 private:
  std::weak_ptr<Pipeline> pipeline_;
};

// Owns the writer thread of an installed pipeline. Destroying it drains the queue:
// the writer gets the stop signal and at most one second to write what is queued.
class Guard {
 public:
  Guard(Guard&&) noexcept;
  Guard& operator=(Guard&&) = delete;
  ~Guard();
  explicit Guard(std::shared_ptr<Pipeline> pipeline);

 private:
  std::shared_ptr<Pipeline> pipeline_;
};

struct Setup {
  Guard guard;
  ReloadHandle reload;
};

inline constexpr std::size_t QUEUE_CAPACITY = 128000;

// Builds the pipeline (threshold, formatter, queue, writer thread on `fd`) and
// installs it as the process-wide log destination.
Setup install(Level initial, bool colours, int fd = 1,
              std::size_t capacity = QUEUE_CAPACITY);

// Lines dropped because the queue was full, since the pipeline was installed.
std::uint64_t dropped_lines();

// Collects every emitted message in order while it lives, whatever pipeline is
// installed (messages still pass the threshold first). For tests.
class Capture {
 public:
  struct Entry {
    Level level;
    std::string target;
    std::string message;
  };
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Entry> entries() const;
  // Messages of one target, in order.
  std::vector<std::string> messages(std::string_view target) const;
  bool contains(Level level, std::string_view target, std::string_view message) const;
  void clear();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Sets the threshold directly; for tests that want debug lines without a pipeline.
void set_threshold(Level level);

namespace detail {
extern std::atomic<std::uint8_t> g_threshold;
}

}  // namespace base::log

#include <atomic>

inline bool base::log::enabled(Level level) {
  return level != Level::Off &&
         static_cast<std::uint8_t>(level) >= detail::g_threshold.load(std::memory_order_relaxed);
}
inline base::log::Level base::log::threshold() {
  return static_cast<Level>(detail::g_threshold.load(std::memory_order_relaxed));
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "base/error.h"
#include "base/format.h"
#include "base/log.h"

namespace {

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(base::format("AXI invalid offset {} , total size: {}", 65536u, 65536u),
            "AXI invalid offset 65536 , total size: 65536");
  EXPECT_EQ(base::format("{}:{}", "127.0.0.1", std::uint16_t{9761}), "127.0.0.1:9761");
  // u8 values print as numbers, not characters.
  EXPECT_EQ(base::format("Channel: {}", std::uint8_t{2}), "Channel: 2");
  EXPECT_EQ(base::format("{} {}", -5, std::uint64_t{18446744073709551615u}), "-5 18446744073709551615");
  EXPECT_EQ(base::format("{{literal}} {}", 1), "{literal} 1");
  // Missing arguments leave the placeholder empty; extra ones are dropped.
  EXPECT_EQ(base::format("a {} b {}", 1), "a 1 b ");
  EXPECT_EQ(base::format("no placeholder", 1, 2), "no placeholder");
}

TEST(Error, ContextWrapsAndKeepsTheChain) {
  base::Error inner("Failed to open AXI device: No such file or directory");
  base::Error outer = inner.context("Opening Axi");
  EXPECT_EQ(outer.message(), "Opening Axi");
  ASSERT_NE(outer.cause(), nullptr);
  EXPECT_EQ(outer.cause()->message(), inner.message());
  EXPECT_EQ(outer.chain(), (std::vector<std::string>{"Opening Axi", inner.message()}));
  EXPECT_EQ(outer.describe(), "Opening Axi: Failed to open AXI device: No such file or directory");
  // The inner value is untouched by wrapping.
  EXPECT_EQ(inner.cause(), nullptr);
  EXPECT_EQ(base::errno_text(EINVAL), "EINVAL: Invalid argument");
  EXPECT_EQ(base::errno_description(ENOENT), "No such file or directory");
  EXPECT_EQ(base::os_error("bind 0.0.0.0:9761", EADDRINUSE).message(),
            "bind 0.0.0.0:9761: Address already in use");
}

TEST(LogLine, PlainAndColouredForms) {
  using base::log::Level;
  EXPECT_EQ(base::log::format_line(Level::Info, "server", "Server is listening on 0.0.0.0:9761", false),
            " INFO server: Server is listening on 0.0.0.0:9761\n");
  EXPECT_EQ(base::log::format_line(Level::Error, "protocol::error", "Device is busy", false),
            "ERROR protocol::error: Device is busy\n");
  EXPECT_EQ(base::log::format_line(Level::Trace, "t", "m", false), "TRACE t: m\n");
  EXPECT_EQ(base::log::format_line(Level::Debug, "t", "m", false), "DEBUG t: m\n");
  EXPECT_EQ(base::log::format_line(Level::Warn, "t", "m", false), " WARN t: m\n");
  EXPECT_EQ(base::log::format_line(Level::Info, "protocol", "Connected by 1.2.3.4:5", true),
            "\x1b[32m INFO\x1b[0m \x1b[2mprotocol:\x1b[0m Connected by 1.2.3.4:5\n");
  EXPECT_EQ(base::log::format_line(Level::Trace, "a", "b", true), "\x1b[35mTRACE\x1b[0m \x1b[2ma:\x1b[0m b\n");
  EXPECT_EQ(base::log::format_line(Level::Debug, "a", "b", true), "\x1b[34mDEBUG\x1b[0m \x1b[2ma:\x1b[0m b\n");
  EXPECT_EQ(base::log::format_line(Level::Warn, "a", "b", true), "\x1b[33m WARN\x1b[0m \x1b[2ma:\x1b[0m b\n");
  EXPECT_EQ(base::log::format_line(Level::Error, "a", "b", true), "\x1b[31mERROR\x1b[0m \x1b[2ma:\x1b[0m b\n");
}

TEST(LogLine, NoColorVariable) {
  ::unsetenv("NO_COLOR");
  EXPECT_TRUE(base::log::colours_from_env());
  ::setenv("NO_COLOR", "", 1);
  EXPECT_TRUE(base::log::colours_from_env());
  ::setenv("NO_COLOR", "1", 1);
  EXPECT_FALSE(base::log::colours_from_env());
  ::unsetenv("NO_COLOR");
}

std::string read_all(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

std::string drained_log(const std::function<void(base::log::Setup&)>& body) {
  char path[] = "/tmp/valdrix-log-XXXXXX";
  int fd = ::mkstemp(path);
  EXPECT_GE(fd, 0);
  {
    auto setup = base::log::install(base::log::Level::Info, false, fd);
    body(setup);
  }
  int r = ::open(path, O_RDONLY | O_CLOEXEC);
  std::string text = read_all(r);
  ::close(r);
  ::close(fd);
  ::unlink(path);
  base::log::set_threshold(base::log::Level::Info);
  return text;
}

TEST(LogPipeline, ThresholdIsReplacedThroughTheReloadHandle) {
  base::log::ReloadHandle* kept = nullptr;
  std::optional<base::log::ReloadHandle> copy;
  std::string text = drained_log([&](base::log::Setup& setup) {
    base::log::debug("server::handler", "dropped at info");
    base::log::info("protocol", "Connected by {}", "127.0.0.1:4000");
    ASSERT_TRUE(setup.reload.modify(base::log::Level::Debug));
    base::log::debug("server::handler", "Handling get_id command");
    base::log::trace("server::handler", "dropped at debug");
    ASSERT_TRUE(setup.reload.modify(base::log::Level::Error));
    base::log::warn("x", "dropped at error");
    base::log::error("protocol::error", "Device is busy");
    copy.emplace(setup.reload);
    kept = &*copy;
  });
  EXPECT_EQ(text,
            " INFO protocol: Connected by 127.0.0.1:4000\n"
            "DEBUG server::handler: Handling get_id command\n"
            "ERROR protocol::error: Device is busy\n");
  // Once the pipeline is gone its handle has nothing left to modify.
  ASSERT_NE(kept, nullptr);
  EXPECT_FALSE(kept->modify(base::log::Level::Info));
}

TEST(LogPipeline, DrainWritesQueuedLinesInOrder) {
  std::string text = drained_log([](base::log::Setup&) {
    for (int i = 0; i < 1000; ++i) base::log::info("server", "line {}", i);
  });
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += " INFO server: line " + std::to_string(i) + "\n";
  EXPECT_EQ(text, expected);
}

TEST(LogPipeline, FullQueueDropsInsteadOfBlocking) {
  // A pipe nobody reads: the writer blocks once the pipe is full and the queue of
  // 8 lines fills up behind it. Logging must go on without waiting.
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ::fcntl(p[1], F_SETPIPE_SZ, 4096);
  std::thread reader;
  {
    auto setup = base::log::install(base::log::Level::Info, false, p[1], 8);
    std::string big(1000, 'x');
    for (int i = 0; i < 200; ++i) base::log::info("server", "{}", big);
    EXPECT_GT(base::log::dropped_lines(), 0u);
    // Unblock the writer so the guard can drain within its second.
    reader = std::thread([fd = p[0]] { read_all(fd); });
  }
  ::close(p[1]);
  reader.join();
  ::close(p[0]);
  base::log::set_threshold(base::log::Level::Info);
}

TEST(LogCapture, SeesMessagesFromEveryThreadAboveTheThreshold) {
  base::log::Capture cap;
  base::log::set_threshold(base::log::Level::Debug);
  std::thread t([] { base::log::debug("driver::module::osc", "Starting single"); });
  t.join();
  base::log::trace("driver::module::osc", "below threshold");
  base::log::set_threshold(base::log::Level::Info);
  EXPECT_TRUE(cap.contains(base::log::Level::Debug, "driver::module::osc", "Starting single"));
  EXPECT_EQ(cap.messages("driver::module::osc"), std::vector<std::string>{"Starting single"});
}

}  // namespace

// set_log_level over loopback: names, the reload handle and what reaches the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "base/log.h"
#include "server/service.h"
#include "support/loopback.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::bytes_of;
using support::Client;
using Level = base::log::Level;

using support::eventually;

TEST(SetLogLevel, NamesHandleAndEffect) {
  support::TestServer server;
  Client c(server.port());
  base::log::set_threshold(Level::Info);

  // Without an installed handle a valid name cannot be applied.
  ASSERT_EQ(server::RELOAD_HANDLE.get(), nullptr);
  auto missing = c.call(cmd::set_log_level, bytes_of("debug"));
  EXPECT_EQ(missing.status, 0x8000);
  EXPECT_EQ(missing.text(), "Reload handle not found");

  // The service's own pipeline, writing nowhere; kept for the rest of the process
  // like the service keeps it.
  int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  static auto setup = base::log::install(Level::Info, false, devnull);
  server::RELOAD_HANDLE.set(setup.reload);
  ASSERT_NE(server::RELOAD_HANDLE.get(), nullptr);

  base::log::Capture cap;
  // At info a successful get_id leaves no line at all.
  EXPECT_EQ(c.call(cmd::get_id).status, 0);
  EXPECT_TRUE(cap.entries().empty());

  for (const char* bad : {"debug ", "off", "", "debug\n", "DEBUGG", "\xff\xfe"}) {
    SCOPED_TRACE(bad);
    auto r = c.call(cmd::set_log_level, bytes_of(bad));
    EXPECT_EQ(r.status, 0x8000);
    EXPECT_EQ(r.text(), "Invalid log level");
  }
  auto zero_terminated = c.call(cmd::set_log_level, support::ByteVec{'d', 'e', 'b', 'u', 'g', 0});
  EXPECT_EQ(zero_terminated.text(), "Invalid log level");
  EXPECT_EQ(base::log::threshold(), Level::Info);  // unchanged by the failures

  cap.clear();
  auto ok = c.call(cmd::set_log_level, bytes_of("DeBuG"));
  EXPECT_EQ(ok.status, 0);
  EXPECT_TRUE(ok.payload.empty());
  EXPECT_EQ(base::log::threshold(), Level::Debug);
  EXPECT_EQ(cap.messages("server::handler"),
            (std::vector<std::string>{"Log level set to: debug", "Log level set to: debug",
                                      "Log level set to: debug", "Log level set to: debug"}));
  cap.clear();
  EXPECT_EQ(c.call(cmd::get_id).status, 0);
  EXPECT_TRUE(eventually(cap, Level::Debug, "server::handler", "Handling get_id command"));

  cap.clear();
  EXPECT_EQ(c.call(cmd::set_log_level, bytes_of("warn")).status, 0);
  auto entries = cap.entries();
  std::vector<Level> levels;
  for (auto& e : entries)
    if (e.message == "Log level set to: warn") levels.push_back(e.level);
  EXPECT_EQ(levels, (std::vector<Level>{Level::Warn, Level::Error}));

  cap.clear();
  EXPECT_EQ(c.call(cmd::set_log_level, bytes_of("TRACE")).status, 0);
  levels.clear();
  for (auto& e : cap.entries())
    if (e.message == "Log level set to: trace") levels.push_back(e.level);
  EXPECT_EQ(levels, (std::vector<Level>{Level::Trace, Level::Debug, Level::Info, Level::Warn,
                                        Level::Error}));
  // The entry line is logged before the level changes, so at warn it was dropped.
  EXPECT_FALSE(cap.contains(Level::Debug, "server::handler", "Handling set_log_level command"));

  for (const char* name : {"error", "info"}) EXPECT_EQ(c.call(cmd::set_log_level, bytes_of(name)).status, 0);
  EXPECT_EQ(base::log::threshold(), Level::Info);
}

}  // namespace

// The executables themselves: start-up, the log on standard output, exit statuses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/loopback.h"
#include "support/process.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::Process;

std::string sim_exe() { return support::bin_dir() + "/valdrixd-sim"; }
std::string service_exe() { return support::bin_dir() + "/valdrixd"; }

TEST(Service, LogLinesWithAndWithoutColour) {
  for (bool colour : {true, false}) {
    SCOPED_TRACE(colour ? "colour" : "NO_COLOR=1");
    std::uint16_t port = support::free_port();
    // An empty NO_COLOR counts as unset.
    Process p(sim_exe(), {"--port", std::to_string(port)},
              {colour ? "NO_COLOR=" : "NO_COLOR=1"});
    ASSERT_TRUE(Process::wait_for_port(port));
    {
      support::Client c(port);
      EXPECT_EQ(c.call(cmd::get_id).text(), "VALDRIX-M4-123456");
      EXPECT_EQ(c.call(0x0007).status, 0x8001);
    }
    // The port probe above was a connection of its own, so its "No header received"
    // line says nothing about ours: wait for the last line this test looks for.
    ASSERT_TRUE(p.wait_for_output("Unsupported operation\n"));
    std::string out = p.out();
    std::string listening = "Server is listening on 0.0.0.0:" + std::to_string(port) + "\n";
    if (colour) {
      EXPECT_NE(out.find("\x1b[32m INFO\x1b[0m \x1b[2mserver:\x1b[0m " + listening), std::string::npos) << out;
      EXPECT_NE(out.find("\x1b[31mERROR\x1b[0m \x1b[2mprotocol::error:\x1b[0m Unsupported operation\n"),
                std::string::npos);
    } else {
      EXPECT_EQ(out.find('\x1b'), std::string::npos);
      EXPECT_NE(out.find(" INFO server: " + listening), std::string::npos) << out;
      EXPECT_NE(out.find("ERROR protocol::error: Unsupported operation\n"), std::string::npos);
      EXPECT_NE(out.find(" INFO protocol: Connected by 127.0.0.1:"), std::string::npos);
      // get_id at info leaves no line of its own.
      EXPECT_EQ(out.find("get_id"), std::string::npos);
    }
  }
}

TEST(Service, BusyPortEndsWithStatusOne) {
  // Hold 9761 (if something else already listens on it, it is just as busy).
  // Address reuse, as the service itself binds: without it a port left in
  // TIME_WAIT by an earlier run (a stopped `make run` with a client) would
  // refuse the holder and leave the port free for the service.
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ASSERT_EQ(::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(9761);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  bool held = ::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(holder, 1) == 0;
  Process p(service_exe(), {}, {"NO_COLOR=1"});
  auto status = p.wait(10000);
  ::close(holder);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1);
  if (held) {
    EXPECT_EQ(p.err(),
              "Error: Creating server on port 9761\n\nCaused by:\n"
              "    bind 0.0.0.0:9761: Address already in use\n");
  }
  EXPECT_EQ(p.out(), "");
}

TEST(Service, SimulatorArguments) {
  Process help(sim_exe(), {"--help"});
  EXPECT_EQ(help.wait(5000), 0);
  EXPECT_NE(help.out().find("--port"), std::string::npos);
  Process bad(sim_exe(), {"--port", "notaport"});
  auto st = bad.wait(5000);
  ASSERT_TRUE(st.has_value());
  EXPECT_NE(*st, 0);
  EXPECT_NE(bad.err().find("--port"), std::string::npos);
}

}  // namespace

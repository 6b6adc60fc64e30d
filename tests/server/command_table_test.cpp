// The command table against the router: every code of the table reaches a
// handler, every other code of the 16-bit space answers Unsupport.
#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "protocol/commands.h"
#include "protocol/error.h"
#include "protocol/frame.h"
#include "server/command.h"
#include "server/driver_set.h"
#include "support/sim_fixture.h"

namespace {

namespace cmd = protocol::command;

class CommandTable : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    server::testing::reset_driver();
  }
  void TearDown() override { server::testing::reset_driver(); }
};

TEST_F(CommandTable, HoldsEachNameCodeAndCommandLineNameOnce) {
  std::set<std::uint16_t> codes;
  std::set<std::string_view> names, cli_names;
  for (const auto& c : cmd::TABLE) {
    EXPECT_TRUE(codes.insert(c.code).second) << c.name;
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
    if (!c.cli_name.empty()) {
      EXPECT_TRUE(cli_names.insert(c.cli_name).second) << c.name;
    }
    EXPECT_EQ(cmd::find(c.code), &c);
  }
  EXPECT_EQ(cmd::TABLE.size(), 43u);
  EXPECT_EQ(cli_names.size(), 41u) << "the protocol's commands; the extension has none";
}

TEST_F(CommandTable, TheRouterAnswersExactlyTheTablesCodes) {
  std::size_t answered = 0;
  for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
    // An empty payload: each handler answers at once, with its answer or a parse error.
    protocol::Request request{protocol::RequestHeader::for_command(static_cast<std::uint16_t>(code), 0), {}};
    const auto answer = server::Cmd::router(std::move(request));
    const bool unsupported = !answer && answer.error().status() == protocol::STATUS_UNSUPPORT;
    if (!unsupported) ++answered;
    ASSERT_EQ(unsupported, cmd::find(static_cast<std::uint16_t>(code)) == nullptr) << "code " << code;
  }
  EXPECT_EQ(answered, cmd::TABLE.size());
}

}  // namespace

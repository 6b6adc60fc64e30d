// read_register and write_register over a real socket against the simulated
// instrument: wire bytes, error texts and their causes in the log, and windows that
// never outlive a request.
#include <gtest/gtest.h>

#include <cerrno>

#include "base/bytes.h"
#include "base/log.h"
#include "sim/block.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using sim::rd;
using sim::wr;
using support::ByteVec;

constexpr std::uint16_t STATUS_INTERNAL_ERROR = 0x8000;
constexpr std::uint32_t TEST_BLOCK = 0x60000000;  // no model of the logic sits here
constexpr std::uint32_t RAM = 0x50000000;

ByteVec be32s(std::initializer_list<std::uint32_t> values) {
  ByteVec out;
  for (std::uint32_t v : values) {
    out.resize(out.size() + 4);
    base::store_be32(out.data() + out.size() - 4, v);
  }
  return out;
}

class RegisterTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    auto block = std::make_shared<sim::Block>("test", TEST_BLOCK, 0x10000);
    block_ = block.get();
    sim().add_block(std::move(block));
    base::log::set_threshold(base::log::Level::Debug);
    server_ = std::make_unique<support::TestServer>();
    client_ = std::make_unique<support::Client>(server_->port());
  }
  void TearDown() override { base::log::set_threshold(base::log::Level::Info); }

  support::Reply read(std::uint32_t base, std::uint32_t offset) {
    return client_->call(cmd::read_register, be32s({base, offset}));
  }
  support::Reply write(std::uint32_t base, std::uint32_t offset, std::uint32_t value) {
    return client_->call(cmd::write_register, be32s({base, offset, value}));
  }
  // The error lines the connection logged: the short text, then one per cause.
  std::vector<std::string> error_lines() const { return capture_.messages("protocol::error"); }

  base::log::Capture capture_;
  sim::Block* block_ = nullptr;
  std::unique_ptr<support::TestServer> server_;
  std::unique_ptr<support::Client> client_;
};

TEST_F(RegisterTest, WriteThenReadReachesTheBlockAndAnswersBigEndian) {
  auto w = write(TEST_BLOCK, 8, 0x12345678);
  EXPECT_EQ(w.status, 0);
  EXPECT_TRUE(w.payload.empty());
  auto r = read(TEST_BLOCK, 8);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.payload, (ByteVec{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(block_->accesses(), (std::vector<sim::Access>{wr(8, 0x12345678), rd(8, 0x12345678)}));

  EXPECT_EQ(capture_.messages("server::handler"),
            (std::vector<std::string>{"Handling write_register command",
                                      "Writing register at base_addr: 1610612736, offset: 8, value: 305419896",
                                      "Register written successfully", "Handling read_register command",
                                      "Reading register at base_addr: 1610612736, offset: 8",
                                      "Register value read: 305419896"}));
  EXPECT_TRUE(capture_.contains(base::log::Level::Debug, "server::handler", "Register value read: 305419896"));
}

TEST_F(RegisterTest, PlainMemoryOutsideTheBlocksReadsBack) {
  EXPECT_EQ(read(RAM, 0xFFFC).payload, (ByteVec{0, 0, 0, 0}));
  EXPECT_EQ(write(RAM, 0xFFFC, 0xA1B2C3D4).status, 0);
  EXPECT_EQ(sim().ram_read(RAM + 0xFFFC), 0xA1B2C3D4u);
  auto r = read(RAM, 0xFFFC);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.payload, (ByteVec{0xA1, 0xB2, 0xC3, 0xD4}));
}

TEST_F(RegisterTest, OffsetsMustLeaveTheRegisterInsideTheWindow) {
  struct Case {
    std::uint32_t offset;
    const char* cause;
  };
  for (const Case& c : {Case{0x10000, "AXI invalid offset 65536 , total size: 65536"},
                        Case{0xFFFD, "AXI invalid offset 65533 , total size: 65536"},
                        Case{0xFFFFFFFC, "AXI invalid offset 4294967292 , total size: 65536"},
                        Case{6, "AXI invalid offset 6 , total size: 65536"}}) {
    SCOPED_TRACE(c.offset);
    capture_.clear();
    auto r = read(TEST_BLOCK, c.offset);
    EXPECT_EQ(r.status, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(r.text(), "Reading register");
    auto w = write(TEST_BLOCK, c.offset, 1);
    EXPECT_EQ(w.status, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(w.text(), "Writing register");
    EXPECT_EQ(error_lines(), (std::vector<std::string>{"Reading register", std::string("Caused by: ") + c.cause,
                                                       "Writing register", std::string("Caused by: ") + c.cause}));
  }
  EXPECT_TRUE(block_->accesses().empty()) << "a refused offset reached the bus";
  EXPECT_EQ(read(TEST_BLOCK, 0xFFFC).status, 0);
  EXPECT_EQ(block_->accesses(), std::vector<sim::Access>{rd(0xFFFC, 0)});
}

TEST_F(RegisterTest, BasesThatCannotBeMappedFailWhileOpening) {
  auto r = read(0x43C10004, 0);
  EXPECT_EQ(r.status, STATUS_INTERNAL_ERROR);
  EXPECT_EQ(r.text(), "Opening Axi");
  EXPECT_EQ(error_lines(), (std::vector<std::string>{"Opening Axi", "Caused by: Failed to mmap AXI: EINVAL: Invalid argument"}));

  capture_.clear();
  sim().refuse_map(TEST_BLOCK, EPERM);
  auto w = write(TEST_BLOCK, 0, 1);
  EXPECT_EQ(w.status, STATUS_INTERNAL_ERROR);
  EXPECT_EQ(w.text(), "Opening Axi");
  EXPECT_EQ(error_lines(),
            (std::vector<std::string>{"Opening Axi", "Caused by: Failed to mmap AXI: EPERM: Operation not permitted"}));
  EXPECT_TRUE(block_->accesses().empty());
  EXPECT_EQ(read(TEST_BLOCK + 0x10000, 0).status, 0) << "the connection stays usable";
}

TEST_F(RegisterTest, ShortPayloadsNameTheMissingField) {
  ByteVec seven = be32s({TEST_BLOCK, 0});
  seven.pop_back();
  auto r = client_->call(cmd::read_register, seven);
  EXPECT_EQ(r.status, STATUS_INTERNAL_ERROR);
  EXPECT_TRUE(r.text().starts_with("parse read_register error:While parsing field 'offset' in ReadRegister"))
      << r.text();

  ByteVec eleven = be32s({TEST_BLOCK, 0, 1});
  eleven.pop_back();
  auto w = client_->call(cmd::write_register, eleven);
  EXPECT_EQ(w.status, STATUS_INTERNAL_ERROR);
  EXPECT_TRUE(w.text().starts_with("parse write_register error:While parsing field 'value' in WriteRegister"))
      << w.text();
  EXPECT_TRUE(block_->accesses().empty());

  // Bytes after the record are ignored.
  ByteVec longer = be32s({TEST_BLOCK, 4, 7, 0xFFFFFFFF});
  EXPECT_EQ(client_->call(cmd::write_register, longer).status, 0);
  EXPECT_EQ(block_->writes(), std::vector<sim::Access>{wr(4, 7)});
}

TEST_F(RegisterTest, NoRequestLeavesADescriptorOrWindowBehind) {
  ASSERT_EQ(read(TEST_BLOCK, 0).status, 0);  // the server has accepted the connection
  ASSERT_TRUE(support::connections_ended(5000, 1));  // only the fixture's is left
  const int fds = support::count_open_fds();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(write(TEST_BLOCK, 0, static_cast<std::uint32_t>(i)).status, 0);
    EXPECT_EQ(read(TEST_BLOCK, 0x10000).status, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(read(0x43C10004, 0).status, STATUS_INTERNAL_ERROR);
  }
  EXPECT_EQ(support::count_open_fds(), fds);
  // Every window holds the instrument; once the requests are answered only the
  // fixture and the installed platform do.
  EXPECT_EQ(sim_.use_count(), 2);
}

}  // namespace

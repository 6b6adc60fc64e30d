#include "support/server_fixture.h"

#include "server/driver_set.h"

namespace support {

void ServerTest::SetUp() {
  SimTest::SetUp();
  server::testing::reset_driver();
  saved_ = base::log::threshold();
  base::log::set_threshold(base::log::Level::Debug);
  // Connections of earlier tests may still be closing; count from a quiet process.
  EXPECT_TRUE(connections_ended());
  fds_ = count_open_fds();
  server_ = std::make_unique<TestServer>();
  client_ = std::make_unique<Client>(server_->port());
}

void ServerTest::TearDown() {
  client_.reset();
  server_.reset();
  // Connection threads close their sockets on their own time.
  EXPECT_TRUE(connections_ended());
  EXPECT_EQ(count_open_fds(), fds_);
  server::testing::reset_driver();
  base::log::set_threshold(saved_);
}

void ServerTest::expect_ok(std::uint16_t command, const ByteVec& payload) {
  auto r = call(command, payload);
  EXPECT_EQ(r.status, 0) << std::hex << command << ": " << r.text();
}

}  // namespace support

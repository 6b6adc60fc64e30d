#pragma once
// The real router on a loopback port, over a fresh simulated instrument and a fresh
// driver set, with debug lines on; at the end every descriptor must be back.
#include <memory>

#include "base/log.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"

namespace support {

class ServerTest : public SimTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  Reply call(std::uint16_t command, const ByteVec& payload = {}) { return client_->call(command, payload); }
  // The command answers success; the message says which one did not, and why.
  void expect_ok(std::uint16_t command, const ByteVec& payload = {});

  base::log::Level saved_{};
  int fds_ = 0;
  std::unique_ptr<TestServer> server_;
  std::unique_ptr<Client> client_;
};

}  // namespace support

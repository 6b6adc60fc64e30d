#pragma once
// A link emulator: a TCP proxy on loopback that forwards each connection to a
// server as if over a link of a given round-trip time and rate. Each direction
// serialises its bytes at the rate, delivers them half a round trip later, and
// holds at most a few round trips' worth, so a slow link pushes back on the
// sender as a real one does. The proxy acknowledges what it receives at once (it
// cannot pass on when the far end would), so stalls that a client's delayed
// acknowledgements cause on a real link do not show through it. Used by the campaign mode and on its own
// (`valdrix-bench proxy`), so that any host program can be measured through it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "bench/wire.h"

namespace bench {

struct Link {
  double rtt_ms = 0;     // round trip added by the link, both directions together
  double rate_mbit = 0;  // per direction; 0: as fast as the loopback carries it
  bool quick_ack = true;  // false: the kernel's delayed acknowledgements reach the far ends

  std::string text() const;
};

class LinkProxy {
 public:
  // Listens on 127.0.0.1:`port` (0: a free port) and forwards to `to`.
  static std::unique_ptr<LinkProxy> start(std::uint16_t port, const sockaddr_in& to, Link link, std::string& err);
  ~LinkProxy();
  LinkProxy(const LinkProxy&) = delete;
  LinkProxy& operator=(const LinkProxy&) = delete;

  const sockaddr_in& addr() const;
  // Stops accepting and ends every forwarded connection.
  void stop();

  struct Impl;

 private:
  explicit LinkProxy(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// `valdrix-bench proxy --listen PORT --to HOST:PORT [--rtt-ms MS] [--rate-mbit MBIT] [--no-quickack]`:
// runs until interrupted. Exit status 0 when stopped by a signal, 1 when it cannot
// listen, 2 for bad arguments.
int run_proxy(int argc, char** argv);

}  // namespace bench

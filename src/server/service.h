#pragma once
// The service's start-up sequence, shared by valdrixd (Linux platform) and
// valdrixd-sim (simulated instrument): runtime, logging, RELOAD_HANDLE, the server on
// `port` of `host` (all IPv4 interfaces unless told) with Cmd::router, the accept
// loop. Returns the process exit status.
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/log.h"

namespace server {

inline constexpr std::uint16_t SERVER_PORT = 9761;

int service_main(std::uint16_t port, std::string_view host = "0.0.0.0");

// Set once at start-up, before the server exists; read by set_log_level.
class ReloadSlot {
 public:
  // Keeps the first handle; a later one is discarded.
  void set(base::log::ReloadHandle handle);
  const base::log::ReloadHandle* get() const;

 private:
  std::optional<base::log::ReloadHandle> handle_;
  std::atomic<bool> ready_{false};
};

extern ReloadSlot RELOAD_HANDLE;

}  // namespace server

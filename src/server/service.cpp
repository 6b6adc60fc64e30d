#include "server/service.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "protocol/base_server.h"
#include "server/command.h"

namespace server {

ReloadSlot RELOAD_HANDLE;

namespace {
std::mutex g_reload_set_mu;

// "Error: " and the outermost message; then the causes, numbered when there are
// several.
void report_error(const base::Error& err) {
  std::string out = "Error: " + err.message() + "\n";
  std::vector<std::string> causes;
  for (const base::Error* c = err.cause(); c != nullptr; c = c->cause()) causes.push_back(c->message());
  if (!causes.empty()) {
    out += "\nCaused by:\n";
    for (std::size_t i = 0; i < causes.size(); ++i) {
      if (causes.size() == 1) {
        out += "    " + causes[i] + "\n";
      } else {
        std::string n = std::to_string(i);
        out += std::string(n.size() < 5 ? 5 - n.size() : 0, ' ') + n + ": " + causes[i] + "\n";
      }
    }
  }
  std::fputs(out.c_str(), stderr);
}
}  // namespace

void ReloadSlot::set(base::log::ReloadHandle handle) {
  std::lock_guard lock(g_reload_set_mu);
  if (ready_.load(std::memory_order_acquire)) return;
  handle_.emplace(std::move(handle));
  ready_.store(true, std::memory_order_release);
}

const base::log::ReloadHandle* ReloadSlot::get() const {
  return ready_.load(std::memory_order_acquire) ? &*handle_ : nullptr;
}

int service_main(std::uint16_t port, std::string_view host) {
  auto runtime = protocol::Runtime::build();
  if (!runtime) {
    std::fprintf(stderr, "Failed building the Runtime: %s\n", runtime.error().describe().c_str());
    return 101;
  }
  base::Result<void> outcome;
  {
    auto logging = base::log::install(base::log::Level::Info, base::log::colours_from_env());
    RELOAD_HANDLE.set(logging.reload);
    auto server = protocol::BaseServer::create(port, Cmd::router, host);
    if (!server) {
      outcome = std::unexpected(server.error().context(base::format("Creating server on port {}", port)));
    } else {
      base::log::info("server", "Server is listening on {}:{}", host, port);
      outcome = (*server)->run(*runtime);
    }
  }  // the log guard drains the queue here
  if (!outcome) {
    report_error(outcome.error());
    return 1;
  }
  return 0;
}

}  // namespace server

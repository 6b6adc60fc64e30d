// Identification and log-level commands.
#include <array>
#include <string_view>

#include "base/log.h"
#include "server/handler.h"
#include "server/service.h"

namespace server::handler {

namespace {

constexpr std::string_view kTarget = "server::handler";

base::Bytes text_bytes(std::string_view s) { return base::Bytes(s.begin(), s.end()); }

struct LevelName {
  std::string_view name;
  base::log::Level level;
};
constexpr std::array<LevelName, 5> kLevels{{{"trace", base::log::Level::Trace},
                                            {"debug", base::log::Level::Debug},
                                            {"info", base::log::Level::Info},
                                            {"warn", base::log::Level::Warn},
                                            {"error", base::log::Level::Error}}};

// The payload, lower-cased, matched exactly against the level names. Only ASCII
// letters can lower-case into a name, so bytes outside ASCII never match.
const LevelName* find_level(const base::Bytes& payload) {
  for (const auto& l : kLevels) {
    if (payload.size() != l.name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < payload.size() && same; ++i) {
      std::uint8_t c = payload[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c - 'A' + 'a');
      same = c == static_cast<std::uint8_t>(l.name[i]);
    }
    if (same) return &l;
  }
  return nullptr;
}

}  // namespace

HandlerResult get_id(Request) {
  base::log::debug(kTarget, "Handling get_id command");
  return text_bytes("VALDRIX-M4-123456");
}

HandlerResult get_name(Request) {
  base::log::debug(kTarget, "Handling get_name command");
  return text_bytes("Valdrix-M4");
}

HandlerResult get_version(Request) {
  base::log::debug(kTarget, "Handling get_version command");
  return text_bytes("0.0.1");
}

HandlerResult set_log_level(Request request) {
  base::log::debug(kTarget, "Handling set_log_level command");
  const LevelName* level = find_level(request.payload);
  if (level == nullptr) return std::unexpected(protocol::ProtocolError::internal("Invalid log level"));
  const base::log::ReloadHandle* handle = RELOAD_HANDLE.get();
  if (handle == nullptr)
    return std::unexpected(protocol::ProtocolError::internal("Reload handle not found"));
  if (auto r = handle->modify(level->level); !r)
    return std::unexpected(
        protocol::ProtocolError::internal(r.error().context("Failed to modify log level")));
  for (auto at : {base::log::Level::Trace, base::log::Level::Debug, base::log::Level::Info,
                  base::log::Level::Warn, base::log::Level::Error})
    base::log::log(at, kTarget, "Log level set to: {}", level->name);
  return base::Bytes{};
}

}  // namespace server::handler

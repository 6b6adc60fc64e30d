// Raw register commands: each maps a private 64 KiB window at the requested base
// for the length of one request and takes no lock, so it may touch registers that
// a driver on another connection is using at the same moment.
#include <string_view>

#include "base/log.h"
#include "driver/core/axi.h"
#include "protocol/packet.h"
#include "protocol/packet_server.h"
#include "server/handler.h"

namespace server::handler {

namespace {

constexpr std::string_view kTarget = "server::handler";
constexpr std::size_t REGISTER_WINDOW_SIZE = 0x10000;

std::unexpected<protocol::ProtocolError> internal(std::string message, const base::Error& cause) {
  return std::unexpected(protocol::ProtocolError::internal(base::Error(std::move(message), cause)));
}

std::unexpected<protocol::ProtocolError> parse_error(std::string_view command, const base::Error& error) {
  return std::unexpected(protocol::ProtocolError::internal(
      base::format("parse {} error:{}", command, protocol::packet::error_text(error))));
}

}  // namespace

HandlerResult read_register(Request request) {
  base::log::debug(kTarget, "Handling read_register command");
  auto args = protocol::packet::server::ReadRegister::decode(request.payload);
  if (!args) return parse_error("read_register", args.error());
  base::log::debug(kTarget, "Reading register at base_addr: {}, offset: {}", args->base_addr, args->offset);

  auto axi = driver::core::Axi::create(args->base_addr, REGISTER_WINDOW_SIZE);
  if (!axi) return internal("Opening Axi", axi.error());
  auto value = axi->read_register(args->offset);
  if (!value) return internal("Reading register", value.error());
  base::log::debug(kTarget, "Register value read: {}", *value);

  base::Bytes out(4);
  base::store_be32(out.data(), *value);
  return out;
}

HandlerResult write_register(Request request) {
  base::log::debug(kTarget, "Handling write_register command");
  auto args = protocol::packet::server::WriteRegister::decode(request.payload);
  if (!args) return parse_error("write_register", args.error());
  base::log::debug(kTarget, "Writing register at base_addr: {}, offset: {}, value: {}", args->base_addr,
                   args->offset, args->value);

  auto axi = driver::core::Axi::create(args->base_addr, REGISTER_WINDOW_SIZE);
  if (!axi) return internal("Opening Axi", axi.error());
  if (auto done = axi->write_register(args->offset, args->value); !done)
    return internal("Writing register", done.error());
  base::log::debug(kTarget, "Register written successfully");
  return base::Bytes{};
}

}  // namespace server::handler

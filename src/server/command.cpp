#include "server/command.h"

#include "server/handler.h"

namespace server {

protocol::HandlerResult Cmd::router(protocol::Request request) {
  namespace h = handler;
  switch (request.header.command) {
    case 0x0001: return h::get_id(std::move(request));
    case 0x0002: return h::get_name(std::move(request));
    case 0x0003: return h::get_version(std::move(request));
    case 0x0004: return h::read_register(std::move(request));
    case 0x0005: return h::write_register(std::move(request));
    case 0x0006: return h::set_log_level(std::move(request));
    default: return std::unexpected(protocol::ProtocolError::unsupport());
  }
}

}  // namespace server

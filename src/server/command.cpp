#include "server/command.h"

#include "protocol/commands.h"
#include "server/handler.h"

namespace server {
namespace {

using namespace handler;
using namespace handler::spi;
using namespace handler::i2c;
using namespace handler::uart;
using namespace handler::batch;

}  // namespace

// Each command of the table reaches the handler of its name: a command added to
// the table without a handler does not build.
protocol::HandlerResult Cmd::router(protocol::Request request) {
  switch (request.header.command) {
#define VALDRIX_ROUTE(name, code, cli) \
  case code:                           \
    return name(std::move(request));
    VALDRIX_COMMANDS(VALDRIX_ROUTE)
#undef VALDRIX_ROUTE
    default:
      return std::unexpected(protocol::ProtocolError::unsupport());
  }
}

}  // namespace server

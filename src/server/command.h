#pragma once
// The command table: the one handler the connection server calls for every
// well-formed request.
#include "protocol/error.h"
#include "protocol/frame.h"

namespace server {

struct Cmd {
  // Calls the handler of request.header.command, or answers Unsupport.
  static protocol::HandlerResult router(protocol::Request request);
};

}  // namespace server

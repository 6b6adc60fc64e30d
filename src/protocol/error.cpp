#include "protocol/error.h"

#include "base/log.h"

namespace protocol {

namespace {
constexpr std::string_view kTarget = "protocol::error";
}

std::string_view ProtocolError::text() const {
  switch (kind_) {
    case Kind::Busy: return "Device is busy";
    case Kind::TimeOut: return "Operation timed out";
    case Kind::Unsupport: return "Unsupported operation";
    case Kind::InternalError: return "An internal error occurred";
  }
  return "An internal error occurred";
}

std::uint16_t ProtocolError::status() const {
  switch (kind_) {
    case Kind::Busy: return STATUS_BUSY;
    case Kind::TimeOut: return STATUS_TIME_OUT;
    case Kind::Unsupport: return STATUS_UNSUPPORT;
    case Kind::InternalError: return STATUS_INTERNAL_ERROR;
  }
  return STATUS_INTERNAL_ERROR;
}

base::Error ProtocolError::to_error() const {
  if (error_) return *error_;
  return base::Error(std::string(text()));
}

Response to_response(HandlerResult&& result) {
  if (result) return Response::with_status(STATUS_OK, std::move(*result));
  const ProtocolError& e = result.error();
  if (e.kind() != ProtocolError::Kind::InternalError) {
    base::log::error(kTarget, "{}", e.text());
    return Response::with_status(e.status(), {});
  }
  const base::Error& err = *e.error();
  base::log::error(kTarget, "{}", err.message());
  for (const base::Error* c = err.cause(); c != nullptr; c = c->cause())
    base::log::error(kTarget, "Caused by: {}", c->message());
  const std::string& text = err.message();
  return Response::with_status(STATUS_INTERNAL_ERROR, base::Bytes(text.begin(), text.end()));
}

base::Bytes to_response_bytes(HandlerResult&& result) {
  return to_response(std::move(result)).to_bytes();
}

}  // namespace protocol

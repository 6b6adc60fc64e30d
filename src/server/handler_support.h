#pragma once
// What every handler that decodes a record and reaches DRIVER does the same way.
#include <expected>
#include <string_view>

#include "base/format.h"
#include "driver/module/polling.h"
#include "protocol/connection.h"
#include "protocol/error.h"
#include "protocol/packet.h"
#include "server/driver_set.h"

namespace server::handler::support {

inline std::unexpected<protocol::ProtocolError> internal(base::Error error) {
  return std::unexpected(protocol::ProtocolError::internal(std::move(error)));
}

// Decodes a record; a failure answers the prefix directly followed by the
// decoding error's text ("parse u32 error:While parsing field ...").
template <class Record>
std::expected<Record, protocol::ProtocolError> decode(std::string_view prefix,
                                                      const base::Bytes& payload) {
  auto record = Record::decode(payload);
  if (!record)
    return std::unexpected(protocol::ProtocolError::internal(
        base::format("{}{}", prefix, protocol::packet::error_text(record.error()))));
  return std::move(*record);
}

// The driver set, created on first use; "Unable to init driver" when it cannot be.
inline std::expected<const DriverSet*, protocol::ProtocolError> drivers() {
  auto set = DRIVER.get();
  if (!set) return internal(std::move(set.error()));
  return *set;
}

// How a single command waits on the hardware: 1 ms steps from the start, given up
// once its client has gone.
inline driver::module::Polling waiting() { return {.cancelled = [] { return protocol::client_gone(); }}; }

}  // namespace server::handler::support

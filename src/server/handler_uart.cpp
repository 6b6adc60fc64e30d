// UART commands. A transfer's Busy, TimeOut and internal errors reach the host as
// they are; configuration and the receive-FIFO commands wrap the driver's error in
// a message of their own.
#include <string_view>

#include "base/format.h"
#include "base/log.h"
#include "protocol/packet.h"
#include "protocol/packet_server.h"
#include "server/driver_set.h"
#include "server/handler.h"
#include "server/handler_support.h"

namespace server::handler::uart {
namespace {

using protocol::ProtocolError;
using protocol::packet::U8Range;
using protocol::packet::server::UartConfig;
using protocol::packet::server::UartTransceive;

constexpr std::string_view LOG_TARGET = "server::handler::uart";

using support::decode;
using support::drivers;
using support::internal;

}  // namespace

HandlerResult uart_enable(Request request) {
  base::log::debug(LOG_TARGET, "Handling uart_enable command");
  auto value = decode<U8Range<0, 1>>("parse u8 range error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.uart_enable(value->value); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "UART enable set to: {}", value->value);
  return base::Bytes{};
}

HandlerResult uart_reset(Request) {
  base::log::debug(LOG_TARGET, "Handling uart_reset command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.uart_reset(); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "UART reset");
  return base::Bytes{};
}

HandlerResult uart_config(Request request) {
  base::log::debug(LOG_TARGET, "Handling uart_config command");
  auto config = decode<UartConfig>("parse uart_config error:", request.payload);
  if (!config) return std::unexpected(std::move(config.error()));
  base::log::debug(LOG_TARGET, "UART config parameters: {}", config->debug_text());
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.uart_config(*config); !r) return internal(r.error().context("Configuring UART"));
  base::log::debug(LOG_TARGET, "UART configured successfully");
  return base::Bytes{};
}

HandlerResult uart_transceive(Request request) {
  base::log::debug(LOG_TARGET, "Handling uart_transceive command");
  auto transfer = decode<UartTransceive>("parse uart_transceive error:", request.payload);
  if (!transfer) return std::unexpected(std::move(transfer.error()));
  base::log::debug(LOG_TARGET, "UART transceive parameters: {}", transfer->debug_text());
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  return (*set)->hw.uart_transceive(*transfer, support::waiting());
}

HandlerResult uart_receive_fifo_remained(Request) {
  base::log::debug(LOG_TARGET, "Handling uart_receive_fifo_remained command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  auto count = (*set)->hw.uart_receive_fifo_remained();
  if (!count) return internal(count.error().context("Getting UART receive FIFO remained count"));
  base::log::debug(LOG_TARGET, "UART receive FIFO remained count: {}", *count);
  base::Bytes payload(2);
  base::store_be16(payload.data(), *count);
  return payload;
}

HandlerResult uart_receive_fifo_dump(Request) {
  base::log::debug(LOG_TARGET, "Handling uart_receive_fifo_dump command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  auto bytes = (*set)->hw.uart_receive_fifo_dump();
  if (!bytes) return internal(bytes.error().context("Dumping UART receive FIFO"));
  return std::move(*bytes);
}

HandlerResult uart_receive_fifo_clear(Request) {
  base::log::debug(LOG_TARGET, "Handling uart_receive_fifo_clear command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.uart_receive_fifo_clear(); !r)
    return internal(r.error().context("Clearing UART receive FIFO"));
  base::log::debug(LOG_TARGET, "UART receive FIFO cleared successfully");
  return base::Bytes{};
}

}  // namespace server::handler::uart

// SPI commands. Every transfer failure, Busy and TimeOut included, reaches the
// host as an internal error "SPI transceive" with the driver's error as its cause.
#include <string_view>

#include "base/format.h"
#include "base/log.h"
#include "protocol/packet.h"
#include "protocol/packet_server.h"
#include "server/driver_set.h"
#include "server/handler.h"
#include "server/handler_support.h"

namespace server::handler::spi {
namespace {

using protocol::ProtocolError;
using protocol::packet::U8Range;
using protocol::packet::server::SpiConfig;
using protocol::packet::server::SpiTransceive;

constexpr std::string_view LOG_TARGET = "server::handler::spi";

using support::decode;
using support::drivers;
using support::internal;

}  // namespace

HandlerResult spi_transceive(Request request) {
  base::log::debug(LOG_TARGET, "Handling spi_transceive command");
  auto transfer = decode<SpiTransceive>("parse spi_transceive error:", request.payload);
  if (!transfer) return std::unexpected(std::move(transfer.error()));
  base::log::debug(LOG_TARGET, "SPI transceive parameters: {}", transfer->debug_text());
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  auto received = (*set)->hw.spi_transceive(std::move(*transfer), support::waiting());
  if (!received) return internal(received.error().to_error().context("SPI transceive"));
  return std::move(*received);
}

HandlerResult spi_enable(Request request) {
  base::log::debug(LOG_TARGET, "Handling spi_enable command");
  auto value = decode<U8Range<0, 1>>("parse u8 range error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.spi_enable(value->value); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "SPI enable set to: {}", value->value);
  return base::Bytes{};
}

HandlerResult spi_reset(Request) {
  base::log::debug(LOG_TARGET, "Handling spi_reset command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.spi_reset(); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "SPI reset");
  return base::Bytes{};
}

HandlerResult spi_config(Request request) {
  base::log::debug(LOG_TARGET, "Handling spi_config command");
  auto config = decode<SpiConfig>("parse spi_config error:", request.payload);
  if (!config) return std::unexpected(std::move(config.error()));
  base::log::debug(LOG_TARGET, "SPI config parameters: {}", config->debug_text());
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.spi_config(*config); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "SPI config set");
  return base::Bytes{};
}

}  // namespace server::handler::spi

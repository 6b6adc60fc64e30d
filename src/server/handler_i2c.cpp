// I2C commands. A transfer's Busy, TimeOut and internal errors reach the host as
// they are.
#include <string_view>

#include "base/format.h"
#include "base/log.h"
#include "protocol/packet.h"
#include "protocol/packet_server.h"
#include "server/driver_set.h"
#include "server/handler.h"
#include "server/handler_support.h"

namespace server::handler::i2c {
namespace {

using protocol::ProtocolError;
using protocol::packet::U8Range;
using protocol::packet::server::I2cConfig;
using protocol::packet::server::I2cTransceive;

constexpr std::string_view LOG_TARGET = "server::handler::i2c";

using support::decode;
using support::drivers;
using support::internal;

}  // namespace

HandlerResult i2c_transceive(Request request) {
  base::log::debug(LOG_TARGET, "Handling i2c_transceive command");
  auto transfer = decode<I2cTransceive>("parse i2c_transceive error:", request.payload);
  if (!transfer) return std::unexpected(std::move(transfer.error()));
  base::log::debug(LOG_TARGET, "I2C transceive parameters: {}", transfer->debug_text());
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  return (*set)->hw.i2c_transceive(*transfer, support::waiting());
}

HandlerResult i2c_enable(Request request) {
  base::log::debug(LOG_TARGET, "Handling i2c_enable command");
  auto value = decode<U8Range<0, 1>>("parse u8 range error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.i2c_enable(value->value); !r) return internal(std::move(r.error()));
  return base::Bytes{};
}

HandlerResult i2c_reset(Request) {
  base::log::debug(LOG_TARGET, "Handling i2c_reset command");
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.i2c_reset(); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "I2C reset");
  return base::Bytes{};
}

HandlerResult i2c_config(Request request) {
  base::log::debug(LOG_TARGET, "Handling i2c_config command");
  auto config = decode<I2cConfig>("parse i2c config error:", request.payload);
  if (!config) return std::unexpected(std::move(config.error()));
  base::log::debug(LOG_TARGET, "I2C config parameters: {}", config->debug_text());
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.i2c_config(*config); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "I2C config set");
  return base::Bytes{};
}

}  // namespace server::handler::i2c

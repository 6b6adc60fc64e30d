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
    case 0x023C: return h::spi::spi_transceive(std::move(request));
    case 0x023D: return h::spi::spi_enable(std::move(request));
    case 0x023E: return h::spi::spi_reset(std::move(request));
    case 0x023F: return h::spi::spi_config(std::move(request));
    case 0x024A: return h::i2c::i2c_transceive(std::move(request));
    case 0x024B: return h::i2c::i2c_enable(std::move(request));
    case 0x024C: return h::i2c::i2c_reset(std::move(request));
    case 0x024D: return h::i2c::i2c_config(std::move(request));
    case 0x0260: return h::uart::uart_enable(std::move(request));
    case 0x0261: return h::uart::uart_reset(std::move(request));
    case 0x0262: return h::uart::uart_config(std::move(request));
    case 0x0263: return h::uart::uart_transceive(std::move(request));
    case 0x0264: return h::uart::uart_receive_fifo_remained(std::move(request));
    case 0x0265: return h::uart::uart_receive_fifo_dump(std::move(request));
    case 0x0266: return h::uart::uart_receive_fifo_clear(std::move(request));
    default: return std::unexpected(protocol::ProtocolError::unsupport());
  }
}

}  // namespace server

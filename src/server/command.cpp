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
    case 0x0100: return h::osc_set_channel_enable(std::move(request));
    case 0x0104: return h::osc_set_channel_gain(std::move(request));
    case 0x0105: return h::osc_set_channel_gain_raw(std::move(request));
    case 0x0108: return h::osc_set_sample_clock_phase(std::move(request));
    case 0x0124: return h::osc_set_trigger_delay(std::move(request));
    case 0x0125: return h::osc_set_sample_length(std::move(request));
    case 0x0126: return h::osc_set_single(std::move(request));
    case 0x0127: return h::osc_get_trigger_status(std::move(request));
    case 0x0128: return h::osc_set_sample_rate(std::move(request));
    case 0x0129: return h::osc_set_force(std::move(request));
    case 0x0130: return h::osc_get_channel_wave(std::move(request));
    case 0x0150: return h::osc_set_trigger_source(std::move(request));
    case 0x0151: return h::osc_set_trigger_mode(std::move(request));
    case 0x0152: return h::osc_set_trigger_edge(std::move(request));
    case 0x0153: return h::osc_set_trigger_edge_level(std::move(request));
    case 0x0200: return h::nut_set_voltage_enable(std::move(request));
    case 0x0201: return h::nut_set_voltage_value(std::move(request));
    case 0x0202: return h::nut_set_clock(std::move(request));
    case 0x0203: return h::nut_set_voltage_raw_value(std::move(request));
    case 0x0204: return h::nut_clock_enable(std::move(request));
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
    // This implementation's extension: batch capture.
    case 0x0F00: return h::batch::capture_batch(std::move(request));
    case 0x0F01: return h::batch::batch_info(std::move(request));
    default: return std::unexpected(protocol::ProtocolError::unsupport());
  }
}

}  // namespace server

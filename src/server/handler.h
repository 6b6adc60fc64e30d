#pragma once
// Command handlers. Each takes the request by value, reads only its payload, and
// returns the response payload or a ProtocolError. Log targets: "server::handler"
// for these, "server::handler::spi", "::i2c" and "::uart" for the bus handlers.
#include "protocol/error.h"
#include "protocol/frame.h"

namespace server::handler {

using protocol::HandlerResult;
using protocol::Request;

// General commands.
HandlerResult get_id(Request request);
HandlerResult get_name(Request request);
HandlerResult get_version(Request request);
HandlerResult read_register(Request request);
HandlerResult write_register(Request request);
HandlerResult set_log_level(Request request);

// Oscilloscope.
HandlerResult osc_set_channel_enable(Request request);
HandlerResult osc_set_channel_gain(Request request);
HandlerResult osc_set_channel_gain_raw(Request request);
HandlerResult osc_set_sample_clock_phase(Request request);
HandlerResult osc_set_trigger_delay(Request request);
HandlerResult osc_set_sample_length(Request request);
HandlerResult osc_set_single(Request request);
HandlerResult osc_get_trigger_status(Request request);
HandlerResult osc_set_sample_rate(Request request);
HandlerResult osc_set_force(Request request);
HandlerResult osc_get_channel_wave(Request request);
HandlerResult osc_set_trigger_source(Request request);
HandlerResult osc_set_trigger_mode(Request request);
HandlerResult osc_set_trigger_edge(Request request);
HandlerResult osc_set_trigger_edge_level(Request request);

// Target power and clock.
HandlerResult nut_set_voltage_enable(Request request);
HandlerResult nut_set_voltage_value(Request request);
HandlerResult nut_set_clock(Request request);
HandlerResult nut_set_voltage_raw_value(Request request);
HandlerResult nut_clock_enable(Request request);

namespace spi {
HandlerResult spi_transceive(Request request);
HandlerResult spi_enable(Request request);
HandlerResult spi_reset(Request request);
HandlerResult spi_config(Request request);
}  // namespace spi

namespace i2c {
HandlerResult i2c_transceive(Request request);
HandlerResult i2c_enable(Request request);
HandlerResult i2c_reset(Request request);
HandlerResult i2c_config(Request request);
}  // namespace i2c

namespace uart {
HandlerResult uart_enable(Request request);
HandlerResult uart_reset(Request request);
HandlerResult uart_config(Request request);
HandlerResult uart_transceive(Request request);
HandlerResult uart_receive_fifo_remained(Request request);
HandlerResult uart_receive_fifo_dump(Request request);
HandlerResult uart_receive_fifo_clear(Request request);
}  // namespace uart

// The batch capture extension, codes 0x0F00 and 0x0F01 (log target
// "server::handler::batch").
namespace batch {
HandlerResult capture_batch(Request request);
HandlerResult batch_info(Request request);
}  // namespace batch

}  // namespace server::handler

#pragma once
// Every command the service answers, defined once: its name, its code on the wire
// and its name on the command line (empty: not offered there). The router, the
// command-line client, the benchmark and the fuzzers are built from this list;
// fuzz/make_corpus.py and the Python package's tests read this file, so each
// entry stays on a line of its own. A code that is not here answers Unsupport.
#include <array>
#include <cstdint>
#include <string_view>

#define VALDRIX_COMMANDS(X)                                                   \
  X(get_id, 0x0001, "get-id")                                                 \
  X(get_name, 0x0002, "get-name")                                             \
  X(get_version, 0x0003, "get-version")                                       \
  X(read_register, 0x0004, "read-register")                                   \
  X(write_register, 0x0005, "write-register")                                 \
  X(set_log_level, 0x0006, "set-log-level")                                   \
  X(osc_set_channel_enable, 0x0100, "osc-set-channel-enable")                 \
  X(osc_set_channel_gain, 0x0104, "osc-set-channel-gain")                     \
  X(osc_set_channel_gain_raw, 0x0105, "osc-set-channel-gain-raw")             \
  X(osc_set_sample_clock_phase, 0x0108, "osc-set-sample-clock-phase")         \
  X(osc_set_trigger_delay, 0x0124, "osc-set-trigger-delay")                   \
  X(osc_set_sample_length, 0x0125, "osc-set-sample-length")                   \
  X(osc_set_single, 0x0126, "osc-set-single")                                 \
  X(osc_get_trigger_status, 0x0127, "osc-get-trigger-status")                 \
  X(osc_set_sample_rate, 0x0128, "osc-set-sample-rate")                       \
  X(osc_set_force, 0x0129, "osc-set-force")                                   \
  X(osc_get_channel_wave, 0x0130, "osc-get-channel-wave")                     \
  X(osc_set_trigger_source, 0x0150, "osc-set-trigger-source")                 \
  X(osc_set_trigger_mode, 0x0151, "osc-set-trigger-mode")                     \
  X(osc_set_trigger_edge, 0x0152, "osc-set-trigger-edge")                     \
  X(osc_set_trigger_edge_level, 0x0153, "osc-set-trigger-edge-level")         \
  X(nut_set_voltage_enable, 0x0200, "nut-set-voltage-enable")                 \
  X(nut_set_voltage_value, 0x0201, "nut-set-voltage-value")                   \
  X(nut_set_clock, 0x0202, "nut-set-clock")                                   \
  X(nut_set_voltage_raw_value, 0x0203, "nut-set-voltage-raw-value")           \
  X(nut_clock_enable, 0x0204, "nut-clock-enable")                             \
  X(spi_transceive, 0x023C, "spi-transceive")                                 \
  X(spi_enable, 0x023D, "spi-enable")                                         \
  X(spi_reset, 0x023E, "spi-reset")                                           \
  X(spi_config, 0x023F, "spi-config")                                         \
  X(i2c_transceive, 0x024A, "i2c-transceive")                                 \
  X(i2c_enable, 0x024B, "i2c-enable")                                         \
  X(i2c_reset, 0x024C, "i2c-reset")                                           \
  X(i2c_config, 0x024D, "i2c-config")                                         \
  X(uart_enable, 0x0260, "uart-enable")                                       \
  X(uart_reset, 0x0261, "uart-reset")                                         \
  X(uart_config, 0x0262, "uart-config")                                       \
  X(uart_transceive, 0x0263, "uart-transceive")                               \
  X(uart_receive_fifo_remained, 0x0264, "uart-receive-fifo-remained")         \
  X(uart_receive_fifo_dump, 0x0265, "uart-receive-fifo-dump")                 \
  X(uart_receive_fifo_clear, 0x0266, "uart-receive-fifo-clear")               \
  /* This implementation's extension: batch capture (docs/protocol.md). */     \
  X(capture_batch, 0x0F00, "")                                                \
  X(batch_info, 0x0F01, "")

namespace protocol::command {

#define VALDRIX_COMMAND_CODE(name, code, cli) inline constexpr std::uint16_t name = code;
VALDRIX_COMMANDS(VALDRIX_COMMAND_CODE)
#undef VALDRIX_COMMAND_CODE

struct Info {
  std::string_view name;
  std::uint16_t code;
  std::string_view cli_name;
};

#define VALDRIX_COMMAND_INFO(name, code, cli) Info{#name, code, cli},
inline constexpr std::array TABLE = {VALDRIX_COMMANDS(VALDRIX_COMMAND_INFO)};
#undef VALDRIX_COMMAND_INFO

// The entry of `code`, null when the service has no such command.
constexpr const Info* find(std::uint16_t code) {
  for (const Info& info : TABLE)
    if (info.code == code) return &info;
  return nullptr;
}

}  // namespace protocol::command

#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the frames and payloads the unit tests use: well-formed requests of
every command, the framing mistakes the connection must refuse, and each record's
edge cases. Files are named after what they hold; regression inputs found by
fuzzing live next to them as regression-*, and this script leaves those alone.
"""
import os
import re
import struct
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))
COMMANDS_H = os.path.join(HERE, "..", "src", "protocol", "commands.h")


def command_codes(path=COMMANDS_H):
    """The service's command table, name to code, as src/protocol/commands.h defines it."""
    with open(path, encoding="utf-8") as f:
        entries = re.findall(r'^\s*X\((\w+), (0x[0-9A-Fa-f]{4}), "[^"]*"\)', f.read(), re.M)
    if not entries:
        raise SystemExit(f"make_corpus: no commands found in {path}")
    return types.SimpleNamespace(**{name: int(code, 16) for name, code in entries})


C = command_codes()


def frame(command, payload=b"", *, magic=b"VLDX", version=1, direction=b"S", reserved=b"\0\0", length=None):
    if length is None:
        length = len(payload)
    return magic + struct.pack(">H", version) + direction + struct.pack(">H", command) + reserved + \
        struct.pack(">I", length) + payload


def u8(v):
    return struct.pack(">B", v)


def u16(v):
    return struct.pack(">H", v)


def u32(v):
    return struct.pack(">I", v)


def spi_transceive(tx, rx_len=None, trigger=0, is_delay=0, delay=0):
    return u8(is_delay) + u32(delay) + u16(len(tx) if rx_len is None else rx_len) + u8(trigger) + tx


def i2c_transceive(tx, tsf1=1, tsf2=0, rw=0, lens=(2, 0, 0, 0, 0, 0, 0, 0), trigger=0, is_delay=0, delay=0):
    return u8(is_delay) + u32(delay) + u8(tsf1) + u8(tsf2) + u8(rw) + b"".join(u16(n) for n in lens) + \
        u8(trigger) + tx


def capture_batch(inputs, bus=1, channels=3, offset=0, length=256, rx_len=0, timeout=10):
    tx_len = len(inputs[0]) if inputs else 0
    return (u8(bus) + u8(channels) + u32(offset) + u32(length) + u16(tx_len) + u16(rx_len) + u32(len(inputs)) +
            u32(timeout) + u16(0) + b"".join(inputs))


def uart_transceive(tx, rx_len=0, trigger=0, timeout=10):
    return u16(rx_len) + u8(trigger) + u32(timeout) + tx


# The connection: the handler of the frame target answers by the command's low
# three bits (0 echo, 1 empty, 2 busy, 3 time-out, 4 unsupported, 5 and 6
# internal errors, 7 throws).
FRAME = {
    "get_id": frame(0x0001),
    "echo_payload": frame(0x0008, b"hello"),
    "every_answer_kind": b"".join(frame(c, bytes([c])) for c in range(8)),
    "back_to_back_with_unknown_between": frame(0x0001) + frame(0x0007, b"\x01\x02") + frame(0x0003),
    "bad_magic": frame(0x0001, magic=b"XLDX"),
    "bad_direction": frame(0x0001, direction=b"R"),
    "bad_magic_and_direction": frame(0x0001, magic=b"vldx", direction=b"R"),
    "short_payload": frame(0x0008, b"\x01\x02\x03\x04", length=10),
    "length_zero": frame(0x0000),
    "fourteen_bytes": frame(0x0001)[:14],
    "empty": b"",
    "length_all_ones": frame(0x0001, length=0xFFFFFFFF),
    "length_over_limit": frame(0x0001, length=16 * 1024 * 1024 + 1),
    "any_version_and_reserved": frame(0x0008, b"x", version=0xBEEF, reserved=b"\xAA\x55"),
    "request_after_error_is_not_read": frame(0x0001, magic=b"XXXX") + frame(0x0001),
    "large_echo": frame(0x0008, bytes(range(256)) * 160),
}

# Records: the first byte picks the decoder (see records_fuzzer.cpp).
U8, U16, U32, R01, R02, R03, I2C_CFG, SPI_CFG, UART_CFG, GAIN, WAVE, READ, WRITE, SPI_TX, I2C_TX, UART_TX = range(16)
RECORDS = {
    "u8_wrapper": bytes([U8, 7]),
    "u16_wrapper": bytes([U16]) + u16(0x1234),
    "u32_wrapper_empty": bytes([U32]),
    "u32_wrapper_six_bytes": bytes([U32]) + u32(0xDEADBEEF) + b"\x01\x02",
    "u8_range_0_1_value_2": bytes([R01, 2]),
    "u8_range_0_1_value_0": bytes([R01, 0]),
    "u8_range_0_2": bytes([R02, 2]),
    "u8_range_0_3_value_7": bytes([R03, 7]),
    "i2c_config": bytes([I2C_CFG, 0x3C, 4]),
    "i2c_config_speed_5": bytes([I2C_CFG, 0x3C, 5]),
    "spi_config_cpol_2_cpha_2": bytes([SPI_CFG]) + u16(3) + bytes([2, 2]),
    "spi_config": bytes([SPI_CFG]) + u16(3) + bytes([1, 0]),
    "uart_config_bytesize_4": bytes([UART_CFG, 0, 0, 4]) + u32(115200),
    "uart_config_bytesize_9": bytes([UART_CFG, 0, 0, 9]) + u32(115200),
    "uart_config_bytesize_5": bytes([UART_CFG, 2, 4, 5]) + u32(9600),
    "uart_config_short": bytes([UART_CFG, 1, 1, 8, 0]),
    "channel_gain_0": bytes([GAIN, 0, 50]),
    "channel_gain_3": bytes([GAIN, 3, 50]),
    "channel_gain": bytes([GAIN, 2, 100]),
    "channel_wave": bytes([WAVE, 1]) + u32(0) + u32(1024),
    "read_register_big_endian": bytes([READ]) + bytes.fromhex("43C1000000000010"),
    "write_register": bytes([WRITE]) + u32(0x43C10000) + u32(0x84) + u32(1),
    "spi_transceive_eight_bytes": bytes([SPI_TX]) + spi_transceive(b""),
    "spi_transceive_seven_bytes": bytes([SPI_TX]) + spi_transceive(b"")[:7],
    "spi_transceive_tx": bytes([SPI_TX]) + spi_transceive(b"\x9f\x00\x00", trigger=1),
    "i2c_transceive": bytes([I2C_TX]) + i2c_transceive(b"\xa0\x00"),
    "i2c_transceive_24_bytes": bytes([I2C_TX]) + i2c_transceive(b"")[:24],
    "uart_transceive": bytes([UART_TX]) + uart_transceive(b"AT\r\n", rx_len=4),
    "uart_transceive_short": bytes([UART_TX]) + uart_transceive(b"")[:6],
}

# The router: one seed per command with a plausible payload, and the sequences
# the tests and the capture loop use.
CAPTURE_LOOP = (frame(C.osc_set_sample_length, u32(1024)) + frame(C.spi_enable, u8(1)) + frame(C.osc_set_single) +
                frame(C.spi_transceive, spi_transceive(b"\x01\x02\x03\x04", trigger=1)) + frame(C.osc_get_trigger_status) +
                frame(C.osc_get_channel_wave, u8(1) + u32(0) + u32(1024)) + frame(C.osc_get_channel_wave, u8(2) + u32(0) + u32(1024)))
ROUTER = {
    "get_id": frame(C.get_id, b"\xde\xad"),
    "get_name": frame(C.get_name),
    "get_version": frame(C.get_version),
    "read_register": frame(C.read_register, u32(0x43C20000) + u32(0x14)),
    "read_register_unaligned_base": frame(C.read_register, u32(0x43C20004) + u32(0)),
    "write_then_read_register": frame(C.write_register, u32(0x40000000) + u32(0x10) + u32(0xCAFE)) +
    frame(C.read_register, u32(0x40000000) + u32(0x10)),
    "set_log_level": frame(C.set_log_level, b"debug"),
    "osc_set_channel_enable": frame(C.osc_set_channel_enable),
    "osc_set_channel_gain": frame(C.osc_set_channel_gain, bytes([1, 50])),
    "osc_set_channel_gain_raw": frame(C.osc_set_channel_gain_raw, bytes([2, 200])),
    "osc_set_sample_clock_phase": frame(C.osc_set_sample_clock_phase, u32(90)),
    "osc_set_trigger_delay": frame(C.osc_set_trigger_delay, u32(16)),
    "osc_set_sample_length": frame(C.osc_set_sample_length, u32(4096)),
    "osc_set_single": frame(C.osc_set_single),
    "osc_get_trigger_status": frame(C.osc_get_trigger_status),
    "osc_set_sample_rate": frame(C.osc_set_sample_rate, u32(48)),
    "osc_set_force": frame(C.osc_set_single) + frame(C.osc_set_force) + frame(C.osc_get_trigger_status),
    "osc_get_channel_wave": frame(C.osc_get_channel_wave, u8(1) + u32(0) + u32(1024)),
    "osc_set_trigger_source": frame(C.osc_set_trigger_source, u8(1)),
    "osc_set_trigger_mode": frame(C.osc_set_trigger_mode, u8(0)),
    "osc_set_trigger_edge": frame(C.osc_set_trigger_edge, u8(2)),
    "osc_set_trigger_edge_level": frame(C.osc_set_trigger_edge_level, u16(0x0800)),
    "nut_set_voltage_enable": frame(C.nut_set_voltage_enable, u8(1)),
    "nut_set_voltage_value": frame(C.nut_set_voltage_value, u32(3300)),
    "nut_set_clock": frame(C.nut_set_clock, u32(8000)),
    "nut_set_voltage_raw_value": frame(C.nut_set_voltage_raw_value, u8(128)),
    "nut_clock_enable": frame(C.nut_clock_enable, u8(1)),
    "spi_transceive": frame(C.spi_enable, u8(1)) + frame(C.spi_config, u16(3) + bytes([0, 0])) +
    frame(C.spi_transceive, spi_transceive(b"\x9f\x00\x00\x00")),
    "spi_enable": frame(C.spi_enable, u8(2)),
    "spi_reset": frame(C.spi_reset),
    "spi_config": frame(C.spi_config, u16(3) + bytes([1, 1])),
    "i2c_transceive": frame(C.i2c_enable, u8(1)) + frame(C.i2c_config, bytes([0x50, 1])) +
    frame(C.i2c_transceive, i2c_transceive(b"\xa0\x00", tsf1=1, tsf2=1, rw=2, lens=(2, 4, 0, 0, 0, 0, 0, 0))),
    "i2c_enable": frame(C.i2c_enable, u8(1)),
    "i2c_reset": frame(C.i2c_reset),
    "i2c_config": frame(C.i2c_config, bytes([0x3C, 4])),
    "uart_enable": frame(C.uart_enable, u8(1)),
    "uart_reset": frame(C.uart_reset),
    "uart_config": frame(C.uart_config, bytes([0, 0, 8]) + u32(115200)),
    "uart_config_4800": frame(C.uart_config, bytes([0, 0, 8]) + u32(4800)),
    "uart_transceive": frame(C.uart_enable, u8(1)) + frame(C.uart_config, bytes([0, 0, 8]) + u32(115200)) +
    frame(C.uart_transceive, uart_transceive(b"AT\r\n", rx_len=4, timeout=10)),
    "uart_receive_fifo": frame(C.uart_receive_fifo_remained) + frame(C.uart_receive_fifo_dump) + frame(C.uart_receive_fifo_clear),
    "unknown_codes": frame(0x0000) + frame(0x0007) + frame(0x0999, b"\x42\x42\x42") + frame(0xFFFF),
    "capture_loop": CAPTURE_LOOP,
    "batch_info": frame(C.batch_info),
    "capture_batch_spi": frame(C.osc_set_sample_length, u32(1024)) + frame(C.spi_enable, u8(1)) +
    frame(C.capture_batch, capture_batch([b"\x00\x01", b"\xfe\xff"], rx_len=2)),
    "capture_batch_forced": frame(C.osc_set_sample_length, u32(512)) + frame(C.capture_batch, capture_batch([b"", b"", b""], bus=0, channels=2)),
}


def write(target, seeds):
    out = os.path.join(HERE, "corpus", target)
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return len(seeds)


def main():
    n = write("frame", FRAME) + write("records", RECORDS) + write("router", ROUTER)
    print(f"{n} seeds written under {os.path.join(HERE, 'corpus')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Code tables of the instrument: command codes, trigger settings, status bits,
clock, bus and UART codes.

The numbers are what goes on the wire; the names are the ones the status
display and the documentation use.
"""

from __future__ import annotations

from enum import IntEnum
from typing import Dict, Tuple

__all__ = [
    "DEFAULT_PORT",
    "MAX_PAYLOAD",
    "Command",
    "TriggerSource",
    "TriggerMode",
    "TriggerEdge",
    "TRIGGER_ARMED",
    "TRIGGER_TRIGGERED",
    "TRIGGER_DONE",
    "TRIGGER_COMPLETE",
    "CLOCK_KHZ",
    "UART_BAUD_RATES",
    "UART_PARITY",
    "UART_STOP_BITS",
    "I2C_SPEED_HZ",
    "VOLTAGE_MV",
    "GAIN_PERCENT",
    "SAMPLE_MEMORY",
    "parse_code",
    "Extension",
    "BATCH_BUS",
]

#: TCP port the service listens on.
DEFAULT_PORT = 9761
#: Largest request payload the service accepts (16 MiB).
MAX_PAYLOAD = 16 * 1024 * 1024
#: Samples each channel's memory holds (256 MiB of 16-bit samples).
SAMPLE_MEMORY = 128 * 1024 * 1024


class Command(IntEnum):
    """Command codes of the protocol."""

    GET_ID = 0x0001
    GET_NAME = 0x0002
    GET_VERSION = 0x0003
    READ_REGISTER = 0x0004
    WRITE_REGISTER = 0x0005
    SET_LOG_LEVEL = 0x0006
    OSC_SET_CHANNEL_ENABLE = 0x0100
    OSC_SET_CHANNEL_GAIN = 0x0104
    OSC_SET_CHANNEL_GAIN_RAW = 0x0105
    OSC_SET_SAMPLE_CLOCK_PHASE = 0x0108
    OSC_SET_TRIGGER_DELAY = 0x0124
    OSC_SET_SAMPLE_LENGTH = 0x0125
    OSC_SET_SINGLE = 0x0126
    OSC_GET_TRIGGER_STATUS = 0x0127
    OSC_SET_SAMPLE_RATE = 0x0128
    OSC_SET_FORCE = 0x0129
    OSC_GET_CHANNEL_WAVE = 0x0130
    OSC_SET_TRIGGER_SOURCE = 0x0150
    OSC_SET_TRIGGER_MODE = 0x0151
    OSC_SET_TRIGGER_EDGE = 0x0152
    OSC_SET_TRIGGER_EDGE_LEVEL = 0x0153
    NUT_SET_VOLTAGE_ENABLE = 0x0200
    NUT_SET_VOLTAGE_VALUE = 0x0201
    NUT_SET_CLOCK = 0x0202
    NUT_SET_VOLTAGE_RAW_VALUE = 0x0203
    NUT_CLOCK_ENABLE = 0x0204
    SPI_TRANSCEIVE = 0x023C
    SPI_ENABLE = 0x023D
    SPI_RESET = 0x023E
    SPI_CONFIG = 0x023F
    I2C_TRANSCEIVE = 0x024A
    I2C_ENABLE = 0x024B
    I2C_RESET = 0x024C
    I2C_CONFIG = 0x024D
    UART_ENABLE = 0x0260
    UART_RESET = 0x0261
    UART_CONFIG = 0x0262
    UART_TRANSCEIVE = 0x0263
    UART_RECEIVE_FIFO_REMAINED = 0x0264
    UART_RECEIVE_FIFO_DUMP = 0x0265
    UART_RECEIVE_FIFO_CLEAR = 0x0266


class TriggerSource(IntEnum):
    """``osc_set_trigger_source``: what may start an armed capture.

    N: only a forced trigger and a bus transfer with its trigger bit; A, B: the
    channel crossing the trigger level in the trigger edge's direction; P: as
    the logic design (docs/simulator.md for the simulated one) defines it. A
    forced trigger always triggers.
    """

    N = 0
    A = 1
    B = 2
    P = 3


class TriggerMode(IntEnum):
    """``osc_set_trigger_mode``: E edge, P (docs/simulator.md says what the simulated core does)."""

    E = 0
    P = 1


class TriggerEdge(IntEnum):
    """``osc_set_trigger_edge``: U rising, D falling, E either."""

    U = 0
    D = 1
    E = 2


#: Trigger status bits (``osc_get_trigger_status``).
TRIGGER_ARMED = 0x001
TRIGGER_TRIGGERED = 0x002
TRIGGER_DONE = 0x100
#: The status word of a completed capture: triggered and done.
TRIGGER_COMPLETE = TRIGGER_TRIGGERED | TRIGGER_DONE

#: Frequencies (kHz) both clock generators take: sample rate and target clock.
CLOCK_KHZ: Tuple[int, ...] = (4000, 8000, 12000, 24000, 48000, 65000)
#: Baud rates ``uart_config`` takes; any other is refused.
UART_BAUD_RATES: Tuple[int, ...] = (9600, 19200, 38400, 57600, 115200)
#: ``uart_config`` parity codes.
UART_PARITY: Dict[int, str] = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
#: ``uart_config`` stop-bit codes and the stop bits they stand for.
UART_STOP_BITS: Dict[int, float] = {0: 1, 1: 1.5, 2: 2}
#: ``i2c_config`` speed codes and the bus clock they select, in Hz.
I2C_SPEED_HZ: Dict[int, int] = {0: 100_000, 1: 400_000, 2: 1_000_000, 3: 3_400_000, 4: 5_000_000}
#: Target supply range, in millivolts.
VOLTAGE_MV: Tuple[int, int] = (2000, 4100)
#: Channel gain range, in percent.
GAIN_PERCENT: Tuple[int, int] = (0, 100)


class Extension(IntEnum):
    """Codes of this implementation's own commands, outside the protocol's
    table (an instrument without them answers Unsupport)."""

    CAPTURE_BATCH = 0x0F00
    BATCH_INFO = 0x0F01


#: Bus codes of the batch capture; None forces the trigger.
BATCH_BUS: Dict[object, int] = {None: 0, "spi": 1, "i2c": 2, "uart": 3}


def parse_code(enum: type, text: str) -> int:
    """A code given by number ("1") or by letter ("A", any case)."""
    text = text.strip()
    try:
        value = int(text, 0)
    except ValueError:
        try:
            return int(enum[text.upper()])
        except KeyError:
            names = ", ".join("%s (%d)" % (m.name, m.value) for m in enum)
            raise ValueError("%r is not one of %s" % (text, names)) from None
    if value not in {int(m) for m in enum}:
        raise ValueError("%d is not a %s code (0..%d)" % (value, enum.__name__, max(enum)))
    return value

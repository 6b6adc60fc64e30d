"""The scope's settings as the page sends them: checked, turned into a
set-up, and written back as the valdrix-capture command that captures the
same way.

The names are valdrix-capture's option names (``--trigger-level`` is
``trigger_level``), except ``power`` and ``clock_on``, the negations of
``--no-power`` and ``--no-clock``.
"""

from __future__ import annotations

import random
import shlex
from typing import Any, Dict, Optional, Tuple

from ..codes import CLOCK_KHZ, TriggerEdge, TriggerMode, TriggerSource

__all__ = ["DEFAULTS", "SettingsError", "check", "setup_kwargs", "capture_command", "Inputs", "MAX_SAMPLES"]

#: Samples per channel the instrument's memories hold.
MAX_SAMPLES = 128 * 1024 * 1024

DEFAULTS: Dict[str, Any] = {
    "voltage": 3300, "power": True, "clock": 4000, "clock_on": True, "sample_rate": 48000, "samples": 4096,
    "phase": 0, "trigger_source": 0, "trigger_mode": 0, "trigger_edge": 0, "trigger_level": 0,
    "trigger_delay": 0, "gain_a": 100, "gain_b": 100, "bus": "spi", "spi_psc": 4, "spi_cpol": 0, "spi_cpha": 0,
    "i2c_addr": 0x50, "i2c_speed": 1, "uart_baud": 115200, "uart_bytesize": 8, "uart_parity": 0,
    "uart_stop_bits": 0, "tx": "random:16", "rx_len": 16, "timeout": 1.0,
}

# name: (low, high) for integers; a tuple of choices otherwise.
_INTS: Dict[str, Tuple[int, int]] = {
    "voltage": (2000, 4100), "samples": (1, MAX_SAMPLES), "phase": (0, 359),
    "trigger_level": (-32768, 32767), "trigger_delay": (0, 0xFFFFFFFF), "gain_a": (0, 100), "gain_b": (0, 100),
    "spi_psc": (0, 0xFFFF), "spi_cpol": (0, 1), "spi_cpha": (0, 1), "i2c_addr": (0, 0x7F), "i2c_speed": (0, 4),
    "uart_baud": (300, 10_000_000), "uart_bytesize": (5, 8), "uart_parity": (0, 4), "uart_stop_bits": (0, 2),
    "rx_len": (0, 65535),
}
_CHOICES: Dict[str, Tuple[Any, ...]] = {
    "clock": CLOCK_KHZ, "sample_rate": CLOCK_KHZ, "trigger_source": tuple(int(c) for c in TriggerSource),
    "trigger_mode": tuple(int(c) for c in TriggerMode), "trigger_edge": tuple(int(c) for c in TriggerEdge),
    "bus": ("spi", "i2c", "uart", "none"),
}


class SettingsError(ValueError):
    """A value from the page that the instrument cannot take; the text names it."""


def _int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise SettingsError("%s: %r is not a whole number" % (name, value))
    try:
        return int(value, 0) if isinstance(value, str) else int(value)
    except ValueError:
        raise SettingsError("%s: %r is not a whole number" % (name, value)) from None


def _parse_tx(text: Any) -> Tuple[str, Any]:
    """('random' | 'counter', byte count) or ('hex', bytes)."""
    if not isinstance(text, str):
        raise SettingsError("tx: takes random:N, counter:N or hex:BYTES")
    kind, _, value = text.strip().partition(":")
    if kind in ("random", "counter"):
        n = _int("tx", value)
        if not 1 <= n <= 65535:
            raise SettingsError("tx: %s:N takes 1 to 65535 bytes" % kind)
        return kind, n
    if kind == "hex":
        digits = value.replace(" ", "").replace(":", "")
        if digits[:2].lower() == "0x":
            digits = digits[2:]
        try:
            data = bytes.fromhex(digits)
        except ValueError:
            raise SettingsError("tx: %r is not hex bytes" % value) from None
        if len(data) > 65535:
            raise SettingsError("tx: at most 65535 bytes")
        return kind, data
    raise SettingsError("tx: takes random:N, counter:N or hex:BYTES, not %r" % text)


def check(changes: Any, current: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """The settings with ``changes`` applied, every value checked; raises
    SettingsError naming the first bad one."""
    if not isinstance(changes, dict):
        raise SettingsError("settings must be an object of name: value")
    out = dict(current or DEFAULTS)
    for name, value in changes.items():
        if name not in DEFAULTS:
            raise SettingsError("%s: no such setting" % name)
        if name in ("power", "clock_on"):
            if not isinstance(value, bool):
                raise SettingsError("%s: true or false" % name)
        elif name == "timeout":
            if isinstance(value, bool) or not isinstance(value, (int, float, str)):
                raise SettingsError("timeout: a number of seconds")
            try:
                value = float(value)
            except ValueError:
                raise SettingsError("timeout: %r is not a number of seconds" % value) from None
            if not 0.001 <= value <= 3600:
                raise SettingsError("timeout: 0.001 to 3600 s")
        elif name == "tx":
            _parse_tx(value)
            value = value.strip()
        elif name == "bus":
            if value not in _CHOICES["bus"]:
                raise SettingsError("bus: one of spi, i2c, uart, none")
        elif name in _CHOICES:
            value = _int(name, value)
            if value not in _CHOICES[name]:
                raise SettingsError("%s: one of %s" % (name, ", ".join(map(str, _CHOICES[name]))))
        else:
            value = _int(name, value)
            low, high = _INTS[name]
            if not low <= value <= high:
                raise SettingsError("%s: %d is outside %d to %d" % (name, value, low, high))
        out[name] = value
    if out["bus"] == "i2c" and out["rx_len"] == 0 and _parse_tx(out["tx"]) == ("hex", b""):
        raise SettingsError("tx: an I2C capture needs input bytes or an answer length")
    return out


def setup_kwargs(s: Dict[str, Any]) -> Dict[str, Any]:
    """Valdrix.setup()'s arguments for the settings."""
    return dict(voltage_mv=s["voltage"], power=s["power"], clock_khz=s["clock"], clock_enable=s["clock_on"],
                sample_rate_khz=s["sample_rate"], samples=s["samples"], phase_deg=s["phase"],
                trigger_source=s["trigger_source"], trigger_mode=s["trigger_mode"],
                trigger_edge=s["trigger_edge"], trigger_level=s["trigger_level"],
                trigger_delay=s["trigger_delay"], gain_a=s["gain_a"], gain_b=s["gain_b"],
                bus=None if s["bus"] == "none" else s["bus"], spi_psc=s["spi_psc"], spi_cpol=s["spi_cpol"],
                spi_cpha=s["spi_cpha"], i2c_addr=s["i2c_addr"], i2c_speed=s["i2c_speed"],
                uart_baudrate=s["uart_baud"], uart_bytesize=s["uart_bytesize"], uart_parity=s["uart_parity"],
                uart_stop_bits=s["uart_stop_bits"])


class Inputs:
    """The scope's input of each capture: the same hex bytes, fresh random
    bytes, or a big-endian counter that goes up by one per capture."""

    def __init__(self, tx: str, seed: Optional[int] = None) -> None:
        self.kind, self.value = _parse_tx(tx)
        self.rng = random.Random(seed)
        self.n = 0

    def next(self) -> bytes:
        if self.kind == "hex":
            return self.value
        if self.kind == "random":
            return self.rng.randbytes(self.value)
        self.n += 1
        return ((self.n - 1) % (1 << (8 * min(self.value, 8)))).to_bytes(self.value, "big")


_CODES = {"trigger_source": "NABP", "trigger_mode": "EP", "trigger_edge": "UDE"}


def capture_command(s: Dict[str, Any], host: str, port: int) -> str:
    """The valdrix-capture command line that sets up and captures as the
    scope does; options at their default are left out."""
    words = ["valdrix-capture", "--host", host, "--port", str(port)]
    for name, default in DEFAULTS.items():
        value = s[name]
        if name == "power":
            if not value:
                words.append("--no-power")
            continue
        if name == "clock_on":
            if not value:
                words.append("--no-clock")
            continue
        if name == "tx":
            if s["bus"] == "none":
                continue
            kind, n = _parse_tx(value)
            # valdrix-capture has no counter input; random bytes of the same
            # length exercise the target the same way.
            words += ["--tx", "random:%d" % n if kind == "counter" else value]
            continue
        if name == "rx_len" and s["bus"] == "none":
            continue
        # valdrix-capture's own defaults, where the scope's differ.
        capture_default = {"rx_len": 0, "tx": "random:16"}.get(name, default)
        if value == capture_default:
            continue
        if name in _CODES:
            value = _CODES[name][value]
        elif name == "i2c_addr":
            value = "0x%02x" % value
        words += ["--" + name.replace("_", "-"), str(value)]
    return " ".join(shlex.quote(w) for w in words)

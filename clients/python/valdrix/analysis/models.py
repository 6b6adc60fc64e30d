"""Leakage models of AES-128 for CPA.

A model tells the CPA two things about a trace's data bytes (the plaintext,
or the ciphertext for a last-round model): into which buckets its samples are
summed, and how the hypothetical leakage of each key guess follows from those
bucket sums (a linear map, ``weights``). Summing per bucket in one pass and
applying the map at the end keeps the cost independent of the 256 guesses.
The correlation's normalisation needs the leakage of every trace, which
depends on a small code per trace (``codes``, ``table``).

- ``SboxWeight`` (``sbox-hw``): HW(Sbox(pt[b] ^ k)), the first round's S-box
  output, as software AES leaks it.
- ``SboxBit(i)`` (``sbox-bit:i``): bit i of that output.
- ``LastRoundDistance`` (``last-round-hd``): the Hamming distance between the
  state before the last round and the ciphertext that overwrites it in the
  same register, HD(InvSbox(ct[b] ^ k), ct[ShiftRows(b)]), as hardware AES
  leaks it; the guesses are round key 10, and ``master_key`` walks it back.
- ``ByteModel(f)``: any f(values, guesses) -> leakage of each (byte value,
  guess), (len(values), len(guesses)): a plain function becomes one.
"""

from __future__ import annotations

from typing import Callable, Optional

import numpy as np

from .aes import HW, INV_SBOX, SBOX, SHIFT_ROWS, master_key

__all__ = ["Model", "ByteModel", "SboxWeight", "SboxBit", "LastRoundDistance", "hw_sbox", "model_named",
           "MODEL_NAMES", "as_model"]


def hw_sbox(values: np.ndarray, guesses: np.ndarray) -> np.ndarray:
    """The default leakage model: HW(Sbox(value ^ guess)), (len(values), len(guesses))."""
    values = np.asarray(values, dtype=np.uint8)
    guesses = np.asarray(guesses, dtype=np.uint8)
    return HW[SBOX[values[:, None] ^ guesses[None, :]]]


class Model:
    """What a CPA needs of a leakage model (see the module's text)."""

    #: Short name, as ``valdrix-analyze cpa --model`` takes it.
    name = "model"
    #: The trace data the model reads: "tx" (plaintext, the bytes sent) or "rx"
    #: (ciphertext, the answer bytes).
    field = "tx"
    #: Buckets per attacked byte.
    buckets_per_byte = 256
    #: Distinct codes per trace and attacked byte.
    codes_per_byte = 256
    #: What the guesses are: "key" (the master key) or "round key 10".
    guesses_are = "key"
    #: Whether no trace ever names one bucket in two of its slots (which lets
    #: the kernel fold its partial sums less often).
    distinct_slots = False

    def needs(self, byte: int) -> int:
        """Bytes of data a trace must carry to attack ``byte``."""
        return byte + 1

    def buckets(self, data: np.ndarray, byte: int) -> np.ndarray:
        """(n, slots) int32 buckets in [0, buckets_per_byte), -1 for none."""
        raise NotImplementedError

    def weights(self) -> np.ndarray:
        """(256 guesses, buckets_per_byte): guess k's leakage of a trace is
        the sum of the weights of its buckets."""
        raise NotImplementedError

    def codes(self, data: np.ndarray, byte: int) -> np.ndarray:
        """(n,) codes in [0, codes_per_byte) that fix each guess's leakage."""
        raise NotImplementedError

    def table(self) -> np.ndarray:
        """(codes_per_byte, 256 guesses): the leakage of each code and guess."""
        raise NotImplementedError

    def key_from_guesses(self, guesses: bytes) -> Optional[bytes]:
        """The master key that the 16 winning guesses mean, where they are a round key."""
        return None

    def __repr__(self) -> str:
        return "<%s model %s>" % (type(self).__name__, self.name)


class ByteModel(Model):
    """A model of one input byte value and a guess: f(values, guesses)."""

    distinct_slots = True

    def __init__(self, function: Callable[[np.ndarray, np.ndarray], np.ndarray], name: Optional[str] = None,
                 field: str = "tx") -> None:
        self.function = function
        self.name = name or getattr(function, "__name__", "model")
        self.field = field
        self._table: Optional[np.ndarray] = None

    def buckets(self, data: np.ndarray, byte: int) -> np.ndarray:
        return data[:, byte:byte + 1].astype(np.int32)

    def table(self) -> np.ndarray:
        if self._table is None:
            values = np.arange(256, dtype=np.uint8)
            t = np.asarray(self.function(values, values), dtype=np.float64)
            if t.shape != (256, 256):
                raise ValueError("the model must give (values, guesses) = (256, 256) leakages, gave %s"
                                 % (t.shape,))
            self._table = t
        return self._table

    def weights(self) -> np.ndarray:
        return self.table().T

    def codes(self, data: np.ndarray, byte: int) -> np.ndarray:
        return data[:, byte].astype(np.int64)

    def __getstate__(self) -> dict:
        return {"function": self.function, "name": self.name, "field": self.field, "_table": None}


def _sbox_bit(bit: int) -> Callable[[np.ndarray, np.ndarray], np.ndarray]:
    def f(values: np.ndarray, guesses: np.ndarray) -> np.ndarray:
        v = np.asarray(values, dtype=np.uint8)[:, None] ^ np.asarray(guesses, dtype=np.uint8)[None, :]
        return (SBOX[v] >> bit) & 1
    return f


class SboxWeight(ByteModel):
    def __init__(self) -> None:
        super().__init__(hw_sbox, "sbox-hw")

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (SboxWeight, ())


class SboxBit(ByteModel):
    def __init__(self, bit: int) -> None:
        if not 0 <= bit < 8:
            raise ValueError("a bit of a byte is 0 to 7, not %d" % bit)
        self.bit = bit
        super().__init__(_sbox_bit(bit), "sbox-bit:%d" % bit)

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (SboxBit, (self.bit,))


class LastRoundDistance(Model):
    """HD(InvSbox(ct[b] ^ k), ct[ShiftRows(b)]): the last round's register update.

    With u = InvSbox(ct[b] ^ k) and v = ct[ShiftRows(b)], each bit of the
    distance is u + v - 2uv, so guess k's correlation needs the sums of the
    traces per value of ct[b] and, for each bit of v, per value of ct[b]
    among the traces where that bit is set: 9 buckets per value."""

    name = "last-round-hd"
    field = "rx"
    distinct_slots = True
    buckets_per_byte = 256 * 9
    codes_per_byte = 256 * 256
    guesses_are = "round key 10"

    def __init__(self) -> None:
        self._table: Optional[np.ndarray] = None

    def needs(self, byte: int) -> int:
        return max(byte, int(SHIFT_ROWS[byte])) + 1

    def buckets(self, data: np.ndarray, byte: int) -> np.ndarray:
        c = data[:, byte].astype(np.int32) * 9
        v = data[:, SHIFT_ROWS[byte]].astype(np.int32)
        out = np.empty((len(data), 9), dtype=np.int32)
        out[:, 0] = c
        for bit in range(8):
            out[:, 1 + bit] = np.where((v >> bit) & 1, c + 1 + bit, -1)
        return out

    def weights(self) -> np.ndarray:
        k = np.arange(256, dtype=np.uint8)
        u = INV_SBOX[k[:, None] ^ k[None, :]]  # (guess, ct value)
        w = np.empty((256, 256, 9))
        w[:, :, 0] = HW[u]
        for bit in range(8):
            w[:, :, 1 + bit] = 1.0 - 2.0 * ((u >> bit) & 1)
        return w.reshape(256, 256 * 9)

    def codes(self, data: np.ndarray, byte: int) -> np.ndarray:
        return data[:, byte].astype(np.int64) * 256 + data[:, SHIFT_ROWS[byte]]

    def table(self) -> np.ndarray:
        if self._table is None:
            k = np.arange(256, dtype=np.uint8)
            u = INV_SBOX[k[:, None] ^ k[None, :]]  # (ct value, guess)
            self._table = HW[u[:, None, :] ^ k[None, :, None]].reshape(256 * 256, 256)
        return self._table

    def key_from_guesses(self, guesses: bytes) -> Optional[bytes]:
        return master_key(guesses, 10) if len(guesses) == 16 else None

    def __getstate__(self) -> dict:
        return {"_table": None}


MODEL_NAMES = ("sbox-hw", "sbox-bit:0..7", "last-round-hd")


def model_named(name: str) -> Model:
    """The model of a ``--model`` name (see MODEL_NAMES)."""
    if name == "sbox-hw":
        return SboxWeight()
    if name == "last-round-hd":
        return LastRoundDistance()
    if name.startswith("sbox-bit:"):
        try:
            bit = int(name.split(":", 1)[1])
        except ValueError:
            bit = -1
        if 0 <= bit < 8:
            return SboxBit(bit)
    raise ValueError("unknown leakage model %r: sbox-hw, sbox-bit:0 to sbox-bit:7 or last-round-hd" % (name,))


def as_model(model: object) -> Model:
    """A Model from a Model, a function f(values, guesses), or None (the default)."""
    if model is None:
        return SboxWeight()
    if isinstance(model, Model):
        return model
    if isinstance(model, str):
        return model_named(model)
    if callable(model):
        return ByteModel(model)  # type: ignore[arg-type]
    raise TypeError("a leakage model is a Model or a function f(values, guesses), not %r" % (model,))

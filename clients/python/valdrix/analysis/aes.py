"""AES-128 as the leakage models see it: the S-box and its inverse, Hamming
weights, and the key schedule in both directions (a last-round attack finds
round key 10 and walks it back to the master key)."""

from __future__ import annotations

from typing import List

import numpy as np

__all__ = ["SBOX", "INV_SBOX", "HW", "SHIFT_ROWS", "expand_key", "master_key"]


def _gf_mul(a: int, b: int) -> int:
    p = 0
    while b:
        if b & 1:
            p ^= a
        a = ((a << 1) ^ (0x11B if a & 0x80 else 0)) & 0xFF
        b >>= 1
    return p


def _make_sbox() -> np.ndarray:
    table = []
    for x in range(256):
        inv, power, e = 1, x, 254
        while e:
            if e & 1:
                inv = _gf_mul(inv, power)
            power = _gf_mul(power, power)
            e >>= 1
        rot = lambda b, n: ((b << n) | (b >> (8 - n))) & 0xFF  # noqa: E731
        table.append(inv ^ rot(inv, 1) ^ rot(inv, 2) ^ rot(inv, 3) ^ rot(inv, 4) ^ 0x63)
    return np.array(table, dtype=np.uint8)


#: AES's S-box.
SBOX = _make_sbox()
#: Its inverse.
INV_SBOX = np.argsort(SBOX).astype(np.uint8)
#: Hamming weight of each byte value.
HW = np.array([bin(v).count("1") for v in range(256)], dtype=np.uint8)
#: ShiftRows as a gather on the column-major state: out[i] = in[SHIFT_ROWS[i]].
SHIFT_ROWS = np.array([(i + 4 * (i % 4)) % 16 for i in range(16)], dtype=np.intp)

_RCON = [0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36]


def expand_key(key: bytes) -> List[bytes]:
    """The 11 round keys of an AES-128 key."""
    if len(key) != 16:
        raise ValueError("an AES-128 key is 16 bytes, got %d" % len(key))
    w = [list(key[4 * i:4 * i + 4]) for i in range(4)]
    for i in range(4, 44):
        t = list(w[i - 1])
        if i % 4 == 0:
            t = [int(SBOX[b]) for b in t[1:] + t[:1]]
            t[0] ^= _RCON[i // 4 - 1]
        w.append([a ^ b for a, b in zip(w[i - 4], t)])
    return [bytes(sum(w[4 * r:4 * r + 4], [])) for r in range(11)]


def master_key(round_key: bytes, round_: int = 10) -> bytes:
    """The AES-128 key whose schedule gives ``round_key`` at round ``round_``
    (the schedule is invertible word by word)."""
    if len(round_key) != 16:
        raise ValueError("a round key is 16 bytes, got %d" % len(round_key))
    if not 0 <= round_ <= 10:
        raise ValueError("AES-128 has round keys 0 to 10, not %d" % round_)
    w = [list(round_key[4 * i:4 * i + 4]) for i in range(4)]
    for r in range(round_, 0, -1):
        # w[i-4] = w[i] ^ f(w[i-1]), from the last word of the round back.
        prev = [None] * 4
        for j in (3, 2, 1):
            prev[j] = [a ^ b for a, b in zip(w[j], w[j - 1])]
        t = [int(SBOX[b]) for b in prev[3][1:] + prev[3][:1]]
        t[0] ^= _RCON[r - 1]
        prev[0] = [a ^ b for a, b in zip(w[0], t)]
        w = prev
    return bytes(sum(w, []))

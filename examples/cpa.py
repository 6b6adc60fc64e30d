#!/usr/bin/env python3
"""Correlation power analysis of AES-128's first round.

For each of the 16 key bytes and each of its 256 guesses k, the model of the power
draw is the Hamming weight of the first-round S-box output, HW(Sbox(pt ^ k)); its
Pearson correlation with every sample of the traces peaks where the device handles
that byte, and only for the right guess. The guess whose correlation peaks highest
(in magnitude: a probe can see the draw inverted) is the recovered key byte.

    cpa.py campaign.trs                        # recovered key, per-byte peaks
    cpa.py campaign.trs --key 2b7e15...4f3c    # and the true key's rank per byte
    cpa.py campaign.trs --svg byte0.svg        # correlation against time, byte 0

The analysis functions take plain arrays (traces n x samples, plaintexts n x 16),
so they serve any source of traces; the command line reads a trace file written by
valdrix-capture (or valdrix.traces.TrsWriter). The true key is used only to rank
and report, never to recover.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np


def _sbox() -> np.ndarray:
    """AES's S-box: the inverse in GF(2^8) followed by the affine map."""

    def mul(a: int, b: int) -> int:
        p = 0
        while b:
            if b & 1:
                p ^= a
            a = ((a << 1) ^ (0x11B if a & 0x80 else 0)) & 0xFF
            b >>= 1
        return p

    def rotl(b: int, n: int) -> int:
        return ((b << n) | (b >> (8 - n))) & 0xFF

    table = []
    for x in range(256):
        inv, power, e = 1, x, 254
        while e:
            if e & 1:
                inv = mul(inv, power)
            power = mul(power, power)
            e >>= 1
        table.append(inv ^ rotl(inv, 1) ^ rotl(inv, 2) ^ rotl(inv, 3) ^ rotl(inv, 4) ^ 0x63)
    return np.array(table, dtype=np.uint8)


SBOX = _sbox()
HW = np.array([bin(v).count("1") for v in range(256)], dtype=np.float64)
GUESSES = np.arange(256, dtype=np.uint8)


def _standardise(x: np.ndarray) -> np.ndarray:
    """Columns centred and scaled to unit norm; constant columns become zero."""
    x = x - x.mean(axis=0)
    norm = np.sqrt((x * x).sum(axis=0))
    norm[norm == 0] = np.inf
    return x / norm


def correlation(traces: np.ndarray, plaintexts: np.ndarray, byte: int) -> np.ndarray:
    """Pearson correlation of HW(Sbox(pt[byte] ^ k)) with every sample: 256 x samples."""
    t = _standardise(np.asarray(traces, dtype=np.float64))
    return _correlate(t, plaintexts, byte)


def _correlate(standardised: np.ndarray, plaintexts: np.ndarray, byte: int) -> np.ndarray:
    pt = np.asarray(plaintexts, dtype=np.uint8)[:, byte]
    model = _standardise(HW[SBOX[pt[:, None] ^ GUESSES[None, :]]])  # n x 256
    return model.T @ standardised


@dataclass
class ByteResult:
    guess: int  # the recovered key byte
    peak: float  # its correlation at its peak (signed)
    sample: int  # where that peak lies
    scores: np.ndarray  # per guess, the largest |correlation| over the samples

    def rank(self, key_byte: int) -> int:
        """1 when `key_byte` scores highest, 256 when lowest."""
        return 1 + int((self.scores > self.scores[key_byte]).sum())


def attack(traces: np.ndarray, plaintexts: np.ndarray, keep: int | None = None):
    """Runs the attack on all 16 bytes.

    Returns the 16 ByteResults and, when `keep` names a byte, that byte's whole
    correlation matrix (256 x samples) for plotting, else None.
    """
    traces = np.asarray(traces, dtype=np.float64)
    plaintexts = np.asarray(plaintexts, dtype=np.uint8)
    if traces.ndim != 2 or plaintexts.shape != (traces.shape[0], 16):
        raise ValueError(
            f"need n traces and n 16-byte plaintexts, got {traces.shape} and {plaintexts.shape}"
        )
    standardised = _standardise(traces)
    results, kept = [], None
    for byte in range(16):
        corr = _correlate(standardised, plaintexts, byte)
        magnitude = np.abs(corr)
        scores = magnitude.max(axis=1)
        guess = int(scores.argmax())
        sample = int(magnitude[guess].argmax())
        results.append(ByteResult(guess, float(corr[guess, sample]), sample, scores))
        if byte == keep:
            kept = corr
    return results, kept


def _prefixes(total: int):
    n = 5
    while n < total:
        yield n
        n += 5 if n < 50 else 10 if n < 100 else 50 if n < 500 else 100 if n < 1000 else 500
    yield total


def traces_needed(traces: np.ndarray, plaintexts: np.ndarray, key: bytes):
    """Bytes of `key` recovered from the first n traces, for n = 5, 10, ... and all.

    Returns the (n, bytes right) pairs and the smallest n from which on every
    larger n tried recovers all 16 bytes (None if the last one does not)."""
    steps, needed = [], None
    for n in _prefixes(len(traces)):
        results, _ = attack(traces[:n], plaintexts[:n])
        right = sum(r.guess == k for r, k in zip(results, key))
        steps.append((n, right))
        if right < 16:
            needed = None
        elif needed is None:
            needed = n
    return steps, needed


def write_svg(path: Path, corr: np.ndarray, highlight: int, title: str,
              sample_rate_hz: float | None = None) -> None:
    """Correlation against time: the range of all other guesses as a grey band and
    the `highlight` guess in red, each bucketed to at most 1200 columns (min and max
    kept, so no peak is lost)."""
    width, height, left, right, top, bottom = 960, 420, 64, 16, 36, 48
    samples = corr.shape[1]
    columns = min(samples, 1200)
    edges = np.linspace(0, samples, columns + 1).astype(int)
    others = np.delete(corr, highlight, axis=0)

    def bucket(values: np.ndarray, reduce) -> np.ndarray:
        return np.array([reduce(values[..., a:max(b, a + 1)]) for a, b in zip(edges[:-1], edges[1:])])

    band_hi = bucket(others, np.max)
    band_lo = bucket(others, np.min)
    line_hi = bucket(corr[highlight], np.max)
    line_lo = bucket(corr[highlight], np.min)
    limit = max(0.05, float(np.abs(corr).max()))

    def x(i: int) -> float:
        return left + (width - left - right) * i / max(columns - 1, 1)

    def y(v: float) -> float:
        return top + (height - top - bottom) * (1 - (v + limit) / (2 * limit))

    def polyline(points, style: str) -> str:
        return f'<polyline fill="none" {style} points="' + " ".join(
            f"{px:.1f},{py:.1f}" for px, py in points) + '"/>'

    band = [(x(i), y(v)) for i, v in enumerate(band_hi)]
    band += [(x(i), y(v)) for i, v in reversed(list(enumerate(band_lo)))]
    trace = []
    for i in range(columns):
        trace += [(x(i), y(line_lo[i])), (x(i), y(line_hi[i]))]

    if sample_rate_hz:
        unit, scale = "µs", 1e6 / sample_rate_hz
    else:
        unit, scale = "samples", 1.0
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'font-family="sans-serif" font-size="12">',
        '<rect width="100%" height="100%" fill="white"/>',
        f'<text x="{left}" y="22" font-size="14">{title}</text>',
        '<polygon fill="#cccccc" stroke="none" points="' + " ".join(
            f"{px:.1f},{py:.1f}" for px, py in band) + '"/>',
        polyline(trace, 'stroke="#d62728" stroke-width="1"'),
    ]
    for v in (-limit, 0.0, limit):
        parts.append(f'<line x1="{left}" x2="{width - right}" y1="{y(v):.1f}" y2="{y(v):.1f}" '
                     f'stroke="#888" stroke-dasharray="{"none" if v == 0 else "3,3"}"/>')
        parts.append(f'<text x="{left - 6}" y="{y(v) + 4:.1f}" text-anchor="end">{v:+.2f}</text>')
    for i in range(6):
        s = samples * i / 5
        px = left + (width - left - right) * i / 5
        parts.append(f'<text x="{px:.1f}" y="{height - bottom + 18}" text-anchor="middle">'
                     f'{s * scale:.4g}</text>')
    parts.append(f'<text x="{(left + width - right) / 2}" y="{height - 8}" text-anchor="middle">'
                 f'time after the trigger ({unit}); red: guess 0x{highlight:02x}, '
                 f'grey: the other 255 guesses</text>')
    parts.append("</svg>")
    path.write_text("\n".join(parts) + "\n", encoding="utf-8")


def _import_traces():
    try:
        from valdrix import traces
    except ImportError:  # running from a checkout without the package installed
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python"))
        from valdrix import traces
    return traces


def _key(text: str) -> bytes:
    try:
        key = bytes.fromhex(text)
    except ValueError:
        key = b""
    if len(key) != 16:
        raise argparse.ArgumentTypeError("a key is 32 hexadecimal digits")
    return key


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("trace_file", type=Path, help="trace set (.trs) with plaintexts as sent")
    parser.add_argument("--channel", type=int, default=2, help="channel with the power draw (2)")
    parser.add_argument("--traces", type=int, metavar="N", help="use only the first N traces")
    parser.add_argument("--key", type=_key, help="the true key, to rank it (not used to recover)")
    parser.add_argument("--needed", action="store_true",
                        help="with --key: attack the first 5, 10, ... traces and say from how many on the "
                             "whole key comes out")
    parser.add_argument("--svg", type=Path, help="write correlation against time for one byte")
    parser.add_argument("--byte", type=int, default=0, choices=range(16), metavar="0..15",
                        help="the byte --svg draws (0)")
    args = parser.parse_args(argv)
    if args.needed and not args.key:
        parser.error("--needed needs --key")

    try:
        trace_set = _import_traces().read_traces(args.trace_file)
    except (OSError, ValueError) as e:
        print(f"cpa.py: {args.trace_file}: {e}", file=sys.stderr)
        return 1
    if args.channel not in trace_set.waves:
        print(f"cpa.py: {args.trace_file} holds no channel {args.channel}", file=sys.stderr)
        return 1
    waves = np.asarray(trace_set.waves[args.channel])
    plaintexts = np.array([list(tx[:16]) for tx in trace_set.tx], dtype=np.uint8)
    if args.traces:
        waves, plaintexts = waves[:args.traces], plaintexts[:args.traces]
    results, corr = attack(waves, plaintexts, keep=args.byte if args.svg else None)

    recovered = bytes(r.guess for r in results)
    print(f"{len(waves)} traces of {waves.shape[1]} samples, channel {args.channel}")
    header = "byte  recovered  peak corr  at sample"
    if args.key:
        header += "  true  rank"
    print(header)
    for i, r in enumerate(results):
        line = f"{i:4}  {f'0x{r.guess:02x}':>9}  {r.peak:+9.3f}  {r.sample:9}"
        if args.key:
            line += f"  0x{args.key[i]:02x}  {r.rank(args.key[i]):4}"
        print(line)
    print(f"recovered key: {recovered.hex()}")
    if args.key:
        print(f"true key:      {args.key.hex()}")
        right = sum(a == b for a, b in zip(recovered, args.key))
        print(f"{right} of 16 bytes recovered")
    if args.needed and args.key:
        steps, needed = traces_needed(waves, plaintexts, args.key)
        print("traces:          " + " ".join(f"{n:4}" for n, _ in steps))
        print("bytes recovered: " + " ".join(f"{right:4}" for _, right in steps))
        print(f"the whole key from {needed} traces on" if needed else "the whole key was not recovered")
    if args.svg:
        rate = 1.0 / trace_set.sample_period if trace_set.sample_period else None
        shown = args.key[args.byte] if args.key else results[args.byte].guess
        write_svg(args.svg, corr, shown, f"CPA on key byte {args.byte}, {len(waves)} traces", rate)
        print(f"correlation of byte {args.byte} written to {args.svg}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

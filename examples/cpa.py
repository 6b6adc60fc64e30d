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
HW = np.array([bin(v).count("1") for v in range(256)], dtype=np.uint8)
GUESSES = np.arange(256, dtype=np.uint8)
# Traces are read this many at a time, so a campaign far larger than memory (a TRS
# file is memory-mapped) is analysed in bounded space.
CHUNK = 2048


def model(plaintexts: np.ndarray, byte: int) -> np.ndarray:
    """The leakage model: HW(Sbox(pt[byte] ^ k)) for every trace and guess k, n x 256.

    A target that leaks something else (the Hamming distance of a register
    overwritten, a later round) needs only this changed."""
    pt = np.asarray(plaintexts, dtype=np.uint8)[:, byte]
    return HW[SBOX[pt[:, None] ^ GUESSES[None, :]]]


def _centred_norms(x: np.ndarray, mean: np.ndarray) -> np.ndarray:
    """Per column, the norm of x - mean; infinite where the column is constant, so
    that its correlations come out 0."""
    ss = np.zeros(x.shape[1])
    for a in range(0, len(x), CHUNK):
        d = np.asarray(x[a:a + CHUNK], dtype=np.float64) - mean
        ss += (d * d).sum(axis=0)
    norm = np.sqrt(ss)
    norm[norm == 0] = np.inf
    return norm


def _mean(x: np.ndarray) -> np.ndarray:
    total = np.zeros(x.shape[1])
    for a in range(0, len(x), CHUNK):
        total += np.asarray(x[a:a + CHUNK], dtype=np.float64).sum(axis=0)
    return total / len(x)


def correlation(traces: np.ndarray, plaintexts: np.ndarray, byte: int,
                trace_stats: tuple[np.ndarray, np.ndarray] | None = None) -> np.ndarray:
    """Pearson correlation of model(plaintexts, byte) with every sample: 256 x samples.

    trace_stats: the traces' per-sample mean and centred norm, when already known."""
    if trace_stats is None:
        mean_t = _mean(traces)
        trace_stats = mean_t, _centred_norms(traces, mean_t)
    mean_t, norm_t = trace_stats
    h = model(plaintexts, byte)
    mean_h = h.mean(axis=0, dtype=np.float64)
    norm_h = _centred_norms(h, mean_h)
    cov = np.zeros((256, traces.shape[1]))
    # Products in single precision (twice as fast, and ample for a chunk's sum of
    # centred values), accumulated in double.
    for a in range(0, len(traces), CHUNK):
        hc = (h[a:a + CHUNK] - mean_h).astype(np.float32)
        tc = (np.asarray(traces[a:a + CHUNK], dtype=np.float64) - mean_t).astype(np.float32)
        cov += hc.T @ tc
    return cov / norm_h[:, None] / norm_t[None, :]


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

    traces: n x samples (any numeric dtype; a memory map is read in chunks);
    plaintexts: n x 16 bytes. Returns the 16 ByteResults and, when `keep` names a
    byte, that byte's whole correlation matrix (256 x samples) for plotting.
    """
    plaintexts = np.asarray(plaintexts, dtype=np.uint8)
    if traces.ndim != 2 or len(traces) < 2 or plaintexts.shape != (traces.shape[0], 16):
        raise ValueError(
            f"need n >= 2 traces and n 16-byte plaintexts, got {traces.shape} and {plaintexts.shape}"
        )
    mean_t = _mean(traces)
    stats = mean_t, _centred_norms(traces, mean_t)
    results, kept = [], None
    for byte in range(16):
        corr = correlation(traces, plaintexts, byte, stats)
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
        n += 5 if n < 50 else 10 if n < 100 else 50 if n < 500 else 100 if n < 1000 else n // 2
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
    if len(trace_set) < 2:
        print(f"cpa.py: {args.trace_file} holds {len(trace_set)} traces, too few to correlate", file=sys.stderr)
        return 1
    if args.channel not in trace_set.waves:
        print(f"cpa.py: {args.trace_file} holds no channel {args.channel}", file=sys.stderr)
        return 1
    waves = trace_set.waves[args.channel]
    if not isinstance(waves, np.ndarray):  # rows of array('h') when read without numpy
        waves = np.array(waves)
    if any(len(tx) < 16 for tx in trace_set.tx):
        print(f"cpa.py: {args.trace_file}: every trace must have sent a 16-byte plaintext", file=sys.stderr)
        return 1
    plaintexts = np.array([list(tx[:16]) for tx in trace_set.tx], dtype=np.uint8)
    if args.traces:
        waves, plaintexts = waves[:args.traces], plaintexts[:args.traces]
    try:
        results, corr = attack(waves, plaintexts, keep=args.byte if args.svg else None)
    except ValueError as e:
        print(f"cpa.py: {args.trace_file}: {e}", file=sys.stderr)
        return 1

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

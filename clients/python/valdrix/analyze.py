"""valdrix-analyze: TVLA, SNR and CPA of a trace-set file, ending with a verdict.

    valdrix-analyze tvla tvla.trs [--order 2] [--fail-on-leak] [--json t.json] [--plot t.png]
    valdrix-analyze cpa campaign.trs [--model sbox-hw|sbox-bit:N|last-round-hd] [--key HEX] [--json cpa.json] [--plot byte0.png]
    valdrix-analyze snr campaign.trs [--byte B] [--key HEX]

Common options: --channel N (default 2, the target's supply current, where the
file has it), --window A:B (samples), --traces N (the first N only),
--scheduler ADDRESS (run on a Dask cluster whose workers see the file at the
same path). Progress goes to stderr when it is a terminal; results and the
verdict to stdout; warnings to stderr.

Exit status: 0 done; 1 the file cannot be analysed, or --fail-on-leak and the
t-test found leakage; 2 usage errors; 130 interrupted.
"""

from __future__ import annotations

import argparse
import errno
import json
import math
import os
import sys
from typing import Any, List, Optional, Sequence, Tuple

from . import analysis
from ._process import keep_freed_memory
from .plot.output import figure_output
from .progress import Progress
from .traces import options as trace_options
from .traces.names import one_key

PROG = "valdrix-analyze"


class UsageError(Exception):
    pass


def _window(text: str) -> Tuple[int, int]:
    try:
        a, b = text.split(":")
        first, stop = int(a), int(b)
    except ValueError:
        raise argparse.ArgumentTypeError("a window is FIRST:STOP in samples, like 100:900") from None
    if first < 0 or stop <= first:
        raise argparse.ArgumentTypeError("a window needs 0 <= FIRST < STOP, got %s" % text)
    return first, stop


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, got %d" % value)
    return value


def _key(text: str) -> bytes:
    try:
        key = bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError("a key is 32 hex digits, got %r" % text) from None
    if len(key) != 16:
        raise argparse.ArgumentTypeError("a key is 16 bytes (32 hex digits), got %d bytes" % len(key))
    return key


def _byte(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a byte index: %r" % text) from None
    if not 0 <= value < 16:
        raise argparse.ArgumentTypeError("a byte index is 0 to 15, got %d" % value)
    return value


def _model(text: str) -> Any:
    try:
        return analysis.model_named(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0].split(": ", 1)[1],
                                     epilog="Exit status: 0 done; 1 the file cannot be analysed, or --fail-on-leak "
                                            "and leakage found; 2 usage errors; 130 interrupted.")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("file", help="a trace set: .trs, .npz or a .zarr store")
    common.add_argument("--channel", type=int, default=None, metavar="N",
                        help="channel to analyse (default: 2 where the file has it)")
    common.add_argument("--window", type=_window, default=None, metavar="A:B", help="samples A to B-1 only")
    common.add_argument("--traces", type=_positive, default=None, metavar="N", help="the first N traces only")
    common.add_argument("--json", default=None, metavar="OUT", help="write the results as JSON to OUT")
    common.add_argument("--plot", default=None, type=figure_output, metavar="OUT",
                        help="draw the result to OUT: .png, .pdf or .svg")
    common.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="run as tasks on the Dask scheduler at ADDRESS (host:port)")
    trace_options.add_arguments(common)
    sub = parser.add_subparsers(dest="command", metavar="tvla|snr|cpa")
    sub.required = True
    tvla = sub.add_parser("tvla", parents=[common], help="Welch t-test, fixed against random inputs")
    tvla.add_argument("--order", type=int, choices=(1, 2), default=1, help="order of the test (1)")
    tvla.add_argument("--fail-on-leak", action="store_true", help="exit 1 when a sample's |t| exceeds 4.5")
    snr = sub.add_parser("snr", parents=[common], help="signal-to-noise ratio of the plaintext bytes or of the "
                                                       "S-box outputs' weights")
    snr.add_argument("--byte", type=_byte, default=None, metavar="B", help="byte B alone (default: all 16 in one pass)")
    snr.add_argument("--key", type=_key, default=None, metavar="HEX",
                     help="classes by HW(Sbox(pt[B] ^ key[B])), which the key decides, rather than by pt[B]")
    cpa = sub.add_parser("cpa", parents=[common], help="correlation power analysis of AES-128")
    cpa.add_argument("--model", type=_model, default="sbox-hw", metavar="NAME",
                     help="leakage model: sbox-hw (the first round's S-box output weight, the default), "
                          "sbox-bit:N (its bit N), last-round-hd (the last round's register distance, from the "
                          "ciphertext: the answer bytes)")
    cpa.add_argument("--key", type=_key, default=None, metavar="HEX",
                     help="the true key: rank each byte (with last-round-hd, the key whose round key 10 is ranked)")
    cpa.add_argument("--byte", type=_byte, default=0, metavar="B", help="byte drawn by --plot (0)")
    return parser


def _ranges(indices: Sequence[int], most: int = 8) -> str:
    runs: List[Tuple[int, int]] = []
    for i in indices:
        if runs and i == runs[-1][1] + 1:
            runs[-1] = (runs[-1][0], i)
        else:
            runs.append((i, i))
    text = ", ".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in runs[:most])
    return text + (", ... (%d ranges)" % len(runs) if len(runs) > most else "")


def _write_json(path: str, data: Any) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(json.dumps(data))  # one string: the C encoder, several times faster than dump()'s
        f.write("\n")


def _finite(values: Any) -> List[Optional[float]]:
    # Infinity is no JSON number: an SNR of classes that never vary within themselves is written as null.
    return [float(v) if math.isfinite(v) else None for v in values]


def _check_output(path: str) -> None:
    """Refuses an output path that could not be written, before a long analysis rather than after it."""
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
    if not os.access(folder, os.W_OK | os.X_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)


def _warn(text: str) -> None:
    print("%s: warning: %s" % (PROG, text), file=sys.stderr)


# Trace sets from other tools: --group, --names and --inputs, and the key a
# file carries. CPA attacks one key, so a set whose key varies is refused;
# the file's one key ranks the guesses unless --key names another.
def _open(args: argparse.Namespace) -> Any:
    if not trace_options.reader_options(args):
        ts = analysis.open_set(args.file)
    else:
        ts = trace_options.open_from_args(args)
    if args.command == "cpa":
        key = one_key(ts, "cpa", args.traces)
        if key is not None and len(key) == 16 and args.key is None:
            args.key = key
    return ts


def run(args: argparse.Namespace) -> int:
    for path in (args.json, args.plot):
        if path:
            _check_output(path)
    ts = _open(args)
    if not analysis.kernels_available() and not args.scheduler:  # on a cluster the workers add
        _warn(analysis.KERNEL_MISSING)
    progress = Progress("%s %s" % (args.command, args.file))
    name = os.path.basename(os.path.normpath(args.file))
    try:
        acc = analysis.analyze(ts, args.command, channel=args.channel, window=args.window, traces=args.traces,
                               order=getattr(args, "order", 1), key=getattr(args, "key", None),
                               byte=getattr(args, "byte", None), model=getattr(args, "model", None),
                               scheduler=args.scheduler, progress=progress)
    finally:
        progress.finish()
    src_channel = args.channel if args.channel is not None else (2 if 2 in ts.channels else ts.channels[0])
    offset, stop = args.window or (0, ts.samples)
    period = float(getattr(ts, "sample_period", 0.0) or 0.0)
    n = acc.traces
    where = "channel %d, samples %d to %d" % (src_channel, offset, stop - 1)
    status = 0
    if args.command == "tvla":
        t = acc.t()
        fixed, random = acc.counts
        abs_t = abs(t)
        peak = int(abs_t.argmax())
        leaking = [int(i) + offset for i in (abs_t > analysis.LEAK_THRESHOLD).nonzero()[0]]
        print("%s: %d traces (%d fixed, %d random), %s" % (args.file, n, fixed, random, where))
        if leaking:
            print("tvla order %d: LEAKAGE: max |t| = %.2f at sample %d; %d of %d samples exceed %.1f: %s"
                  % (acc.order, abs_t[peak], peak + offset, len(leaking), len(t), analysis.LEAK_THRESHOLD,
                     _ranges(leaking)))
            status = 1 if args.fail_on_leak else 0
        else:
            print("tvla order %d: no leakage found: max |t| = %.2f at sample %d; no sample exceeds %.1f"
                  % (acc.order, abs_t[peak], peak + offset, analysis.LEAK_THRESHOLD))
        if args.json:
            _write_json(args.json, {"t": _finite(t), "max_abs_t": float(abs_t[peak]), "leaking": leaking,
                                    "traces": n, "first_sample": offset})
        if args.plot:
            from .plot import figure_axes, plot_t, save_figure

            save_figure(plot_t(t, ax=figure_axes(), first_sample=offset, sample_period=period, order=acc.order,
                               title="%s: t-test of order %d, %d traces" % (name, acc.order, n)), args.plot)
    elif args.command == "snr":
        snr = acc.snr()
        rows = snr[None, :] if snr.ndim == 1 else snr
        byte_list = [args.byte] if args.byte is not None else list(range(16))
        whats = [("HW(Sbox(pt[%d] ^ k[%d]))" % (b, b)) if args.key else "pt[%d]" % b for b in byte_list]
        peaks = [int(r.argmax()) for r in rows]
        print("%s: %d traces, %s" % (args.file, n, where))
        for what, r, peak in zip(whats, rows, peaks):
            print("snr of %s: max %.3g at sample %d" % (what, r[peak], peak + offset))
        for reason in analysis.snr_warnings(acc):
            _warn("the SNR is not to be trusted: %s" % reason)
        if args.json:
            if args.byte is not None:
                data = {"snr": _finite(rows[0]), "max_snr": _finite([rows[0][peaks[0]]])[0],
                        "at": peaks[0] + offset}
            else:
                data = {"bytes": byte_list, "snr": [_finite(r) for r in rows],
                        "max_snr": _finite([r[p] for r, p in zip(rows, peaks)]), "at": [p + offset for p in peaks]}
            data.update({"classes": "HW(Sbox(pt ^ key))" if args.key else "pt", "traces": n,
                         "first_sample": offset})
            _write_json(args.json, data)
        if args.plot:
            from .plot import figure_axes, plot_snr, save_figure

            what = whats[0] if len(whats) == 1 else ("HW(Sbox(pt ^ k))" if args.key else "pt")
            save_figure(plot_snr(rows if len(rows) > 1 else rows[0], ax=figure_axes(), first_sample=offset,
                                 sample_period=period, labels=["byte %d" % b for b in byte_list] if len(rows) > 1 else None,
                                 title="%s: SNR of %s, %d traces" % (name, what, n)), args.plot)
    else:
        key = acc.key()
        model = acc.model
        last_round = model.guesses_are != "key"
        master = acc.master_key() if last_round else None
        true = args.key
        if true is not None and last_round:
            true = analysis.expand_key(args.key)[10]  # the guesses are round key 10's bytes
        peaks, margins, at = acc.peaks(), acc.margins(), acc.peak_samples()
        ranks = acc.ranks(true) if true else None
        print("%s: %d traces, %s, model %s" % (args.file, n, where, model.name))
        print("byte  guess   peak  margin  at sample" + ("  true  rank" if true else ""))
        for b in range(16):
            line = "%4d   0x%02x  %.3f   %.3f  %9d" % (b, key[b], peaks[b], margins[b], at[b] + offset)
            if ranks is not None:
                line += "  0x%02x  %4d" % (true[b], ranks[b])
            print(line)
        weak = analysis.weak_evidence(acc)
        if weak:
            _warn("the evidence is too weak to trust this key: %s" % "; ".join(weak))
        if last_round:
            print("cpa: round key 10 %s, so the key is %s (inverse key schedule)" % (key.hex(), master.hex()))
        found = key if not last_round else master
        if ranks is not None:
            hits = int((ranks == 0).sum())
            print("cpa: key %s from %d traces; %d of 16 bytes are the true key's (rank 0)%s"
                  % (found.hex(), n, hits, "" if not weak else " (weak evidence: see the warning)"))
        else:
            print("cpa: key %s from %d traces%s" % (found.hex(), n, ", weak evidence: see the warning" if weak
                                                     else ", every byte clear of the noise"))
        if args.json:
            data = {"key": found.hex(), "peak": _finite(peaks), "margin": _finite(margins), "traces": n}
            if last_round:
                data["round_key_10"] = key.hex()
            if ranks is not None:
                data["rank"] = [int(r) for r in ranks]
            _write_json(args.json, data)
        if args.plot:
            from .plot import figure_axes, plot_correlation, save_figure

            b = args.byte
            save_figure(plot_correlation(acc.correlation()[b], int(key[b]), ax=figure_axes(), first_sample=offset,
                                         sample_period=period, byte=b, true=true[b] if true else None,
                                         title="%s: CPA of byte %d, %d traces" % (name, b, n)), args.plot)
    return status


def main(argv: Optional[List[str]] = None) -> int:
    """Runs valdrix-analyze with ``argv`` (default: the command line); returns the exit status."""
    keep_freed_memory()
    args = _parser().parse_args(argv)
    try:
        return run(args)
    except KeyboardInterrupt:
        # 128 + SIGINT, as a shell reports it: never taken for "leakage found".
        print("%s: interrupted" % PROG, file=sys.stderr)
        return 130
    except OSError as e:
        name = e.filename or args.file
        print("%s: %s: %s" % (PROG, name, e.strerror or e), file=sys.stderr)
        return 1
    except analysis.FILE_ERRORS as e:
        text = str(e)
        print("%s: %s" % (PROG, text if text.startswith(args.file) else "%s: %s" % (args.file, text)),
              file=sys.stderr)
        return 1
    except RuntimeError as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

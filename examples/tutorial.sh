#!/usr/bin/env bash
# The side-channel tutorial end to end on the simulator: start valdrixd-sim with
# the AES target under a random key; capture a fixed-versus-random campaign and
# run a t-test (TVLA) on it to show that the target leaks and where; capture a
# campaign of random plaintexts and recover the key with a correlation power
# analysis (CPA) that is not told the key; check that every byte came out, then
# rank the true key and draw byte 0's correlation and the t-trace.
#
#   examples/tutorial.sh [--traces N] [--key HEX] [--sim PATH] [--out DIR]
#
# Runs the checkout's package with Debian's /usr/bin/python3 (PYTHON=... picks
# another interpreter that sees numpy, such as a venv's). Exits 0 when the whole
# key was recovered, 1 when it was not, 2 on usage errors.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
python=${PYTHON:-/usr/bin/python3}
traces=100
key=""
sim="$root/build/bin/valdrixd-sim"
out=""

usage() { echo "usage: examples/tutorial.sh [--traces N] [--key HEX] [--sim PATH] [--out DIR]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] && [ -n "$2" ] || usage
  case "$1" in
    --traces) traces=$2 ;;
    --key) key=$(printf '%s' "$2" | tr A-F a-f) ;;
    --sim) sim=$2 ;;
    --out) out=$2 ;;
    *) usage ;;
  esac
  shift 2
done
case "$traces" in ''|*[!0-9]*) usage ;; esac
[ "$traces" -ge 20 ] || { echo "tutorial.sh: --traces must be at least 20" >&2; exit 2; }
[ -x "$sim" ] || { echo "tutorial.sh: no simulator at $sim (make build, or --sim PATH)" >&2; exit 2; }
"$python" -c 'import numpy' 2>/dev/null || {
  echo "tutorial.sh: $python cannot import numpy (Debian: python3-numpy; or PYTHON=venv/bin/python)" >&2; exit 2; }
[ -n "$key" ] || key=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
[ -n "$out" ] || out=$(mktemp -d)
mkdir -p "$out"

# The checkout's client, whether or not the package is installed, with the
# analysis kernel that the build compiled, where it did.
export PYTHONPATH="$root/clients/python${PYTHONPATH:+:$PYTHONPATH}"
if [ -d "$root/build/tests/python-kernels/valdrix" ]; then
  PYTHONPATH="$PYTHONPATH:$root/build/tests/python-kernels"
fi

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
NO_COLOR=1 "$sim" --port "$port" --spi-target aes --aes-key "$key" >"$out/sim.log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q "Server is listening" "$out/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$out/sim.log" >&2; exit 1; }
  sleep 0.1
done

capture() {
  "$python" -m valdrix.capture --port "$port" --clock 24000 --sample-rate 48000 --samples 4096 \
    --channels 2 --tx random:16 --rx-len 16 --bus spi --count "$traces" "$@"
}

echo "== 1. does it leak? $traces traces, fixed and random plaintexts interleaved"
capture --tvla -o "$out/tvla.trs"
"$python" -m valdrix.analyze tvla "$out/tvla.trs" --json "$out/tvla.json" --plot "$out/tvla.png"

echo "== 2. $traces traces of random plaintexts, and the key by CPA, without the true key"
capture -o "$out/campaign.trs"
"$python" -m valdrix.analyze cpa "$out/campaign.trs" --json "$out/cpa.json"
recovered=$("$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["key"])' "$out/cpa.json")

echo "== 3. the same next to the true key, and byte 0's correlation against time"
"$python" -m valdrix.analyze cpa "$out/campaign.trs" --key "$key" --plot "$out/byte0.png" | tail -n 1

if [ "$recovered" = "$key" ]; then
  echo "the whole key recovered from $traces traces (files in $out)"
else
  echo "tutorial.sh: recovered $recovered, the key is $key" >&2
  exit 1
fi

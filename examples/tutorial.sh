#!/usr/bin/env bash
# The side-channel tutorial end to end on the simulator: start valdrixd-sim with
# the AES target under a random key, capture a campaign of random plaintexts into
# a TRS file, recover the key with cpa.py (which is not told the key), check that
# every byte came out, then rank the true key and draw byte 0's correlation.
#
#   examples/tutorial.sh [--traces N] [--key HEX] [--sim PATH] [--out DIR]
#
# Exits 0 when the whole key was recovered, 1 when it was not, 2 on usage errors.
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
[ -x "$sim" ] || { echo "tutorial.sh: no simulator at $sim (make build, or --sim PATH)" >&2; exit 2; }
[ -n "$key" ] || key=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
[ -n "$out" ] || out=$(mktemp -d)
mkdir -p "$out"

# The checkout's client, whether or not the package is installed.
export PYTHONPATH="$root/clients/python${PYTHONPATH:+:$PYTHONPATH}"

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
NO_COLOR=1 "$sim" --port "$port" --spi-target aes --aes-key "$key" >"$out/sim.log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q "Server is listening" "$out/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$out/sim.log" >&2; exit 1; }
  sleep 0.1
done

echo "== capturing $traces traces on 127.0.0.1:$port"
"$python" -m valdrix.capture --port "$port" --clock 24000 --sample-rate 48000 --samples 4096 \
  --channels 2 --tx random:16 --rx-len 16 --bus spi --count "$traces" -o "$out/campaign.trs"

echo "== correlation power analysis, without the key"
"$python" "$here/cpa.py" "$out/campaign.trs" >"$out/cpa.txt"
recovered=$(sed -n 's/^recovered key: //p' "$out/cpa.txt")
echo "recovered key: $recovered"

echo "== the same, next to the true key, and byte 0's correlation against time"
"$python" "$here/cpa.py" "$out/campaign.trs" --key "$key" --needed --svg "$out/byte0.svg"

if [ "$recovered" = "$key" ]; then
  echo "the whole key recovered from $traces traces (files in $out)"
else
  echo "tutorial.sh: recovered $recovered, the key is $key" >&2
  exit 1
fi

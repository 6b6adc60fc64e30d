#!/usr/bin/env bash
# Builds the libFuzzer targets into fuzz/build/ and runs each for SECONDS seconds
# (default 60) on its committed corpus. New inputs go to fuzz/build/corpus/<target>,
# crashes to fuzz/build/crashes/<target>; the committed corpus is only read.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]   (targets: frame records router)
set -euo pipefail
cd "$(dirname "$0")"
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(frame records router)

cxx=${FUZZ_CXX:-clang++-16}
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= >/dev/null
fi
cmake --build build -j "${JOBS:-$(nproc)}" --target "${targets[@]/#/fuzz-}"

# Per target: the largest input worth trying, and how long one input may take.
declare -A MAX_LEN=([frame]=65536 [records]=512 [router]=4096)
declare -A TIMEOUT=([frame]=10 [records]=5 [router]=20)

status=0
for t in "${targets[@]}"; do
  mkdir -p "build/corpus/$t" "build/crashes/$t"
  echo "== fuzz-$t: ${seconds} s"
  # Leak checks stay on; -rss_limit_mb keeps a runaway allocation a finding.
  if ! ./build/fuzz-"$t" "build/corpus/$t" "corpus/$t" \
      -max_total_time="$seconds" -max_len="${MAX_LEN[$t]}" -timeout="${TIMEOUT[$t]}" \
      -rss_limit_mb=2048 -artifact_prefix="build/crashes/$t/" -print_final_stats=1 \
      2>"build/fuzz-$t.log"; then
    status=1
    echo "fuzz-$t FAILED; the tail of build/fuzz-$t.log:"
    tail -n 60 "build/fuzz-$t.log"
  fi
  grep -E "^stat::(number_of_executed_units|new_units_added|peak_rss_mb)" "build/fuzz-$t.log" | tr '\n' ' '
  echo
done
exit $status

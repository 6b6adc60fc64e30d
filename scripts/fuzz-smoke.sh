#!/usr/bin/env bash
# A short run of every fuzz target for CI: builds them with clang-16 and libc++
# (installing the packages when missing) and runs each for FUZZ_SECONDS seconds
# (default 30) from the committed corpus. Fails on any crash, leak or time-out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build fuzz
exec fuzz/run.sh "${FUZZ_SECONDS:-30}"

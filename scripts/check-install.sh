#!/usr/bin/env bash
# Installs the Python package, not editable, into a clean virtual environment
# that sees Debian's packages, then runs every console script's --help and
# executes the tutorial notebook against the installed copy: what a user gets
# from `pip install`, not what the source tree happens to hold.
# Usage: scripts/check-install.sh [SIM]   (SIM: the valdrixd-sim to run the notebook on)
set -euo pipefail
# The notebook runs in examples/, so a simulator named relative to the caller is
# made absolute before anything changes directory.
sim=${1:+$(realpath -m "$1")}
cd "$(dirname "$0")/.."
root=$PWD
sim=${sim:-$root/build/bin/valdrixd-sim}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
# A copy of the package's source, so the install cannot pick up build left-overs
# or write any into the checkout.
cp -r clients/python "$work/src"
rm -rf "$work/src/build" "$work/src"/*.egg-info
"$work/venv/bin/pip" install -q --no-build-isolation --no-index "$work/src" >"$work/pip.log" 2>&1 \
  || { cat "$work/pip.log"; exit 1; }

scripts=$(/usr/bin/python3 - <<'PY'
import tomllib
with open("clients/python/pyproject.toml", "rb") as f:
    print(" ".join(tomllib.load(f)["project"]["scripts"]))
PY
)
for s in $scripts; do
  # Run outside the checkout, so the source tree is not on the import path.
  (cd "$work" && "$work/venv/bin/$s" --help >/dev/null) || { echo "check-install: $s --help failed" >&2; exit 1; }
  echo "check-install: $s --help ok"
done

if [ -f examples/tutorial.ipynb ]; then
  (cd "$work" && VALDRIX_SIM="$sim" "$work/venv/bin/python" "$root/scripts/run-notebook.py" "$root/examples/tutorial.ipynb")
  echo "check-install: examples/tutorial.ipynb ran with the installed package"
fi

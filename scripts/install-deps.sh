#!/usr/bin/env bash
# Installs the Debian packages a make target needs, when they are missing.
# Usage: scripts/install-deps.sh GROUP...   (groups: build arm fuzz python test)
set -euo pipefail

declare -A GROUPS_PKGS=(
  [build]="cmake ninja-build g++ make googletest"
  [arm]="g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user file"
  [fuzz]="clang-16 libclang-rt-16-dev libc++-16-dev libc++abi-16-dev"
  # The package's analysis: Debian's OpenBLAS (numpy picks it up through the
  # libblas.so.3 alternative), zarr stores, HDF5 files, Dask clusters, the web
  # bench's server, and gcc with the Python headers for the compiled
  # accumulation kernel.
  [python]="python3 python3-pytest python3-venv python3-pip python3-setuptools python3-numpy python3-matplotlib
            libopenblas0-pthread python3-zarr python3-h5py python3-dask python3-distributed python3-aiohttp
            python3-dev gcc"
  # What only the tests need: a real browser for the web bench's page, and a
  # notebook kernel to execute the tutorial notebook.
  [test]="chromium chromium-driver python3-selenium python3-nbclient python3-nbformat python3-ipykernel"
)

missing=()
for group in "$@"; do
  for pkg in ${GROUPS_PKGS[$group]:?unknown group $group}; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
echo "Installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

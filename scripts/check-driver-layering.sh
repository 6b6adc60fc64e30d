#!/usr/bin/env bash
# Checks that the drivers stay below the server: nothing under src/driver includes
# src/server or the connection, and no driver's code names the connection or asks
# whether its client is gone. A wait that must stop early gets its cancel check
# from the caller through its polling parameter; a driver that reached into the
# connection would tie every driver to the service's threads and its sockets.
# Usage: scripts/check-driver-layering.sh [SRC_DIR]
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}

# Comments may speak of connections; only code counts.
found=$(find "$src/driver" -name '*.h' -o -name '*.cpp' | sort | while read -r f; do
  sed -e 's|//.*$||' "$f" | grep -nE \
    '#include *"(server/|protocol/connection\.h|protocol/base_server\.h)|\bConnection\b|client_gone|connection_thread' \
    | sed "s|^|$f:|" || true
done)

if [ -n "$found" ]; then
  echo "src/driver reaches into the server or the connection:"
  echo "$found"
  exit 1
fi
echo "src/driver: no includes of src/server or the connection, no names of them"

#!/usr/bin/env bash
# Checks in a built ARM executable that the Linux register window orders memory
# before each device access: the one store of LinuxWindow::store32 and the final
# load of LinuxWindow::load32 must come after a "dmb ish". Without it the core may
# let an earlier access to the logic pass the register access, and the compiler is
# free to drop a fence that nothing else needs, so this looks at the machine code.
# Usage: scripts/check-arm-barrier.sh OBJDUMP EXECUTABLE
set -euo pipefail
objdump=${1:?objdump}
exe=${2:?executable}

listing=$("$objdump" -d -C --no-show-raw-insn "$exe")

check() {
  local fn=$1 access=$2 which=$3
  echo "$listing" | awk -v fn="$fn" -v access="$access" -v which="$which" '
    /^[0-9a-f]+ <.*>:$/ { inside = index($0, "LinuxWindow::" fn "(") > 0; if (inside) found++; next }
    !inside || NF < 2 { next }
    {
      op = $2
      if (op == "dmb" && $3 == "ish") { fence = NR; next }
      if (op ~ ("^" access)) {
        n++
        if (which == "last" || n == 1) { at = NR; fenced = fence > 0 }
      }
    }
    END {
      if (found != 1) { printf "LinuxWindow::%s: found %d copies, expected 1\n", fn, found; exit 1 }
      if (which == "single" && n != 1) { printf "LinuxWindow::%s: %d %s instructions, expected one\n", fn, n, access; exit 1 }
      if (!at) { printf "LinuxWindow::%s: no %s instruction\n", fn, access; exit 1 }
      if (!fenced) { printf "LinuxWindow::%s: no dmb ish before the %s\n", fn, access; exit 1 }
      printf "LinuxWindow::%s: dmb ish before the %s\n", fn, access
    }'
}

check store32 str single
check load32 ldr last

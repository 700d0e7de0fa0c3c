#!/usr/bin/env bash
# Runs wine, wineboot, wineserver or winepath (the name this is called by) of the arm64 Wine root
# MELV_ARM64_ROOT (tests/arm64/make-root.sh) under qemu, so that the project's Wine scripts run
# unchanged against the ARM64 build with tests/arm64/bin first on PATH. The program sees the work
# tree, /tmp, /dev and /proc at the same paths as outside: build folders, Wine prefixes and scratch
# folders under /tmp, the pseudo-terminals of the virtual serial line and the private X server's
# socket all keep their names. The bindings live in a mount namespace of the program's own, so
# nothing is left mounted when it ends, and the Wine server it starts lives on in that namespace.
set -euo pipefail
root=${MELV_ARM64_ROOT:?MELV_ARM64_ROOT must name the arm64 Wine root (tests/arm64/make-root.sh)}
top=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
program=$(basename "$0")
mkdir -p "$root$top"
exec unshare --mount --propagation private /bin/sh -euc '
    root=$1 top=$2
    shift 2
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount --rbind /tmp "$root/tmp"
    mount --bind "$top" "$root$top"
    exec chroot "$root" /usr/bin/env PATH=/usr/bin:/bin "$@"
' in-root "$root" "$top" "$program" "$@"

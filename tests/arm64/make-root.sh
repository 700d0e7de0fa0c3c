#!/usr/bin/env bash
# Makes, once, an arm64 Debian 12 root with Wine in it, in which the ARM64 build of the driver runs
# under qemu's user-mode emulation, and prints its folder. Debian's arm64 Wine cannot be installed
# beside the amd64 one, so it lives in a root of its own. The root is cached outside the clone,
# named after what it is made of, and reused while that is unchanged.
#
#   tests/arm64/make-root.sh [CACHE_FOLDER]      (default /var/cache/melv)
#
# Running arm64 programs needs binfmt_misc with qemu-aarch64 registered: this script mounts and
# enables it, and fails, saying why, when it cannot.
set -euo pipefail
cache=${1:-/var/cache/melv}
suite=bookworm
variant=apt
packages=wine64,wine,libwine

fail() {
    echo "arm64 Wine root: $*" >&2
    exit 1
}

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# The kernel hands arm64 programs to qemu-aarch64-static only while binfmt_misc is mounted and
# qemu's entry is enabled; without it nothing in the root can start, so there is no test to run.
enable_arm64_programs() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
    if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
        "${sudo[@]}" mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>&1 ||
            fail "binfmt_misc cannot be mounted here (a container without that right?), so arm64 programs cannot run under qemu"
    fi
    [ -e "$entry" ] || "${sudo[@]}" update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    [ -e "$entry" ] || "${sudo[@]}" update-binfmts --import qemu-aarch64 >/dev/null 2>&1 || true
    [ -e "$entry" ] || fail "qemu-aarch64 is not registered in binfmt_misc (is qemu-user-static installed?)"
    grep -qx enabled "$entry" || fail "qemu-aarch64's binfmt_misc entry is disabled"
    grep -q '^flags: .*F' "$entry" ||
        fail "qemu-aarch64's binfmt_misc entry lacks the F flag, so it cannot run inside a chroot"
}

enable_arm64_programs
key=$(echo "$suite $variant $packages" | sha256sum | cut -c1-12)
root="$cache/arm64-wine-root-$key"
if [ ! -f "$root/.made" ]; then
    "${sudo[@]}" rm -rf "$root"
    "${sudo[@]}" mkdir -p "$cache"
    log="$cache/arm64-wine-root-$key.log"
    echo "== making the arm64 Wine root $root (about 3 minutes, once)" >&2
    "${sudo[@]}" mmdebstrap --arch=arm64 --variant=$variant --include="$packages" "$suite" "$root" \
        >"$log" 2>&1 || { tail -40 "$log" >&2; fail "mmdebstrap failed (log: $log)"; }
    "${sudo[@]}" touch "$root/.made"
fi
echo "$root"

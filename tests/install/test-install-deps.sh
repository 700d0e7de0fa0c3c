#!/usr/bin/env bash
# The set-up against a package server in trouble, with apt-get and dpkg stubbed: an index that
# fails to download is fetched again after a pause, and one that keeps failing ends the set-up
# with a few plain lines that name it; any other failure ends it at once with apt's own words.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/lib/checks.sh"
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT

# dpkg knows every package but socat; apt-get update fails as often as $stubs/update-failures
# says, then reads the indexes; apt-get install says what $stubs/install-says holds.
cat >"$stubs/dpkg" <<'STUB'
#!/bin/sh
[ "$1" = -s ] && [ "$2" = socat ] && exit 1
exit 0
STUB
cat >"$stubs/apt-get" <<'STUB'
#!/bin/sh
here=$(dirname "$0")
if [ "$1" = update ]; then
    left=$(cat "$here/update-failures")
    [ "$left" -gt 0 ] || exit 0
    echo $((left - 1)) >"$here/update-failures"
    echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    exit 100
fi
cat "$here/install-says"
[ ! -s "$here/install-says" ]
STUB
chmod +x "$stubs/dpkg" "$stubs/apt-get"

set_up() { # update failures, what install says: the set-up's output in $said, its status in $ended
    echo "$1" >"$stubs/update-failures"
    printf '%s' "$2" >"$stubs/install-says"
    said=$(PATH="$stubs:$PATH" MELV_APT_TRIES=3 MELV_APT_PAUSE=0 "$top/install-deps.sh" 2>&1)
    ended=$?
}
says() { grep -q -- "$1" <<<"$said"; }

set_up 2 ""
check "an index that fails twice is fetched again, and the set-up goes on" \
    eval '[ $ended -eq 0 ] && [ "$(grep -c "trying again" <<<"$said")" -eq 2 ] && says "== installed"'
set_up 9 ""
check "an index that keeps failing stops the set-up, named, as the server's trouble" \
    eval '[ $ended -ne 0 ] && says "binary-i386/Packages.xz" && says "the package server" &&
          ! says "Mirror sync"'
set_up 0 "E: Unable to locate package socat"
check "a package that is not there stops the set-up at once, in apt's words" \
    eval '[ $ended -ne 0 ] && says "Unable to locate package" && ! says "trying again"'
checks_summary "set-up against a failing package server"

#!/usr/bin/env bash
# Unpacks the source of a package of the system's own Debian archive into a cache folder, once per
# version of that source, and prints the unpacked folder:
#
#   tools/debian-source.sh PACKAGE CACHE_FOLDER
#
# apt-get source needs a deb-src entry, which Debian's images leave out: the first call adds one
# beside each deb entry of the system's own sources (the same archives and suites, nothing else),
# in /etc/apt/sources.list.d/melv-deb-src.{sources,list}, and reads the lists again.
set -euo pipefail
package=$1
cache=$2

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

entries=/etc/apt/sources.list.d/melv-deb-src
add_source_entries() {
    local file
    # deb822 files: each stanza again, as deb-src.
    for file in /etc/apt/sources.list.d/*.sources; do
        [ "$file" = "$entries.sources" ] && continue
        sed 's/^Types:.*/Types: deb-src/' "$file"
        echo
    done | "${sudo[@]}" tee "$entries.sources" >/dev/null
    # one-line lists: each deb line again, as deb-src.
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${sudo[@]}" tee "$entries.list" >/dev/null
    fi
    # An index that fails to download (a mirror in the middle of its sync) need not be one of the
    # source indexes: whether the package's source is known is asked below all the same.
    "${sudo[@]}" apt-get update -q >/dev/null 2>&1 ||
        echo "apt-get update: some index failed to download; going on with the lists at hand" >&2
}

command -v dpkg-source >/dev/null ||
    { "${sudo[@]}" apt-get install -y -q dpkg-dev >/dev/null; }
# Without any deb-src entry apt-cache showsrc fails outright: that only means none was added yet.
version=$({ apt-cache showsrc "$package" 2>/dev/null || true; } | sed -n 's/^Version: //p' |
    sort -V | tail -n 1)
if [ -z "$version" ]; then
    add_source_entries
    version=$(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -V | tail -n 1)
fi
[ -n "$version" ] || { echo "no source package $package in the system's archive" >&2; exit 1; }

# Some mirrors lack a package's Debian part (its .debian.tar.*) while serving the upstream tarball
# and the .dsc, both of which apt checked against the archive's index. The upstream sources alone
# are then unpacked, once the tarball also matches the .dsc's checksum.
unpack_upstream_only() {
    local dsc tarball sum
    dsc=$(find . -maxdepth 1 -name '*.dsc' | head -n 1)
    tarball=$(find . -maxdepth 1 -name '*.orig.tar.*' | head -n 1)
    [ -n "$dsc" ] && [ -n "$tarball" ] || return 1
    sum=$(sha256sum "$tarball" | cut -d' ' -f1)
    sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$dsc" | grep -q " $sum [0-9]* ${tarball#./}\$" ||
        { echo "$tarball does not match $dsc" >&2; return 1; }
    echo "$package: the archive has no Debian part of $version; unpacking the upstream sources" >&2
    tar -xf "$tarball"
}

# An epoch ("1:217") would put a colon in the path, which make takes for a rule of its own.
folder="$cache/$package-${version//:/_}"
if [ ! -f "$folder/.unpacked" ]; then
    rm -rf "$folder"
    mkdir -p "$folder"
    (cd "$folder" && { apt-get source -q "$package=$version" >download.log 2>&1 ||
        unpack_upstream_only; }) || { cat "$folder/download.log" >&2; exit 1; }
    touch "$folder/.unpacked"
fi
find "$folder" -mindepth 1 -maxdepth 1 -type d | head -n 1

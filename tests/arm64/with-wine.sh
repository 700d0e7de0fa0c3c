#!/usr/bin/env bash
# Runs a command with the arm64 Wine root's wine, wineboot, wineserver and winepath first on PATH,
# so that the project's Wine scripts run the ARM64 build under qemu:
#
#   tests/arm64/with-wine.sh tests/wine/run-wine-tests.sh build/win-arm64 build/win-arm64
#
# The root is made first if the cache has none (tests/arm64/make-root.sh). Native ARM64 Windows
# has no second bitness beside it that the tests could start, so both build folders the scripts
# take are the ARM64 one: the second program is another ARM64 program.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
MELV_ARM64_ROOT=$("$here/make-root.sh")
export MELV_ARM64_ROOT
PATH="$here/bin:$PATH" exec "$@"

#!/usr/bin/env bash
# Runs the Windows-path benchmark of a win64 and a win32 build under Wine against a virtual
# serial line (COM1 the driver's end, COM8 the instrument's) and prints its figures, one program
# at a time and shared. Figures only: it fails only when a benchmark cannot run at all.
#
#   bench/wine/run-wine-bench.sh BUILD_DIR_WIN64 BUILD_DIR_WIN32
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/wine/wine-env.sh"
wine_env_find_builds "melvpcif.dll melvpcif-share.exe melv_wine_bench.exe" "$@" || exit 2
wine_env_begin melv-bench || exit 2
wine_env_boot || exit 2
wine_env_start_line || exit 2
wine_env_set_ports 1 || exit 2
# The sharing service, for the shared rounds: the first build's.
wine sc create melvpcif-share type= own start= demand \
    binpath= "$(winepath -w "${wine_env_builds[0]}/melvpcif-share.exe")" >/dev/null 2>&1 || exit 2
status=0
for dir in "${wine_env_runs[@]}"; do
    timeout 300 wine "$dir/melv_wine_bench.exe" || status=1
done
exit $status

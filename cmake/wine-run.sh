#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests of the MinGW build:
#   cmake/wine-run.sh PROGRAM.exe [ARGS...]
# The Wine prefix is WINEPREFIX when set, else wineprefix/ in the build directory that holds
# PROGRAM (found by its CMakeCache.txt). The first call creates the prefix (under a lock, as
# ctest starts several at once) and leaves a wineserver running, which keeps every later
# start fast; `wineserver -k` with the same WINEPREFIX ends it.
set -euo pipefail

program=$1
if [ -z "${WINEPREFIX:-}" ]; then
    dir=$(cd "$(dirname "$program")" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do
        dir=$(dirname "$dir")
    done
    if [ "$dir" = / ]; then
        echo "wine-run.sh: $program is in no build directory; set WINEPREFIX" >&2
        exit 2
    fi
    export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs: console programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# The server and the programs Wine starts for the prefix outlive this call: they must hold
# neither the lock nor the caller's output pipes (ctest waits for those to close).
mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    fi
    # Exits with 2 when the prefix's server already runs.
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$WINEPREFIX.lock"

exec wine "$@"

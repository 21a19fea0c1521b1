#!/bin/sh
# Runs bench_http.exe of a build (configured with -DZEM_BUILD_BENCH=ON) under
# the build's Wine prefix; the benchmark starts its own servers.
#   sh bench/bench_http.sh <build-folder> [rounds]
set -eu
BUILD=$(cd "${1:?usage: $0 <build-folder> [rounds]}" && pwd)
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all
# The build's wineserver (ZEM_WINESERVER), else as the build looks for it.
WINESERVER=$(sed -n 's/^ZEM_WINESERVER:FILEPATH=//p' "$BUILD/CMakeCache.txt")
for w in "$WINESERVER" /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver "$(command -v wineserver)"; do
    [ -x "$w" ] && WINESERVER=$w && break
done
WINE=/usr/lib/wine/wine64
[ -x $WINE ] || WINE=$(command -v wine64 || command -v wine)
"$WINESERVER" -p </dev/null >/dev/null 2>&1 || true # one may run already
trap '"$WINESERVER" -k </dev/null >/dev/null 2>&1 || true' EXIT INT TERM
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true
"$WINE" "$BUILD/bin/bench_http.exe" "${2:-7}"

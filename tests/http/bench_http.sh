#!/bin/sh
# Runs bench_http against the loopback peers of the HTTP tests.
#   sh tests/http/bench_http.sh <build-folder> [rounds]
# Starts the peers in <build-folder>/bench_http_peers, a wineserver for the
# build's prefix, the benchmark, and stops all of them again.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:?usage: $0 <build-folder> [rounds]}" && pwd)
ROUNDS=${2:-7}
DIR="$BUILD/bench_http_peers"
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=wineserver
WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=wine

cleanup() {
    sh "$HERE/peers.sh" down "$DIR" || true
    "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
}
trap cleanup EXIT INT TERM
sh "$HERE/peers.sh" up "$DIR" >/dev/null
"$WINESERVER" -p </dev/null >/dev/null 2>&1
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true
"$WINE" "$BUILD/bin/bench_http.exe" "Z:$DIR/ports.txt" "$ROUNDS"

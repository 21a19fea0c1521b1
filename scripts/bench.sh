#!/bin/sh
# Builds the benchmarks and runs them under Wine, each printing its figures,
# the ratio to a baseline measured in the same run and a last "summary:" line.
#   scripts/bench.sh [build-folder] [name ...]     (names: policy request http ...;
#                                                   default: every bench/*.cpp)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
[ $# -gt 0 ] && shift
NAMES=${*:-$(cd "$ROOT/bench" && ls *.cpp | sed 's/^bench_//; s/\.cpp$//')}
TARGETS=""
for n in $NAMES; do TARGETS="$TARGETS bench_$n"; done
"$ROOT/scripts/setup.sh"
ZEM_TARGETS="$TARGETS" "$ROOT/scripts/build.sh" "$BUILD" -DZEM_BUILD_BENCH=ON
BUILD=$(cd "$BUILD" && pwd)
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"
WINESERVER=$(command -v /usr/lib/wine/wineserver64 || command -v /usr/lib/wine/wineserver \
    || command -v wineserver)
# A detached server for the run, stopped at the end so nothing is left behind.
"$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
trap '"$WINESERVER" -k </dev/null >/dev/null 2>&1 || true' EXIT INT TERM
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
for n in $NAMES; do
    echo "== bench_$n"
    /usr/lib/wine/wine64 "$BUILD/bin/bench_$n.exe" </dev/null
done

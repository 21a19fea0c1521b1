#!/bin/sh
# The main job: set-up, build, and the demonstration program under Wine.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
"$ROOT/scripts/setup.sh"
# Only what the demonstration runs: the program and the helper dispatcher.
ZEM_TARGETS="zem_demo zem_vfs_dispatcher_wow64" "$ROOT/scripts/build.sh" "$BUILD"
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"
WINESERVER=$(command -v /usr/lib/wine/wineserver64 || command -v /usr/lib/wine/wineserver \
    || command -v wineserver)
# A detached server for the run, stopped at the end so nothing is left behind.
"$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
status=0
/usr/lib/wine/wine64 "$BUILD/bin/zem_demo.exe" || status=$?
"$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
exit $status

#!/bin/sh
# Configures and builds into a build folder (default: build/ in the checkout).
#   scripts/build.sh [build-folder] [extra cmake arguments...]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
[ $# -gt 0 ] && shift
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" "$@" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

#!/bin/sh
# Configures and builds into a build folder (default: build/ in the checkout).
#   scripts/build.sh [build-folder] [extra cmake arguments...]
# ZEM_TOOLCHAIN names another toolchain file (cmake/mingw-w64-clang.cmake:
# the same target built with clang).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
[ $# -gt 0 ] && shift
TOOLCHAIN=${ZEM_TOOLCHAIN:-$ROOT/cmake/mingw-w64.cmake}
# Compiled objects are shared through ccache by every clone on this machine:
# paths inside the checkout are hashed relative to it.
export CCACHE_BASEDIR="$ROOT"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" "$@" >/dev/null
# ZEM_TARGETS limits the build to the named targets (the demonstration's).
cmake --build "$BUILD" -j"$(nproc)" ${ZEM_TARGETS:+--target $ZEM_TARGETS}

#!/bin/sh
# The whole test suite: set-up, build, and every test under Wine.
#   scripts/test.sh [build-folder] [extra cmake arguments...]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
[ $# -gt 0 ] && shift
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" "$BUILD" "$@"
cd "$BUILD" && ctest --output-on-failure --timeout 900

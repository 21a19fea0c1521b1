#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build and test the library
# (mingw-w64 with the posix thread model, Wine, CMake, GoogleTest sources,
# the tools that unpack Debian source packages, and the proxies and servers
# the HTTP tests talk to), then builds the third-party
# libraries for the target (scripts/deps.sh).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES="cmake make g++-mingw-w64-x86-64-posix wine64 googletest dpkg-dev xz-utils \
 ca-certificates python3 squid dante-server openssl clang lld ccache"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
        || missing="$missing $p"
done
if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "setup: installing$missing"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing \
        >/dev/null
fi

"$ROOT/scripts/deps.sh"

#!/bin/sh
# Builds the third-party libraries for the mingw-w64 target from Debian's
# source packages into a cache folder keyed by version, and reuses that cache
# when it is already there.
#
#   scripts/deps.sh [cache-folder]      (default: .deps beside this script's repo)
#
# Prints nothing but progress; the CMake build finds the results through
# -DZEM_DEPS_DIR=<cache-folder> (the default location needs no option).
# The machine's own apt sources are never touched: a private sources list and
# state folder live inside the cache folder.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${1:-${ZEM_DEPS_DIR:-$ROOT/.deps}}
mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)
SUITE=${ZEM_DEBIAN_SUITE:-bookworm}
MIRROR=${ZEM_DEBIAN_MIRROR:-http://deb.debian.org/debian}
CROSS=x86_64-w64-mingw32
JOBS=${ZEM_JOBS:-$(nproc)}

APT="$CACHE/apt"
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial"
echo "deb-src $MIRROR $SUITE main" > "$APT/sources.list"
APT_OPTS="-o Dir::Etc::SourceList=$APT/sources.list -o Dir::Etc::SourceParts=/nonexistent \
 -o Dir::State::Lists=$APT/lists -o Dir::Cache=$APT/cache -o Debug::NoLocking=1 \
 -o APT::Sandbox::User=root"

# The versions come from the source index; without a network, fall back to
# whatever was built before.
if apt-get $APT_OPTS -qq update >/dev/null 2>&1; then
    version_of() { apt-cache $APT_OPTS showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -1; }
    OPENSSL_VER=$(version_of openssl)
    TINYXML_VER=$(version_of tinyxml)
else
    echo "deps: cannot reach $MIRROR; using the cache as it is" >&2
    OPENSSL_VER=$(ls -d "$CACHE"/openssl-* 2>/dev/null | sed 's/.*openssl-//' | sort -V | tail -1)
    TINYXML_VER=$(ls -d "$CACHE"/tinyxml-* 2>/dev/null | sed 's/.*tinyxml-//' | sort -V | tail -1)
fi
[ -n "$OPENSSL_VER" ] && [ -n "$TINYXML_VER" ] || { echo "deps: no versions known" >&2; exit 1; }

fetch() { # package version -> prints the unpacked source folder
    src="$CACHE/src/$1-$2"
    if [ ! -f "$src/.unpacked" ]; then
        rm -rf "$src" && mkdir -p "$src"
        (cd "$src" && apt-get $APT_OPTS -qq source "$1=$2" >/dev/null 2>&1) \
            || { echo "deps: apt-get source $1=$2 failed" >&2; exit 1; }
        touch "$src/.unpacked"
    fi
    find "$src" -mindepth 1 -maxdepth 1 -type d | head -1
}

# OpenSSL: static libssl and libcrypto.
OPENSSL_OUT="$CACHE/openssl-$OPENSSL_VER"
if [ ! -f "$OPENSSL_OUT/.done" ]; then
    echo "deps: building OpenSSL $OPENSSL_VER for $CROSS"
    dir=$(fetch openssl "$OPENSSL_VER")
    rm -rf "$OPENSSL_OUT"
    (cd "$dir" && ./Configure mingw64 --cross-compile-prefix=$CROSS- no-shared no-tests \
        --prefix="$OPENSSL_OUT" --libdir=lib >"$CACHE/openssl-build.log" 2>&1 \
        && make -j"$JOBS" build_libs >>"$CACHE/openssl-build.log" 2>&1 \
        && make install_dev >>"$CACHE/openssl-build.log" 2>&1) \
        || { echo "deps: OpenSSL build failed, see $CACHE/openssl-build.log" >&2; exit 1; }
    touch "$OPENSSL_OUT/.done"
fi

# TinyXML: its sources are compiled into the DLL, so only the patched sources
# are kept. The header gets the library's export macro on every class and the
# file operations that take a UTF-8 file name.
TINYXML_OUT="$CACHE/tinyxml-$TINYXML_VER"
if [ ! -f "$TINYXML_OUT/.done" ]; then
    echo "deps: preparing TinyXML $TINYXML_VER"
    dir=$(fetch tinyxml "$TINYXML_VER")
    rm -rf "$TINYXML_OUT" && mkdir -p "$TINYXML_OUT/include" "$TINYXML_OUT/src"
    cp "$dir"/tinyxml.cpp "$dir"/tinyxmlparser.cpp "$dir"/tinyxmlerror.cpp "$dir"/tinystr.cpp \
        "$TINYXML_OUT/src/"
    cp "$dir"/tinystr.h "$TINYXML_OUT/include/"
    {
        cat <<'HDR'
// Exported by zem.vfs.common: TIXML_API exports the classes while the DLL is
// built and imports them for its clients.
#ifndef TIXML_API
#if defined(ZEM_VFS_BUILDING)
#define TIXML_API __declspec(dllexport)
#else
#define TIXML_API __declspec(dllimport)
#endif
#endif
HDR
        sed -E \
            -e 's/^class (TiXml[A-Za-z]+)([^;]*)$/class TIXML_API \1\2/' \
            -e 's/^([[:space:]]*)bool SaveFile\( const char \* filename \) const;/&\
\1\/\/\/ Load, load the stored name, or save; utf8 says whether the file name is UTF-8.\
\1bool LoadFile( const char * filename, TiXmlEncoding encoding, bool utf8 );\
\1bool LoadFile( TiXmlEncoding encoding, bool utf8 );\
\1bool SaveFile( const char * filename, bool utf8 ) const;/' \
            "$dir/tinyxml.h"
    } > "$TINYXML_OUT/include/tinyxml.h"
    grep -q 'bool SaveFile( const char \* filename, bool utf8 ) const;' "$TINYXML_OUT/include/tinyxml.h" \
        || { echo "deps: could not patch tinyxml.h" >&2; exit 1; }
    touch "$TINYXML_OUT/.done"
fi

# One file that tells the build where everything is.
cat > "$CACHE/deps.cmake" <<CM
set(ZEM_OPENSSL_ROOT "$OPENSSL_OUT")
set(ZEM_TINYXML_ROOT "$TINYXML_OUT")
CM
echo "deps: OpenSSL $OPENSSL_VER, TinyXML $TINYXML_VER ready in $CACHE"

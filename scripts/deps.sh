#!/bin/sh
# Builds the third-party libraries for the mingw-w64 target from Debian's
# source packages into a cache folder keyed by version and compiler, and reuses
# what is already there: OpenSSL (static, linked into the DLL), TinyXML
# (patched sources compiled into the DLL, and its own test program) and PCRE2
# (static, linked only into the regular-expression tests as a second opinion).
#
#   scripts/deps.sh [cache-folder]
#
# The cache folder is, in this order: the argument, $ZEM_DEPS_DIR, or
# ${XDG_CACHE_HOME:-$HOME/.cache}/zem-vfs/deps. It lives outside the checkout,
# so every clone on this machine reuses it; the CMake build finds it the same
# way (or through -DZEM_DEPS_DIR=...).
#
# Source packages come from the machine's own apt configuration: every "deb"
# entry of /etc/apt/sources.list and /etc/apt/sources.list.d (one-line .list
# and deb822 .sources files) becomes a "deb-src" entry of a private list kept
# in the cache folder; the machine's apt state is never touched. To use another
# archive, set ZEM_DEBIAN_MIRROR (and optionally ZEM_DEBIAN_SUITE).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${1:-${ZEM_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zem-vfs/deps}}
mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)
CROSS=x86_64-w64-mingw32
CC_CROSS=$CROSS-gcc-posix
JOBS=${ZEM_JOBS:-$(nproc)}
# Libraries built for the target are keyed by the compiler that built them.
COMPILER=gcc$($CC_CROSS -dumpversion 2>/dev/null | tr -c 'A-Za-z0-9.\n' '-')

# ---------------------------------------------------------------------------
# A private apt configuration that reads source indexes only.
# ---------------------------------------------------------------------------
APT="$CACHE/apt"
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$APT/sources.list.d"
rm -f "$APT/sources.list.d"/*

if [ -n "${ZEM_DEBIAN_MIRROR:-}" ]; then
    suite=${ZEM_DEBIAN_SUITE:-$(. /etc/os-release && echo "${VERSION_CODENAME:-stable}")}
    echo "deb-src $ZEM_DEBIAN_MIRROR $suite main" > "$APT/sources.list"
else
    : > "$APT/sources.list"
    # One-line form: "deb [options] uri suite components" -> "deb-src ...".
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]\{1,\}/deb-src /p' "$f" >> "$APT/sources.list"
    done
    # deb822 form: every stanza whose Types has "deb" is copied with
    # "Types: deb-src" (other fields as they are, comments dropped).
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() {
                if (has_deb && !disabled && stanza != "") printf "Types: deb-src\n%s\n", stanza
                stanza = ""; has_deb = 0; disabled = 0
            }
            /^[[:space:]]*#/ { next }
            /^[[:space:]]*$/ { flush(); next }
            /^Types:/ {
                n = split(substr($0, 7), t, /[[:space:]]+/)
                for (i = 1; i <= n; i++) if (t[i] == "deb") has_deb = 1
                next
            }
            /^Enabled:[[:space:]]*no/ { disabled = 1; next }
            { stanza = stanza $0 "\n" }
            END { flush() }
        ' "$f" > "$APT/sources.list.d/$(basename "$f")"
    done
fi
if [ ! -s "$APT/sources.list" ] && [ -z "$(cat "$APT/sources.list.d"/* 2>/dev/null)" ]; then
    echo "deps: no deb entries in the machine's apt sources; set ZEM_DEBIAN_MIRROR" >&2
fi
APT_OPTS="-o Dir::Etc::SourceList=$APT/sources.list -o Dir::Etc::SourceParts=$APT/sources.list.d \
 -o Dir::State::Lists=$APT/lists -o Dir::Cache=$APT/cache -o Debug::NoLocking=1 \
 -o APT::Sandbox::User=root"

# The versions come from the source indexes, newest first across the suites;
# a version an index lists but the archive cannot deliver is passed over. A
# version already built is taken without a download, and without a network
# whatever was built before serves.
apt-get $APT_OPTS -qq update >"$APT/update.log" 2>&1 || true

fetch() { # package version -> unpacks into $CACHE/src/package-version; fails quietly
    src="$CACHE/src/$1-$2"
    if [ ! -f "$src/.unpacked" ]; then
        rm -rf "$src" && mkdir -p "$src"
        (cd "$src" && apt-get $APT_OPTS -qq source "$1=$2" >"$src.log" 2>&1) || return 1
        touch "$src/.unpacked"
    fi
}
source_dir() { # package version -> the unpacked source folder
    find "$CACHE/src/$1-$2" -mindepth 1 -maxdepth 1 -type d | head -1
}
pick() { # package output-suffix -> the version to use (fetched unless built)
    listed=$(apt-cache $APT_OPTS showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru)
    for v in $listed; do
        if [ -f "$CACHE/$1-$v$2/.done" ] || fetch "$1" "$v"; then
            echo "$v"
            return 0
        fi
    done
    built=$(ls -d "$CACHE/$1"-*"$2" 2>/dev/null | sed "s|.*/$1-||; s|$2\$||" | sort -V | tail -1)
    if [ -n "$built" ] && [ -f "$CACHE/$1-$built$2/.done" ]; then
        echo "deps: no source of $1 can be fetched; using the cached $built" >&2
        echo "$built"
        return 0
    fi
    echo "deps: no version of $1 can be fetched (see $APT/update.log, $CACHE/src/*.log)" >&2
    return 1
}

# ---------------------------------------------------------------------------
# OpenSSL: static libssl and libcrypto.
# ---------------------------------------------------------------------------
OPENSSL_VER=$(pick openssl "-$COMPILER")
OPENSSL_OUT="$CACHE/openssl-$OPENSSL_VER-$COMPILER"
if [ ! -f "$OPENSSL_OUT/.done" ]; then
    echo "deps: building OpenSSL $OPENSSL_VER for $CROSS"
    dir=$(source_dir openssl "$OPENSSL_VER")
    rm -rf "$OPENSSL_OUT"
    (cd "$dir" && ./Configure mingw64 --cross-compile-prefix=$CROSS- no-shared no-tests \
        --prefix="$OPENSSL_OUT" --libdir=lib >"$CACHE/openssl-build.log" 2>&1 \
        && make -j"$JOBS" build_libs >>"$CACHE/openssl-build.log" 2>&1 \
        && make install_dev >>"$CACHE/openssl-build.log" 2>&1) \
        || { echo "deps: OpenSSL build failed, see $CACHE/openssl-build.log" >&2; exit 1; }
    touch "$OPENSSL_OUT/.done"
fi

# ---------------------------------------------------------------------------
# TinyXML: its sources are compiled into the DLL, so only the patched sources
# (and its own test program, xmltest.cpp) are kept. The header gets the
# library's export macro on every class and free function, and the file
# operations that take a UTF-8 file name.
# ---------------------------------------------------------------------------
TINYXML_VER=$(pick tinyxml "-p2")
TINYXML_OUT="$CACHE/tinyxml-$TINYXML_VER-p2"
if [ ! -f "$TINYXML_OUT/.done" ]; then
    echo "deps: preparing TinyXML $TINYXML_VER"
    dir=$(source_dir tinyxml "$TINYXML_VER")
    rm -rf "$TINYXML_OUT" && mkdir -p "$TINYXML_OUT/include" "$TINYXML_OUT/src" "$TINYXML_OUT/test"
    cp "$dir"/tinyxml.cpp "$dir"/tinyxmlparser.cpp "$dir"/tinyxmlerror.cpp "$dir"/tinystr.cpp \
        "$TINYXML_OUT/src/"
    cp "$dir"/xmltest.cpp "$TINYXML_OUT/test/"
    for f in "$dir"/utf8test.xml "$dir"/utf8testverify.xml; do
        [ -f "$f" ] && cp "$f" "$TINYXML_OUT/test/"
    done
    cp "$dir"/tinystr.h "$TINYXML_OUT/include/"
    {
        cat <<'HDR'
// Exported by zem.vfs.common: TIXML_API exports the classes and free
// functions while the DLL is built and imports them for its clients.
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
            -e 's/^([[:space:]]*)friend (std::istream|std::ostream|std::string|TIXML_OSTREAM)(& operator)/\1friend TIXML_API \2\3/' \
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

# ---------------------------------------------------------------------------
# PCRE2: static 8-bit library, for the differential regular-expression test.
# ---------------------------------------------------------------------------
PCRE2_VER=$(pick pcre2 "-$COMPILER")
PCRE2_OUT="$CACHE/pcre2-$PCRE2_VER-$COMPILER"
if [ ! -f "$PCRE2_OUT/.done" ]; then
    echo "deps: building PCRE2 $PCRE2_VER for $CROSS"
    dir=$(source_dir pcre2 "$PCRE2_VER")
    rm -rf "$PCRE2_OUT"
    (cd "$dir" && ./configure --host=$CROSS CC=$CC_CROSS --prefix="$PCRE2_OUT" \
        --disable-shared --enable-static --enable-pcre2-8 --disable-pcre2-16 \
        --disable-pcre2-32 --disable-jit --disable-pcre2grep-libz --disable-pcre2grep-libbz2 \
        >"$CACHE/pcre2-build.log" 2>&1 \
        && make -j"$JOBS" libpcre2-8.la >>"$CACHE/pcre2-build.log" 2>&1 \
        && mkdir -p "$PCRE2_OUT/lib" "$PCRE2_OUT/include" \
        && cp .libs/libpcre2-8.a "$PCRE2_OUT/lib/" && cp src/pcre2.h "$PCRE2_OUT/include/") \
        || { echo "deps: PCRE2 build failed, see $CACHE/pcre2-build.log" >&2; exit 1; }
    touch "$PCRE2_OUT/.done"
fi

# One file that tells the build where everything is.
cat > "$CACHE/deps.cmake" <<CM
set(ZEM_OPENSSL_ROOT "$OPENSSL_OUT")
set(ZEM_TINYXML_ROOT "$TINYXML_OUT")
set(ZEM_PCRE2_ROOT "$PCRE2_OUT")
CM
echo "deps: OpenSSL $OPENSSL_VER, TinyXML $TINYXML_VER, PCRE2 $PCRE2_VER ready in $CACHE"

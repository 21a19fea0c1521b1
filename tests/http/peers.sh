#!/bin/sh
# Starts and stops the loopback peers of the HTTP client tests.
#   peers.sh up DIR     start every peer, write DIR/ports.txt (name=port lines)
#   peers.sh down DIR   stop every peer started by "up" on DIR
#
# Peers: the scripted servers of peers.py (http, https, proxy, socks5,
# socks5ff), "openssl s_server" with a self-signed certificate made here
# (tls), squid with Basic and with Digest proxy authentication (squid_basic,
# squid_digest) and dante as a SOCKS 4/5 proxy without authentication (dante)
# and with user name and password (dante_auth). Every peer listens on
# 127.0.0.1 on a port chosen free at run time, writes its output to files in
# DIR, runs in a process group of its own and ends by itself after
# $ZEM_PEERS_LIFETIME seconds (default 1800) should "down" never come.
#
# The test user of the SOCKS proxies is alice with the password secret. For
# dante, which checks user names against the system's password files, the
# authenticating instance runs in a private mount namespace that sees a
# password file of its own; nothing on the machine is changed.
set -eu

HERE=$(cd "$(dirname "$0")" && pwd)
CMD=${1:-}
DIR=${2:-}
LIFETIME=${ZEM_PEERS_LIFETIME:-1800}
if [ -z "$CMD" ] || [ -z "$DIR" ]; then
    echo "usage: $0 up|down DIR" >&2
    exit 2
fi
PY=python3
[ -x /usr/bin/python3 ] && PY=/usr/bin/python3

# Runs "$@" detached in its own process group, bounded in time; the group id
# goes to DIR/<name>.pid.
start() {
    name=$1
    shift
    setsid timeout -s TERM "$LIFETIME" "$@" </dev/null >"$DIR/$name.out" 2>&1 &
    echo $! >"$DIR/$name.pid"
}

stop_all() {
    [ -d "$DIR" ] || return 0
    pids=""
    for pidfile in "$DIR"/*.pid; do
        [ -f "$pidfile" ] || continue
        pid=$(cat "$pidfile")
        rm -f "$pidfile"
        case "$pid" in
        '' | *[!0-9]*) continue ;;
        esac
        # The group holds the peer and whatever it started (helpers, workers).
        kill -TERM "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
        pids="$pids $pid"
    done
    if [ -z "$pids" ]; then
        remove_squid_dir
        return 0
    fi
    i=0
    while [ $i -lt 50 ]; do
        alive=""
        for pid in $pids; do
            kill -0 "$pid" 2>/dev/null && alive="$alive $pid"
        done
        [ -n "$alive" ] || break
        sleep 0.1
        i=$((i + 1))
    done
    for pid in $pids; do
        kill -KILL "-$pid" 2>/dev/null || true
    done
    remove_squid_dir
}

# squid drops to the "proxy" user, which must read its password files and
# write its logs: they live in a folder of their own under /tmp, reachable
# whatever the permissions of the build folder's parents.
remove_squid_dir() {
    [ -f "$DIR/squid.dir" ] || return 0
    squid_dir=$(cat "$DIR/squid.dir")
    case "$squid_dir" in
    /tmp/zem-http-squid.*) rm -rf "$squid_dir" ;;
    esac
    rm -f "$DIR/squid.dir"
}

fail() {
    echo "peers.sh: $*" >&2
    for f in "$DIR"/*.out "$DIR"/*.log "$SQUID_DIR"/squid-*/cache.log; do
        [ -s "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
    done
    stop_all
    exit 1
}

case "$CMD" in
down)
    stop_all
    exit 0
    ;;
up) ;;
*)
    echo "usage: $0 up|down DIR" >&2
    exit 2
    ;;
esac

SQUID_DIR=""
stop_all
rm -rf "$DIR"
mkdir -p "$DIR"
chmod 755 "$DIR"

for tool in openssl squid danted unshare setsid timeout; do
    command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] ||
        fail "$tool is not installed (scripts/setup.sh installs the test peers)"
done
SQUID=$(command -v squid || echo /usr/sbin/squid)
DANTED=$(command -v danted || echo /usr/sbin/danted)

# A self-signed certificate for the TLS peers, made fresh for every run.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -keyout "$DIR/key.pem" -out "$DIR/cert.pem" >"$DIR/openssl-req.out" 2>&1 ||
    fail "cannot make the test certificate"

# The scripted servers pick their own ports.
start py "$PY" "$HERE/peers.py" serve --dir "$DIR" --cert "$DIR/cert.pem" \
    --key "$DIR/key.pem" --lifetime "$LIFETIME"

set -- $("$PY" "$HERE/peers.py" freeports 5)
TLS_PORT=$1 SQUID_BASIC_PORT=$2 SQUID_DIGEST_PORT=$3 DANTE_PORT=$4 DANTE_AUTH_PORT=$5

start tls openssl s_server -accept "127.0.0.1:$TLS_PORT" -cert "$DIR/cert.pem" \
    -key "$DIR/key.pem" -www -quiet

# squid: one instance per authentication scheme.
SQUID_DIR=$(mktemp -d /tmp/zem-http-squid.XXXXXX)
echo "$SQUID_DIR" >"$DIR/squid.dir"
chmod 755 "$SQUID_DIR"
printf 'alice:%s\n' "$(openssl passwd -apr1 secret)" >"$SQUID_DIR/basic.passwd"
printf 'alice:secret\n' >"$SQUID_DIR/digest.passwd"
chmod 644 "$SQUID_DIR/basic.passwd" "$SQUID_DIR/digest.passwd"
squid_conf() {
    name=$1 port=$2 auth=$3
    mkdir -p "$SQUID_DIR/squid-$name"
    chmod 777 "$SQUID_DIR/squid-$name"
    sed -e "s|@NAME@|$name|g" -e "s|@PORT@|$port|g" -e "s|@DIR@|$SQUID_DIR|g" \
        -e "s|@AUTH@|$auth|" "$HERE/squid.conf.in" >"$SQUID_DIR/squid-$name.conf"
    chmod 644 "$SQUID_DIR/squid-$name.conf"
}
squid_conf basic "$SQUID_BASIC_PORT" \
    "auth_param basic program /usr/lib/squid/basic_ncsa_auth $SQUID_DIR/basic.passwd\\
auth_param basic children 2 startup=1 idle=1\\
auth_param basic realm zem-basic"
squid_conf digest "$SQUID_DIGEST_PORT" \
    "auth_param digest program /usr/lib/squid/digest_file_auth $SQUID_DIR/digest.passwd\\
auth_param digest children 2 startup=1 idle=1\\
auth_param digest realm zem-digest"
start squid-basic "$SQUID" -N -f "$SQUID_DIR/squid-basic.conf"
start squid-digest "$SQUID" -N -f "$SQUID_DIR/squid-digest.conf"

# dante: without authentication (SOCKS 4 and 5), and with user name and
# password (SOCKS 5 only).
dante_conf() {
    name=$1 port=$2 method=$3
    sed -e "s|@NAME@|$name|g" -e "s|@PORT@|$port|g" -e "s|@DIR@|$DIR|g" \
        -e "s|@METHOD@|$method|g" "$HERE/danted.conf.in" >"$DIR/danted-$name.conf"
}
dante_conf open "$DANTE_PORT" none
dante_conf auth "$DANTE_AUTH_PORT" username
start dante "$DANTED" -f "$DIR/danted-open.conf"
{
    cat /etc/passwd
    echo 'alice:x:64123:64123:zem test:/nonexistent:/usr/sbin/nologin'
} >"$DIR/passwd"
printf 'alice:%s:19000:0:99999:7:::\n' "$(openssl passwd -6 secret)" >"$DIR/shadow"
chmod 644 "$DIR/passwd"
chmod 600 "$DIR/shadow"
start dante-auth unshare -m sh -c \
    "mount --bind '$DIR/passwd' /etc/passwd && mount --bind '$DIR/shadow' /etc/shadow \
     && exec '$DANTED' -f '$DIR/danted-auth.conf'"

i=0
while [ ! -f "$DIR/py_ports.txt" ]; do
    i=$((i + 1))
    [ $i -le 300 ] || fail "the scripted servers did not start"
    sleep 0.1
done
"$PY" "$HERE/peers.py" waitports "$TLS_PORT" "$SQUID_BASIC_PORT" "$SQUID_DIGEST_PORT" \
    "$DANTE_PORT" "$DANTE_AUTH_PORT" --timeout 60 || fail "a peer did not start"

{
    cat "$DIR/py_ports.txt"
    echo "tls=$TLS_PORT"
    echo "squid_basic=$SQUID_BASIC_PORT"
    echo "squid_digest=$SQUID_DIGEST_PORT"
    echo "dante=$DANTE_PORT"
    echo "dante_auth=$DANTE_AUTH_PORT"
} >"$DIR/ports.tmp"
mv "$DIR/ports.tmp" "$DIR/ports.txt"
cat "$DIR/ports.txt"

#!/bin/sh
# Starts ("up") and stops ("down") the HTTP tests' loopback peers in DIR, listed
# as name=port in DIR/ports.txt: openssl s_server (tls; its certificate serves the
# tests' TLS servers too), squid with Basic and Digest authentication (squid_basic,
# squid_digest), dante without and with a password (dante, dante_auth: alice,
# secret, from a password file seen in a private mount namespace). Each peer has a
# process group and ends by itself after $ZEM_PEERS_LIFETIME seconds (1800).
set -eu
CMD=${1:-} DIR=${2:?usage: $0 up|down DIR}
stop() {
    pids=$(cat "$DIR"/*.pid 2>/dev/null || true) && rm -f "$DIR"/*.pid
    for pid in $pids; do kill -KILL -"$pid" 2>/dev/null || true; done
    [ ! -f "$DIR/squid.dir" ] || rm -rf "$(cat "$DIR/squid.dir")" "$DIR/squid.dir"
}
fail() {
    echo "peers.sh: $* (scripts/setup.sh installs the peers)" >&2
    tail -n 20 "$DIR"/*.out "$DIR"/*.log >&2 2>/dev/null || true
    stop
    exit 1
}
start() { # name command...: detached, bounded in time, group id in DIR/name.pid
    name=$1 && shift
    setsid timeout -s TERM "${ZEM_PEERS_LIFETIME:-1800}" "$@" </dev/null >"$DIR/$name.out" 2>&1 &
    echo $! >"$DIR/$name.pid"
}
[ ! -d "$DIR" ] || stop
[ "$CMD" = up ] || exit 0
rm -rf "$DIR" && mkdir -p "$DIR" && chmod 755 "$DIR" && export PATH="$PATH:/usr/sbin"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout "$DIR/key.pem" \
    -out "$DIR/cert.pem" >"$DIR/req.out" 2>&1 || fail "cannot make a certificate with openssl"
set -- $(python3 -c 'import socket; s = [socket.socket() for _ in range(5)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
start tls openssl s_server -accept "127.0.0.1:$1" -cert "$DIR/cert.pem" -key "$DIR/key.pem" -www -quiet

# squid drops to its own user: its files live in a folder of their own.
SQ=$(mktemp -d /tmp/zem-http-squid.XXXXXX) && echo "$SQ" >"$DIR/squid.dir" && chmod 755 "$SQ"
printf 'alice:%s\n' "$(openssl passwd -apr1 secret)" >"$SQ/basic"
printf 'alice:secret\n' >"$SQ/digest"
for scheme in basic digest; do
    port=$2 helper=basic_ncsa_auth && [ $scheme = basic ] || port=$3 helper=digest_file_auth
    mkdir -m 777 "$SQ/$scheme.d" && chmod 644 "$SQ/$scheme"
    printf '%s\n' "http_port 127.0.0.1:$port" "visible_hostname zem-$scheme" "access_log none" \
        "pid_filename $SQ/$scheme.d/pid" "cache_log $SQ/$scheme.d/cache.log" "cache deny all" \
        "coredump_dir $SQ/$scheme.d" "netdb_filename none" "cache_mem 8 MB" \
        "shutdown_lifetime 0 seconds" "dns_nameservers 127.0.0.1" \
        "auth_param $scheme program /usr/lib/squid/$helper $SQ/$scheme" \
        "auth_param $scheme children 2 startup=1 idle=1" "auth_param $scheme realm zem-$scheme" \
        "acl authed proxy_auth REQUIRED" "acl lo dst 127.0.0.0/8" "http_access deny !lo" \
        "http_access allow authed" >"$SQ/$scheme.conf"
    start squid_$scheme squid -N -f "$SQ/$scheme.conf"
done
for method in none username; do
    port=$4 && [ $method = none ] || port=$5
    printf '%s\n' "logoutput: $DIR/dante-$method.log" "internal: 127.0.0.1 port = $port" \
        "external: 127.0.0.1" "socksmethod: $method" "user.privileged: root" \
        "user.unprivileged: nobody" "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }" \
        "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }" >"$DIR/dante-$method.conf"
done
start dante danted -f "$DIR/dante-none.conf"
{ cat /etc/passwd && echo 'alice:x:64123:64123::/nonexistent:/usr/sbin/nologin'; } >"$DIR/passwd"
printf 'alice:%s:19000:0:99999:7:::\n' "$(openssl passwd -6 secret)" >"$DIR/shadow"
chmod 644 "$DIR/passwd" && chmod 600 "$DIR/shadow"
start dante_auth unshare -m sh -c "mount --bind '$DIR/passwd' /etc/passwd &&
    mount --bind '$DIR/shadow' /etc/shadow && exec danted -f '$DIR/dante-username.conf'"
python3 -c 'import socket, sys, time
end, up = time.time() + 60, lambda p: socket.socket().connect_ex(("127.0.0.1", int(p))) == 0
while not all(map(up, sys.argv[1:])) and time.time() < end: time.sleep(0.1)
sys.exit(not all(map(up, sys.argv[1:])))' "$@" || fail "a peer did not start"
printf 'tls=%s\nsquid_basic=%s\nsquid_digest=%s\ndante=%s\ndante_auth=%s\n' "$@" | tee "$DIR/ports.txt"

#!/usr/bin/env python3
"""Scripted loopback peers for the HTTP client tests and benchmark.

    peers.py freeports N              print N free loopback TCP ports
    peers.py waitports P... [--timeout S]
                                      wait until every port accepts connections
    peers.py serve --dir D --cert C --key K [--lifetime S]
                                      run the scripted servers; their ports go
                                      to D/py_ports.txt as name=port lines

The servers (all on 127.0.0.1, one thread per connection):

http      a scripted origin server, routed by path:
            any other      200, the body is the request exactly as received
                           (head, Content-Length body and anything that follows
                           within 100 ms)
            /raw/<hex>     sends the hex-decoded bytes as the whole answer
            /big/<n>       200 with Content-Length n and n bytes of body
            /chunked/<n>/<piece>
                           n bytes of body in chunks of <piece> bytes
            /head30        200 with 30 headers and an empty body
            /sni           200, the body is the TLS server name of this
                           connection (empty without one)
            /proxylog, /sockslog
                           what the scripted proxy / SOCKS servers received
                           since the last call: records of "<length>\\n<bytes>"
          CONNECT <target> (the session's gateway tunnel): "status-<hex>"
          answers with those bytes; any other target gets a 200 head, then the
          CONNECT request itself as the first tunnel data, then an echo of
          what the client sends.
          A TLS ClientHello gets a plain 400 at once.
https     the same over TLS (self-signed certificate)
proxy     an HTTP CONNECT proxy; the behaviour is chosen by the target host
          (see PROXY_SCENARIOS). It never connects anywhere: after a 200 it
          serves the tunnel itself as the origin server (TLS for ports 443 and
          8443).
socks5    a SOCKS server that speaks only version 5 (a version 4 request is
          recorded and the connection closed), selects user name and password
          (alice / secret) and answers the connect with a domain-name bound
          address; it serves the tunnel itself. Target port 7 sends "BANNER\\n"
          in the same segment as the connect reply.
socks5ff  a SOCKS 5 server that selects method 0xFF, then records whether the
          client closed the connection.

Every connection has a time limit and the whole process ends by itself after
--lifetime seconds.
"""

import base64
import hashlib
import os
import socket
import ssl
import sys
import threading
import time

HOST = "127.0.0.1"
CONN_TIMEOUT = 20.0
MAX_HEAD = 256 * 1024

USER = "alice"
PASSWORD = "secret"
REALM = "zem"
NONCE = "n0nce-1"

LOCK = threading.Lock()
PROXY_LOG = []
SOCKS_LOG = []
TLS_CONTEXT = None


def record(log, data):
    with LOCK:
        log.append(bytes(data))


def take(log):
    with LOCK:
        out = b"".join(b"%d\n" % len(item) + item for item in log)
        log.clear()
    return out


def recv_head(conn, first=b""):
    """Reads up to the blank line that ends a head; returns (head, rest)."""
    data = bytearray(first)
    while b"\r\n\r\n" not in data:
        if len(data) > MAX_HEAD:
            raise ValueError("head too long")
        chunk = conn.recv(65536)
        if not chunk:
            raise EOFError("closed before the end of the head")
        data += chunk
    end = data.index(b"\r\n\r\n") + 4
    return bytes(data[:end]), bytes(data[end:])


def recv_exact(conn, n):
    data = bytearray()
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError("closed")
        data += chunk
    return bytes(data)


def header_map(head):
    headers = {}
    for line in head.split(b"\r\n")[1:]:
        if b":" in line:
            name, value = line.split(b":", 1)
            headers[name.strip().lower().decode("latin-1")] = value.strip().decode("latin-1")
    return headers


def send_response(conn, status, body=b"", headers=()):
    head = "HTTP/1.1 %s\r\n" % status
    for h in headers:
        head += h + "\r\n"
    head += "Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
    conn.sendall(head.encode("latin-1") + body)


PATTERN = (b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+/" * 16384)  # 1 MiB


def send_big(conn, n):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % n)
    view = memoryview(PATTERN)
    while n > 0:
        piece = min(n, len(PATTERN))
        conn.sendall(view[:piece])
        n -= piece


def send_chunked(conn, n, piece):
    conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n")
    offset = 0
    while offset < n:
        size = min(piece, n - offset)
        start = offset % len(PATTERN)
        data = (PATTERN[start:] + PATTERN)[:size]
        conn.sendall(b"%x;ext=1\r\n" % size + data + b"\r\n")
        offset += size
    conn.sendall(b"0\r\n\r\n")


def head30():
    lines = ["HTTP/1.1 200 OK"]
    for i in range(28):
        lines.append("X-Header-%02d: value number %d with some text in it" % (i, i))
    lines.append("Set-Cookie: bench=%d; Path=/" % 1)
    lines.append("Content-Length: 0")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def serve_http(conn, first=b"", sni=None):
    if not first:
        first = conn.recv(65536)
    if first[:1] == b"\x16":
        conn.sendall(b"HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n")
        return
    head, rest = recv_head(conn, first)
    request_line = head.split(b"\r\n", 1)[0].decode("latin-1")
    parts = request_line.split(" ")
    if len(parts) < 3:
        send_response(conn, "400 Bad Request")
        return
    method, target = parts[0], parts[1]
    headers = header_map(head)

    if method == "CONNECT":
        if target.startswith("status-"):
            conn.sendall(bytes.fromhex(target[len("status-"):]))
            return
        conn.sendall(b"HTTP/1.1 200 OK\r\nX-Tunnel: yes\r\nSet-Cookie: tunnel=1\r\n\r\n" + head)
        data = rest
        deadline = time.time() + CONN_TIMEOUT
        while time.time() < deadline:
            if data:
                conn.sendall(data)
            data = conn.recv(65536)
            if not data:
                break
        return

    body = rest
    length = int(headers.get("content-length", "0") or "0")
    if len(body) < length:
        body += recv_exact(conn, length - len(body))

    if target.startswith("/raw/"):
        conn.sendall(bytes.fromhex(target[len("/raw/"):]))
    elif target.startswith("/big/"):
        send_big(conn, int(target[len("/big/"):]))
    elif target.startswith("/chunked/"):
        n, piece = target[len("/chunked/"):].split("/")
        send_chunked(conn, int(n), int(piece))
    elif target == "/head30":
        conn.sendall(head30())
    elif target == "/sni":
        send_response(conn, "200 OK", (sni() if sni else "").encode("latin-1"))
    elif target == "/proxylog":
        send_response(conn, "200 OK", take(PROXY_LOG))
    elif target == "/sockslog":
        send_response(conn, "200 OK", take(SOCKS_LOG))
    else:
        extra = bytearray()
        conn.settimeout(0.1)
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                extra += chunk
        except (socket.timeout, OSError):
            pass
        conn.settimeout(CONN_TIMEOUT)
        send_response(conn, "200 OK", head + body + bytes(extra))


def serve_tls(conn):
    names = {}

    def on_sni(sslobj, name, context):
        names["sni"] = name or ""

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(TLS_CONTEXT[0], TLS_CONTEXT[1])
    context.sni_callback = on_sni
    tls = context.wrap_socket(conn, server_side=True)
    try:
        serve_http(tls, b"", lambda: names.get("sni", ""))
    finally:
        try:
            tls.close()
        except OSError:
            pass


# --- HTTP CONNECT proxy ------------------------------------------------------

def parse_auth_params(text):
    params = {}
    i = 0
    while i < len(text):
        while i < len(text) and text[i] in " ,":
            i += 1
        eq = text.find("=", i)
        if eq < 0:
            break
        name = text[i:eq].strip()
        i = eq + 1
        if i < len(text) and text[i] == '"':
            end = text.find('"', i + 1)
            if end < 0:
                break
            params[name] = text[i + 1:end]
            i = end + 1
        else:
            end = text.find(",", i)
            end = len(text) if end < 0 else end
            params[name] = text[i:end]
            i = end
    return params


def digest_ok(value):
    if not value.startswith("Digest "):
        return False
    p = parse_auth_params(value[len("Digest "):])
    md5 = lambda s: hashlib.md5(s.encode("latin-1")).hexdigest()
    try:
        ha1 = md5("%s:%s:%s" % (p["username"], p["realm"], PASSWORD))
        ha2 = md5("CONNECT:%s" % p["uri"])
        expected = md5(":".join([ha1, p["nonce"], p["nc"], p["cnonce"], p["qop"], ha2]))
    except KeyError:
        return False
    return (p["username"] == USER and p["realm"] == REALM and p["nonce"] == NONCE
            and p["response"] == expected)


def basic_ok(value):
    return value == "Basic " + base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()


DIGEST_CHALLENGE = ('Proxy-Authenticate: Digest realm="%s", nonce="%s", qop="auth", '
                    'algorithm=MD5, opaque="op4que"' % (REALM, NONCE))
BASIC_CHALLENGE = 'Proxy-Authenticate: Basic realm="%s"' % REALM


def proxy_answer(host, auth):
    """(status line, header lines, serve tunnel?) for one CONNECT."""
    if host == "forbidden.test":
        return "HTTP/1.0 403 Forbidden", [], False
    if host == "noreason.test":
        return "HTTP/1.0 200", [], True
    if host == "digest.test":
        if auth and digest_ok(auth):
            return "HTTP/1.0 200 Connection established", [], True
        return "HTTP/1.0 407 Proxy Authentication Required", [DIGEST_CHALLENGE], False
    if host == "digest-twice.test":
        return "HTTP/1.0 407 Proxy Authentication Required", [DIGEST_CHALLENGE], False
    if host == "basic.test":
        if auth and basic_ok(auth):
            return "HTTP/1.0 200 Connection established", [], True
        return "HTTP/1.0 407 Proxy Authentication Required", [BASIC_CHALLENGE], False
    if host == "lower.test":
        if auth and basic_ok(auth):
            return "HTTP/1.0 200 Connection established", [], True
        return "HTTP/1.0 407 Proxy Authentication Required", [
            "proxy-authenticate:   basic realm=x"], False
    if host == "nochallenge.test":
        return "HTTP/1.0 407 Proxy Authentication Required", [
            "Proxy-Authenticate: NTLM"], False
    if host == "multi.test":
        if auth and digest_ok(auth):
            return "HTTP/1.0 200 Connection established", [], True
        return "HTTP/1.0 407 Proxy Authentication Required", [
            "Proxy-Authenticate: Negotiate", DIGEST_CHALLENGE, BASIC_CHALLENGE], False
    if host == "unauthorized.test":
        if auth:
            return "HTTP/1.0 200 Connection established", [], True
        return "HTTP/1.1 401 Unauthorized", [BASIC_CHALLENGE], False
    if host == "longline.test":
        return "HTTP/1.0 407 Proxy Authentication Required", [
            "X-Long: " + "x" * 5000, BASIC_CHALLENGE], False
    if host.startswith("chal-") and host.endswith(".test"):
        if auth:
            return "HTTP/1.0 200 Connection established", [], True
        line = bytes.fromhex(host[len("chal-"):-len(".test")]).decode("latin-1")
        return "HTTP/1.0 407 Proxy Authentication Required", [line], False
    return "HTTP/1.0 200 Connection established", [], True


def serve_proxy(conn):
    head, rest = recv_head(conn)
    record(PROXY_LOG, head)
    request_line = head.split(b"\r\n", 1)[0].decode("latin-1")
    parts = request_line.split(" ")
    if len(parts) < 3 or parts[0] != "CONNECT" or ":" not in parts[1]:
        conn.sendall(b"HTTP/1.0 400 Bad Request\r\n\r\n")
        return
    host, port = parts[1].rsplit(":", 1)
    auth = header_map(head).get("proxy-authorization")
    status, lines, serve = proxy_answer(host, auth)
    answer = status + "\r\n" + "".join(l + "\r\n" for l in lines)
    if not serve:
        answer += "Content-Length: 0\r\n"
    conn.sendall((answer + "\r\n").encode("latin-1"))
    if not serve:
        return
    if port in ("443", "8443"):
        serve_tls(conn)
    else:
        serve_http(conn, rest)


# --- SOCKS -----------------------------------------------------------------

def serve_socks5(conn, select_ff):
    version = recv_exact(conn, 1)
    if version == b"\x04":
        conn.settimeout(1.0)
        data = bytearray(version)
        try:
            while len(data) < 9:
                chunk = conn.recv(9 - len(data))
                if not chunk:
                    break
                data += chunk
        except (socket.timeout, OSError):
            pass
        record(SOCKS_LOG, b"v4 " + bytes(data))
        return
    if version != b"\x05":
        return
    count = recv_exact(conn, 1)
    methods = recv_exact(conn, count[0])
    record(SOCKS_LOG, b"greeting " + version + count + methods)
    if select_ff:
        conn.sendall(b"\x05\xff")
        conn.settimeout(3.0)
        try:
            closed = conn.recv(1) == b""
        except (socket.timeout, OSError):
            closed = False
        record(SOCKS_LOG, b"closed" if closed else b"left open")
        return
    conn.sendall(b"\x05\x02")
    ver = recv_exact(conn, 1)
    ulen = recv_exact(conn, 1)
    user = recv_exact(conn, ulen[0])
    plen = recv_exact(conn, 1)
    password = recv_exact(conn, plen[0])
    record(SOCKS_LOG, b"auth " + ver + ulen + user + plen + password)
    if user != USER.encode() or password != PASSWORD.encode():
        conn.sendall(b"\x01\x01")
        return
    conn.sendall(b"\x01\x00")
    request = recv_exact(conn, 4)
    if request[3] == 1:
        request += recv_exact(conn, 6)
    elif request[3] == 4:
        request += recv_exact(conn, 18)
    elif request[3] == 3:
        n = recv_exact(conn, 1)
        request += n + recv_exact(conn, n[0] + 2)
    record(SOCKS_LOG, b"connect " + request)
    port = int.from_bytes(request[-2:], "big")
    bound = b"bound.test"
    reply = b"\x05\x00\x00\x03" + bytes([len(bound)]) + bound + b"\x04\x38"
    if port == 7:
        conn.sendall(reply + b"BANNER\n")
        return
    conn.sendall(reply)
    serve_http(conn)


# --- plumbing ----------------------------------------------------------------

def handle(kind, conn):
    conn.settimeout(CONN_TIMEOUT)
    try:
        if kind == "http":
            serve_http(conn)
        elif kind == "https":
            serve_tls(conn)
            return
        elif kind == "proxy":
            serve_proxy(conn)
        elif kind == "socks5":
            serve_socks5(conn, False)
        elif kind == "socks5ff":
            serve_socks5(conn, True)
    except (OSError, ValueError, EOFError, ssl.SSLError):
        pass
    finally:
        try:
            conn.shutdown(socket.SHUT_WR)
            conn.settimeout(1.0)
            while conn.recv(65536):
                pass
        except OSError:
            pass
        conn.close()


def accept_loop(kind, listener):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(kind, conn), daemon=True).start()


def free_ports(n):
    sockets = []
    for _ in range(n):
        s = socket.socket()
        s.bind((HOST, 0))
        sockets.append(s)
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def wait_ports(ports, timeout):
    deadline = time.time() + timeout
    for port in ports:
        while True:
            try:
                socket.create_connection((HOST, int(port)), timeout=1.0).close()
                break
            except OSError:
                if time.time() > deadline:
                    print("port %s does not answer" % port, file=sys.stderr)
                    return 1
                time.sleep(0.1)
    return 0


def serve(directory, cert, key, lifetime):
    global TLS_CONTEXT
    TLS_CONTEXT = (cert, key)
    timer = threading.Timer(lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    lines = []
    for kind in ("http", "https", "proxy", "socks5", "socks5ff"):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((HOST, 0))
        listener.listen(64)
        lines.append("%s=%d" % (kind, listener.getsockname()[1]))
        threading.Thread(target=accept_loop, args=(kind, listener), daemon=True).start()
    path = os.path.join(directory, "py_ports.txt")
    with open(path + ".tmp", "w") as f:
        f.write("\n".join(lines) + "\n")
    os.rename(path + ".tmp", path)
    while True:
        time.sleep(3600)


def main(argv):
    if len(argv) >= 2 and argv[1] == "freeports":
        print(" ".join(str(p) for p in free_ports(int(argv[2]))))
        return 0
    if len(argv) >= 2 and argv[1] == "waitports":
        args = argv[2:]
        timeout = 30.0
        if "--timeout" in args:
            i = args.index("--timeout")
            timeout = float(args[i + 1])
            del args[i:i + 2]
        return wait_ports(args, timeout)
    if len(argv) >= 2 and argv[1] == "serve":
        opts = dict(zip(argv[2::2], argv[3::2]))
        serve(opts["--dir"], opts["--cert"], opts["--key"], float(opts.get("--lifetime", "1800")))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

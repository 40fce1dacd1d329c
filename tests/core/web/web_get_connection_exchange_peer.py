# A hostile HTTP/1.1 peer for the exchange tests: interim answers, redirects out of the web,
# gzip members and bombs, conflicting lengths, cookies widened to other hosts, and, asked to
# CONNECT, a proxy that answers in the site's place.
import socket, socketserver, sys, threading, time, zlib
from urllib.parse import parse_qs, urlsplit

port = int(sys.argv[1])


def gzip(data):
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    return z.compress(data) + z.flush()


def whole(body, extra=b""):
    return b"HTTP/1.1 200 OK\r\n" + extra + b"Content-Length: %d\r\n\r\n" % len(body) + body


class Repeat:
    """A head, then n copies of one byte sent from a small buffer: a body of hundreds of MiB made
    whole first cost seconds of allocation on a loaded machine before its first byte went out."""

    def __init__(self, head, byte, n):
        self.head, self.byte, self.n = head, byte, n

    def send(self, s):
        s.sendall(self.head)
        block = memoryview(self.byte * (1 << 20))
        left = self.n
        while left:
            step = min(left, len(block))
            s.sendall(block[:step])
            left -= step


bombs = {}


def answer(path, query, head):
    """A list of pieces sent with a short pause between them."""
    if path == "/interim":  # two interim answers, the final one a moment later
        return [b"HTTP/1.1 100 Continue\r\n\r\n", b"HTTP/1.1 102 Processing\r\nX-Note: wait\r\n\r\n" + whole(b"final")]
    if path == "/interims":  # n interim answers, then the final one
        return [b"HTTP/1.1 100 Continue\r\n\r\n" * int(query["n"][0]), whole(b"final")]
    if path == "/switch":  # a protocol switch nobody asked for, then what looks like an answer
        return [b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: other\r\nConnection: Upgrade\r\n\r\n", whole(b"forged")]
    if path == "/interim-flood":
        return [b"HTTP/1.1 100 Continue\r\n\r\n" * 1000 + whole(b"late")]
    if path == "/to":  # a redirect to wherever the query says
        return [b"HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n" % query["url"][0].encode()]
    if path == "/members":  # the body as many gzip members of two bytes each
        body = b"".join(gzip(b"ab") for _ in range(int(query["n"][0])))
        return [whole(body, b"Content-Encoding: gzip\r\n")]
    if path == "/bomb":  # n MiB of zeros, gzip-encoded (about 1000:1), with the status asked for
        mib = int(query["mib"][0])
        # Made once per size: compressing tens of MiB again for each request held the answer
        # back for seconds on a loaded machine.
        if mib not in bombs:
            bombs[mib] = gzip(b"\0" * (mib << 20))
        body = bombs[mib]
        status = query.get("status", ["200"])[0].encode()
        return [b"HTTP/1.1 %s Status\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n" % (status, len(body)) + body]
    if path == "/plain":  # n bytes, not encoded, streamed (see Repeat)
        n = int(query["n"][0])
        return [Repeat(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % n, b"p", n)]
    if path == "/lengths":  # the lengths the query lists, one header line each
        lines = b"".join(b"Content-Length: %s\r\n" % n.encode() for n in query["n"][0].split(","))
        return [b"HTTP/1.1 200 OK\r\n" + lines + b"\r\nhello" + b"x" * 20]
    if path == "/set-cookie":
        return [whole(b"set", b"Set-Cookie: %s\r\n" % query["c"][0].encode())]
    if path == "/echo-cookie":
        cookie = b""
        for line in head.split(b"\r\n")[1:]:
            if line.lower().startswith(b"cookie:"):
                cookie = line.split(b":", 1)[1].strip()
        return [whole(cookie)]
    return [b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"]


def connect_answer(target):
    """The proxy's answer to CONNECT, by the host asked for."""
    host = target.split(":")[0]
    if host == "redirect.test":
        return b"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:%d/echo-cookie\r\nContent-Length: 0\r\n\r\n" % port
    if host == "error.test":
        return b"HTTP/1.1 500 Proxy Error\r\nContent-Length: 10\r\n\r\nproxy page"
    if host == "body.test":
        inner = whole(b"forged")
        return b"HTTP/1.1 200 Connection established\r\nContent-Length: %d\r\n\r\n" % len(inner) + inner
    if host == "late.test":  # a clean answer, then plain bytes a moment later
        return [b"HTTP/1.1 200 Connection established\r\n\r\n", whole(b"forged")]
    if host == "bare.test":  # no length: the forged answer follows the blank line
        return b"HTTP/1.1 200 Connection established\r\n\r\n" + whole(b"forged")
    return b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        s, data = self.request, b""
        while True:
            while b"\r\n\r\n" not in data:
                chunk = s.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, _, data = data.partition(b"\r\n\r\n")
            method, target = head.split(b" ")[:2]
            if method == b"CONNECT":
                pieces = connect_answer(target.decode())
                for piece in pieces if isinstance(pieces, list) else [pieces]:
                    s.sendall(piece)
                    time.sleep(0.2)
                time.sleep(1)
                return
            url = urlsplit(target.decode())
            pieces = answer(url.path, parse_qs(url.query), head)
            for i, piece in enumerate(pieces):
                if i:
                    time.sleep(0.05)
                try:
                    piece.send(s) if isinstance(piece, Repeat) else s.sendall(piece)
                except OSError:
                    return  # the client refused the answer part way and closed


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


Server(("0.0.0.0", port), Handler).serve_forever()

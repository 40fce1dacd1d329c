# A scripted HTTP/1.1 peer for the connection tests: answers by path (including malformed and
# cut-short answers) and logs every request's exact bytes with its connection number.
import hashlib, json, socket, socketserver, struct, sys, threading

port, log_path = int(sys.argv[1]), sys.argv[2]
lock = threading.Lock()
serial = [0]


def log(conn, raw):
    with lock, open(log_path, "a") as f:
        f.write(json.dumps({"conn": conn, "raw": raw.decode("latin-1")}) + "\n")


def answer(path, head):
    """(bytes, then): then is 'keep', 'close' or 'reset'."""
    ok = lambda body, extra="": (b"HTTP/1.1 200 OK\r\n" + extra.encode() + b"Content-Length: %d\r\n\r\n" % len(body) + body, "keep")
    if path == "/hello":
        return ok(b"hello")
    if path.startswith("/echo"):
        return ok(b"ok")
    if path == "/cut-header":
        return b"HTTP/1.1 200 OK\r\nContent-Le", "close"
    if path == "/endless-header":
        return b"HTTP/1.1 200 OK\r\n" + b"X-Filler: " + b"a" * 9000 + b"\r\n", "hold"
    if path == "/short":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", "close"
    if path == "/reset":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 1000, "reset"
    if path == "/stray":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstray", "keep"
    if path == "/until-close":
        return b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + b"y" * 5000, "close"
    if path == "/chunked":
        return b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "keep"
    if path == "/head-only":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n", "keep"
    if path == "/auth":
        return b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\nContent-Length: 3\r\n\r\nno!", "keep"
    if path.startswith("/loop"):  # /loop/N and /loopc/N (closing) redirect forever
        kind, n = path.split("/")[1], int(path.split("/")[2])
        close = kind == "loopc"
        return (b"HTTP/1.1 302 Found\r\nLocation: /%s/%d\r\n%sContent-Length: 2\r\n\r\nmv" %
                (kind.encode(), n + 1, b"Connection: close\r\n" if close else b""), "close" if close else "keep")
    if path.startswith("/hop"):  # /hop/N redirects to /hop/N+1 until 3, then answers
        n = int(path.split("/")[2])
        if n >= 3:
            return ok(b"arrived")
        return b"HTTP/1.1 302 Found\r\nLocation: /hop/%d\r\nContent-Length: 0\r\n\r\n" % (n + 1), "keep"
    if path.startswith("/hdr/"):  # a 200 answer whose header, blank line included, is N bytes
        start = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Pad: "
        return start + b"p" * (int(path[5:]) - len(start) - 4) + b"\r\n\r\nok", "keep"
    if path == "/ranged":
        if b"\r\nrange: bytes=100-\r\n" in head.lower() + b"\r\n":
            return b"HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-104/105\r\nContent-Length: 5\r\n\r\nrange", "keep"
        return ok(b"whole")
    if path == "/body150":
        return ok(b"b" * 150)
    if path == "/bad-chunk":
        return b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n", "close"
    if path == "/chunk-term":
        return b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloXY0\r\n\r\n", "close"
    if path == "/cut-chunked":  # the last chunk never comes
        return b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", "close"
    if path == "/bad-gzip":
        body = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03" + b"\xff" * 20
        return b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n" % len(body) + body, "keep"
    if path == "/bad-length":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nhello", "close"
    if path == "/resume-reset":  # bytes 10 to 99 of the resume entity, reset after 40 of them
        entity = bytes(ord("a") + i % 26 for i in range(100))
        return (b"HTTP/1.1 206 Partial\r\nContent-Range: bytes 10-99/100\r\nContent-Length: 90\r\n\r\n" +
                entity[10:50], "reset")
    if path == "/reval":
        if b"if-modified-since:" in head.lower():
            return ok(b"fresh", "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\nCache-Control: no-cache\r\n")
        return ok(b"stale", "Last-Modified: Mon, 30 Nov 2026 10:00:00 GMT\r\nCache-Control: no-cache\r\n")
    return b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", "keep"


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        with lock:
            serial[0] += 1
            conn = serial[0]
        s, data = self.request, b""
        while True:
            while b"\r\n\r\n" not in data:
                chunk = s.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, _, rest = data.partition(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n")[1:]:
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":")[1])
            # Gathered in one growing buffer: adding to bytes copies all that came before, which
            # for a body of megabytes held the sender up for seconds.
            gathered = bytearray(rest)
            while len(gathered) < length:
                chunk = s.recv(65536)
                if not chunk:
                    return
                gathered += chunk
            rest = bytes(gathered)
            path = head.split(b" ")[1].decode()
            if path.startswith("/count"):  # answers the body's length and a digest of it, logs no body
                log(conn, head + b"\r\n\r\n")
                body = rest[:length]
                data = rest[length:]
                text = b"%d %s" % (len(body), hashlib.sha256(body).hexdigest().encode())
                s.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(text) + text)
                continue
            log(conn, head + b"\r\n\r\n" + rest[:length])
            data = rest[length:]
            if path.startswith("http://"):
                path = "/" + path.split("/", 3)[3]
            reply, then = answer(path.split("?")[0], head)
            if head.startswith(b"HEAD "):
                reply = reply.split(b"\r\n\r\n")[0] + b"\r\n\r\n"
            s.sendall(reply)
            if then == "hold":
                threading.Event().wait(30)
                return
            if then == "reset":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()
                return
            if then == "close":
                s.shutdown(socket.SHUT_RDWR)
                return


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


Server(("0.0.0.0", port), Handler).serve_forever()

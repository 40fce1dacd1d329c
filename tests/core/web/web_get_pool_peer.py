# A scripted HTTP/1.1 peer for the request pool tests: one port on several loopback addresses (so
# many hosts), answers held until the test releases them, redirects, and a log of every request
# with the address and connection number it came on.
import json, os, socketserver, sys, threading, time, urllib.parse

port, folder = int(sys.argv[1]), sys.argv[2]
log_path = os.path.join(folder, "pool-requests.log")
lock = threading.Lock()
serial = [0]


def log(addr, conn, path):
    with lock, open(log_path, "a") as f:
        f.write(json.dumps({"addr": addr, "conn": conn, "path": path}) + "\n")


def ok(body):
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body


def answer(path, sock):
    """Sends the answer to path; False to close the connection afterwards."""
    base, _, query = path.partition("?")
    args = urllib.parse.parse_qs(query)
    if base.startswith("/hold/"):
        # Held until the test creates the file release-NAME (or release-all), at most 20 s.
        name = base[len("/hold/"):]
        for _ in range(4000):
            if os.path.exists(os.path.join(folder, "release-" + name)) or \
                    os.path.exists(os.path.join(folder, "release-all")):
                break
            time.sleep(0.005)
        sock.sendall(ok(b"held " + name.encode()))
        return True
    if base == "/redirect":
        body = b"moved"
        sock.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: %d\r\n\r\n" %
                     (args["to"][0].encode(), len(body)))
        # A late body keeps the redirect's exchange open on its connection for a while.
        time.sleep(int(args.get("late", ["0"])[0]) / 1000.0)
        sock.sendall(body)
        return True
    if base.startswith("/ok"):
        sock.sendall(ok(b"ok" + base[3:].encode()))
        return True
    sock.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
    return True


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        with lock:
            serial[0] += 1
            conn = serial[0]
        s, data = self.request, b""
        addr = s.getsockname()[0]
        while True:
            while b"\r\n\r\n" not in data:
                try:
                    chunk = s.recv(65536)
                except OSError:
                    return
                if not chunk:
                    return
                data += chunk
            head, _, data = data.partition(b"\r\n\r\n")
            path = head.split(b" ")[1].decode()
            log(addr, conn, path)
            try:
                if not answer(path, s):
                    return
            except OSError:
                return


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


# 127.0.0.1 last: once it listens, so do the others.
servers = [Server(("127.0.0.%d" % i, port), Handler) for i in range(8, 0, -1)]
for server in servers[:-1]:
    threading.Thread(target=server.serve_forever, daemon=True).start()
servers[-1].serve_forever()

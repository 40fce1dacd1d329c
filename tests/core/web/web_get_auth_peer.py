# An HTTP/1.1 peer that demands authentication, for the client's authentication tests:
#   /basic...      Basic, realm "bas", user "user" and password "pw"
#   /digest...     Digest (qop auth or auth-int), realm "dig", user "user" and password "pw"; every
#                  answer is checked for its method, URI, body and a nonce count that rises
#   /digest-int... the same offering only auth-int
#   /ntlm, /negotiate  NTLM messages under that scheme, checked with impacket as the server side,
#                  user "user" and password "pw", the handshake bound to the connection
#   /basic-forbidden  Basic as above, then 403 for the user it accepted
#   /nochallenge (401 without a challenge), /bearer (a scheme not supported)
# Each request is logged as one JSON line: connection, method, path, Authorization and verdict.
import base64, hashlib, json, os, socket, socketserver, sys, threading

from impacket import ntlm

port, log_path = int(sys.argv[1]), sys.argv[2]
lock = threading.Lock()
serial = [0]
nonces = {}  # nonce -> highest nonce count seen


def log(record):
    with lock, open(log_path, "a") as f:
        f.write(json.dumps(record) + "\n")


def md5(text):
    return hashlib.md5(text if isinstance(text, bytes) else text.encode()).hexdigest()


def reply(status, extra=b"", body=b""):
    reasons = {200: b"OK", 401: b"Unauthorized", 403: b"Forbidden", 400: b"Bad Request"}
    return (b"HTTP/1.1 %d %s\r\n" % (status, reasons[status]) + extra + b"Content-Length: %d\r\n\r\n" % len(body) + body)


def digest_fields(value):
    out, rest = {}, value[len("Digest"):].strip()
    while rest:
        name, _, rest = rest.partition("=")
        name = name.strip(" ,")
        if rest.startswith('"'):
            val, _, rest = rest[1:].partition('"')
        else:
            val, _, rest = rest.partition(",")
        out[name] = val.strip()
        rest = rest.lstrip(" ,")
    return out


def check_digest(method, target, body, value, qops):
    if not value.startswith("Digest "):
        return "none"
    f = digest_fields(value)
    if f.get("username") != "user" or f.get("realm") != "dig":
        return "user"
    with lock:
        if f.get("nonce") not in nonces:
            return "nonce"
    if f.get("uri") != target:
        return "uri"
    qop = f.get("qop", "")
    if qop not in qops:
        return "qop"
    ha1 = md5("user:dig:pw")
    ha2 = md5(method + ":" + target + (":" + md5(body) if qop == "auth-int" else ""))
    expected = md5(":".join([ha1, f["nonce"], f.get("nc", ""), f.get("cnonce", ""), qop, ha2]))
    if f.get("response") != expected:
        return "response"
    nc = int(f.get("nc", "0"), 16)
    with lock:
        if nc <= nonces[f["nonce"]]:
            return "replay"
        nonces[f["nonce"]] = nc
    return "ok"


def challenge_message(flags, challenge):
    m = ntlm.NTLMAuthChallenge()
    m["flags"] = flags
    m["challenge"] = challenge
    m["domain_name"] = b""
    m["domain_offset"] = 48
    m["TargetInfoFields"] = b""
    m["TargetInfoFields_offset"] = 48
    m["Version"] = b""
    return m.getData()


def answer(conn, state, method, target, head, body):
    path = target.split("?")[0]
    auth = ""
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.decode("latin-1").partition(":")
        if name.lower() == "authorization":
            auth = value.strip()
    verdict = "-"
    if path.startswith("/basic"):
        verdict = "ok" if auth == "Basic " + base64.b64encode(b"user:pw").decode() else "none" if not auth else "bad"
        if verdict != "ok":
            out = reply(401, b'WWW-Authenticate: Basic realm="bas"\r\n', b"who?")
        else:
            out = reply(403, body=b"not you") if path.startswith("/basic-forbidden") else reply(200, body=b"basic ok")
    elif path.startswith("/digest"):
        qops = ("auth-int",) if path.startswith("/digest-int") else ("auth", "auth-int")
        verdict = check_digest(method, target, body, auth, qops)
        if verdict == "ok":
            out = reply(200, body=b"digest ok")
        else:
            nonce = os.urandom(12).hex()
            with lock:
                nonces[nonce] = 0
            out = reply(401, b'WWW-Authenticate: Digest realm="dig", nonce="%s", qop="%s", opaque="op"\r\n' %
                        (nonce.encode(), ",".join(qops).encode()), b"who?")
    elif path in ("/ntlm", "/negotiate"):
        scheme = "NTLM" if path == "/ntlm" else "Negotiate"
        token = b""
        if auth.startswith(scheme + " "):
            try:
                token = base64.b64decode(auth[len(scheme) + 1:])
            except Exception:
                token = b"?"
        kind = token[8] if len(token) > 8 and token.startswith(b"NTLMSSP\0") else 0
        if kind == 1:
            state["challenge"] = os.urandom(8)
            flags = ntlm.NTLMSSP_NEGOTIATE_UNICODE | ntlm.NTLMSSP_NEGOTIATE_NTLM | \
                ntlm.NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY | ntlm.NTLMSSP_REQUEST_TARGET
            message = challenge_message(flags, state["challenge"])
            verdict = "negotiate"
            out = reply(401, b"WWW-Authenticate: %s %s\r\n" % (scheme.encode(), base64.b64encode(message)))
        elif kind == 3 and "challenge" in state:
            m = ntlm.NTLMAuthChallengeResponse()
            m.fromString(token)
            user = m["user_name"].decode("utf-16-le")
            client = m["lanman"][:8]
            nt, lm, _ = ntlm.computeResponseNTLMv1(m["flags"], state.pop("challenge"), client, "", "", user, "pw",
                                                   use_ntlmv2=False)
            verdict = "ok" if user == "user" and m["ntlm"] == nt and m["lanman"] == lm else "bad"
            out = reply(200, body=b"ntlm ok") if verdict == "ok" else reply(401, b"WWW-Authenticate: %s\r\n" % scheme.encode())
        else:
            verdict = "none"
            out = reply(401, b"WWW-Authenticate: %s\r\n" % scheme.encode())
    elif path == "/nochallenge":
        out = reply(401, body=b"no")
    elif path == "/bearer":
        out = reply(401, b'WWW-Authenticate: Bearer realm="api"\r\n', b"no")
    else:
        out = reply(200, body=b"hello")
    log({"conn": conn, "method": method, "target": target, "auth": auth, "verdict": verdict})
    return out


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        with lock:
            serial[0] += 1
            conn = serial[0]
        s, data, state = self.request, b"", {}
        while True:
            while b"\r\n\r\n" not in data:
                chunk = s.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, _, rest = data.partition(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            while len(rest) < length:
                chunk = s.recv(65536)
                if not chunk:
                    return
                rest += chunk
            body, data = rest[:length], rest[length:]
            method, target = head.split(b" ")[0].decode(), head.split(b" ")[1].decode()
            s.sendall(answer(conn, state, method, target, head, body))


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


Server(("127.0.0.1", port), Handler).serve_forever()

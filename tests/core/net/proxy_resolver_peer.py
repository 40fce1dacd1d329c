#!/usr/bin/python3
# Loopback peer of the proxy resolver tests: DNS over UDP on 127.0.0.1 and 127.0.0.2 at the port,
# answering from a zone file (name -> records, "silent" / "garbage" / "otherid", or
# {"wrongid": records, "then": records}: an answer under another ID, then the right one), every
# question logged;
# HTTP on 127.0.0.1 at the same port serving /wpad.dat and never answering /hang.
import json
import socket
import sys
import threading
import time

import dns.message
import dns.rrset

port, zone_file, log_file, script_file = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
log_lock = threading.Lock()


def log(text):
    with log_lock, open(log_file, "a") as out:
        out.write(text + "\n")


def serve_dns(address):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, port))
    while True:
        data, peer = sock.recvfrom(2048)
        try:
            query = dns.message.from_wire(data)
        except Exception:
            continue
        name = query.question[0].name.to_text().rstrip(".")
        log("%s %s %d %d" % (address, name, query.question[0].rdtype, query.question[0].rdclass))
        entry = json.load(open(zone_file)).get(name)  # read per question: tests fill it late
        if entry == "silent":
            continue
        if entry == "garbage":
            sock.sendto(data[:2] + bytes([0x81, 0x80, 0, 1, 0, 5, 0, 0, 0, 0, 0xC0, 0xFF, 0xFF]), peer)
            continue
        if entry == "otherid":
            sock.sendto(bytes([data[0] ^ 0xFF, data[1]]) + data[2:], peer)
            continue
        if isinstance(entry, dict):
            # Records under another ID first, then (when given) the answer under the query's own.
            wrong = answer_wire(query, name, entry["wrongid"])
            sock.sendto(bytes([wrong[0] ^ 0x5A, wrong[1]]) + wrong[2:], peer)
            if "then" in entry:
                time.sleep(0.05)
                sock.sendto(answer_wire(query, name, entry["then"]), peer)
            continue
        sock.sendto(answer_wire(query, name, entry or []), peer)


def answer_wire(query, name, records):
    response = dns.message.make_response(query)
    for kind, text in records:
        response.answer.append(dns.rrset.from_text(name + ".", 60, "IN", kind, text))
    return response.to_wire()


def serve_http():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(16)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=answer, args=(conn,), daemon=True).start()


def answer(conn):
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = conn.recv(4096)
        if not chunk:
            return
        request += chunk
    path = request.split(b" ")[1].decode()
    log("GET " + path)
    if path == "/hang":
        time.sleep(3600)
    if path == "/wpad.dat":
        body = open(script_file, "rb").read()
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n" % len(body) + body)
    else:
        conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
    conn.close()


for address in ("127.0.0.1", "127.0.0.2"):
    threading.Thread(target=serve_dns, args=(address,), daemon=True).start()
serve_http()

# Outside view of the endpoint's records for its tests, with pycryptodome's RC4.
#   decode KEY: stdin holds framed records in hex; prints each record's JSON, one per line.
#   encrypt KEY: stdin holds plain bytes; prints them enciphered, in hex.
import binascii
import json
import sys

from Cryptodome.Cipher import ARC4

mode, key = sys.argv[1], sys.argv[2].encode()
cipher = ARC4.new(key)
if mode == "decode":
    data = binascii.unhexlify(sys.stdin.read().strip())
    while data:
        head, rest = data.split(b"\r\n", 1)
        n = int(head, 16)
        assert head == head.lower() and rest[n:n + 2] == b"\r\n", "bad framing"
        print(json.dumps(json.loads(cipher.decrypt(rest[:n])), separators=(",", ":")))
        data = rest[n + 2:]
else:
    sys.stdout.write(binascii.hexlify(cipher.encrypt(sys.stdin.buffer.read())).decode())

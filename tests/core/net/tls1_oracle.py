# An independent TLS 1.0-1.2 record and key-schedule computation (RFC 2246, 4346, 5246, 5288) for
# the TLS client's tests: one JSON request per input line, one answer per output line ("ok ..." or
# "error ...").
import hashlib
import hmac
import json
import os
import sys
import warnings

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

warnings.filterwarnings("ignore")
try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import ARC4
except ImportError:  # older python3-cryptography
    ARC4 = algorithms.ARC4

# name -> (protection, key bytes, MAC hash)
SUITES = {
    "ecdhe-ecdsa-aes256-gcm-sha384": ("gcm", 32, "sha384"),
    "ecdhe-rsa-aes256-gcm-sha384": ("gcm", 32, "sha384"),
    "ecdhe-ecdsa-aes256-sha384": ("cbc", 32, "sha384"),
    "ecdhe-rsa-aes256-sha384": ("cbc", 32, "sha384"),
    "ecdhe-ecdsa-aes256-sha": ("cbc", 32, "sha1"),
    "ecdhe-rsa-aes256-sha": ("cbc", 32, "sha1"),
    "rsa-aes256-gcm-sha384": ("gcm", 32, "sha384"),
    "rsa-aes256-sha256": ("cbc", 32, "sha256"),
    "rsa-aes256-sha": ("cbc", 32, "sha1"),
    "ecdhe-ecdsa-aes128-gcm-sha256": ("gcm", 16, "sha256"),
    "ecdhe-rsa-aes128-gcm-sha256": ("gcm", 16, "sha256"),
    "ecdhe-ecdsa-aes128-sha256": ("cbc", 16, "sha256"),
    "ecdhe-rsa-aes128-sha256": ("cbc", 16, "sha256"),
    "ecdhe-ecdsa-aes128-sha": ("cbc", 16, "sha1"),
    "ecdhe-rsa-aes128-sha": ("cbc", 16, "sha1"),
    "rsa-aes128-gcm-sha256": ("gcm", 16, "sha256"),
    "rsa-aes128-sha256": ("cbc", 16, "sha256"),
    "rsa-aes128-sha": ("cbc", 16, "sha1"),
    "rc4-sha": ("rc4", 16, "sha1"),
    "rc4-md5": ("rc4", 16, "md5"),
}


def p_hash(name, secret, seed, n):
    out, a = b"", seed
    while len(out) < n:
        a = hmac.new(secret, a, name).digest()
        out += hmac.new(secret, a + seed, name).digest()
    return out[:n]


def prf(version, name, secret, labelseed, n):
    if version < 0x33:
        half = (len(secret) + 1) // 2
        one = p_hash("md5", secret[:half], labelseed, n)
        two = p_hash("sha1", secret[len(secret) - half:], labelseed, n)
        return bytes(x ^ y for x, y in zip(one, two))
    return p_hash(name, secret, labelseed, n)


class Keys:
    def __init__(self, r):
        self.kind, keylen, self.mac = SUITES[r["suite"]]
        self.version = r["version"]
        self.maclen = 0 if self.kind == "gcm" else hashlib.new(self.mac).digest_size
        ivlen = 4 if self.kind == "gcm" else (16 if self.kind == "cbc" and self.version == 0x31 else 0)
        prfhash = "sha384" if self.mac == "sha384" else "sha256"
        cr, sr, ms = (bytes.fromhex(r[k]) for k in ("cr", "sr", "ms"))
        size = 2 * (self.maclen + keylen + ivlen)
        block = prf(self.version, prfhash, ms, b"key expansion" + sr + cr, size)
        self.block = block
        parts = []
        for length in (self.maclen, self.maclen, keylen, keylen, ivlen, ivlen):
            parts.append(block[:length])
            block = block[length:]
        self.cmac, self.smac, self.ckey, self.skey, self.civ, self.siv = parts


def mac(keys, key, seq, typ, minor, content):
    data = seq.to_bytes(8, "big") + bytes([typ, 3, minor]) + len(content).to_bytes(2, "big") + content
    return hmac.new(key, data, keys.mac).digest()


def open_records(r):
    """Decrypts and checks what the client sent, with the client's write keys."""
    k = Keys(r)
    data = bytes.fromhex(r["data"])
    chain, seq, out = k.civ, 0, []
    stream = Cipher(ARC4(k.ckey), None).decryptor() if k.kind == "rc4" else None
    while data:
        typ, minor, length = data[0], data[2], int.from_bytes(data[3:5], "big")
        body, data = data[5:5 + length], data[5 + length:]
        if k.kind == "gcm":
            aad = seq.to_bytes(8, "big") + bytes([typ, 3, minor]) + (length - 24).to_bytes(2, "big")
            plain = AESGCM(k.ckey).decrypt(k.civ + body[:8], body[8:], aad)
        else:
            if k.kind == "rc4":
                inner = stream.update(body)
            elif k.version == 0x31:
                inner = Cipher(algorithms.AES(k.ckey), modes.CBC(chain)).decryptor().update(body)
                chain = body[-16:]
            else:
                inner = Cipher(algorithms.AES(k.ckey), modes.CBC(body[:16])).decryptor().update(body[16:])
            if k.kind == "cbc":
                pad = inner[-1]
                if inner[-1 - pad:] != bytes([pad]) * (pad + 1):
                    return "error padding"
                inner = inner[:-1 - pad]
            plain, tag = inner[:len(inner) - k.maclen], inner[len(inner) - k.maclen:]
            if not hmac.compare_digest(tag, mac(k, k.cmac, seq, typ, minor, plain)):
                return "error mac"
        out.append("%d.%d.%s" % (typ, minor, plain.hex()))
        seq += 1
    return "ok " + " ".join(out)


def seal_records(r):
    """Protects records as the server would, with the server's write keys. Per record: "pads"
    chooses extra padding blocks, "badpad" spoils one padding byte (the MAC stays right)."""
    k = Keys(r)
    minor = r["version"] & 15
    typ = r.get("type", 23)
    chain, seq, out = k.siv, 0, b""
    stream = Cipher(ARC4(k.skey), None).encryptor() if k.kind == "rc4" else None
    for i, text in enumerate(r["plains"]):
        plain = bytes.fromhex(text)
        if k.kind == "gcm":
            explicit = (0x1122334455660000 + seq).to_bytes(8, "big")
            aad = seq.to_bytes(8, "big") + bytes([typ, 3, minor]) + len(plain).to_bytes(2, "big")
            body = explicit + AESGCM(k.skey).encrypt(k.siv + explicit, plain, aad)
        else:
            inner = plain + mac(k, k.smac, seq, typ, minor, plain)
            if k.kind == "rc4":
                body = stream.update(inner)
            else:
                pad = 15 - len(inner) % 16 + 16 * r.get("pads", [0] * len(r["plains"]))[i]
                padding = bytearray([pad] * (pad + 1))
                if r.get("badpad") and pad > 0:
                    padding[0] ^= 1
                inner += bytes(padding)
                if k.version == 0x31:
                    body = Cipher(algorithms.AES(k.skey), modes.CBC(chain)).encryptor().update(inner)
                    chain = body[-16:]
                else:
                    iv = os.urandom(16)
                    body = iv + Cipher(algorithms.AES(k.skey), modes.CBC(iv)).encryptor().update(inner)
        out += bytes([typ, 3, minor]) + len(body).to_bytes(2, "big") + body
        seq += 1
    return "ok " + out.hex()


def answer(r):
    op = r["op"]
    if op == "prf":
        return "ok " + prf(r["version"], r.get("hash", "sha256"), bytes.fromhex(r["secret"]),
                           bytes.fromhex(r["labelseed"]), r["n"]).hex()
    if op == "keyblock":
        return "ok " + Keys(r).block.hex()
    if op == "open":
        return open_records(r)
    if op == "seal":
        return seal_records(r)
    return "error unknown op"


for line in sys.stdin:
    if line.strip():
        try:
            print(answer(json.loads(line)))
        except Exception as e:  # one bad request must not hide the others' answers
            print("error " + type(e).__name__)

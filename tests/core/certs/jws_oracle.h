// Keys, certificates and tokens minted by python3-jwt and python3-cryptography for the JWS and
// JWKS tests: one child process per test program, its "name value" lines kept in a map. Tokens
// written by the code under test go in on standard input ("alg,token" per line) and come back
// judged as "ours_<alg> ok".
#pragma once

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/oracle_process.h"

inline const char* const kJwsMintProgram = R"PY(
import base64, hashlib, sys, datetime, jwt
from cryptography import x509
from cryptography.x509.oid import NameOID
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa, ec
def b64(b): return base64.b64encode(b).decode()
def u64(b): return base64.urlsafe_b64encode(b).rstrip(b'=').decode()
def num(i, size=None):
    return u64(i.to_bytes(size or (i.bit_length() + 7) // 8, 'big'))
def spki(k): return b64(k.public_key().public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo))
out = {}
secret = bytes(range(1, 33))
out['secret'] = b64(secret)
r = rsa.generate_private_key(public_exponent=65537, key_size=2048)
out['rsa_spki'] = spki(r)
out['rsa_n'] = num(r.public_key().public_numbers().n)
out['rsa_e'] = num(r.public_key().public_numbers().e)
curves = {'ES256': (ec.SECP256R1(), 32), 'ES384': (ec.SECP384R1(), 48), 'ES512': (ec.SECP521R1(), 66)}
eck = {}
for alg, (curve, size) in curves.items():
    k = ec.generate_private_key(curve); eck[alg] = k
    p = k.public_key().public_numbers()
    out[alg + '_spki'] = spki(k); out[alg + '_x'] = num(p.x, size); out[alg + '_y'] = num(p.y, size)
def cert(h):
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, 'jws test')])
    now = datetime.datetime(2024, 1, 1)
    c = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(r.public_key())
         .serial_number(7).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=3650)).sign(r, h))
    return c.public_bytes(serialization.Encoding.DER)
c256, c1 = cert(hashes.SHA256()), cert(hashes.SHA1())
out['cert_sha256'] = b64(c256); out['cert_sha1'] = b64(c1)
out['x5t'] = u64(hashlib.sha1(c256).digest()); out['x5tS256'] = u64(hashlib.sha256(c256).digest())
out['x5t_sha1cert'] = u64(hashlib.sha1(c1).digest())
payload = {'iss': 'oracle'}
for alg in ('HS256', 'HS384', 'HS512'): out['tok_' + alg] = jwt.encode(payload, secret, algorithm=alg)
for alg in ('RS256', 'RS384', 'RS512'):
    out['tok_' + alg] = jwt.encode(payload, r, algorithm=alg)
    out['kid_' + alg] = jwt.encode(payload, r, algorithm=alg, headers={'kid': 'rsa-' + alg})
for alg in curves:
    out['tok_' + alg] = jwt.encode(payload, eck[alg], algorithm=alg)
    out['kid_' + alg] = jwt.encode(payload, eck[alg], algorithm=alg, headers={'kid': 'ec-' + alg})
out['x5t_RS256'] = jwt.encode(payload, r, algorithm='RS256', headers={'x5t': out['x5t']})
out['x5tS256_RS256'] = jwt.encode(payload, r, algorithm='RS256', headers={'x5t#S256': out['x5tS256']})
out['x5c_RS256'] = jwt.encode(payload, r, algorithm='RS256', headers={'x5c': [out['cert_sha256']]})
# ES256 in the header, signed on P-384 over SHA-256: R || S of 48 bytes each.
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
head = u64(b'{"alg":"ES256"}') + '.' + u64(b'{"iss":"oracle"}')
rr, ss = decode_dss_signature(eck['ES384'].sign(head.encode(), ec.ECDSA(hashes.SHA256())))
out['es256_on_p384'] = head + '.' + u64(rr.to_bytes(48, 'big') + ss.to_bytes(48, 'big'))
out['kidx5t_RS256'] = jwt.encode(payload, r, algorithm='RS256', headers={'kid': 'nobody', 'x5t': out['x5t']})
# Tokens written by the code under test, checked here: "alg token" per line.
for i, line in enumerate(sys.stdin.read().split()):
    alg, token = line.split(',')
    try:
        ok = jwt.decode(token, secret, algorithms=[alg]) == {'iss': 'ours', 'alg': alg}
    except Exception as e:
        ok = False
    out['ours_' + alg] = 'ok' if ok else 'bad'
for k, v in out.items(): print(k, v)
)PY";

// Empty when python3-jwt is missing or the run failed; the caller skips then.
inline std::map<std::string, std::string> MintJwsOracle(const std::string& ours) {
    std::map<std::string, std::string> values;
    if (system("/usr/bin/python3 -c 'import jwt, cryptography' >/dev/null 2>&1") != 0) return values;
    std::string quoted = "'";
    for (char c : std::string(kJwsMintProgram)) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const auto text = RunOracle("/usr/bin/python3 -W ignore -c " + quoted + "' 2>/dev/null", ours, 120);
    if (!text) return values;
    std::istringstream lines(*text);
    std::string name, value;
    while (lines >> name >> value) values[name] = value;
    return values;
}

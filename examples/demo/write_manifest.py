#!/usr/bin/env python3
# Writes repository/manifest.json for the files in repository/files and prints the two values
# demo.yaml names for it: the remote id (from the content, so that changed files are a new version)
# and the manifest's SHA-256 (metafileDigest). Every file (at most one piece long) is padded to
# a piece of its own, so that each request asks for a whole file: a server that ignores byte
# ranges, such as python3 -m http.server, can serve the repository.
import base64
import hashlib
import json
import os
import sys

PIECE = 512
here = os.path.dirname(os.path.abspath(__file__))
root = os.path.join(here, "repository", "files")
out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "repository", "manifest.json")

names = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)
files, digests, stream = [], [], hashlib.sha1()
for name in names:
    with open(os.path.join(root, name), "rb") as f:
        data = f.read()
    if not 0 < len(data) <= PIECE:
        sys.exit(f"{name}: {len(data)} bytes; each file must hold 1 to {PIECE} bytes")
    files.append({"name": name, "size": len(data), "pad": PIECE - len(data)})
    piece = data + bytes(PIECE - len(data))
    stream.update(piece)
    digests.append(base64.b64encode(hashlib.sha1(piece).digest()).decode())
identifier = "demo-content-" + stream.hexdigest()[:12]
text = json.dumps({"id": identifier, "files": files, "pieces": {"size": PIECE, "digests": digests}},
                  indent=2) + "\n"
with open(out, "w") as f:
    f.write(text)
print(f'remote.id: "{identifier}"')
print(f'metafileDigest: "{hashlib.sha256(text.encode()).hexdigest()}"')

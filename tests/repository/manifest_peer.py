# Writes a content manifest for a small generated tree (SHA-1 of padded 4 MiB pieces, in Base64),
# then reads it back with Python's json and prints the layout a reader must find in it:
#   file <name> <offset> <size> <padding>
#   total <length> <padding>
#   piece <hex digest> <file bytes in the piece>
# Usage: manifest_peer.py <manifest path> <own|list>
import base64
import hashlib
import json
import sys

PIECE = 4194304
path, mode = sys.argv[1], sys.argv[2]

tree = [("a/one.bin", 5000000), ("a/Empty", 0), ("B/two.dat", 123), ("three", PIECE), ("four", 1)]


def content(index, size):
    pattern = bytes((index * 31 + k * 7) % 251 for k in range(251))
    return (pattern * (size // 251 + 1))[:size]


stream = bytearray()
isdata = bytearray()  # 1 for each stream byte that is file data, 0 for padding
files, pads = [], []
for i, (name, size) in enumerate(tree):
    entry = {"name": name, "size": size, "mtime": 1700000000 + i, "offset": 12345}
    stream += content(i, size)
    isdata += bytes([1]) * size
    if mode == "own":
        # Every file padded to the next piece boundary by its own "pad".
        pad = (-size) % PIECE if size else 0
        entry["pad"] = pad
    else:
        # Files packed one after another; one range fills the last piece. An empty file's own
        # "pad" must not count.
        pad = 0
        if size == 0:
            entry["pad"] = 99
    stream += bytes(pad)
    isdata += bytes(pad)
    files.append(entry)
if mode == "list":
    tail = (-len(stream)) % PIECE
    pads.append({"offset": len(stream), "size": tail})
    stream += bytes(tail)
    isdata += bytes(tail)

digests = [base64.b64encode(hashlib.sha1(stream[i:i + PIECE]).digest()).decode()
           for i in range(0, len(stream), PIECE)]
manifest = {"id": "generated-" + mode, "algorithm": "SHA256", "writeAlign": True, "files": files,
            "pieces": {"digests": digests}}
if pads:
    manifest["pad"] = pads
with open(path, "w") as out:
    json.dump(manifest, out)

# The expected layout, computed from the manifest as parsed.
with open(path) as f:
    doc = json.load(f)
size = int(doc["pieces"].get("size", PIECE))
ranges = [(int(r["offset"]), int(r["size"])) for r in doc.get("pad", [])]
offset = length = padding = 0
for f in doc["files"]:
    n = int(f.get("size", 0))
    if not ranges:
        p = int(f.get("pad", 0))
    else:
        p = sum(s for o, s in ranges if n > 0 and o <= offset + n and o + s > offset)
    print("file", f["name"], offset, n, p)
    offset += n + p
    length += n
    padding += p
print("total", length, padding)
# Piece lengths from what the stream was built of, not from the manifest's padding.
for i, d in enumerate(doc["pieces"]["digests"]):
    print("piece", base64.b64decode(d).hex(), isdata[i * size:(i + 1) * size].count(1))

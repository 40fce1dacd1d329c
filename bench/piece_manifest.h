// The manifest a content server publishes for a folder, made by a small Python script: every file
// in sorted order as one stream in pieces, the last one padded, with Base64 SHA-1 digests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

// Writes the manifest of `root` (files in folders below it too) to `out` with the id `id`; the
// script goes to `script`. False when Python fails.
inline bool WritePieceManifest(const std::string& script, const std::string& root, const std::string& out,
                               int64_t pieceSize, const std::string& id) {
    std::ofstream(script)
        << "import base64,hashlib,json,os,sys\n"
           "root,out,size=sys.argv[1],sys.argv[2],int(sys.argv[3])\n"
           "names=sorted(os.path.relpath(os.path.join(d,f),root) for d,_,fs in os.walk(root) for f in fs)\n"
           "files=[{'name':n,'size':os.path.getsize(os.path.join(root,n))} for n in names]\n"
           "d=[];buf=b'';total=0\n"
           "for n in names:\n"
           "  with open(os.path.join(root,n),'rb') as f:\n"
           "    while True:\n"
           "      b=f.read(size-len(buf))\n"
           "      if not b: break\n"
           "      buf+=b;total+=len(b)\n"
           "      if len(buf)==size: d.append(base64.b64encode(hashlib.sha1(buf).digest()).decode());buf=b''\n"
           "tail=(-total)%size\n"
           "if buf: d.append(base64.b64encode(hashlib.sha1(buf+bytes(tail)).digest()).decode())\n"
           "pad=[{'offset':total,'size':tail}] if tail else []\n"
           "json.dump({'id':sys.argv[4],'files':files,'pad':pad,'pieces':{'size':size,'digests':d}},"
           "open(out,'w'))\n";
    const std::string command =
        "/usr/bin/python3 " + script + " " + root + " " + out + " " + std::to_string(pieceSize) + " " + id;
    return system(command.c_str()) == 0;
}

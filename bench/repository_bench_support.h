// What the repository benches share: the manifest a content server publishes for a folder (made by
// a small Python script: every file in sorted order as one stream in pieces, the last one padded,
// with Base64 SHA-1 digests), a JSON text read into a dictionary, and the loop that drives a sync.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_get_pool.h"
#include "repository/repository.h"

// Incompressible bytes, so that no side gains by compression.
inline void Fill(std::string& data, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        memcpy(&data[i], &x, 8);
    }
    for (size_t i = data.size() & ~size_t(7); i < data.size(); i++) data[i] = (char)(x >> (8 * (i & 7)));
}

// Writes the manifest of `root` (files in folders below it too) to `out` with the id `id`; the
// script goes to `script`. With times, each file lists its modification time, as a server's
// manifest of an installation does. False when Python fails.
inline bool WriteRepositoryManifest(const std::string& script, const std::string& root, const std::string& out,
                               int64_t pieceSize, const std::string& id, bool times = false) {
    std::ofstream(script)
        << "import base64,hashlib,json,os,sys\n"
           "root,out,size=sys.argv[1],sys.argv[2],int(sys.argv[3])\n"
           "names=sorted(os.path.relpath(os.path.join(d,f),root) for d,_,fs in os.walk(root) for f in fs)\n"
           "files=[{'name':n,'size':os.path.getsize(os.path.join(root,n))} for n in names]\n"
           "if len(sys.argv)>5:\n"
           "  for f in files: f['mtime']=int(os.path.getmtime(os.path.join(root,f['name'])))\n"
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
        "/usr/bin/python3 " + script + " " + root + " " + out + " " + std::to_string(pieceSize) + " " + id +
        (times ? " times" : "");
    return system(command.c_str()) == 0;
}

// Reads the JSON text into a new dictionary `root`; `object` is its first item's dictionary.
inline bool ToDictionary(const std::string& text, Dictionary** root, Dictionary** object) {
    Dictionary_Create(root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, *root);
    const bool loaded = JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) == 1;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(*root, &item);
    if (item) Dictionary_ItemGetDictionaryHandle(*root, item, object);
    return loaded && *object;
}

// One pass of what the host's loop does for a repository: the events that came while it waited
// are handled before the repository's work, as a repository task's loop handles them.
inline void Pass(Repository* repo) {
    EventQueue_Flush(nullptr);
    WebGetPool_Process();
    NotificationCenter_Process();
    Repository_Process(repo);
    Thread_Wait(1);
}

// Passes until `done` answers true (true) or `seconds` have gone (false).
template <typename Done> bool Pump(Repository* repo, Done done, double seconds) {
    const double end = Time_GetCurrent() + seconds;
    while (Time_GetCurrent() < end) {
        Pass(repo);
        if (done()) return true;
    }
    return false;
}

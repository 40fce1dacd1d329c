// The file storage's record of copies, as a kill, a full disk or anyone with the folder may have
// left it: the input (after a first byte that chooses whether the record starts with its own
// identity, as the storage makes one) is written as the record in a private installation folder that also holds
// the installed file, files of the user's and links out of it. A file storage on the folder then
// reads the record (a piece looked for, a piece read, a copy made and appended to it) and replays
// it once the sync ends, in turns and then at once. Whatever the record says, the installed file,
// what the user put there that the record does not identify, the links and what they lead to
// outside stay as they were, and nothing is left behind by a replay that ended.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/crypto/hash.h"
#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/platform/async_file.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/thread.h"
#include "repository/linux/storage_file_os.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_cleanup.h"
#include "repository/storage_file.h"
#include "repository/storage_request.h"

#include "fuzz/fuzz_folder.h"

namespace {

using namespace fuzz_folder;

// The record's name: the copies' suffix alone, which no manifest can give a file.
const char kRecord[] = ".quarvpartial";
const char kInstalled[] = "0123456789";
const std::string kNew(32, 'n');

std::string g_base, g_root, g_outside;
MetaFile* g_installed = nullptr; // what the folder holds: a.txt
MetaFile* g_next = nullptr;      // the version being installed: a.txt and new.bin

std::string Digest64(const std::string& bytes) {
    uint8_t digest[20];
    Hash_QuickDigest(&SHA1_INTERFACE, bytes.data(), (int32_t)bytes.size(), digest, sizeof(digest));
    char text[64];
    uint32_t written = 0;
    Base64_Encode(digest, 20, text, (int32_t)sizeof(text), &written);
    return std::string(text, written);
}

// Sixteen-byte pieces over files padded to a piece boundary.
MetaFile* Manifest(const char* id, bool withNew) {
    std::string stream = std::string(kInstalled) + std::string(6, '\0');
    std::string files = R"({"name":"a.txt","size":10,"pad":6})";
    if (withNew) {
        stream += kNew;
        files += R"(,{"name":"new.bin","size":32,"pad":0})";
    }
    std::string digests;
    for (size_t at = 0; at < stream.size(); at += 16)
        digests += std::string(digests.empty() ? "" : ",") + "\"" + Digest64(stream.substr(at, 16)) + "\"";
    const std::string text = R"({"id":")" + std::string(id) + R"(","files":[)" + files +
                             R"(],"pieces":{"size":16,"digests":[)" + digests + "]}}";
    MetaFile* meta = nullptr;
    MetaFile_Create(&meta);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
    Require(JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) == 1);
    JSON_Release(&json);
    uint32_t code = 0, codeEx = 0;
    Require(MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx) == 1);
    return meta;
}

void Spit(const std::string& path, const void* bytes, size_t length, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    Require(fd >= 0);
    Require(fchmod(fd, mode) == 0);
    Require(length == 0 || write(fd, bytes, length) == (ssize_t)length);
    close(fd);
}

void Spit(const std::string& path, const std::string& text, mode_t mode = 0644) {
    Spit(path, text.data(), text.size(), mode);
}

struct Identity {
    uint64_t Device = 0, Inode = 0;
};

Identity IdentityOf(const std::string& path) {
    struct stat info;
    Require(lstat(path.c_str(), &info) == 0);
    return Identity{(uint64_t)info.st_dev, (uint64_t)info.st_ino};
}

// Whether any entry of the input (the cut last one too, which a later append ends) could name the
// file `id` by its identity, read more loosely than the storage reads it: a file named here may be
// the record's to judge, one not named never is.
bool Names(const uint8_t* data, size_t size, const Identity& id) {
    for (size_t at = 0; at < size;) {
        const size_t end = std::find(data + at, data + size, 0) - data;
        const std::string entry(reinterpret_cast<const char*>(data) + at, end - at);
        const char* p = entry.c_str();
        unsigned long long numbers[5] = {};
        int count = 0;
        while (count < 5 && *p >= '0' && *p <= '9') {
            numbers[count++] = strtoull(p, const_cast<char**>(&p), 10);
            if (*p != ':') break;
            p++;
        }
        if (count >= 4 && numbers[2] == id.Device && numbers[3] == id.Inode) return true;
        at = end + 1;
    }
    return false;
}

// The folder as each input finds it: the installed file, a user's file listed nowhere, a user's
// file under a copy's name, a copy's name reached by a second name, a user's folder under a copy's
// name, a user's folder holding a file, and links out of the folder under a plain and a copy's name.
void Furnish() {
    Spit(g_root + "a.txt", kInstalled);
    Spit(g_root + "keep.bin", "keep");
    Spit(g_root + "a.txt.quarvpartial", "user's");
    Spit(g_root + "shared.bin.quarvpartial", "shared", 0600);
    Require(link((g_root + "shared.bin.quarvpartial").c_str(), (g_root + "shared.link").c_str()) == 0);
    Require(mkdir((g_root + "box.quarvpartial").c_str(), 0700) == 0);
    Spit(g_root + "box.quarvpartial/f", "boxed", 0600);
    Require(mkdir((g_root + "sub").c_str(), 0700) == 0);
    Spit(g_root + "sub/inner.bin", "inner", 0600);
    Require(symlink(g_outside.c_str(), (g_root + "out").c_str()) == 0);
    Require(symlink((g_outside + "secret").c_str(), (g_root + "link.bin.quarvpartial").c_str()) == 0);
}

void RemoveBase() {
    RemoveFolder(g_base);
}

struct Result {
    bool Done = false;
    uint32_t Code = 0;
};

void OnDone(Storage*, void* user, void*, uint32_t code, uint32_t) {
    Result* r = static_cast<Result*>(user);
    r->Code = code;
    r->Done = true;
}

// Runs the queued completions until the operation has ended; one that never ends is a fault.
uint32_t Wait(Result& r) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!r.Done && std::chrono::steady_clock::now() < deadline) {
        EventQueue_Flush(nullptr);
        if (!r.Done) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    Require(r.Done);
    return r.Code;
}

enum class Step { Exists, Get, Put };

uint32_t Run(Storage* storage, MetaFile* meta, int32_t piece, Step step) {
    StorageRequest* request = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_SetMetaFileHandle(request, meta);
    StorageRequest_IndexAdd(request, piece);
    StorageRequest_Alloc(request);
    if (step == Step::Put) {
        uint8_t* p = nullptr;
        StorageRequest_GetPointer(request, &p);
        memcpy(p, kNew.data(), 16);
        StorageRequest_ReleasePointer(request, &p);
        StorageRequest_SetContentLength(request, 16);
    }
    Result result;
    if (step == Step::Exists) Storage_Exists(storage, request, &result, OnDone);
    else if (step == Step::Get) Storage_Get(storage, request, nullptr, &result, OnDone);
    else Storage_Put(storage, request, &result, OnDone);
    const uint32_t code = Wait(result);
    StorageRequest_Release(&request);
    return code;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Require(Thread_Init() == 1 && Meter_Init() == 1 && EventQueue_Init() == 1 && IOWorker_Init() == 1 &&
            AsyncFile_Init() == 1);
    char pattern[] = "/tmp/storage-record-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr);
    g_base = pattern;
    g_root = g_base + "/root/";
    g_outside = g_base + "/outside/";
    Require(mkdir(g_root.c_str(), 0700) == 0 && mkdir(g_outside.c_str(), 0700) == 0);
    Spit(g_outside + "secret", "secret", 0600);
    atexit(RemoveBase);
    g_installed = Manifest("v1", false);
    g_next = Manifest("v2", true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 14)) return 0;
    EmptyPath(g_root);
    Furnish();
    // The first byte chooses the record's start: with its own identity as its first entry, as the
    // storage makes one, or as the input has it (an earlier version's record, or anything).
    const bool proven = size > 0 && (data[0] & 1);
    if (size > 0) {
        data++;
        size--;
    }
    if (proven) {
        const int fd = open((g_root + kRecord).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        Require(fd >= 0);
        StorageFileOSStatus status{};
        Require(StorageFileOS_StatusOf(fd, &status) == 0);
        if (!status.Birth) StorageFileOS_Mark(fd, &status);
        const std::string head = "record:" + std::to_string(status.Device) + ":" +
                                 std::to_string(status.Inode) + ":" +
                                 std::to_string(StorageFileOS_ProofOf(status)) + std::string(1, '\0');
        Require(write(fd, head.data(), head.size()) == (ssize_t)head.size());
        Require(size == 0 || write(fd, data, size) == (ssize_t)size);
        close(fd);
    } else {
        Spit(g_root + kRecord, data, size, 0600);
    }
    const Identity keep = IdentityOf(g_root + "keep.bin"), userCopy = IdentityOf(g_root + "a.txt.quarvpartial"),
                   inner = IdentityOf(g_root + "sub/inner.bin");

    Storage* storage = nullptr;
    Storage_Create(&storage);
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, "type", "file");
    Dictionary_SetStringByKey(config, "path", g_root.c_str());
    Require(Storage_Configure(storage, nullptr, config, nullptr) == 1);
    Dictionary_Release(&config);

    // The record read: a piece looked for and read (the copy it names, if it is there, is read in
    // place of the file), then a copy made, which the record takes on at its end.
    Run(storage, g_next, 0, Step::Exists);
    Run(storage, g_next, 0, Step::Get);
    const uint32_t put = Run(storage, g_next, 1, Step::Put);
    Require(put == 0);
    Require(OnDisk(g_root + "new.bin.quarvpartial"));

    // The record replayed once the sync of a version without new.bin ends: one record a turn
    // first, then the rest within the usual share of time a call.
    int64_t swept = -1;
    StorageFile_SetReplayBudget(0);
    swept = StorageCleanup_RemoveStrayCopies(storage, g_installed);
    StorageFile_SetReplayBudget(0.1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (swept < 0 && std::chrono::steady_clock::now() < deadline)
        swept = StorageCleanup_RemoveStrayCopies(storage, g_installed);
    Require(swept >= 0);
    Storage_Shutdown(storage);
    Storage_Release(&storage);
    EventQueue_Flush(nullptr);

    // The copy made here is the storage's and goes; the replay leaves no scratch record behind.
    Require(!OnDisk(g_root + "new.bin.quarvpartial"));
    Require(!OnDisk(g_root + ".quarvpartial~"));
    // A record the storage made under a name of its own, where the input proved none, goes with it;
    // unless the input began as a record of ours does (moved, copied, put back): it may have held
    // the installation's state, which is then unknown, so what stays marks it unfinished, and holds
    // nothing but that mark and its repository's.
    Require(!OnDisk(g_root + ".quarvpartial1~"));
    if (OnDisk(g_root + ".quarvpartial1")) {
        Require(!proven && size > 7 && memcmp(data, "record:", 7) == 0 && memchr(data, 0, size));
        const std::string kept = Slurp(g_root + ".quarvpartial1");
        bool unfinished = false;
        for (size_t at = kept.find('\0') + 1, end = 0; at < kept.size(); at = end + 1) {
            end = kept.find('\0', at);
            Require(end != std::string::npos);
            const std::string entry = kept.substr(at, end - at);
            unfinished = unfinished || entry == "unfinished";
            Require(entry == "unfinished" || entry.rfind("owner:", 0) == 0);
        }
        Require(unfinished);
    }
    // What the record cannot own stays as it was.
    Require(Slurp(g_root + "a.txt") == kInstalled);
    Require(Slurp(g_root + "shared.bin.quarvpartial") == "shared" && Slurp(g_root + "shared.link") == "shared");
    Require(Slurp(g_root + "box.quarvpartial/f") == "boxed");
    Require(OnDisk(g_root + "out") && OnDisk(g_root + "link.bin.quarvpartial"));
    Require(Slurp(g_outside + "secret") == "secret" && Count(g_outside) == 1 && Count(g_base) == 2);
    // What it could own only by naming its identity stays unless it does, and is never written to.
    const struct {
        const char* Name;
        const char* Bytes;
        Identity Id;
    } owned[] = {{"keep.bin", "keep", keep},
                 {"a.txt.quarvpartial", "user's", userCopy},
                 {"sub/inner.bin", "inner", inner}};
    for (const auto& file : owned) {
        const std::string bytes = Slurp(g_root + file.Name);
        Require(bytes == file.Bytes || (bytes == "<none>" && Names(data, size, file.Id)));
    }
    return 0;
}

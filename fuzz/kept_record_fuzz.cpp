// The record a repository keeps beside its local manifest ("<manifest>.quarvpartial"), as a kill,
// a torn disk or anyone with the folder may have left it: the input (after two bytes of choices)
// is written as the record, with its own identity as the first entry as the repository makes one,
// or as it is (an earlier version's record, or anything). Beside it stand the manifest, a file of
// the user's, and at names the entries give (as the second byte chooses) a file, a link out of the
// folder, a folder or a file with a second name. The repository then judges what stands at each
// name, may reserve a scratch name in the record, and sweeps and removes the record as a run's end
// does. Whatever the record says: what stands at the record's name unproven stays as it was; a
// file the record does not identify or reserve stays; nothing is ever written through a name, and
// a link, a folder or a file with a second name never goes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "repository/linux/storage_file_os.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"

#include "fuzz/fuzz_folder.h"

namespace {

using namespace fuzz_folder;

const char kManifest[] = "manifest.json";
const char kRecord[] = "manifest.json.quarvpartial";
const char kManifestText[] = "{\"id\":\"v1\"}";

std::string g_base, g_root, g_outside;
Repository* g_repository = nullptr;

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

void RemoveBase() {
    RemoveFolder(g_base);
}

// Whether the disk took a write: a full one (the machine's, not the input's doing) leaves nothing
// to check, and the input is passed over.
bool Took(ssize_t wrote, size_t length) {
    Require(wrote >= 0 || errno == ENOSPC || errno == EDQUOT);
    return wrote == (ssize_t)length;
}

bool Spit(const std::string& path, const std::string& bytes, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && (errno == ENOSPC || errno == EDQUOT)) return false;
    Require(fd >= 0);
    Require(fchmod(fd, mode) == 0);
    const bool took = bytes.empty() || Took(write(fd, bytes.data(), bytes.size()), bytes.size());
    close(fd);
    return took;
}

// The record's first entry for the file open at fd, as the repository makes one.
std::string HeadOf(int fd) {
    StorageFileOSStatus status{};
    Require(StorageFileOS_StatusOf(fd, &status) == 0);
    if (!status.Birth) StorageFileOS_Mark(fd, &status);
    return "record:" + std::to_string(status.Device) + ":" + std::to_string(status.Inode) + ":" +
           std::to_string(StorageFileOS_ProofOf(status)) + std::string(1, '\0');
}

// One entry as read loosely: any text before its first space (numbers read with wrap-around, so
// that one the repository refuses as too large is still counted), the name after it.
struct Loose {
    bool Numbers = false;
    uint64_t Inode = 0;
    std::string Name;
};

std::vector<Loose> Entries(const std::string& record) {
    std::vector<Loose> out;
    for (size_t at = 0; at < record.size();) {
        size_t end = record.find('\0', at);
        if (end == std::string::npos) end = record.size();
        const std::string entry = record.substr(at, end - at);
        const size_t space = entry.find(' ');
        if (space != std::string::npos) {
            Loose e;
            e.Name = entry.substr(space + 1);
            uint64_t numbers[3] = {};
            int i = 0;
            size_t p = 0;
            for (; i < 3 && p < space; i++) {
                if (entry[p] < '0' || entry[p] > '9') break;
                for (; p < space && entry[p] >= '0' && entry[p] <= '9'; p++)
                    numbers[i] = numbers[i] * 10 + (uint64_t)(entry[p] - '0');
                if (i < 2 && (p >= space || entry[p++] != ':')) break;
            }
            e.Numbers = i == 3 && p == space;
            e.Inode = numbers[1];
            out.push_back(e);
        }
        at = end + 1;
    }
    return out;
}

// Whether a record of these bytes, without its first entry, could be taken as an earlier
// version's: nothing, or whole entries that all read as entries (read more loosely than the
// repository reads them). One that could not is never the repository's to change.
bool MayBeEarlier(const std::string& record) {
    if (record.empty()) return true;
    const size_t last = record.rfind('\0');
    if (last == std::string::npos) return false;
    for (size_t at = 0; at <= last;) {
        const size_t end = record.find('\0', at);
        const std::string entry = record.substr(at, end - at);
        if (entry.empty() || entry[0] < '0' || entry[0] > '9' || entry.find(' ') == std::string::npos) return false;
        at = end + 1;
    }
    return true;
}

// Whether an entry could give the repository the file at name: a scratch reservation (inode 0)
// or its own identity.
bool Claimed(const std::vector<Loose>& entries, const std::string& name, uint64_t inode) {
    for (const auto& e : entries)
        if (e.Numbers && e.Name == name && (e.Inode == 0 || e.Inode == inode)) return true;
    return false;
}

enum class Kind { File, Link, Folder, Twin };

struct Placed {
    std::string Name;
    Kind What;
    uint64_t Inode;
};

// Places what the choice gives at a name an entry gives, where nothing stands yet: 1, 0 where
// the name is taken or none of ours, -1 where the disk is full.
int Place(const std::string& name, Kind what, int index) {
    const std::string path = g_root + name;
    if (name.empty() || name.size() > 200 || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos || OnDisk(path))
        return 0;
    switch (what) {
        case Kind::File:
            if (!Spit(path, "other:" + name, 0600)) return -1;
            break;
        case Kind::Link:
            Require(symlink((g_outside + "secret").c_str(), path.c_str()) == 0);
            break;
        case Kind::Folder:
            if (mkdir(path.c_str(), 0700) != 0 && errno == ENOSPC) return -1;
            Require(OnDisk(path));
            if (!Spit(path + "/inner", "inner", 0600)) return -1;
            break;
        case Kind::Twin: {
            const std::string twin = g_outside + "twin" + std::to_string(index);
            if (!Spit(twin, "twin:" + name, 0600)) return -1;
            if (link(twin.c_str(), path.c_str()) != 0 && errno == ENOSPC) return -1;
            Require(OnDisk(path));
            break;
        }
    }
    return 1;
}

uint64_t InodeOf(const std::string& path) {
    struct stat info;
    Require(lstat(path.c_str(), &info) == 0);
    return (uint64_t)info.st_ino;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Require(Thread_Init() == 1 && EventQueue_Init() == 1 && Meter_Init() == 1 && NotificationCenter_Init() == 1);
    char pattern[] = "/tmp/kept-record-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr);
    g_base = pattern;
    g_root = g_base + "/root/";
    g_outside = g_base + "/outside/";
    Require(mkdir(g_root.c_str(), 0700) == 0 && mkdir(g_outside.c_str(), 0700) == 0);
    atexit(RemoveBase);
    Require(Repository_Create(&g_repository) == 1);
    Repository_SetPrintCallback(g_repository, nullptr, Quiet);
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, "repository", "fuzz");
    Dictionary_SetStringByKey(config, "metafile", (g_root + kManifest).c_str());
    Require(Repository_SetConfigDictionaryHandle(g_repository, config) == 1);
    Dictionary_Release(&config);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 14)) return 0;
    const uint8_t how = size > 0 ? data[0] : 0;
    const uint8_t where = size > 1 ? data[1] : 0;
    const std::string input(reinterpret_cast<const char*>(data) + std::min<size_t>(size, 2),
                            size - std::min<size_t>(size, 2));
    EmptyPath(g_root);
    EmptyPath(g_outside);
    if (!Spit(g_outside + "secret", "secret", 0600) || !Spit(g_root + kManifest, kManifestText, 0644) ||
        !Spit(g_root + "keep.bin", "keep", 0600))
        return 0;

    // The record: with its own identity first (bit 0), else the input as it is. Input that
    // happens to begin with the true first entry is proven all the same.
    const int fd = open((g_root + kRecord).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    Require(fd >= 0);
    const std::string head = HeadOf(fd);
    const bool proven = (how & 1) || input.compare(0, head.size(), head) == 0;
    const std::string record = (how & 1) ? head + input : input;
    const bool took = record.empty() || Took(write(fd, record.data(), record.size()), record.size());
    close(fd);
    if (!took) return 0;
    // A record that begins as one of ours does but names another file (moved, copied, put back)
    // may hold the repository's state: it is taken up, its entries those after its first entry.
    const bool moved = !proven && record.compare(0, 7, "record:") == 0 && record.find('\0') != std::string::npos;
    const std::string entriesText =
        proven ? record.substr(head.size()) : moved ? record.substr(record.find('\0') + 1) : record;
    const bool mayBeOurs = proven || moved || MayBeEarlier(record);
    const std::vector<Loose> entries = Entries(entriesText);

    // At the names the entries give, as the second byte chooses, something of another's kind.
    std::vector<Placed> placed;
    for (size_t i = 0; i < entries.size() && placed.size() < 8; i++) {
        if (!(where & (1u << (i % 8)))) continue;
        const Kind what = (Kind)(((how >> 2) + i) % 4);
        const int put = Place(entries[i].Name, what, (int)i);
        if (put < 0) return 0;
        if (put > 0)
            placed.push_back(Placed{entries[i].Name, what, InodeOf(g_root + entries[i].Name)});
    }
    const uint64_t manifestInode = InodeOf(g_root + kManifest), keepInode = InodeOf(g_root + "keep.bin");

    // What stands at each name, as a run judges it before it acts on one.
    for (const auto& p : placed) {
        const int32_t at = Repository_KeptAt(g_repository, p.Name.c_str());
        Require(at == 2 || (at == 1 && mayBeOurs && Claimed(entries, p.Name, p.Inode)));
    }
    if (!OnDisk(g_root + "manifest.json.replaced"))
        Require(Repository_KeptAt(g_repository, "manifest.json.replaced") == 0);

    // A save's scratch reserved (bit 1): appended as a whole entry after the whole ones there,
    // or refused where the record is not the repository's.
    if (how & 2) {
        char scratch[300];
        const int32_t error = Repository_KeptScratch(g_repository, scratch, (int32_t)sizeof(scratch));
        if (!mayBeOurs) Require(error == -2);
        if (error == 0) {
            Require(mayBeOurs && scratch[0] == '.');
            const std::string now = Slurp(g_root + kRecord);
            const std::string entry = std::string("0:0:0 ") + scratch + std::string(1, '\0');
            Require(now.size() >= entry.size() && now.compare(now.size() - entry.size(), entry.size(), entry) == 0);
            const std::string before = now.substr(0, now.size() - entry.size());
            Require(before.empty() || before.back() == '\0');
            if (moved) {
                // A record taken up: one of the repository's own, its whole entries carried over.
                const size_t last = entriesText.rfind('\0');
                const std::string whole = last == std::string::npos ? "" : entriesText.substr(0, last + 1);
                Require(before.compare(0, 7, "record:") == 0 && before.find(whole) != std::string::npos);
            } else {
                Require(record.compare(0, before.size(), before) == 0 || before == record + std::string(1, '\0'));
                Require(before.size() >= (proven ? head.size() : 0));
            }
        }
    }

    // The record's end, as a run's end makes it.
    const int32_t cleared = Repository_KeptClear(g_repository);
    if (cleared == 0 && mayBeOurs) Require(!OnDisk(g_root + kRecord));
    if (!mayBeOurs) Require(Slurp(g_root + kRecord) == record);

    // What the record could not give the repository stays, and nothing is written through a name.
    const std::string manifest = Slurp(g_root + kManifest);
    Require(manifest == kManifestText ||
            (manifest == "<none>" && mayBeOurs && Claimed(entries, kManifest, manifestInode)));
    const std::string keep = Slurp(g_root + "keep.bin");
    Require(keep == "keep" || (keep == "<none>" && mayBeOurs && Claimed(entries, "keep.bin", keepInode)));
    for (size_t i = 0; i < placed.size(); i++) {
        const Placed& p = placed[i];
        const std::string path = g_root + p.Name;
        switch (p.What) {
            case Kind::File: {
                const std::string bytes = Slurp(path);
                Require(bytes == "other:" + p.Name ||
                        (bytes == "<none>" && mayBeOurs && Claimed(entries, p.Name, p.Inode)));
                break;
            }
            case Kind::Link:
                Require(OnDisk(path) && Slurp(path) == "<none>");
                break;
            case Kind::Folder:
                Require(Slurp(path + "/inner") == "inner");
                break;
            case Kind::Twin:
                Require(Slurp(path) == "twin:" + p.Name);
                break;
        }
    }
    Require(Slurp(g_outside + "secret") == "secret");
    int twins = 0;
    for (const auto& p : placed) twins += p.What == Kind::Twin ? 1 : 0;
    Require(Count(g_outside) == 1 + twins);
    return 0;
}

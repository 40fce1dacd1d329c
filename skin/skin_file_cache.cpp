// The contents of a directory skin's small files, kept with inotify watches on the file itself
// (writes through any of its names, attribute changes, removal) and on every folder walked to it
// (names replaced, removed, renamed or added). A look-up drains the notices first: the kernel
// queues them before the changing call returns, so a change that ended before the request came
// cannot be missed. Any notice drops everything kept; a skin folder changes rarely.
#include "skin/skin_file_cache.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "core/runtime/memory.h"

struct SkinFileCacheEntry {
    std::atomic<uint32_t> References;
    uint8_t* Data;
    uint64_t Size;
    double Modified;
    uint64_t LastUse;
};

namespace {

constexpr uint32_t kWatchFolder = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                  IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kWatchFile = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr auto kLockWait = std::chrono::seconds(5);

struct Cache {
    std::mutex Lock;
    int32_t Notices = -1;
    int32_t Root = -1;
    uint64_t Generation = 1;
    uint64_t Clock = 0;
    uint64_t Bytes = 0;
    std::unordered_map<std::string, SkinFileCacheEntry*> Entries;
};

Cache& TheCache() {
    static Cache* cache = new Cache();
    return *cache;
}

void Release(SkinFileCacheEntry* entry) {
    if (!entry || entry->References.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Memory_Free(entry->Data, entry->Size + 1);
    entry->~SkinFileCacheEntry();
    Memory_Free(entry, sizeof(SkinFileCacheEntry));
}

// Under the lock: drops every entry and every watch.
void DropAll(Cache& c) {
    for (auto& [name, entry] : c.Entries) Release(entry);
    c.Entries.clear();
    c.Bytes = 0;
    if (c.Notices >= 0) close(c.Notices);
    c.Notices = -1;
    c.Generation++;
}

// Under the lock: takes the pending notices; any of them drops everything.
void Drain(Cache& c) {
    if (c.Notices < 0) return;
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t n = read(c.Notices, buffer, sizeof(buffer));
        if (n > 0) {
            changed = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EAGAIN: nothing more. Anything else: the notices can no longer be trusted.
        if (n == 0 || errno != EAGAIN) changed = true;
        break;
    }
    if (changed) DropAll(c);
}

// The lock is held only for short steps, so a waiter polls it; one that waits past the bound
// finds it left held and does without the cache.
bool Locked(std::unique_lock<std::mutex>& lock) {
    if (lock.try_lock()) return true;
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

// Under the lock: the root is the one the entries were read below; another drops them.
void UseRoot(Cache& c, int32_t root) {
    if (c.Root != root) {
        DropAll(c);
        c.Root = root;
    }
}

// Under the lock: makes room for `size` more bytes and one more entry by dropping the least
// recently used.
void MakeRoom(Cache& c, uint64_t size) {
    while (!c.Entries.empty() &&
           (c.Bytes + size > SKIN_FILE_CACHE_TOTAL_LIMIT || c.Entries.size() >= SKIN_FILE_CACHE_COUNT_LIMIT)) {
        auto oldest = c.Entries.begin();
        for (auto it = c.Entries.begin(); it != c.Entries.end(); ++it)
            if (it->second->LastUse < oldest->second->LastUse) oldest = it;
        c.Bytes -= oldest->second->Size;
        Release(oldest->second);
        c.Entries.erase(oldest);
    }
}

// The folders walked to the name, as paths through the root's descriptor: the root, then each
// folder segment (empty and "." segments skipped as the walk skips them). False for a name the
// walk refuses.
bool FolderPaths(int32_t root, const char* name, std::string* paths, int32_t capacity, int32_t* count) {
    char base[48];
    snprintf(base, sizeof(base), "/proc/self/fd/%d", (int)root);
    std::string path = base;
    *count = 0;
    paths[(*count)++] = path;
    const char* at = name;
    while (*at) {
        const char* end = at;
        while (*end && *end != '/' && *end != '\\') end++;
        const std::string segment(at, (size_t)(end - at));
        if (!*end) break; // the file itself
        at = end + 1;
        if (segment.empty() || segment == ".") continue;
        if (segment == ".." || *count >= capacity) return false;
        path += '/';
        path += segment;
        paths[(*count)++] = path;
    }
    return true;
}

} // namespace

SkinFileCacheEntry* SkinFileCache_Find(int32_t root, const char* name) {
    Cache& c = TheCache();
    std::unique_lock<std::mutex> lock(c.Lock, std::defer_lock);
    if (!Locked(lock)) return nullptr;
    Drain(c);
    if (c.Root != root) return nullptr;
    auto found = c.Entries.find(name);
    if (found == c.Entries.end()) return nullptr;
    SkinFileCacheEntry* entry = found->second;
    entry->LastUse = ++c.Clock;
    entry->References.fetch_add(1, std::memory_order_relaxed);
    return entry;
}

int64_t SkinFileCache_Watch(int32_t root, const char* name, int32_t descriptor, uint64_t* ticket) {
    *ticket = 0;
    if (root < 0 || descriptor < 0) return 0;
    constexpr int32_t kMaxDepth = 32;
    std::string folders[kMaxDepth];
    int32_t count = 0;
    if (!FolderPaths(root, name, folders, kMaxDepth, &count)) return 0;
    Cache& c = TheCache();
    std::unique_lock<std::mutex> lock(c.Lock, std::defer_lock);
    if (!Locked(lock)) return 0;
    Drain(c);
    UseRoot(c, root);
    if (c.Notices < 0) c.Notices = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (c.Notices < 0) return 0;
    // Outermost first: a folder replaced while the inner ones are being watched is noticed.
    // The root is reached through its descriptor's link, which must be followed; a folder below
    // it never is (the walk does not follow one either).
    for (int32_t i = 0; i < count; i++)
        if (inotify_add_watch(c.Notices, folders[i].c_str(), kWatchFolder | (i > 0 ? IN_DONT_FOLLOW : 0)) < 0)
            return 0;
    char file[48];
    snprintf(file, sizeof(file), "/proc/self/fd/%d", (int)descriptor);
    if (inotify_add_watch(c.Notices, file, kWatchFile) < 0) return 0;
    *ticket = c.Generation;
    return 1;
}

SkinFileCacheEntry* SkinFileCache_Keep(int32_t root, const char* name, int32_t descriptor, uint64_t size,
                                       double modified, uint64_t ticket) {
    if (!ticket || size > SKIN_FILE_CACHE_ENTRY_LIMIT) return nullptr;
    uint8_t* data = static_cast<uint8_t*>(Memory_Alloc(size + 1));
    uint64_t done = 0;
    while (done < size) {
        const ssize_t n = pread(descriptor, data + done, (size_t)(size - done), (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (uint64_t)n;
    }
    // The file must end where its status said: one that grew or shrank is changing now.
    uint8_t probe = 0;
    const bool whole = done == size && pread(descriptor, &probe, 1, (off_t)size) == 0;
    data[size] = 0;
    if (!whole) {
        Memory_Free(data, size + 1);
        return nullptr;
    }
    auto* entry = static_cast<SkinFileCacheEntry*>(Memory_Alloc(sizeof(SkinFileCacheEntry)));
    new (entry) SkinFileCacheEntry{{1}, data, size, modified, 0};
    Cache& c = TheCache();
    std::unique_lock<std::mutex> lock(c.Lock, std::defer_lock);
    if (Locked(lock)) {
        Drain(c);
        // Kept only when nothing changed since the watches began: the bytes read are then the
        // file's bytes as of now.
        if (c.Generation == ticket && c.Root == root) {
            MakeRoom(c, size);
            auto [at, added] = c.Entries.try_emplace(name, entry);
            if (!added) {
                c.Bytes -= at->second->Size;
                Release(at->second);
                at->second = entry;
            }
            entry->LastUse = ++c.Clock;
            entry->References.fetch_add(1, std::memory_order_relaxed);
            c.Bytes += size;
            return entry;
        }
    }
    Release(entry);
    return nullptr;
}

void SkinFileCache_Release(SkinFileCacheEntry** entry) {
    Release(*entry);
    *entry = nullptr;
}

const uint8_t* SkinFileCache_Data(const SkinFileCacheEntry* entry) {
    return entry->Data;
}

uint64_t SkinFileCache_Size(const SkinFileCacheEntry* entry) {
    return entry->Size;
}

double SkinFileCache_Modified(const SkinFileCacheEntry* entry) {
    return entry->Modified;
}

void SkinFileCache_Clear() {
    Cache& c = TheCache();
    std::unique_lock<std::mutex> lock(c.Lock, std::defer_lock);
    if (!Locked(lock)) return;
    DropAll(c);
    c.Root = -1;
}

void SkinFileCache_GetUsage(uint32_t* count, uint64_t* bytes) {
    Cache& c = TheCache();
    std::unique_lock<std::mutex> lock(c.Lock, std::defer_lock);
    *count = 0;
    *bytes = 0;
    if (!Locked(lock)) return;
    Drain(c);
    *count = (uint32_t)c.Entries.size();
    *bytes = c.Bytes;
}

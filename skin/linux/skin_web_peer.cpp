// Client processes of the skin web server, read from /proc: socket owner, start time, ancestry.
#include "skin/linux/skin_web_peer.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_process.h"
#include "core/runtime/debug.h"

int64_t SkinWebPeer_Identify(uint32_t pid, SkinWebPeer* peer) {
    ASSERT_POINTER(peer);
    peer->Pid = pid;
    peer->Start = 0;
    if (pid == 0) return 0;
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    char text[1024];
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = 0;
    // The command name may hold blanks and parentheses: the fields start after its last ')'.
    const char* at = strrchr(text, ')');
    if (!at) return 0;
    at++;
    // The start time is field 22; the text after the name begins with field 3.
    for (int field = 3; field < 22 && at; field++) {
        at = strchr(at + 1, ' ');
    }
    if (!at) return 0;
    unsigned long long start = 0;
    if (sscanf(at, " %llu", &start) != 1) return 0;
    peer->Start = start;
    return 1;
}

namespace {

constexpr int32_t kMaxInodes = 64;
// Descendants looked at before the whole process table is searched.
constexpr int32_t kMaxCandidates = 1024;

// The inodes of the TCP sockets whose local end is address:port; the kernel prints the address
// as its raw 32 bits.
int32_t SocketInodes(uint32_t address, uint32_t port, unsigned long* inodes) {
    FILE* table = fopen("/proc/net/tcp", "re");
    if (!table) return 0;
    int32_t count = 0;
    char line[512];
    while (count < kMaxInodes && fgets(line, sizeof(line), table)) {
        // A line longer than the buffer continues on the next reads: its rest is skipped.
        char rest[128];
        bool whole = strchr(line, '\n') != nullptr;
        while (!whole && fgets(rest, sizeof(rest), table)) whole = strchr(rest, '\n') != nullptr;
        unsigned int local = 0, localPort = 0;
        unsigned long inode = 0;
        if (sscanf(line, " %*u: %8x:%4x %*s %*s %*s %*s %*s %*s %*s %lu", &local, &localPort, &inode) != 3) continue;
        if (inode != 0 && local == address && localPort == port) inodes[count++] = inode;
    }
    fclose(table);
    return count;
}

bool HoldsSocket(uint32_t pid, const unsigned long* inodes, int32_t count) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/fd", pid);
    DIR* directory = opendir(path);
    if (!directory) return false;
    bool found = false;
    while (!found) {
        struct dirent* item = readdir(directory);
        if (!item) break;
        char target[64];
        const ssize_t n = readlinkat(dirfd(directory), item->d_name, target, sizeof(target) - 1);
        if (n <= 0) continue;
        target[n] = 0;
        unsigned long inode = 0;
        char close = 0;
        if (sscanf(target, "socket:[%lu%c", &inode, &close) != 2 || close != ']') continue;
        for (int32_t i = 0; i < count && !found; i++) found = inodes[i] == inode;
    }
    closedir(directory);
    return found;
}

// Appends the children of pid (from every one of its threads) to the list.
void AppendChildren(uint32_t pid, uint32_t* list, int32_t* used) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/task", pid);
    DIR* tasks = opendir(path);
    if (!tasks) return;
    while (struct dirent* task = readdir(tasks)) {
        if (task->d_name[0] < '0' || task->d_name[0] > '9') continue;
        char name[300];
        snprintf(name, sizeof(name), "%s/children", task->d_name);
        const int fd = openat(dirfd(tasks), name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char text[4096];
        const ssize_t n = read(fd, text, sizeof(text) - 1);
        close(fd);
        if (n <= 0) continue;
        text[n] = 0;
        for (char* at = text; *at && *used < kMaxCandidates;) {
            char* end = nullptr;
            const unsigned long child = strtoul(at, &end, 10);
            if (end == at) break;
            if (child) list[(*used)++] = (uint32_t)child;
            at = end;
        }
    }
    closedir(tasks);
}

} // namespace

int64_t SkinWebPeer_FromClientPort(uint32_t address, uint32_t port, int32_t depth, SkinWebPeer* peer) {
    ASSERT_POINTER(peer);
    peer->Pid = 0;
    peer->Start = 0;
    unsigned long inodes[kMaxInodes];
    const int32_t count = SocketInodes(address, port, inodes);
    if (count == 0) return 0;
    // Only this process and its descendants can be admitted: they are searched first, level by
    // level, which is far cheaper than every descriptor of every process.
    uint32_t candidates[kMaxCandidates];
    int32_t used = 0;
    candidates[used++] = Platform_GetCurrentProcessId();
    for (int32_t level = 0, begin = 0; level <= depth && begin < used; level++) {
        const int32_t end = used;
        for (int32_t i = begin; i < end; i++) {
            if (HoldsSocket(candidates[i], inodes, count)) return SkinWebPeer_Identify(candidates[i], peer);
            if (level < depth) AppendChildren(candidates[i], candidates, &used);
        }
        begin = end;
    }
    // Someone else's: the whole table names it, for the refusal and its block.
    uint32_t pid = 0;
    if (!Platform_GetSocketPID(&address, (uint16_t)port, &pid) || pid == 0) return 0;
    return SkinWebPeer_Identify(pid, peer);
}

int64_t SkinWebPeer_Same(const SkinWebPeer* a, const SkinWebPeer* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    return a->Pid != 0 && a->Pid == b->Pid && a->Start == b->Start ? 1 : 0;
}

int64_t SkinWebPeer_IsWithin(uint32_t pid, int32_t depth) {
    const uint32_t self = Platform_GetCurrentProcessId();
    if (pid == self) return 1;
    for (int32_t step = 0; step < depth && pid != 0; step++) {
        pid = Platform_GetParentProcessId(pid);
        if (pid == self) return 1;
    }
    return 0;
}

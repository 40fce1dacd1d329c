// Client processes of the skin web server, read from /proc: socket owner, start time, ancestry.
#include "skin/linux/skin_web_peer.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

// The inodes of the TCP sockets whose local end is address:port, asked of the kernel's socket
// diagnostics; -1 when they cannot be asked. With the server's port the kernel looks up exactly
// that connection. Without it the kernel lists only ends that can still belong to a process:
// every connection closed in the last minute (each script call a page makes is one, as the view
// opens a new connection for every POST) stays in TIME_WAIT, and a look-up through all of them
// would grow slower with every call.
int32_t SocketInodesByDiagnostics(uint32_t address, uint32_t port, uint32_t serverPort,
                                  unsigned long* inodes) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        nlmsghdr Header;
        inet_diag_req_v2 Request;
    } ask{};
    ask.Header.nlmsg_len = sizeof(ask);
    ask.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.Header.nlmsg_flags = NLM_F_REQUEST | (serverPort ? 0 : NLM_F_DUMP);
    ask.Request.sdiag_family = AF_INET;
    ask.Request.sdiag_protocol = IPPROTO_TCP;
    ask.Request.idiag_states = (1u << TCP_ESTABLISHED) | (1u << TCP_SYN_SENT) | (1u << TCP_FIN_WAIT1) |
                               (1u << TCP_FIN_WAIT2) | (1u << TCP_CLOSE_WAIT) | (1u << TCP_LAST_ACK) |
                               (1u << TCP_CLOSING);
    ask.Request.id.idiag_src[0] = address;
    ask.Request.id.idiag_sport = htons((uint16_t)port);
    ask.Request.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
    ask.Request.id.idiag_dport = htons((uint16_t)serverPort);
    ask.Request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.Request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (send(fd, &ask, sizeof(ask), 0) != (ssize_t)sizeof(ask)) {
        close(fd);
        return -1;
    }
    int32_t count = 0;
    alignas(nlmsghdr) char buffer[32768];
    // A single look-up answers one message (or an error when there is no such connection); a
    // listing ends with its own message.
    for (bool done = false; !done;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            count = -1;
            break;
        }
        done = serverPort != 0;
        for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, (uint32_t)n);
             h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                if (!serverPort) count = -1;
                done = true;
                break;
            }
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (found->idiag_inode != 0 && found->id.idiag_src[0] == address &&
                ntohs(found->id.idiag_sport) == port && count < kMaxInodes)
                inodes[count++] = found->idiag_inode;
        }
    }
    close(fd);
    return count;
}

// The same as the diagnostics give them, else from the kernel's text table, which prints the
// address as its raw 32 bits.
int32_t SocketInodes(uint32_t address, uint32_t port, uint32_t serverPort, unsigned long* inodes) {
    if (serverPort) {
        const int32_t exact = SocketInodesByDiagnostics(address, port, serverPort, inodes);
        if (exact > 0) return exact;
    }
    const int32_t asked = SocketInodesByDiagnostics(address, port, 0, inodes);
    if (asked >= 0) return asked;
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

// The descendant that held the last connection found among them. A page's view opens a new
// connection for every script call (a POST is never sent on a kept-alive one), always from the
// same process: asking that one first spares reading every descriptor of this process and of the
// others. Only a hint: whoever holds the socket is still what is returned and judged.
std::atomic<uint32_t> g_LastHolder{0};

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
    return SkinWebPeer_FromConnection(address, port, 0, depth, peer);
}

int64_t SkinWebPeer_FromConnection(uint32_t address, uint32_t port, uint32_t serverPort, int32_t depth,
                                   SkinWebPeer* peer) {
    ASSERT_POINTER(peer);
    peer->Pid = 0;
    peer->Start = 0;
    unsigned long inodes[kMaxInodes];
    const int32_t count = SocketInodes(address, port, serverPort, inodes);
    if (count == 0) return 0;
    const uint32_t last = g_LastHolder.load();
    if (last != 0 && depth > 0 && HoldsSocket(last, inodes, count) && SkinWebPeer_IsWithin(last, depth))
        return SkinWebPeer_Identify(last, peer);
    // Only this process and its descendants can be admitted: they are searched first, level by
    // level, which is far cheaper than every descriptor of every process.
    uint32_t candidates[kMaxCandidates];
    int32_t used = 0;
    candidates[used++] = Platform_GetCurrentProcessId();
    for (int32_t level = 0, begin = 0; level <= depth && begin < used; level++) {
        const int32_t end = used;
        for (int32_t i = begin; i < end; i++) {
            if (HoldsSocket(candidates[i], inodes, count)) {
                if (level > 0) g_LastHolder.store(candidates[i]);
                return SkinWebPeer_Identify(candidates[i], peer);
            }
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

// Client processes of the skin web server, read from /proc: socket owner, start time, ancestry.
//
// A page's view opens a new connection for every script call, so the owner of a client socket is
// looked up once per call on the thread that serves the pages. The steady case is kept to a few
// system calls: the socket diagnostics socket stays open, and the process that held the last
// socket is remembered through descriptors of its own /proc directories, which stay tied to that
// process: once it ends they read as gone, even when its id is taken by another. Its descriptor
// numbers that held the last sockets are tried before all of its descriptors are read.
#include "skin/linux/skin_web_peer.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_process.h"
#include "core/runtime/debug.h"

namespace {

constexpr int32_t kMaxInodes = 64;
// Descendants looked at before the whole process table is searched.
constexpr int32_t kMaxCandidates = 1024;
// Deeper ancestry verdicts kept, and for how long.
constexpr int32_t kMaxVerdicts = 8;
constexpr int32_t kRecentDescriptors = 8;
constexpr int64_t kVerdictLifeNs = 1000000000;
// The kernel answers a diagnostics question at once; a wait this long means it never will.
constexpr int32_t kDiagnosticsWaitMs = 1000;

struct StatFields {
    uint32_t Parent;
    uint64_t Start;
};

// The fields of a /proc/<pid>/stat text that matter here: the parent (field 4) and the start
// time (field 22). The command name (field 2) may hold blanks and parentheses: the fields start
// after its last ')'.
bool ParseStat(const char* text, size_t size, StatFields* out) {
    const char* at = static_cast<const char*>(memrchr(text, ')', size));
    if (!at) return false;
    const char* const end = text + size;
    at++;
    uint64_t parent = 0, start = 0;
    for (int32_t field = 3; field <= 22; field++) {
        if (at >= end || *at != ' ') return false;
        at++;
        if (field != 4 && field != 22) {
            while (at < end && *at != ' ') at++;
            continue;
        }
        const char* const digits = at;
        uint64_t value = 0;
        for (; at < end && *at >= '0' && *at <= '9' && at - digits < 19; at++) value = value * 10 + (uint64_t)(*at - '0');
        if (at == digits || (at < end && *at != ' ' && *at != '\n')) return false;
        (field == 4 ? parent : start) = value;
    }
    if (parent > UINT32_MAX) return false;
    out->Parent = (uint32_t)parent;
    out->Start = start;
    return true;
}

bool ReadStat(int fd, StatFields* out) {
    char text[1024];
    const ssize_t n = pread(fd, text, sizeof(text), 0);
    return n > 0 && ParseStat(text, (size_t)n, out);
}

bool ReadStatOf(uint32_t pid, StatFields* out) {
    if (pid == 0) return false;
    char path[32];
    snprintf(path, sizeof(path), "/proc/%u/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool read = ReadStat(fd, out);
    close(fd);
    return read;
}

int OpenProcess(uint32_t pid) {
    char path[32];
    snprintf(path, sizeof(path), "/proc/%u", pid);
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// The inode a descriptor link "socket:[N]" names; 0 for anything else.
unsigned long SocketInodeOf(const char* link, ssize_t size) {
    constexpr char kPrefix[] = "socket:[";
    constexpr ssize_t kPrefixSize = sizeof(kPrefix) - 1;
    if (size < kPrefixSize + 2 || memcmp(link, kPrefix, kPrefixSize) != 0 || link[size - 1] != ']') return 0;
    unsigned long inode = 0;
    for (ssize_t i = kPrefixSize; i < size - 1; i++) {
        if (link[i] < '0' || link[i] > '9' || i - kPrefixSize >= 19) return 0;
        inode = inode * 10 + (unsigned long)(link[i] - '0');
    }
    return inode;
}

bool IsOneOf(unsigned long inode, const unsigned long* inodes, int32_t count) {
    for (int32_t i = 0; inode != 0 && i < count; i++)
        if (inodes[i] == inode) return true;
    return false;
}

// Whether descriptor fd of the process whose /proc/<pid>/fd directory is open as descriptors is
// one of the sockets.
bool DescriptorHolds(int descriptors, int fd, const unsigned long* inodes, int32_t count) {
    char name[16];
    snprintf(name, sizeof(name), "%d", fd);
    char link[64];
    const ssize_t n = readlinkat(descriptors, name, link, sizeof(link));
    return n > 0 && n < (ssize_t)sizeof(link) && IsOneOf(SocketInodeOf(link, n), inodes, count);
}

// The descriptor of that process that holds one of the sockets; -1 when none does.
int FindDescriptor(int descriptors, const unsigned long* inodes, int32_t count) {
    // A listing of its own: the directory's descriptor may be kept for single look-ups.
    const int list = openat(descriptors, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list < 0) return -1;
    DIR* directory = fdopendir(list);
    if (!directory) {
        close(list);
        return -1;
    }
    int found = -1;
    while (found < 0) {
        struct dirent* item = readdir(directory);
        if (!item) break;
        char link[64];
        const ssize_t n = readlinkat(list, item->d_name, link, sizeof(link));
        if (n <= 0 || n >= (ssize_t)sizeof(link) || !IsOneOf(SocketInodeOf(link, n), inodes, count)) continue;
        found = atoi(item->d_name);
    }
    closedir(directory);
    return found;
}

// The descendant that held the last connection found among them, the verdicts on deeper
// ancestries and the diagnostics socket: one set per thread, so that no lock is needed, and
// opened again in a forked child, which must not share the parent's diagnostics socket.
struct PeerCache {
    uint32_t Owner = 0;
    int Diagnostics = -1;
    uint32_t Sequence = 0;
    // The last holder that descends from this process: only a hint where to look first. Whoever
    // holds the socket is still what is returned and judged.
    SkinWebPeer Holder{};
    int HolderDescriptors = -1; // its /proc/<pid>/fd
    int HolderStat = -1;        // its /proc/<pid>/stat
    // Its descriptor numbers that held the last sockets, the latest at Recent[Latest]. The view's
    // connections come and go in turn through a handful of numbers.
    int Recent[kRecentDescriptors] = {};
    int32_t Latest = 0;
    struct Verdict {
        uint32_t Pid, Parent;
        uint64_t Start;
        int32_t Steps;
        int64_t Until;
    } Verdicts[kMaxVerdicts] = {};
    int32_t NextVerdict = 0;

    void ForgetHolder() {
        if (HolderDescriptors >= 0) close(HolderDescriptors);
        if (HolderStat >= 0) close(HolderStat);
        Holder = SkinWebPeer{};
        HolderDescriptors = HolderStat = -1;
        for (int& fd : Recent) fd = -1;
        Latest = 0;
    }
    void Remember(int fd) {
        if (Recent[Latest] == fd) return;
        Latest = (Latest + 1) % kRecentDescriptors;
        Recent[Latest] = fd;
    }
    void CloseDiagnostics() {
        if (Diagnostics >= 0) close(Diagnostics);
        Diagnostics = -1;
    }
    void Reset() {
        ForgetHolder();
        CloseDiagnostics();
        memset(Verdicts, 0, sizeof(Verdicts));
        NextVerdict = 0;
    }
    ~PeerCache() { Reset(); }
};

thread_local PeerCache t_Cache;

PeerCache& Cache() {
    const uint32_t self = Platform_GetCurrentProcessId();
    if (t_Cache.Owner != self) {
        t_Cache.Reset();
        t_Cache.Owner = self;
    }
    return t_Cache;
}

// The inodes of the TCP sockets whose local end is address:port, asked of the kernel's socket
// diagnostics; -1 when they cannot be asked. With the server's port the kernel looks up exactly
// that connection. Without it the kernel lists only ends that can still belong to a process:
// every connection closed in the last minute (each script call a page makes is one, as the view
// opens a new connection for every POST) stays in TIME_WAIT, and a look-up through all of them
// would grow slower with every call.
int32_t SocketInodesByDiagnostics(PeerCache& cache, uint32_t address, uint32_t port, uint32_t serverPort,
                                  unsigned long* inodes) {
    if (cache.Diagnostics < 0) {
        cache.Diagnostics = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (cache.Diagnostics < 0) return -1;
        const timeval wait{kDiagnosticsWaitMs / 1000, (kDiagnosticsWaitMs % 1000) * 1000};
        setsockopt(cache.Diagnostics, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    }
    struct {
        nlmsghdr Header;
        inet_diag_req_v2 Request;
    } ask{};
    // Answers are told apart by their sequence number: what an earlier, broken exchange left
    // unread is skipped.
    const uint32_t sequence = ++cache.Sequence;
    ask.Header.nlmsg_len = sizeof(ask);
    ask.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.Header.nlmsg_flags = NLM_F_REQUEST | (serverPort ? 0 : NLM_F_DUMP);
    ask.Header.nlmsg_seq = sequence;
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
    if (send(cache.Diagnostics, &ask, sizeof(ask), 0) != (ssize_t)sizeof(ask)) {
        cache.CloseDiagnostics();
        return -1;
    }
    int32_t count = 0;
    alignas(nlmsghdr) char buffer[32768];
    // A single look-up answers one message (or an error when there is no such connection); a
    // listing ends with its own message.
    for (bool done = false; !done;) {
        ssize_t n = recv(cache.Diagnostics, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            cache.CloseDiagnostics();
            return -1;
        }
        for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, (uint32_t)n);
             h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_seq != sequence) continue;
            if (h->nlmsg_type == NLMSG_DONE) {
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                // For one connection "no such socket" is an answer; anything else is not.
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                const bool none = serverPort && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) &&
                                  error->error == -ENOENT;
                if (!none) count = -1;
                done = true;
                break;
            }
            done = serverPort != 0;
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            // Asked for one connection, the kernel falls back to a socket listening on the client's
            // end when the connection is gone: that socket holds no connection and is not taken.
            if (found->idiag_inode != 0 && found->idiag_state != TCP_LISTEN && found->id.idiag_src[0] == address &&
                ntohs(found->id.idiag_sport) == port &&
                (!serverPort || (found->id.idiag_dst[0] == htonl(INADDR_LOOPBACK) &&
                                 ntohs(found->id.idiag_dport) == serverPort)) &&
                count < kMaxInodes)
                inodes[count++] = found->idiag_inode;
        }
    }
    return count;
}

// The same as the diagnostics give them, else from the kernel's text table, which prints the
// addresses as their raw 32 bits. With the server's port only that connection is taken: a client
// end can be shared by connections to different servers (the kernel gives one local port to
// several connections when their far ends differ), and one of them says nothing of who holds
// another. When the kernel has no such connection (it was closed, or the port is not the one it
// reached) the answer is none, never a socket that merely has the same client end.
int32_t SocketInodes(PeerCache& cache, uint32_t address, uint32_t port, uint32_t serverPort,
                     unsigned long* inodes) {
    const int32_t asked = SocketInodesByDiagnostics(cache, address, port, serverPort, inodes);
    if (asked >= 0) return asked;
    FILE* table = fopen("/proc/net/tcp", "re");
    if (!table) return -1;
    int32_t count = 0;
    char line[512];
    while (count < kMaxInodes && fgets(line, sizeof(line), table)) {
        // A line longer than the buffer continues on the next reads: its rest is skipped.
        char rest[128];
        bool whole = strchr(line, '\n') != nullptr;
        while (!whole && fgets(rest, sizeof(rest), table)) whole = strchr(rest, '\n') != nullptr;
        unsigned int local = 0, localPort = 0, remote = 0, remotePort = 0, state = 0;
        unsigned long inode = 0;
        if (sscanf(line, " %*u: %8x:%4x %8x:%4x %2x %*s %*s %*s %*s %*s %lu", &local, &localPort, &remote,
                   &remotePort, &state, &inode) != 6)
            continue;
        if (inode == 0 || state == TCP_LISTEN || local != address || localPort != port) continue;
        if (serverPort && (remote != htonl(INADDR_LOOPBACK) || remotePort != serverPort)) continue;
        inodes[count++] = inode;
    }
    fclose(table);
    return count;
}

// Appends the children of the process (from every one of its threads) to the list.
void AppendChildren(int process, uint32_t* list, int32_t* used) {
    const int tasksFd = openat(process, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasksFd < 0) return;
    DIR* tasks = fdopendir(tasksFd);
    if (!tasks) {
        close(tasksFd);
        return;
    }
    while (struct dirent* task = readdir(tasks)) {
        if (task->d_name[0] < '0' || task->d_name[0] > '9') continue;
        char name[300];
        snprintf(name, sizeof(name), "%s/children", task->d_name);
        const int fd = openat(tasksFd, name, O_RDONLY | O_CLOEXEC);
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

bool Fill(SkinWebPeer* peer, uint32_t pid, const StatFields& stat) {
    peer->Pid = pid;
    peer->Parent = stat.Parent;
    peer->Start = stat.Start;
    return true;
}

// The descriptor of the remembered holder that holds one of the sockets: the predicted one first,
// then the one after the latest, the latest and the others from the oldest; then all of them. -1
// when none does.
int HolderDescriptor(PeerCache& cache, const unsigned long* inodes, int32_t count) {
    const int latest = cache.Recent[cache.Latest];
    if (latest >= 0) {
        // What followed the latest number when it was last met, else the number after it.
        int predicted = latest + 1;
        for (int32_t k = 1; k < kRecentDescriptors; k++) {
            if (cache.Recent[(cache.Latest + kRecentDescriptors - k) % kRecentDescriptors] == latest) {
                predicted = cache.Recent[(cache.Latest + kRecentDescriptors - k + 1) % kRecentDescriptors];
                break;
            }
        }
        if (DescriptorHolds(cache.HolderDescriptors, predicted, inodes, count)) return predicted;
        if (predicted != latest + 1 && DescriptorHolds(cache.HolderDescriptors, latest + 1, inodes, count))
            return latest + 1;
        if (DescriptorHolds(cache.HolderDescriptors, latest, inodes, count)) return latest;
        for (int32_t k = 1; k < kRecentDescriptors; k++) {
            const int fd = cache.Recent[(cache.Latest + k) % kRecentDescriptors];
            if (fd >= 0 && fd != latest && fd != latest + 1 && fd != predicted &&
                DescriptorHolds(cache.HolderDescriptors, fd, inodes, count))
                return fd;
        }
    }
    return FindDescriptor(cache.HolderDescriptors, inodes, count);
}

// The proof behind every answer, taken after the holder was found: the descriptor it was found at
// still holds a socket that the connection still has, and the process is the one first read (its
// start time unchanged; its descriptors are read through its own /proc directory, which never
// leads to another process). Between the first look and this one a socket may have been closed,
// passed on or taken by another connection, and the process may have ended: an answer stands only
// when all of it held throughout. The parent is taken as read now.
bool Confirm(PeerCache& cache, uint32_t address, uint32_t port, uint32_t serverPort, int descriptors, int descriptor,
             int statFd, SkinWebPeer* peer) {
    char name[16];
    snprintf(name, sizeof(name), "%d", descriptor);
    char link[64];
    const ssize_t n = readlinkat(descriptors, name, link, sizeof(link));
    const unsigned long held = n > 0 && n < (ssize_t)sizeof(link) ? SocketInodeOf(link, n) : 0;
    if (held == 0) return false;
    unsigned long inodes[kMaxInodes];
    const int32_t count = SocketInodes(cache, address, port, serverPort, inodes);
    // Without the server's port the client end is all that tells the connection: several sockets
    // with that end are several connections, and which one is meant cannot be told.
    if (count < 1 || (!serverPort && count > 1) || !IsOneOf(held, inodes, count)) return false;
    StatFields stat{};
    if (!ReadStat(statFd, &stat) || stat.Start != peer->Start) return false;
    peer->Parent = stat.Parent;
    return true;
}

// The remembered holder when it holds one of the sockets and lies within depth.
bool FromHolder(PeerCache& cache, uint32_t address, uint32_t port, uint32_t serverPort, const unsigned long* inodes,
                int32_t count, int32_t depth, SkinWebPeer* peer) {
    if (cache.Holder.Pid == 0) return false;
    const int descriptor = HolderDescriptor(cache, inodes, count);
    if (descriptor < 0) return false;
    // Another parent may have taken it over meanwhile: the proof reads its parent again.
    SkinWebPeer found = cache.Holder;
    if (!Confirm(cache, address, port, serverPort, cache.HolderDescriptors, descriptor, cache.HolderStat, &found) ||
        !SkinWebPeer_IsPeerWithin(&found, depth))
        return false;
    cache.Remember(descriptor);
    *peer = found;
    return true;
}

// How one process was found holding the connection: its /proc/<pid>/fd and stat, open, and the
// descriptor number.
struct Found {
    int Descriptors = -1;
    int Stat = -1;
    int Descriptor = -1;
    void Close() {
        if (Descriptors >= 0) close(Descriptors);
        if (Stat >= 0) close(Stat);
        Descriptors = Stat = Descriptor = -1;
    }
};

// Whether the process whose /proc directory is open as `process` holds one of the sockets; its
// directories are kept in `found` when it does. Everything read of it comes through that one
// directory, so that all of it belongs to one process even if its id is taken by another meanwhile.
bool Holds(int process, const unsigned long* inodes, int32_t count, Found* found) {
    found->Descriptors = openat(process, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (found->Descriptors < 0) return false;
    found->Descriptor = FindDescriptor(found->Descriptors, inodes, count);
    if (found->Descriptor >= 0) found->Stat = openat(process, "stat", O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (found->Descriptor >= 0 && found->Stat >= 0) return true;
    found->Close();
    return false;
}

// Identifies the process found holding the connection and proves it; 0 when the proof fails.
bool Answer(PeerCache& cache, uint32_t address, uint32_t port, uint32_t serverPort, uint32_t pid, Found* found,
            SkinWebPeer* peer) {
    StatFields stat{};
    if (!ReadStat(found->Stat, &stat)) return false;
    SkinWebPeer named{pid, stat.Parent, stat.Start};
    if (!Confirm(cache, address, port, serverPort, found->Descriptors, found->Descriptor, found->Stat, &named))
        return false;
    *peer = named;
    return true;
}

// Every process of the machine, for a holder that is not among our descendants: named for the
// refusal and its block.
bool FromEveryProcess(PeerCache& cache, uint32_t address, uint32_t port, uint32_t serverPort,
                      const unsigned long* inodes, int32_t count, SkinWebPeer* peer) {
    DIR* all = opendir("/proc");
    if (!all) return false;
    bool answered = false;
    while (struct dirent* item = readdir(all)) {
        char* end = nullptr;
        const unsigned long pid = strtoul(item->d_name, &end, 10);
        if (item->d_name[0] < '1' || item->d_name[0] > '9' || *end || pid > UINT32_MAX) continue;
        const int process = openat(dirfd(all), item->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (process < 0) continue;
        Found found;
        const bool holds = Holds(process, inodes, count, &found);
        close(process);
        if (!holds) continue;
        answered = Answer(cache, address, port, serverPort, (uint32_t)pid, &found, peer);
        found.Close();
        // The first holder met is named; when its proof fails the connection changed under the
        // look-up, and nobody is.
        break;
    }
    closedir(all);
    return answered;
}

} // namespace

int64_t SkinWebPeer_Identify(uint32_t pid, SkinWebPeer* peer) {
    ASSERT_POINTER(peer);
    *peer = SkinWebPeer{pid, 0, 0};
    StatFields stat{};
    if (!ReadStatOf(pid, &stat)) return 0;
    return Fill(peer, pid, stat) ? 1 : 0;
}

int64_t SkinWebPeer_FromClientPort(uint32_t address, uint32_t port, int32_t depth, SkinWebPeer* peer) {
    return SkinWebPeer_FromConnection(address, port, 0, depth, peer);
}

int64_t SkinWebPeer_FromConnection(uint32_t address, uint32_t port, uint32_t serverPort, int32_t depth,
                                   SkinWebPeer* peer) {
    ASSERT_POINTER(peer);
    *peer = SkinWebPeer{};
    PeerCache& cache = Cache();
    unsigned long inodes[kMaxInodes];
    const int32_t count = SocketInodes(cache, address, port, serverPort, inodes);
    if (count < 1) return 0;
    if (depth > 0 && FromHolder(cache, address, port, serverPort, inodes, count, depth, peer)) return 1;
    // Only this process and its descendants can be admitted: they are searched first, level by
    // level, which is far cheaper than every descriptor of every process.
    uint32_t candidates[kMaxCandidates];
    int32_t used = 0;
    candidates[used++] = Platform_GetCurrentProcessId();
    for (int32_t level = 0, begin = 0; level <= depth && begin < used; level++) {
        const int32_t end = used;
        for (int32_t i = begin; i < end; i++) {
            const int process = OpenProcess(candidates[i]);
            if (process < 0) continue;
            Found found;
            if (Holds(process, inodes, count, &found)) {
                close(process);
                const bool answered = Answer(cache, address, port, serverPort, candidates[i], &found, peer);
                if (answered && level > 0) {
                    cache.ForgetHolder();
                    cache.Holder = *peer;
                    cache.HolderDescriptors = found.Descriptors;
                    cache.HolderStat = found.Stat;
                    cache.Remember(found.Descriptor);
                } else {
                    found.Close();
                }
                return answered ? 1 : 0;
            }
            if (level < depth) AppendChildren(process, candidates, &used);
            close(process);
        }
        begin = end;
    }
    // Someone else's: the whole table names it, for the refusal and its block.
    return FromEveryProcess(cache, address, port, serverPort, inodes, count, peer) ? 1 : 0;
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

int64_t SkinWebPeer_IsPeerWithin(const SkinWebPeer* peer, int32_t depth) {
    ASSERT_POINTER(peer);
    const uint32_t self = Platform_GetCurrentProcessId();
    if (peer->Pid == 0) return 0;
    if (peer->Pid == self) return 1;
    if (depth < 1 || peer->Parent == 0) return 0;
    if (peer->Parent == self) return 1;
    if (depth < 2) return 0;
    // A process keeps its parent while that parent lives, and a parent whose own parent is this
    // process keeps it while this process lives: for two steps the verdict on (id, start time,
    // parent) cannot change. Deeper, a middle process that ends hands its children to another
    // reaper: the verdict is kept only briefly.
    PeerCache& cache = Cache();
    const int64_t now = NowNs();
    for (const auto& v : cache.Verdicts) {
        if (v.Pid == peer->Pid && v.Start == peer->Start && v.Parent == peer->Parent && v.Until > now)
            return v.Steps <= depth ? 1 : 0;
    }
    uint32_t pid = peer->Parent;
    for (int32_t step = 2; step <= depth; step++) {
        StatFields stat{};
        if (!ReadStatOf(pid, &stat) || stat.Parent == 0) return 0;
        pid = stat.Parent;
        if (pid == self) {
            auto& v = cache.Verdicts[cache.NextVerdict];
            cache.NextVerdict = (cache.NextVerdict + 1) % kMaxVerdicts;
            v = {peer->Pid, peer->Parent, peer->Start, step, now + kVerdictLifeNs};
            return 1;
        }
    }
    return 0;
}

// Client processes of the skin web server, read from /proc: socket owner, start time, ancestry.
#include "skin/linux/skin_web_peer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
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

int64_t SkinWebPeer_FromClientPort(uint32_t address, uint32_t port, SkinWebPeer* peer) {
    ASSERT_POINTER(peer);
    peer->Pid = 0;
    peer->Start = 0;
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

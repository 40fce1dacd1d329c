// Ending the other running instances of this program. An instance is recognised by the identity
// of its executable file (device and inode), never by its path: a path test would also end a
// neighbour such as "<dir>/host-updater" beside "<dir>/host", and could be fooled by a renamed
// copy. Only processes of our own user are considered.
#include "skin/linux/skin_app_instances.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "core/linux/platform_process.h"
#include "core/runtime/log.h"

namespace {

// The executable file and the owner of the process; false when the process is gone or hidden.
bool ProcessIdentity(uint32_t pid, struct stat* exe, uid_t* owner) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u", pid);
    struct stat process;
    if (stat(path, &process) != 0) return false;
    snprintf(path, sizeof(path), "/proc/%u/exe", pid);
    if (stat(path, exe) != 0) return false;
    *owner = process.st_uid;
    return true;
}

} // namespace

int32_t SkinApp_KillOtherInstances() {
    struct stat self;
    if (stat("/proc/self/exe", &self) != 0) return 0;
    const uid_t user = geteuid();
    const uint32_t me = (uint32_t)getpid();
    int32_t killed = 0;
    PlatformProcessEntry entry = {};
    PlatformProcessEnumeration* enumeration = nullptr;
    for (int64_t more = Platform_ProcessFindFirst(&entry, &enumeration); more;
         more = Platform_ProcessFindNext(enumeration, &entry)) {
        if (entry.ProcessId == me || entry.ProcessId == 0) continue;
        struct stat exe;
        uid_t owner = 0;
        if (!ProcessIdentity(entry.ProcessId, &exe, &owner)) continue;
        if (owner != user || exe.st_dev != self.st_dev || exe.st_ino != self.st_ino) continue;
        Log_Print(LOG_LEVEL_INFO, "Killing process (%d)\n", (int32_t)entry.ProcessId);
        if (Platform_ProcessForceTerminateById(entry.ProcessId)) killed++;
    }
    if (enumeration) Platform_ProcessFindClose(&enumeration);
    return killed;
}

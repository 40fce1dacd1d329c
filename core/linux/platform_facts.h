// The platform layer's own start and stop, and the machine facts that need more than the common
// system queries: system name and version, disks, display devices, window search and keeping the
// system awake.
#pragma once

#include <cstdint>

struct CriticalSection;
struct PlatformSleepState;

// Alive from Platform_Init to Platform_Remove.
struct GlobalPlatformOSXRecord {
    CriticalSection* Lock;     // serialises certificate evaluations
    PlatformSleepState* Sleep; // sleep prevention, made on first use
};
extern GlobalPlatformOSXRecord* GlobalPlatformOSX;

// Platform_Init and Platform_Remove (declared with the common start) live here: the common
// start first, then this state; removal in reverse.

// "linux"; always true.
int64_t Platform_GetShortName(char* buffer, int32_t size);
// The system's version (os-release "VERSION_ID"), kept after the first successful read; false
// (empty) when there is none.
int64_t Platform_GetVersion(char* buffer, int32_t size);
// The system's name (os-release "NAME"); true when the buffer is not empty.
int64_t Platform_GetName(char* buffer, int32_t size);
// The processor's full model name; empty when the system does not say. Always true.
int64_t Platform_GetCPUDescription(char* buffer, int32_t size);
// The OpenGL version needs a display connection this layer does not hold: false, empty.
int64_t Platform_GetOpenGLVersion(char* buffer, int32_t size);
// The index-th display controller on the PCI bus (in bus order): its model from the PCI id
// list when the system has one, else "pci<vendor>,<device>" in hexadecimal.
int64_t Platform_GetVideoCardType(int32_t index, char* buffer, int32_t size);
// The index-th memory size of the display controllers: a controller that reports its video
// memory counts once, one that does not counts once for each memory range it maps.
int64_t Platform_GetVideoCardMemory(int32_t index, uint64_t* bytes);
// The serial number of the disk holding the path: the USB device's for a disk on USB, else the
// disk's own. True, possibly empty, when the path lies on a block device; false otherwise.
int64_t Platform_GetDiskSerialFromPath(const char* path, char* buffer, int32_t size);
// The image file behind the loop device holding the path; true when there is one.
int64_t Platform_GetDiskImageFromPath(const char* path, char* buffer, int32_t size);
// Window search over the windows this platform lists; there is no window list here, so no
// window is found: the number is 0 and the answer false.
int64_t Platform_FindWindow(const char* titlePattern, const char* ownerPattern, int32_t onScreenOnly,
                            uint32_t* windowNumber);

// Keeps the system from sleeping (idle and requested sleep) until 300 s after the last call with
// on, through an inhibitor lock of the login manager on the system bus; off ends it at once.
// On: the first call answers whether the lock was taken; later calls 1 (0 when the lock, given
// up meanwhile, cannot be taken again). Off: 1. Without a system bus or login manager the
// system offers no such lock: 1, nothing done. 0 before Platform_Init.
int64_t Platform_PreventSystemSleep(int32_t on);

// Sleep messages of Platform_SleepCallBack.
enum : uint32_t {
    PLATFORM_SLEEP_MESSAGE_CAN_SLEEP = 1,  // the system asks whether it may go to sleep when idle
    PLATFORM_SLEEP_MESSAGE_WILL_SLEEP = 2, // the system is about to sleep
};
// The sleep handler: once the deadline has passed, sleep is allowed again (the lock is given
// up); before it, a can-sleep query is refused (the lock is kept). Other messages are ignored.
// Called when the deadline passes; `reference` is the GlobalPlatformOSX record.
void Platform_SleepCallBack(void* reference, uint32_t service, uint32_t messageType, void* messageArgument);

// Linux start and stop of the platform layer's own state, and the machine facts read from
// os-release, /proc and /sys, window search, and sleep prevention through the login manager.
#include "core/linux/platform_facts.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include "core/certs/build_info.h"
#include "core/linux/platform.h"
#include "core/linux/platform_jscore.h"
#include "core/linux/platform_thread.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"

GlobalPlatformOSXRecord* GlobalPlatformOSX = nullptr;

// Sleep prevention. The mutex guards every field; the bus is only used with it held.
struct PlatformSleepState {
    pthread_mutex_t Mutex;
    pthread_cond_t Wake; // on the monotonic clock
    pthread_t Timer;
    bool TimerStarted;
    bool Stop;
    bool Registered;  // the first call with on was made
    bool Unavailable; // no system bus or no login manager: the system offers no lock
    sd_bus* Bus;
    int InhibitFd;            // the inhibitor lock, -1 when none is held
    struct timespec Deadline; // monotonic; zero when none
};

namespace {

constexpr int32_t kPathCapacity = 4096;
constexpr int32_t kMaxPciDevices = 512;
constexpr int32_t kPciNameCapacity = 64;
// Sleep stays refused this long after the last call with on.
constexpr time_t kSleepRefusalSeconds = 300;
// A login manager answers at once; a bus that does not must not hold the caller for long.
constexpr uint64_t kBusCallTimeoutUsec = 5 * 1000 * 1000;

// Copies text cut to fit, never inside a UTF-8 sequence; always terminated.
void CopyText(char* buffer, int32_t size, std::string_view text) {
    if (size < 1) return;
    size_t length = text.size();
    if (length > (size_t)size - 1) {
        length = (size_t)size - 1;
        while (length > 0 && ((uint8_t)text[length] & 0xC0) == 0x80) length--;
    }
    if (length > 0) memcpy(buffer, text.data(), length);
    buffer[length] = 0;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (uint8_t)text.front() <= ' ') text.remove_prefix(1);
    while (!text.empty() && (uint8_t)text.back() <= ' ') text.remove_suffix(1);
    return text;
}

// A small attribute file (sysfs, procfs) as trimmed text; false when it cannot be read.
bool ReadAttribute(const char* path, char* buffer, int32_t size) {
    const int32_t read = Platform_ReadSmallFile(path, buffer, size);
    if (read < 0) return false;
    std::string_view text = Trim(std::string_view(buffer, strnlen(buffer, (size_t)read)));
    memmove(buffer, text.data(), text.size());
    buffer[text.size()] = 0;
    return true;
}

bool ReadNumber(const char* path, int32_t base, uint64_t* value) {
    char text[64];
    if (!ReadAttribute(path, text, sizeof(text)) || !text[0]) return false;
    char* end = nullptr;
    errno = 0;
    *value = strtoull(text, &end, base);
    return errno == 0 && end && *end == 0;
}

bool Exists(const char* path) {
    return access(path, F_OK) == 0;
}

// ---- Display controllers ----------------------------------------------------------------------

constexpr const char* kPciDevices = "/sys/bus/pci/devices";

struct PciList {
    int32_t Count;
    char Names[kMaxPciDevices][kPciNameCapacity];
};

int CompareNames(const void* a, const void* b) {
    return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

// The display controllers (PCI class 0x03) in bus order.
PciList* ListDisplayControllers() {
    PciList* list = static_cast<PciList*>(Memory_AllocZero(sizeof(PciList)));
    DIR* directory = opendir(kPciDevices);
    if (!directory) return list;
    while (struct dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.' || strlen(entry->d_name) >= (size_t)kPciNameCapacity) continue;
        char path[kPathCapacity];
        String_Print(path, sizeof(path), "%s/%s/class", kPciDevices, entry->d_name);
        uint64_t pciClass = 0;
        if (!ReadNumber(path, 16, &pciClass) || (pciClass >> 16) != 0x03) continue;
        if (list->Count == kMaxPciDevices) break;
        strcpy(list->Names[list->Count++], entry->d_name);
    }
    closedir(directory);
    qsort(list->Names, (size_t)list->Count, sizeof(list->Names[0]), CompareNames);
    return list;
}

void FreeList(PciList* list) {
    Memory_Free(list, sizeof(PciList));
}

// "<vendor> <device>" from the system's PCI id list ("vvvv  Vendor" lines, each followed by
// "\tdddd  Device" lines).
bool PciModelName(uint32_t vendor, uint32_t device, char* buffer, int32_t size) {
    FILE* ids = nullptr;
    for (const char* path : {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"})
        if ((ids = fopen(path, "re")) != nullptr) break;
    if (!ids) return false;
    char vendorHex[8], deviceHex[8];
    String_Print(vendorHex, sizeof(vendorHex), "%04x", vendor);
    String_Print(deviceHex, sizeof(deviceHex), "%04x", device);
    char line[1024];
    char vendorName[512] = "";
    bool inVendor = false, found = false;
    while (!found && fgets(line, sizeof(line), ids)) {
        if (line[0] == '#' || line[0] == '\n') continue;
        if (line[0] != '\t') {
            if (inVendor) break;
            if (strncmp(line, vendorHex, 4) == 0 && line[4] == ' ') {
                inVendor = true;
                CopyText(vendorName, sizeof(vendorName), Trim(line + 5));
            }
            continue;
        }
        if (inVendor && line[1] != '\t' && strncmp(line + 1, deviceHex, 4) == 0 && line[5] == ' ') {
            char deviceName[512], model[1100];
            CopyText(deviceName, sizeof(deviceName), Trim(line + 6));
            String_Print(model, sizeof(model), "%s %s", vendorName, deviceName);
            CopyText(buffer, size, model);
            found = true;
        }
    }
    fclose(ids);
    return found;
}

// Calls fn(device directory) for each display controller until it answers true.
template <typename Fn> bool ForEachDisplay(Fn fn) {
    PciList* list = ListDisplayControllers();
    bool done = false;
    for (int32_t i = 0; i < list->Count && !done; i++) {
        char directory[kPathCapacity];
        String_Print(directory, sizeof(directory), "%s/%s", kPciDevices, list->Names[i]);
        done = fn(directory);
    }
    FreeList(list);
    return done;
}

// ---- Disks ------------------------------------------------------------------------------------

// Undoes the octal escapes (\040 for a space) of a mount table field, in place.
void Unescape(char* text) {
    char* out = text;
    for (char* in = text; *in; in++) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' &&
            in[3] <= '7') {
            *out++ = (char)(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
            in += 3;
        } else {
            *out++ = *in;
        }
    }
    *out = 0;
}

// The block device behind a file system without one of its own (btrfs subvolumes, and the like
// that report an anonymous device): the mount table's source of that device's mount.
bool DeviceFromMountTable(dev_t anonymous, dev_t* device) {
    FILE* table = fopen("/proc/self/mountinfo", "re");
    if (!table) return false;
    char* line = nullptr;
    size_t capacity = 0;
    bool found = false;
    char wanted[32];
    String_Print(wanted, sizeof(wanted), "%u:%u", major(anonymous), minor(anonymous));
    while (getline(&line, &capacity, table) > 0) {
        // id parent major:minor root mount-point options [optional...] - type source options
        char* save = nullptr;
        char* token = strtok_r(line, " \n", &save);
        for (int32_t field = 1; token && field < 3; field++) token = strtok_r(nullptr, " \n", &save);
        if (!token || strcmp(token, wanted) != 0) continue;
        while ((token = strtok_r(nullptr, " \n", &save)) && strcmp(token, "-") != 0) {
        }
        char* type = token ? strtok_r(nullptr, " \n", &save) : nullptr;
        char* source = type ? strtok_r(nullptr, " \n", &save) : nullptr;
        if (!source) continue;
        Unescape(source);
        struct stat info;
        // The last mount of the device wins: it is the one that is seen.
        if (strncmp(source, "/dev/", 5) == 0 && stat(source, &info) == 0 && S_ISBLK(info.st_mode)) {
            *device = info.st_rdev;
            found = true;
        }
    }
    free(line);
    fclose(table);
    return found;
}

// The /sys directory of the whole disk that holds the path.
bool DiskDirectoryOf(const char* path, char* directory, int32_t size) {
    struct stat info;
    if (stat(path, &info) != 0) return false;
    dev_t device = info.st_dev;
    if (major(device) == 0 && !DeviceFromMountTable(device, &device)) return false;
    char link[64];
    String_Print(link, sizeof(link), "/sys/dev/block/%u:%u", major(device), minor(device));
    char resolved[PATH_MAX];
    if (!realpath(link, resolved) || strlen(resolved) + 16 > sizeof(resolved)) return false;
    // A partition's directory lies inside its disk's.
    char partition[PATH_MAX + 16];
    String_Print(partition, sizeof(partition), "%s/partition", resolved);
    if (Exists(partition)) {
        char* slash = strrchr(resolved, '/');
        if (!slash || slash == resolved) return false;
        *slash = 0;
    }
    if (strlen(resolved) + 1 > (size_t)size) return false;
    strcpy(directory, resolved);
    return true;
}

// The unit serial number page of a SCSI disk: page code 0x80, a big-endian length, the text.
bool SerialFromVpdPage(const char* path, char* buffer, int32_t size) {
    uint8_t page[512];
    const int32_t read = Platform_ReadSmallFile(path, reinterpret_cast<char*>(page), sizeof(page));
    if (read < 4 || page[1] != 0x80) return false;
    int32_t length = (page[2] << 8) | page[3];
    if (length > read - 4) length = read - 4;
    std::string_view text(reinterpret_cast<const char*>(page + 4), (size_t)length);
    text = Trim(text.substr(0, text.find('\0')));
    CopyText(buffer, size, text);
    return true;
}

// ---- Sleep prevention -------------------------------------------------------------------------

timespec Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

bool HasDeadline(const PlatformSleepState* state) {
    return state->Deadline.tv_sec != 0 || state->Deadline.tv_nsec != 0;
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void ReleaseLock(PlatformSleepState* state) {
    if (state->InhibitFd >= 0) close(state->InhibitFd);
    state->InhibitFd = -1;
}

// Asks the login manager for a blocking lock on idle and requested sleep. A bus without a login
// manager marks the system as one that offers none.
bool TakeLock(PlatformSleepState* state) {
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char why[64];
    String_Print(why, sizeof(why), "System Activity (PID: %d)", (int32_t)getpid());
    int result =
        sd_bus_message_new_method_call(state->Bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    if (result >= 0)
        result = sd_bus_message_append(call, "ssss", "idle:sleep", QVR_BUILD_PRODUCT_NAME, why, "block");
    if (result >= 0) result = sd_bus_call(state->Bus, call, kBusCallTimeoutUsec, &error, &reply);
    int fd = -1;
    if (result >= 0) result = sd_bus_message_read(reply, "h", &fd);
    // The reply owns its descriptor: keep a copy of our own.
    if (result >= 0 && (state->InhibitFd = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) result = -errno;
    if (result < 0) {
        if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
            sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
            state->Unavailable = true;
            Log_Debug("No login manager on the system bus: sleep prevention is not available\n");
        } else {
            Log_Debug("Unable to take the sleep inhibitor lock (%s)\n",
                      error.message ? error.message : strerror(-result));
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return result >= 0 || state->Unavailable;
}

// Waits for the deadline and hands the system's question to the sleep handler when it passes.
void* SleepTimer(void* argument) {
    GlobalPlatformOSXRecord* record = static_cast<GlobalPlatformOSXRecord*>(argument);
    PlatformSleepState* state = record->Sleep;
    // The sleep handler runs here: its crash is reported like any other.
    const PlatformSignalStack signalStack;
    pthread_mutex_lock(&state->Mutex);
    while (!state->Stop) {
        if (HasDeadline(state) && state->InhibitFd >= 0) {
            const timespec deadline = state->Deadline;
            if (pthread_cond_timedwait(&state->Wake, &state->Mutex, &deadline) == ETIMEDOUT) {
                pthread_mutex_unlock(&state->Mutex);
                Platform_SleepCallBack(record, 0, PLATFORM_SLEEP_MESSAGE_CAN_SLEEP, nullptr);
                pthread_mutex_lock(&state->Mutex);
            }
        } else {
            pthread_cond_wait(&state->Wake, &state->Mutex);
        }
    }
    pthread_mutex_unlock(&state->Mutex);
    return nullptr;
}

PlatformSleepState* NewSleepState() {
    PlatformSleepState* state =
        static_cast<PlatformSleepState*>(Memory_AllocZero(sizeof(PlatformSleepState)));
    pthread_mutex_init(&state->Mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&state->Wake, &attributes);
    pthread_condattr_destroy(&attributes);
    state->InhibitFd = -1;
    return state;
}

void DeleteSleepState(PlatformSleepState* state) {
    pthread_mutex_lock(&state->Mutex);
    state->Stop = true;
    pthread_cond_broadcast(&state->Wake);
    pthread_mutex_unlock(&state->Mutex);
    if (state->TimerStarted) pthread_join(state->Timer, nullptr);
    ReleaseLock(state);
    if (state->Bus) sd_bus_flush_close_unref(state->Bus);
    pthread_cond_destroy(&state->Wake);
    pthread_mutex_destroy(&state->Mutex);
    Memory_Free(state, sizeof(PlatformSleepState));
}

} // namespace

// ---- Start and stop ---------------------------------------------------------------------------

int64_t Platform_Init() {
    const int64_t common = Platform_CommonInit();
    if (common != 1 || GlobalPlatformOSX) return common;
    GlobalPlatformOSXRecord* record =
        static_cast<GlobalPlatformOSXRecord*>(Memory_AllocZero(sizeof(GlobalPlatformOSXRecord)));
    CriticalSection_Create(&record->Lock);
    record->Sleep = NewSleepState();
    GlobalPlatformOSX = record;
    PlatformJSCore_Init();
    return common;
}

int64_t Platform_Remove() {
    PlatformJSCore_Remove();
    if (GlobalPlatformOSXRecord* record = GlobalPlatformOSX) {
        // Ends the sleep timer and gives the inhibitor lock back before the state goes.
        DeleteSleepState(record->Sleep);
        CriticalSection_Delete(&record->Lock);
        GlobalPlatformOSX = nullptr;
        Memory_Free(record, sizeof(GlobalPlatformOSXRecord));
    }
    return Platform_CommonRemove();
}

// ---- System ---------------------------------------------------------------------------------

int64_t Platform_GetShortName(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    CopyText(buffer, size, "linux");
    return 1;
}

int64_t Platform_GetVersion(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    static std::mutex cacheLock;
    static char cache[120];
    std::lock_guard<std::mutex> guard(cacheLock);
    // Only a successful read is kept: a failed one is tried again next time.
    if (!cache[0] && !Platform_GetOSVersion(cache, sizeof(cache))) cache[0] = 0;
    CopyText(buffer, size, cache);
    return cache[0] != 0 && size > 0;
}

int64_t Platform_GetName(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    return Platform_GetOSName(buffer, size) && buffer[0] != 0;
}

int64_t Platform_GetCPUDescription(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    char text[16384];
    if (Platform_ReadSmallFile("/proc/cpuinfo", text, sizeof(text)) <= 0) return 1;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && Trim(line.substr(0, colon)) == "model name") {
            CopyText(buffer, size, Trim(line.substr(colon + 1)));
            break;
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return 1;
}

int64_t Platform_GetOpenGLVersion(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    return 0;
}

// ---- Display controllers --------------------------------------------------------------------

int64_t Platform_GetVideoCardType(int32_t index, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (index < 0) return 0;
    int32_t seen = 0;
    return ForEachDisplay([&](const char* directory) {
        char path[kPathCapacity];
        uint64_t vendor = 0, device = 0;
        String_Print(path, sizeof(path), "%s/vendor", directory);
        if (!ReadNumber(path, 16, &vendor)) return false;
        String_Print(path, sizeof(path), "%s/device", directory);
        if (!ReadNumber(path, 16, &device)) return false;
        if (seen++ != index) return false;
        if (!PciModelName((uint32_t)vendor, (uint32_t)device, buffer, size)) {
            char compatible[32];
            String_Print(compatible, sizeof(compatible), "pci%x,%x", (uint32_t)vendor, (uint32_t)device);
            CopyText(buffer, size, compatible);
        }
        return true;
    });
}

int64_t Platform_GetVideoCardMemory(int32_t index, uint64_t* bytes) {
    ASSERT_POINTER(bytes);
    *bytes = 0;
    if (index < 0) return 0;
    int32_t seen = 0;
    return ForEachDisplay([&](const char* directory) {
        char path[kPathCapacity];
        uint64_t total = 0;
        // The driver's own count of the video memory, where it keeps one.
        String_Print(path, sizeof(path), "%s/mem_info_vram_total", directory);
        if (ReadNumber(path, 10, &total) && total > 0) {
            if (seen++ != index) return false;
            *bytes = total;
            return true;
        }
        // Otherwise each memory range the device maps: "start end flags" in hexadecimal.
        String_Print(path, sizeof(path), "%s/resource", directory);
        char text[8192];
        if (Platform_ReadSmallFile(path, text, sizeof(text)) <= 0) return false;
        char* save = nullptr;
        for (char* line = strtok_r(text, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
            unsigned long long start = 0, end = 0, flags = 0;
            if (sscanf(line, "%llx %llx %llx", &start, &end, &flags) != 3) continue;
            // IORESOURCE_MEM: a memory range, not an I/O port range.
            if (!(flags & 0x200) || end <= start) continue;
            if (seen++ != index) continue;
            *bytes = end - start + 1;
            return true;
        }
        return false;
    });
}

// ---- Disks ----------------------------------------------------------------------------------

int64_t Platform_GetDiskSerialFromPath(const char* path, char* buffer, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    char disk[PATH_MAX];
    if (!DiskDirectoryOf(path, disk, sizeof(disk))) return 0;
    char file[PATH_MAX + 32];
    char text[512];
    // A disk on USB is known by its USB device's serial number.
    char ancestor[PATH_MAX];
    strcpy(ancestor, disk);
    while (char* slash = strrchr(ancestor, '/')) {
        String_Print(file, sizeof(file), "%s/idVendor", ancestor);
        if (Exists(file)) {
            String_Print(file, sizeof(file), "%s/serial", ancestor);
            if (ReadAttribute(file, text, sizeof(text))) CopyText(buffer, size, text);
            return 1;
        }
        if (slash == ancestor) break;
        *slash = 0;
    }
    for (const char* name : {"serial", "device/serial"}) {
        String_Print(file, sizeof(file), "%s/%s", disk, name);
        if (ReadAttribute(file, text, sizeof(text)) && text[0]) {
            CopyText(buffer, size, text);
            return 1;
        }
    }
    String_Print(file, sizeof(file), "%s/device/vpd_pg80", disk);
    SerialFromVpdPage(file, buffer, size);
    return 1;
}

int64_t Platform_GetDiskImageFromPath(const char* path, char* buffer, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    char disk[PATH_MAX];
    if (!DiskDirectoryOf(path, disk, sizeof(disk))) return 0;
    char file[PATH_MAX + 32];
    String_Print(file, sizeof(file), "%s/loop/backing_file", disk);
    char image[PATH_MAX];
    if (!ReadAttribute(file, image, sizeof(image)) || !image[0]) return 0;
    // A cut path would name another file.
    if (strlen(image) + 1 > (size_t)size) return 0;
    strcpy(buffer, image);
    return 1;
}

// ---- Windows --------------------------------------------------------------------------------

int64_t Platform_FindWindow(const char*, const char*, int32_t, uint32_t* windowNumber) {
    ASSERT_POINTER(windowNumber);
    *windowNumber = 0;
    return 0;
}

// ---- Sleep prevention -----------------------------------------------------------------------

int64_t Platform_PreventSystemSleep(int32_t on) {
    GlobalPlatformOSXRecord* record = GlobalPlatformOSX;
    if (!record) return 0;
    PlatformSleepState* state = record->Sleep;
    pthread_mutex_lock(&state->Mutex);
    int64_t answer = 1;
    if (!on) {
        // Sleep is allowed again at once.
        state->Deadline = timespec{0, 0};
        ReleaseLock(state);
    } else {
        if (!state->Registered) {
            state->Registered = true;
            const int result = sd_bus_open_system(&state->Bus);
            if (result < 0) {
                state->Bus = nullptr;
                state->Unavailable = true;
                Log_Debug("No system bus: sleep prevention is not available (%s)\n", strerror(-result));
            }
        }
        if (!state->Unavailable) {
            timespec deadline = Now();
            deadline.tv_sec += kSleepRefusalSeconds;
            state->Deadline = deadline;
            if (state->InhibitFd < 0 && !TakeLock(state)) answer = 0;
            if (!state->TimerStarted && !state->Unavailable) {
                state->TimerStarted = pthread_create(&state->Timer, nullptr, SleepTimer, record) == 0;
                if (!state->TimerStarted) Log_Error("Unable to start the sleep prevention timer\n");
            }
        }
    }
    pthread_cond_broadcast(&state->Wake);
    pthread_mutex_unlock(&state->Mutex);
    return answer;
}

void Platform_SleepCallBack(void* reference, uint32_t, uint32_t messageType, void*) {
    GlobalPlatformOSXRecord* record = static_cast<GlobalPlatformOSXRecord*>(reference);
    if (!record || !record->Sleep) return;
    if (messageType != PLATFORM_SLEEP_MESSAGE_CAN_SLEEP && messageType != PLATFORM_SLEEP_MESSAGE_WILL_SLEEP)
        return;
    PlatformSleepState* state = record->Sleep;
    pthread_mutex_lock(&state->Mutex);
    // Before the deadline the lock stays: idle sleep is refused, requested sleep waits for the
    // system's own time-out. After it, sleep is allowed.
    if (!HasDeadline(state) || !Before(Now(), state->Deadline)) ReleaseLock(state);
    pthread_mutex_unlock(&state->Mutex);
}

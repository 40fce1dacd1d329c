// Linux start and stop of the platform layer and its system facts: /proc, sysconf, uname,
// os-release, the dynamic loader, the locale environment and the desktop's settings files.
#include "core/linux/platform_system.h"
#include "core/linux/platform_singleton.h"

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <spawn.h>
#include <mutex>
#include <string_view>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_process.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

extern char** environ;

GlobalPlatformRecord* GlobalPlatform = nullptr;

namespace {

// Bounds of the local path buffers: a library path is resolved into 1024 bytes.
constexpr int32_t kPathCapacity = 1024;

// Copies text cut to fit, never inside a UTF-8 sequence; always terminated.
void CopyText(char* buffer, int32_t size, std::string_view text) {
    if (size < 1) return;
    size_t length = text.size();
    if (length > (size_t)size - 1) {
        length = (size_t)size - 1;
        while (length > 0 && ((uint8_t)text[length] & 0xC0) == 0x80) length--;
    }
    memcpy(buffer, text.data(), length);
    buffer[length] = 0;
}

// Copies text whole; false (empty) when it does not fit, as a cut path names another file.
bool CopyWhole(char* buffer, int32_t size, std::string_view text) {
    if (size < 1) return false;
    if (text.size() > (size_t)size - 1) {
        buffer[0] = 0;
        return false;
    }
    memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = 0;
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Calls fn(line) for each line until it answers true; whether one did.
template <typename Fn> bool ForEachLine(std::string_view text, Fn fn) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (fn(line)) return true;
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return false;
}

// The value of "key<spaces>:<spaces>value" lines, as in /proc/cpuinfo and /proc/meminfo: the first.
bool ColonValue(std::string_view text, std::string_view key, std::string_view* value) {
    return ForEachLine(text, [&](std::string_view line) {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || Trim(line.substr(0, colon)) != key) return false;
        *value = Trim(line.substr(colon + 1));
        return true;
    });
}

// Leading decimal digits; false when there are none or they overflow.
bool LeadingNumber(std::string_view text, int64_t* value) {
    int64_t result = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        if (result > (INT64_MAX - 9) / 10) return false;
        result = result * 10 + (text[i] - '0');
    }
    *value = result;
    return i > 0;
}

// One value of the os-release file (shell-like KEY=value lines, value optionally quoted).
bool OsReleaseValue(const char* key, char* buffer, int32_t size) {
    char file[16384];
    // The file under /usr/lib is the fallback only when /etc has none at all.
    if (Platform_ReadSmallFile("/etc/os-release", file, sizeof(file)) < 0 &&
        Platform_ReadSmallFile("/usr/lib/os-release", file, sizeof(file)) < 0)
        return false;
    char value[512];
    bool found = ForEachLine(file, [&](std::string_view line) {
        line = Trim(line);
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string_view::npos ||
            line.substr(0, equals) != key)
            return false;
        std::string_view raw = line.substr(equals + 1);
        size_t used = 0;
        auto put = [&](char c) {
            if (used < sizeof(value) - 1) value[used++] = c;
        };
        if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) {
            char quote = raw[0];
            for (size_t i = 1; i < raw.size() && raw[i] != quote; i++) {
                // Inside double quotes a backslash takes the next character literally.
                if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) i++;
                put(raw[i]);
            }
        } else {
            for (char c : raw) put(c);
        }
        value[used] = 0;
        return true;
    });
    if (!found || !value[0]) return false;
    CopyText(buffer, size, value);
    return true;
}

bool IsPosixLocale(std::string_view name) {
    return name.empty() || name == "C" || name == "POSIX";
}

// A locale name without its encoding (".UTF-8") and modifier ("@euro").
std::string_view LocaleBase(std::string_view name) {
    return name.substr(0, name.find_first_of(".@"));
}

// The user's chosen message locale: the first set of LC_ALL, LC_MESSAGES and LANG.
bool UserLocale(char* buffer, int32_t size) {
    char value[256];
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (Platform_ReadEnvironmentVariable(variable, value, sizeof(value)) <= 0) continue;
        std::string_view base = LocaleBase(value);
        if (IsPosixLocale(base)) return false;
        CopyText(buffer, size, base);
        return true;
    }
    return false;
}

// Part 0 (language) or 1 (country) of the locale, else of the process's own message locale; the
// POSIX locale counts as en_US, as the C library's messages are American English.
void LocalePart(int32_t part, char* buffer, int32_t size) {
    char locale[128] = "";
    if (UserLocale(locale, sizeof(locale))) {
        std::string_view text = locale;
        size_t underscore = text.find('_');
        if (underscore != std::string_view::npos) {
            std::string_view value = part == 0 ? text.substr(0, underscore) : text.substr(underscore + 1);
            if (!value.empty()) return CopyText(buffer, size, value);
        }
    }
    const char* current = setlocale(LC_MESSAGES, nullptr);
    std::string_view base = LocaleBase(current ? current : "");
    if (IsPosixLocale(base)) base = "en_US";
    size_t underscore = base.find('_');
    if (part == 0) return CopyText(buffer, size, base.substr(0, underscore));
    CopyText(buffer, size,
             underscore == std::string_view::npos ? std::string_view() : base.substr(underscore + 1));
}

// The user's configuration directory ($XDG_CONFIG_HOME, else ~/.config/) with a trailing '/'.
bool ConfigDirectory(char* buffer, int32_t size) {
    const int32_t read = Platform_ReadEnvironmentVariable("XDG_CONFIG_HOME", buffer, size);
    if (read > 0 && size > 0 && buffer[0] == '/') {
        size_t length = (size_t)read;
        if (length + 2 > (size_t)size) return false;
        if (buffer[length - 1] != '/') buffer[length++] = '/';
        buffer[length] = 0;
        return true;
    }
    if (!Platform_GetUserHome(buffer, size)) return false;
    size_t length = strlen(buffer);
    if (length + 9 > (size_t)size) return false;
    memcpy(buffer + length, ".config/", 9);
    return true;
}

// Whether the GTK settings file of the user asks for the dark variant of the theme.
bool GtkPrefersDark() {
    char path[kPathCapacity];
    if (!ConfigDirectory(path, sizeof(path)) || strlen(path) + 8 > sizeof(path)) return false;
    strcat(path, "gtk-3.0");
    // Reached by descriptor: a folder or file another user made or can change (the home in a
    // shared folder) says nothing about this user's taste, and the toolkit is not shown it either.
    int32_t folder = -1, error = 0;
    const char* reason = nullptr;
    if (!Platform_OpenTrustedDirectory(path, &folder, &error, &reason)) return false;
    struct stat info;
    int fd = -1;
    if (fstat(folder, &info) == 0 && !Platform_OthersCanWrite(info.st_mode, info.st_gid))
        fd = openat(folder, "settings.ini", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    close(folder);
    if (fd < 0) return false;
    char file[16384];
    ssize_t used = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_uid == geteuid() || info.st_uid == 0)) {
        // Bounded: only the start of a larger file is looked at.
        while (used < (ssize_t)sizeof(file) - 1) {
            const ssize_t n = read(fd, file + used, sizeof(file) - 1 - (size_t)used);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            used += n;
        }
    }
    close(fd);
    file[used] = 0;
    bool inSettings = false, dark = false;
    ForEachLine(file, [&](std::string_view line) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') return false;
        if (line[0] == '[') {
            inSettings = line == "[Settings]";
            return false;
        }
        size_t equals = line.find('=');
        if (!inSettings || equals == std::string_view::npos ||
            Trim(line.substr(0, equals)) != "gtk-application-prefer-dark-theme")
            return false;
        std::string_view value = Trim(line.substr(equals + 1));
        dark = value == "1" || (value.size() == 4 && strncasecmp(value.data(), "true", 4) == 0);
        return false; // a later line of the same key wins, as in the toolkit
    });
    return dark;
}

// Expands a leading "~" to the home directory and turns '\' into '/'; false when it does not fit.
bool ResolvePath(const char* path, char* buffer, int32_t size) {
    buffer[0] = 0;
    if (path[0] == '~' && (path[1] == 0 || path[1] == '/' || path[1] == '\\')) {
        if (!Platform_GetUserHome(buffer, size)) return false;
        const char* rest = path[1] ? path + 2 : path + 1;
        size_t used = strlen(buffer), length = strlen(rest);
        if (used + length + 1 > (size_t)size) {
            buffer[0] = 0;
            return false;
        }
        memcpy(buffer + used, rest, length + 1);
    } else if (!CopyWhole(buffer, size, path)) {
        return false;
    }
    for (char* p = buffer; *p; p++)
        if (*p == '\\') *p = '/';
    return true;
}

struct ModuleSearch {
    const char* Name;
    const char* MainName; // file name of the running executable
    bool First;
    bool Found;
    bool IsMain;
    char Path[4096];
};

int FindModule(struct dl_phdr_info* info, size_t, void* data) {
    ModuleSearch* search = static_cast<ModuleSearch*>(data);
    bool isMain = search->First;
    search->First = false;
    const char* path = info->dlpi_name ? info->dlpi_name : "";
    const char* slash = strrchr(path, '/');
    const char* name = isMain && !path[0] ? search->MainName : (slash ? slash + 1 : path);
    // Images are listed in load order: the last match is the most recently loaded one.
    if (name[0] && strcmp(name, search->Name) == 0 && strlen(path) < sizeof(search->Path)) {
        search->Found = true;
        search->IsMain = isMain;
        strcpy(search->Path, path);
    }
    return 0;
}

// The loader's handle of an image that is already loaded, without keeping a reference to it.
void* HandleOfLoaded(const char* path) {
    void* handle = path ? dlopen(path, RTLD_LAZY | RTLD_NOLOAD) : dlopen(nullptr, RTLD_LAZY);
    if (handle) dlclose(handle);
    return handle;
}

bool SpecialPath(uint32_t id, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    return Platform_GetSpecialPath(id, buffer, size) != 0;
}

} // namespace

// ---- Start and stop -------------------------------------------------------------------------

namespace {
bool LoadEnvironment();
} // namespace

int64_t Platform_CommonInit() {
    // Programs that keep many files and sockets open need room above the common hard limits;
    // only the hard maximum is raised, and a refusal (not privileged) is no failure.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max <= 9999) {
        limit.rlim_max = 10000;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    // The program's environment is taken now, while the process has one thread: a first use
    // later could read the C library's table beside a toolkit thread's setenv.
    if (!LoadEnvironment()) Log_Error("The process environment could not be copied (%d)\n", ENOMEM);
    // A second start keeps the record it has instead of losing it.
    if (!GlobalPlatform)
        GlobalPlatform = static_cast<GlobalPlatformRecord*>(Memory_AllocZero(sizeof(GlobalPlatformRecord)));

    char name[120] = "", version[120] = "";
    Platform_GetOSName(name, sizeof(name));
    Platform_GetOSVersion(version, sizeof(version));
    int32_t bits = 0, elevated = 0;
    Platform_GetSystemBitness(&bits);
    Platform_IsElevated(&elevated);
    Log_Info("System: %s %s %dbit\n", name, version, bits);
    Log_Info("Elevated: %s\n", elevated ? "true" : "false");
    return 1;
}

int64_t Platform_CommonRemove() {
    if (!GlobalPlatform) return 1;
    // The single-instance marker goes with the platform: a later start must find it free.
    Platform_SingletonEnd();
    Memory_Free(GlobalPlatform, sizeof(GlobalPlatformRecord));
    GlobalPlatform = nullptr;
    return 1;
}

int64_t Platform_GetOSName(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    return OsReleaseValue("NAME", buffer, size);
}

int64_t Platform_GetOSVersion(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    return OsReleaseValue("VERSION_ID", buffer, size);
}

// ---- Machine facts --------------------------------------------------------------------------

int64_t Platform_GetSystemBitness(int32_t* bits) {
    ASSERT_POINTER(bits);
    *bits = 0;
    struct utsname name;
    if (uname(&name) != 0) return 0;
    // A 64-bit program proves a 64-bit system; a 32-bit one asks the kernel's machine name
    // (x86_64, aarch64, ppc64le, mips64, riscv64 ... and s390x, the one without "64").
    bool wide =
        sizeof(void*) == 8 || strstr(name.machine, "64") != nullptr || strcmp(name.machine, "s390x") == 0;
    *bits = wide ? 64 : 32;
    return 1;
}

int64_t Platform_GetSystemMemory(int64_t* bytes) {
    ASSERT_POINTER(bytes);
    *bytes = 0;
    char text[4096];
    std::string_view value;
    int64_t kilobytes = 0;
    if (Platform_ReadSmallFile("/proc/meminfo", text, sizeof(text)) > 0 && ColonValue(text, "MemTotal", &value) &&
        LeadingNumber(value, &kilobytes) && kilobytes > 0 && kilobytes <= INT64_MAX / 1024) {
        *bytes = kilobytes * 1024;
        return 1;
    }
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0 || pages > INT64_MAX / pageSize) return 0;
    *bytes = (int64_t)pages * pageSize;
    return 1;
}

int64_t Platform_GetPageSize(int32_t* bytes) {
    ASSERT_POINTER(bytes);
    *bytes = 0;
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0 || pageSize > INT32_MAX) return 0;
    *bytes = (int32_t)pageSize;
    return 1;
}

int64_t Platform_GetCPUCount(int32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online <= 0 || online > INT32_MAX) return 0;
    *count = (int32_t)online;
    return 1;
}

int64_t Platform_GetCPUSpeed(int32_t* mhz) {
    ASSERT_POINTER(mhz);
    *mhz = 0;
    char text[16384];
    int64_t value = 0;
    // The frequency driver's nominal and highest speeds are in kHz.
    for (const char* path : {"/sys/devices/system/cpu/cpu0/cpufreq/base_frequency",
                             "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"}) {
        if (Platform_ReadSmallFile(path, text, sizeof(text)) > 0 && LeadingNumber(Trim(text), &value) &&
            value / 1000 > 0 && value / 1000 <= INT32_MAX) {
            *mhz = (int32_t)(value / 1000);
            return 1;
        }
    }
    // Without a driver (virtual machines) the processor list states one speed per processor.
    std::string_view speed;
    if (Platform_ReadSmallFile("/proc/cpuinfo", text, sizeof(text)) > 0 && ColonValue(text, "cpu MHz", &speed) &&
        LeadingNumber(speed, &value) && value <= INT32_MAX)
        *mhz = (int32_t)value;
    return 1;
}

int64_t Platform_GetCPUVendor(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    char text[16384];
    std::string_view model;
    if (Platform_ReadSmallFile("/proc/cpuinfo", text, sizeof(text)) <= 0 || !ColonValue(text, "model name", &model))
        return 0;
    size_t cut = model.find(" (");
    if (cut == std::string_view::npos) return 0;
    CopyText(buffer, size, model.substr(0, cut));
    return 1;
}

// No such component on this platform.
int64_t Platform_GetDirectXVersion(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    return 0;
}

// This platform has no register of installed security products: there are no entries.
int64_t Platform_GetAntiVirus(int32_t, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    return 0;
}

int64_t Platform_GetAntiVirusCount(int32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    char name[1024];
    while (Platform_GetAntiVirus(*count, name, sizeof(name))) (*count)++;
    return 1;
}

// ---- User facts -----------------------------------------------------------------------------

int64_t Platform_GetSystemTheme(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 1;
    buffer[0] = 0;
    // The desktop's style value: "Dark" when the theme is forced to its dark variant
    // (GTK_THEME=name:dark) or the user's settings prefer dark; none otherwise.
    const char* style = nullptr;
    char forced[256];
    const int32_t read = Platform_ReadEnvironmentVariable("GTK_THEME", forced, sizeof(forced));
    const char* colon = read >= 0 && read < (int32_t)sizeof(forced) ? strrchr(forced, ':') : nullptr;
    if (colon && strcasecmp(colon + 1, "dark") == 0)
        style = "Dark";
    else if (GtkPrefersDark())
        style = "Dark";
    if (!style) {
        CopyText(buffer, size, "light");
        return 1;
    }
    CopyText(buffer, size, style);
    if (buffer[0] >= 'A' && buffer[0] <= 'Z') buffer[0] = (char)(buffer[0] - 'A' + 'a');
    return 1;
}

int64_t Platform_GetUserName(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    struct passwd entry, *result = nullptr;
    char scratch[16384];
    if (getpwuid_r(geteuid(), &entry, scratch, sizeof(scratch), &result) != 0 || !result ||
        !result->pw_name || !result->pw_name[0])
        return 0;
    CopyText(buffer, size, result->pw_name);
    return 1;
}

int64_t Platform_GetUserLocale(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    return UserLocale(buffer, size);
}

int64_t Platform_GetUserLang(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 1;
    buffer[0] = 0;
    LocalePart(0, buffer, size);
    return 1;
}

int64_t Platform_GetUserCountry(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 1;
    buffer[0] = 0;
    LocalePart(1, buffer, size);
    return 1;
}

int64_t Platform_IsElevated(int32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = getuid() == 0 || geteuid() == 0;
    return 1;
}

// ---- Modules and libraries ------------------------------------------------------------------

void* Platform_GetModuleHandle(const char* name) {
    if (!name || !name[0]) return HandleOfLoaded(nullptr);
    char executable[4096];
    if (!Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, executable, sizeof(executable)))
        executable[0] = 0;
    const char* slash = strrchr(executable, '/');
    ModuleSearch search = {name, slash ? slash + 1 : executable, true, false, false, ""};
    // The loader must not be re-entered while it lists its images: open after the walk.
    dl_iterate_phdr(FindModule, &search);
    if (!search.Found) return nullptr;
    return HandleOfLoaded(search.IsMain && !search.Path[0] ? nullptr : search.Path);
}

void* Platform_GetCurrentModuleHandle() {
    return Platform_GetModuleHandle(nullptr);
}

namespace {

// Counts loads through descriptor names, so that each gets a name of its own.
std::atomic<uint64_t> DescriptorLoads{0};

// Why the open file must not be loaded, or null when it may be.
const char* RefusalOf(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) return "cannot read file status";
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    // A file another user can write could be changed into other code at any time.
    if (info.st_uid != 0 && info.st_uid != geteuid()) return "owned by another user";
    if (info.st_mode & S_IWOTH) return "writable by other users";
    return nullptr;
}

// The loader takes an image whose name (or a name it was once opened under) it already knows
// without opening the file, so "/proc/self/fd/N" of an earlier load would stand for whatever
// that load found. Each load therefore spells the descriptor's path in a way never used before:
// the bits of a counter as "./" (one) and "/" (zero) between "fd/" and the number.
void DescriptorName(int fd, char* name, size_t size) {
    size_t used = (size_t)snprintf(name, size, "/proc/self/fd/");
    for (uint64_t n = DescriptorLoads.fetch_add(1); n && used + 2 < size; n >>= 1) {
        if (n & 1) name[used++] = '.';
        name[used++] = '/';
    }
    snprintf(name + used, size - used, "%d", fd);
}

void* LoadOpenFile(int fd, const char* resolved, int32_t logFailure) {
    char name[256];
    DescriptorName(fd, name, sizeof(name));
    void* handle = dlopen(name, RTLD_LAZY | RTLD_LOCAL);
    if (!handle && logFailure) {
        // The loader names the descriptor; the log names the file.
        const char* reason = dlerror();
        const size_t prefix = strlen(name);
        if (reason && strncmp(reason, name, prefix) == 0)
            Log_Debug("Unable to load library (%s) (%s%s)\n", resolved, resolved, reason + prefix);
        else
            Log_Debug("Unable to load library (%s) (%s)\n", resolved, reason ? reason : "");
    }
    return handle;
}

} // namespace

void* Platform_LoadLibrary(const char* path, int32_t logFailure) {
    ASSERT_POINTER(path);
    auto refuse = [logFailure](const char* shown, const char* reason) -> void* {
        if (logFailure) Log_Debug("Unable to load library (%s) (%s)\n", shown, reason);
        return nullptr;
    };
    // A bare name would be looked up along the loader's search path, a relative one from the
    // working directory: either may find a file other than the one the caller meant.
    if (path[0] != '/' && path[0] != '\\') return refuse(path, "not an absolute path");
    char resolved[kPathCapacity];
    if (!ResolvePath(path, resolved, sizeof(resolved))) return refuse(path, "path too long");
    // The file is opened once and checked and loaded through that descriptor, so that what is
    // loaded is the file that was checked, and no constructor of it runs before the checks. A
    // FIFO must not block the open.
    const int fd = open(resolved, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        char reason[kPathCapacity + 128];
        snprintf(reason, sizeof(reason), "%s: cannot open shared object file: %s", resolved, strerror(errno));
        return refuse(resolved, reason);
    }
    if (const char* refusal = RefusalOf(fd)) {
        close(fd);
        return refuse(resolved, refusal);
    }
    void* handle = LoadOpenFile(fd, resolved, logFailure);
    close(fd);
    return handle;
}

void* Platform_LoadSystemLibrary(const char* path, int32_t logFailure) {
    ASSERT_POINTER(path);
    // System libraries are named for the loader to find along its own search path.
    char resolved[kPathCapacity];
    if (!ResolvePath(path, resolved, sizeof(resolved))) {
        if (logFailure) Log_Debug("Unable to load library (%s) (%s)\n", path, "path too long");
        return nullptr;
    }
    void* handle = dlopen(resolved, RTLD_LAZY | RTLD_LOCAL);
    if (!handle && logFailure) {
        const char* reason = dlerror();
        Log_Debug("Unable to load library (%s) (%s)\n", resolved, reason ? reason : "");
    }
    return handle;
}

int64_t Platform_FreeLibrary(void* handle) {
    return handle && dlclose(handle) == 0;
}

void* Platform_GetProcAddress(void* handle, const char* symbol) {
    ASSERT_POINTER(symbol);
    // A null handle would mean "search everything" to the loader; here it names no library.
    if (!handle) return nullptr;
    return dlsym(handle, symbol);
}

// ---- Directories ----------------------------------------------------------------------------

int64_t Platform_GetAppFilename(char* buffer, int32_t size) {
    return SpecialPath(PLATFORM_PATH_MODULE_APP_PATH, buffer, size);
}

int64_t Platform_GetPlatformDirectory(char* buffer, int32_t size) {
    return SpecialPath(PLATFORM_PATH_SYSTEM_DIRECTORY, buffer, size);
}

int64_t Platform_GetSystemDirectory(char* buffer, int32_t size) {
    return SpecialPath(PLATFORM_PATH_SYSTEM_DIRECTORY, buffer, size);
}

int64_t Platform_GetSystemDrive(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    char system[kPathCapacity];
    if (!SpecialPath(PLATFORM_PATH_SYSTEM_DIRECTORY, system, sizeof(system))) return 0;
    // The system directory cut after its first separator: the root it lives on.
    if (char* slash = strchr(system, '/')) slash[1] = 0;
    return CopyWhole(buffer, size, system);
}

int64_t Platform_GetTempDirectory(char* buffer, int32_t size) {
    return SpecialPath(PLATFORM_PATH_TEMP, buffer, size);
}

int64_t Platform_GetPipeDirectory(char* buffer, int32_t size) {
    return Platform_GetTempDirectory(buffer, size);
}

int64_t Platform_GetCurrentDirectory(char* buffer, int32_t size) {
    return SpecialPath(PLATFORM_PATH_WORKING_DIRECTORY, buffer, size);
}

int64_t Platform_SetCurrentDirectory(const char* path) {
    ASSERT_POINTER(path);
    char resolved[kPathCapacity];
    return ResolvePath(path, resolved, sizeof(resolved)) && chdir(resolved) == 0;
}

int64_t Platform_GetLongPath(const char* path, char* buffer, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    return CopyWhole(buffer, size, path);
}

// ---- Environment and console ----------------------------------------------------------------

// The program keeps its variables in a table of its own, taken from the process environment
// once (at the platform's start, while one thread runs, or at first use). The C library's table
// is never changed or replaced here: the toolkit and other libraries call setenv and unsetenv on
// their own threads under a lock of the C library that we cannot share, and getenv takes none,
// so any change of ours there would race them. The C library and the toolkit thus see the
// environment the process started with plus their own changes; what a page or a workflow sets
// reaches our own reads and every program we launch. Readers get copies under our lock, so a
// replaced entry is freed at once and memory stays bounded however often a variable is set.
// The table is plain heap, outside the tracked allocator: it outlives the memory module's starts
// and stops, and must be freeable whichever mode that module is in.
namespace {

// The kernel refuses an exec with one environment text past 32 pages; and a megabyte of our own
// additions past the start-up environment leaves room for arguments under the usual exec limit.
// Both keep every launch possible whatever a page sets.
constexpr size_t kEntryLimit = 32 * 4096;
constexpr size_t kGrowthLimit = 1 << 20;

struct EnvironmentTable {
    std::mutex Lock;
    bool Loaded = false;
    char** Entries = nullptr; // "name=value" texts, each a block of its own
    size_t Count = 0;
    size_t Capacity = 0;
    size_t Bytes = 0; // of the texts, terminators included
    size_t Limit = 0; // Bytes may not pass it: the start-up size plus kGrowthLimit
};

constinit EnvironmentTable g_environment;

bool IsVariableName(const char* name) { return name[0] != 0 && strchr(name, '=') == nullptr; }

bool IsEntryOf(const char* entry, const char* name, size_t length) {
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// Copies the process environment once; the lock is held. False (nothing kept) when memory is short.
bool LoadLocked(EnvironmentTable* table) {
    if (table->Loaded) return true;
    size_t count = 0;
    for (char** at = environ; at && *at; at++) count++;
    const size_t capacity = count + 16;
    char** entries = static_cast<char**>(malloc(capacity * sizeof(char*)));
    if (!entries) return false;
    size_t bytes = 0;
    for (size_t i = 0; i < count; i++) {
        const size_t size = strlen(environ[i]) + 1;
        entries[i] = static_cast<char*>(malloc(size));
        if (!entries[i]) {
            while (i > 0) free(entries[--i]);
            free(entries);
            return false;
        }
        memcpy(entries[i], environ[i], size);
        bytes += size;
    }
    table->Entries = entries;
    table->Count = count;
    table->Capacity = capacity;
    table->Bytes = bytes;
    table->Limit = bytes + kGrowthLimit;
    table->Loaded = true;
    return true;
}

// Removes every entry of the name from `from` on, keeping the order; the lock is held.
void RemoveLocked(EnvironmentTable* table, const char* name, size_t length, size_t from) {
    size_t kept = from;
    for (size_t i = from; i < table->Count; i++) {
        char* entry = table->Entries[i];
        if (IsEntryOf(entry, name, length)) {
            table->Bytes -= strlen(entry) + 1;
            free(entry);
        } else {
            table->Entries[kept++] = entry;
        }
    }
    table->Count = kept;
}

} // namespace

namespace {

bool LoadEnvironment() {
    std::lock_guard<std::mutex> hold(g_environment.Lock);
    return LoadLocked(&g_environment);
}

} // namespace

int32_t Platform_ReadEnvironmentVariable(const char* name, char* buffer, int32_t size) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (!IsVariableName(name)) return -1;
    const size_t length = strlen(name);
    std::lock_guard<std::mutex> hold(g_environment.Lock);
    if (!LoadLocked(&g_environment)) return -1;
    for (size_t i = 0; i < g_environment.Count; i++) {
        const char* entry = g_environment.Entries[i];
        if (!IsEntryOf(entry, name, length)) continue;
        const char* value = entry + length + 1;
        const size_t valueLength = strlen(value); // under kEntryLimit, or from the start-up environment
        if (size > 0) {
            const size_t copied = valueLength < (size_t)size ? valueLength : (size_t)size - 1;
            memcpy(buffer, value, copied);
            buffer[copied] = 0;
        }
        return valueLength > (size_t)INT32_MAX ? INT32_MAX : (int32_t)valueLength;
    }
    return -1;
}

char** Platform_CopyEnvironment(int32_t* bytes) {
    ASSERT_POINTER(bytes);
    *bytes = 0;
    std::lock_guard<std::mutex> hold(g_environment.Lock);
    if (!LoadLocked(&g_environment)) {
        errno = ENOMEM;
        return nullptr;
    }
    const size_t tableBytes = (g_environment.Count + 1) * sizeof(char*);
    const size_t total = tableBytes + g_environment.Bytes;
    if (total > (size_t)INT32_MAX / 2) {
        errno = E2BIG;
        return nullptr;
    }
    char** copy = static_cast<char**>(Memory_Alloc(total));
    char* text = reinterpret_cast<char*>(copy) + tableBytes;
    for (size_t i = 0; i < g_environment.Count; i++) {
        const size_t size = strlen(g_environment.Entries[i]) + 1;
        memcpy(text, g_environment.Entries[i], size);
        copy[i] = text;
        text += size;
    }
    copy[g_environment.Count] = nullptr;
    *bytes = (int32_t)total;
    return copy;
}

int64_t Platform_SetEnvironmentVariable(const char* name, const char* value) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (!IsVariableName(name)) {
        errno = EINVAL;
        return 0;
    }
    const size_t nameLength = strlen(name), valueLength = strlen(value);
    const size_t size = nameLength + valueLength + 2;
    if (size > kEntryLimit) {
        errno = E2BIG;
        return 0;
    }
    char* entry = static_cast<char*>(malloc(size));
    if (!entry) {
        errno = ENOMEM;
        return 0;
    }
    memcpy(entry, name, nameLength);
    entry[nameLength] = '=';
    memcpy(entry + nameLength + 1, value, valueLength + 1);

    std::unique_lock<std::mutex> hold(g_environment.Lock);
    EnvironmentTable* table = &g_environment;
    int error = 0;
    if (!LoadLocked(table)) error = ENOMEM;
    size_t at = table->Count;
    for (size_t i = 0; !error && i < table->Count; i++)
        if (IsEntryOf(table->Entries[i], name, nameLength)) {
            at = i;
            break;
        }
    const size_t replaced = !error && at < table->Count ? strlen(table->Entries[at]) + 1 : 0;
    if (!error && table->Bytes - replaced + size > table->Limit) error = E2BIG;
    if (!error && at == table->Count && table->Count + 1 >= table->Capacity) {
        const size_t capacity = table->Capacity * 2;
        char** grown = static_cast<char**>(realloc(table->Entries, capacity * sizeof(char*)));
        if (grown) {
            table->Entries = grown;
            table->Capacity = capacity;
        } else {
            error = ENOMEM;
        }
    }
    if (error) {
        hold.unlock();
        free(entry);
        errno = error;
        return 0;
    }
    char* old = nullptr;
    if (at < table->Count) {
        old = table->Entries[at];
        table->Entries[at] = entry;
        table->Bytes -= replaced;
        // A start-up environment may name a variable twice; the first is the one that is read.
        RemoveLocked(table, name, nameLength, at + 1);
    } else {
        table->Entries[table->Count++] = entry;
    }
    table->Bytes += size;
    hold.unlock();
    free(old);
    return 1;
}

int64_t Platform_UnsetEnvironmentVariable(const char* name) {
    ASSERT_POINTER(name);
    if (!IsVariableName(name)) {
        errno = EINVAL;
        return 0;
    }
    std::lock_guard<std::mutex> hold(g_environment.Lock);
    if (!LoadLocked(&g_environment)) {
        errno = ENOMEM;
        return 0;
    }
    RemoveLocked(&g_environment, name, strlen(name), 0);
    return 1;
}

// Privileges come with the user the process runs as; there is nothing to switch on.
int64_t Platform_EnablePrivilege(int32_t) {
    return 1;
}

// Desktop shortcuts are not supported on this platform.
int64_t Platform_CreateShortcut(const char*, const char*, int32_t, const char*, const char*, const char*,
                                int32_t) {
    return 0;
}

int64_t Platform_RemoveShortcut(const char*, const char*) {
    return 0;
}

int64_t Platform_Reboot() {
    // The service manager stops the services in order and checks that the caller may reboot;
    // posix_spawn runs nothing of ours in the child. It is taken from its fixed place, never
    // from a PATH someone else may have set, and gets no descriptor beyond the standard ones.
    char program[] = "/usr/bin/systemctl", verb[] = "reboot";
    char* arguments[] = {program, verb, nullptr};
    int32_t environmentBytes = 0;
    char** environment = Platform_CopyEnvironment(&environmentBytes);
    if (!environment) return 0;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (!Platform_InitSpawnSignals(&attributes)) {
        Memory_Free(environment, environmentBytes);
        return 0;
    }
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        Memory_Free(environment, environmentBytes);
        return 0;
    }
    pid_t child = 0;
    const bool spawned = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                         posix_spawn(&child, program, &actions, &attributes, arguments, environment) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    Memory_Free(environment, environmentBytes);
    if (!spawned) return 0;
    int status = 0;
    pid_t done;
    do done = waitpid(child, &status, 0);
    while (done < 0 && errno == EINTR);
    return done == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Linux half of the platform layer used by the core: atomics, random bytes, sleep, standard
// streams, special directories (XDG), module facts and raw file descriptors.
#include "core/linux/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <dlfcn.h>
#include <link.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "core/certs/executable.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"

namespace {

// Copies text into a caller buffer, always terminated; false when it had to cut.
bool CopyOut(char* buffer, int32_t size, const char* text) {
    if (size < 1) return false;
    size_t length = strlen(text);
    if (length >= (size_t)size) {
        memcpy(buffer, text, (size_t)size - 1);
        buffer[size - 1] = 0;
        return false;
    }
    memcpy(buffer, text, length + 1);
    return true;
}

bool EndsWithSlash(const char* text) {
    size_t n = strlen(text);
    return n > 0 && text[n - 1] == '/';
}

// Appends a trailing '/' when missing; false when it does not fit.
bool AddSlash(char* buffer, int32_t size) {
    size_t n = strlen(buffer);
    if (n > 0 && buffer[n - 1] == '/') return true;
    if ((int64_t)n + 2 > size) return false;
    buffer[n] = '/';
    buffer[n + 1] = 0;
    return true;
}

// A variable of the program's environment copied whole; a value too long for the buffer is
// never used cut, as a cut path names another place.
enum class Variable { Unset, Set, TooLong };

Variable ReadVariable(const char* name, char* buffer, int32_t size) {
    const int32_t length = Platform_ReadEnvironmentVariable(name, buffer, size);
    if (length < 0) return Variable::Unset;
    if (length >= size) {
        if (size > 0) buffer[0] = 0;
        return Variable::TooLong;
    }
    return Variable::Set;
}

// The home folder, always a full path: a relative $HOME would put every folder under it (the
// preferences, the log, "~" in a path) relative to whatever the current folder is, and an empty
// one is the current folder itself to the toolkit's libraries. Like one too long, either is
// refused rather than replaced by another folder; only an unset HOME is the passwd home.
bool HomeOf(char* buffer, int32_t size) {
    const Variable home = ReadVariable("HOME", buffer, size);
    if (home == Variable::TooLong) return false;
    if (home == Variable::Set) {
        if (buffer[0] == '/') return true;
        buffer[0] = 0;
        return false;
    }
    struct passwd pw, *result = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &pw, scratch, sizeof(scratch), &result) != 0 || !result || result->pw_dir[0] != '/')
        return false;
    return CopyOut(buffer, size, result->pw_dir);
}

// $VAR when set and absolute, else home + fallback.
bool XdgDirectory(const char* variable, const char* fallback, char* buffer, int32_t size) {
    char value[4096];
    const Variable read = ReadVariable(variable, value, sizeof(value));
    if (read == Variable::TooLong) return false;
    if (read == Variable::Set && value[0] == '/') return CopyOut(buffer, size, value) && AddSlash(buffer, size);
    char home[1024];
    if (!HomeOf(home, sizeof(home))) return false;
    char path[2048];
    snprintf(path, sizeof(path), "%s/%s", home, fallback);
    return CopyOut(buffer, size, path) && AddSlash(buffer, size);
}

// A user directory (XDG_DESKTOP_DIR, ...) from ~/.config/user-dirs.dirs, else ~/<fallback>/.
bool UserDirectory(const char* key, const char* fallback, char* buffer, int32_t size) {
    char home[1024];
    if (!HomeOf(home, sizeof(home))) return false;
    char config[1024];
    if (!XdgDirectory("XDG_CONFIG_HOME", ".config", config, sizeof(config))) return false;
    char file[1200];
    snprintf(file, sizeof(file), "%suser-dirs.dirs", config);
    if (FILE* f = fopen(file, "re")) {
        char line[1024];
        size_t keyLength = strlen(key);
        while (fgets(line, sizeof(line), f)) {
            if (strncmp(line, key, keyLength) != 0 || line[keyLength] != '=') continue;
            char* value = line + keyLength + 1;
            if (*value == '"') value++;
            char* end = strchr(value, '"');
            if (!end) end = value + strcspn(value, "\r\n");
            *end = 0;
            char path[2048];
            if (strncmp(value, "$HOME", 5) == 0)
                snprintf(path, sizeof(path), "%s%s", home, value + 5);
            else
                snprintf(path, sizeof(path), "%s", value);
            fclose(f);
            if (path[0] != '/') break;
            return CopyOut(buffer, size, path) && AddSlash(buffer, size);
        }
        fclose(f);
    }
    char path[2048];
    snprintf(path, sizeof(path), "%s/%s/", home, fallback);
    return CopyOut(buffer, size, path);
}

bool ExecutablePath(char* buffer, int32_t size) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return false;
    path[n] = 0;
    return CopyOut(buffer, size, path);
}

// Cuts the text after its last '/'.
void CutAfterLastSlash(char* buffer) {
    char* slash = strrchr(buffer, '/');
    if (slash) slash[1] = 0;
}

std::atomic<void (*)(int32_t)> g_consoleControl{nullptr};

} // namespace

uint32_t Platform_Increment(volatile uint32_t* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

uint32_t Platform_Decrement(volatile uint32_t* value) {
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

uint32_t Platform_Add(volatile uint32_t* value, int32_t amount) {
    return __atomic_add_fetch(value, (uint32_t)amount, __ATOMIC_SEQ_CST);
}

uint32_t Platform_CAS(volatile uint32_t* target, uint32_t newValue, uint32_t expected) {
    ASSERT_MSG(((uintptr_t)target & 3) == 0, "Unaligned value");
    uint32_t old = expected;
    __atomic_compare_exchange_n(target, &old, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return old;
}

void* Platform_CASPointer(void* volatile* target, void* newPointer, void* expected) {
    ASSERT_MSG(((uintptr_t)target & (sizeof(void*) - 1)) == 0, "Unaligned value");
    void* old = expected;
    __atomic_compare_exchange_n(target, &old, newPointer, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return old;
}

uint32_t Platform_CTZ(uint32_t value) { return value ? (uint32_t)__builtin_ctz(value) : 32; }

uint32_t Platform_CLZ(uint32_t value) { return value ? (uint32_t)__builtin_clz(value) : 32; }

int64_t Platform_CryptFill(void* buffer, int32_t size) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < size) {
        ssize_t n = getrandom(out + done, (size_t)(size - done), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // No caller may run on without random bytes.
            Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (Result == 0)\nUnable to get random bytes [LE: %d]", errno);
        }
        done += (int32_t)n;
    }
    return 1;
}

int64_t Platform_CreateGuid(uint8_t* out16) {
    ASSERT_POINTER(out16);
    Platform_CryptFill(out16, 16);
    out16[6] = (uint8_t)((out16[6] & 0x0F) | 0x40); // version 4
    out16[8] = (uint8_t)((out16[8] & 0x3F) | 0x80); // RFC 4122 variant
    return 1;
}

int64_t Platform_SleepMS(int32_t ms) {
    if (ms < 16) ms = 15;
    struct timespec request = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
    return 1;
}

uint32_t Platform_GetCurrentProcessId() { return (uint32_t)getpid(); }

uint32_t Platform_ThreadGetCurrentId() { return (uint32_t)syscall(SYS_gettid); }

void* Platform_GetStdHandle(int32_t index) {
    if (index < 0 || index > 2) return nullptr;
    return reinterpret_cast<void*>((intptr_t)index + 1);
}

int64_t Platform_WriteStd(void* stream, const void* data, int32_t length, int32_t* written) {
    if (written) *written = 0;
    intptr_t fd = reinterpret_cast<intptr_t>(stream) - 1;
    if (fd < 0 || fd > 2) return 0;
    return Platform_Write((int32_t)fd, data, length, written);
}

// A terminal program has its console already; these have nothing to do here.
int64_t Platform_AllocConsole() { return 1; }
int64_t Platform_FreeConsole() { return 1; }
int64_t Platform_SetConsoleTitle(const char*) { return 1; }

// Forwards an interactive signal to the stored console-control function; does nothing without one.
void Debug_ConsoleControlHandler(int32_t signal) {
    void (*fn)(int32_t) = g_consoleControl.load();
    if (fn) fn(signal);
}

int64_t Platform_SetConsoleControlOverride(void (*fn)(int32_t signal)) {
    g_consoleControl.store(fn);
    return 1;
}

int64_t Platform_SetupConsoleControl() {
    // SIGBUS and SIGABRT are real crashes: a handler that returns would hang or hide them,
    // so only the interactive signals are routed to the console-control function.
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = [](int signal) { Debug_ConsoleControlHandler(signal); };
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP}) sigaction(signal, &action, nullptr);
    return 1;
}

int64_t Platform_GetEnvironmentVariable(const char* name, char* buffer, int32_t size) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    const int32_t length = Platform_ReadEnvironmentVariable(name, buffer, size);
    return length >= 0 && length < size;
}

int64_t Platform_GetUserHome(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    return HomeOf(buffer, size) && AddSlash(buffer, size);
}

namespace {

// The application's name as the log directory has it: the built-in product name, else the
// executable's file name without its extension.
bool ApplicationName(char* buffer, int32_t size) {
    if (Executable_GetProductName(nullptr, buffer, size) == 1 && buffer[0]) return true;
    char exe[4096];
    if (!ExecutablePath(exe, sizeof(exe))) return false;
    const char* name = strrchr(exe, '/');
    if (!CopyOut(buffer, size, name ? name + 1 : exe)) return false;
    if (char* dot = strrchr(buffer, '.')) *dot = 0;
    return buffer[0] != 0;
}

// False with errno set after the log line, which may change it.
bool PipeDirectoryFailed(const char* path, int error) {
    Log_Error("Unable to create the pipe directory %s (%d)\n", path, error);
    errno = error;
    return false;
}

bool PipeDirectoryRefused(const char* path) {
    Log_Error("Pipe directory %s refused: not a directory of this user closed to others\n", path);
    errno = EACCES;
    return false;
}

// The per-user pipe directory: $XDG_RUNTIME_DIR/<app>/, else <Temp>/<app>-<euid>/. A FIFO in a
// place others can write could be created first, or read, by another user, so the directory
// must be ours and closed to everyone else. It is made relative to a descriptor of its parent
// and checked through a descriptor of its own; one that fails the check is refused, never
// chmod-ed, since a directory someone else made stays theirs whatever its mode.
bool PipeDirectory(char* buffer, int32_t size) {
    char app[120];
    if (!ApplicationName(app, sizeof(app)) || strchr(app, '/') || !strcmp(app, ".") || !strcmp(app, "..")) {
        errno = EINVAL;
        return false;
    }
    char parent[2048];
    char leaf[160];
    const Variable runtime = ReadVariable("XDG_RUNTIME_DIR", parent, sizeof(parent));
    if (runtime == Variable::Set && parent[0] == '/') {
        if (!CopyOut(leaf, sizeof(leaf), app)) {
            errno = ENAMETOOLONG;
            return false;
        }
    } else {
        const Variable temp =
            runtime == Variable::TooLong ? runtime : ReadVariable("TMPDIR", parent, sizeof(parent));
        if (temp == Variable::TooLong ||
            (!(temp == Variable::Set && parent[0] == '/') && !CopyOut(parent, sizeof(parent), "/tmp")) ||
            snprintf(leaf, sizeof(leaf), "%s-%u", app, (unsigned)geteuid()) >= (int)sizeof(leaf)) {
            errno = ENAMETOOLONG;
            return false;
        }
    }
    size_t length = strlen(parent);
    while (length > 1 && parent[length - 1] == '/') parent[--length] = 0;
    char path[4096];
    snprintf(path, sizeof(path), "%s%s%s/", parent, length > 1 ? "/" : "", leaf);
    if (!CopyOut(buffer, size, path)) {
        errno = ENAMETOOLONG;
        return false;
    }

    // The parent is the user's own choice (a linked /tmp is common) and is followed; only the
    // directory below it, which others could have made first, must be checked.
    const int parentFd = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) return PipeDirectoryFailed(path, errno);
    if (mkdirat(parentFd, leaf, 0700) != 0 && errno != EEXIST) {
        const int error = errno;
        close(parentFd);
        return PipeDirectoryFailed(path, error);
    }
    const int fd = openat(parentFd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    close(parentFd);
    struct stat info = {};
    if (fd >= 0 && fstat(fd, &info) != 0) error = errno;
    if (fd >= 0) close(fd);
    // A link or anything but a directory under the name was put there by someone else.
    const bool foreign = error == ELOOP || error == ENOTDIR;
    if (error && !foreign) return PipeDirectoryFailed(path, error);
    if (foreign || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0)
        return PipeDirectoryRefused(path);
    return true;
}

} // namespace

int64_t Platform_GetSpecialPath(uint32_t id, char* buffer, int32_t size) {
    if (!buffer || size < 1) return 0;
    buffer[0] = 0;
    bool ok = false;
    char path[4096];
    switch (id) {
    case PLATFORM_PATH_USER_START_MENU:
        ok = XdgDirectory("XDG_DATA_HOME", ".local/share", path, sizeof(path)) &&
             strlen(path) + 14 < sizeof(path);
        if (ok) strcat(path, "applications/");
        ok = ok && CopyOut(buffer, size, path);
        break;
    case PLATFORM_PATH_COMMON_START_MENU: ok = CopyOut(buffer, size, "/usr/share/applications/"); break;
    case PLATFORM_PATH_PROGRAM_FILES:
    case PLATFORM_PATH_PROGRAM_FILES64: ok = CopyOut(buffer, size, "/opt/"); break;
    case PLATFORM_PATH_USER_HOME: ok = Platform_GetUserHome(buffer, size); break;
    case PLATFORM_PATH_USER_DOCUMENTS: ok = UserDirectory("XDG_DOCUMENTS_DIR", "Documents", buffer, size); break;
    case PLATFORM_PATH_USER_DOWNLOADS: ok = UserDirectory("XDG_DOWNLOAD_DIR", "Downloads", buffer, size); break;
    case PLATFORM_PATH_USER_DESKTOP:
    case PLATFORM_PATH_COMMON_DESKTOP: ok = UserDirectory("XDG_DESKTOP_DIR", "Desktop", buffer, size); break;
    case PLATFORM_PATH_USER_APP_DATA:
    case PLATFORM_PATH_USER_APP_DATA_ROAMING:
    case PLATFORM_PATH_USER_APP_DATA_LOW:
        ok = XdgDirectory("XDG_DATA_HOME", ".local/share", buffer, size);
        break;
    case PLATFORM_PATH_COMMON_APP_DATA: ok = CopyOut(buffer, size, "/var/lib/"); break;
    case PLATFORM_PATH_TEMP: {
        const Variable temp = ReadVariable("TMPDIR", path, sizeof(path));
        ok = temp != Variable::TooLong &&
             CopyOut(buffer, size, temp == Variable::Set && path[0] == '/' ? path : "/tmp/") &&
             AddSlash(buffer, size);
        break;
    }
    case PLATFORM_PATH_PIPE_PATH: ok = PipeDirectory(buffer, size); break;
    case PLATFORM_PATH_ADMIN_TEMP: ok = CopyOut(buffer, size, "/run/"); break;
    case PLATFORM_PATH_SYSTEM_DIRECTORY: ok = CopyOut(buffer, size, "/usr/"); break;
    case PLATFORM_PATH_SYSTEM_DRIVE: ok = CopyOut(buffer, size, "/"); break;
    case PLATFORM_PATH_MODULE_PATH: ok = ExecutablePath(buffer, size); break;
    case PLATFORM_PATH_MODULE_DIRECTORY:
    case PLATFORM_PATH_MODULE_APP_DIRECTORY:
        ok = ExecutablePath(path, sizeof(path));
        if (ok) CutAfterLastSlash(path);
        ok = ok && CopyOut(buffer, size, path);
        break;
    case PLATFORM_PATH_MODULE_APP_PATH:
        // There are no bundles: the executable's directory without its trailing '/'.
        ok = ExecutablePath(path, sizeof(path));
        if (ok) {
            char* slash = strrchr(path, '/');
            if (slash && slash != path) *slash = 0;
            else if (slash) slash[1] = 0;
        }
        ok = ok && CopyOut(buffer, size, path);
        break;
    case PLATFORM_PATH_MODULE_DLL_PATH:
    case PLATFORM_PATH_MODULE_DLL_DIRECTORY: {
        Dl_info info;
        ok = dladdr(reinterpret_cast<void*>(&Platform_GetSpecialPath), &info) != 0 && info.dli_fname &&
             info.dli_fname[0] == '/';
        if (ok) ok = CopyOut(path, sizeof(path), info.dli_fname);
        else ok = ExecutablePath(path, sizeof(path));
        if (ok && id == PLATFORM_PATH_MODULE_DLL_DIRECTORY) CutAfterLastSlash(path);
        ok = ok && CopyOut(buffer, size, path);
        break;
    }
    case PLATFORM_PATH_WORKING_DIRECTORY:
        ok = getcwd(path, sizeof(path)) != nullptr && CopyOut(buffer, size, path) && AddSlash(buffer, size);
        break;
    default: Debug_AbortInt(__FILE__, __LINE__, "Unsupported directory [Type: %d]", (int32_t)id);
    }
    if (!ok) buffer[0] = 0;
    return ok;
}

// Handle 0: the main executable; the main program's handle: the image holding this code; any
// other handle: the loaded library it names.
int64_t Platform_GetModuleFilename(void* handle, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (!handle) return Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, buffer, size);
    void* mainHandle = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
    if (mainHandle) dlclose(mainHandle);
    if (handle == mainHandle) return Platform_GetSpecialPath(PLATFORM_PATH_MODULE_DLL_PATH, buffer, size);
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !map->l_name[0]) return 0;
    return CopyOut(buffer, size, map->l_name);
}

int64_t Platform_GetModuleDirectory(void* handle, char* buffer, int32_t size) {
    if (!Platform_GetModuleFilename(handle, buffer, size)) return 0;
    CutAfterLastSlash(buffer);
    return 1;
}

int64_t Platform_GetModuleLogDirectory(void* handle, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    char path[4096];
    if (!handle) {
        // The main program logs into $XDG_STATE_HOME/<product>/.
        char product[120] = "";
        if (size < 14 || Executable_GetProductName(nullptr, product, sizeof(product)) != 1 || !product[0]) {
            char exe[4096];
            if (!ExecutablePath(exe, sizeof(exe))) return 0;
            const char* name = strrchr(exe, '/');
            name = name ? name + 1 : exe;
            CopyOut(product, sizeof(product), name);
            if (char* dot = strrchr(product, '.')) *dot = 0;
        }
        char state[2048];
        if (!XdgDirectory("XDG_STATE_HOME", ".local/state", state, sizeof(state))) return 0;
        snprintf(path, sizeof(path), "%s%s/", state, product);
        return CopyOut(buffer, size, path);
    }
    char company[120] = "", product[120] = "";
    if (Executable_GetCompanyName(nullptr, company, sizeof(company)) == 1 && company[0] &&
        Executable_GetProductName(nullptr, product, sizeof(product)) == 1 && product[0]) {
        char data[2048];
        if (!XdgDirectory("XDG_DATA_HOME", ".local/share", data, sizeof(data))) return 0;
        snprintf(path, sizeof(path), "%s%s/%s/", data, company, product);
        return CopyOut(buffer, size, path);
    }
    return Platform_GetModuleDirectory(handle, buffer, size);
}

int64_t Platform_GetDebugFlagsFromKey(uint32_t* flags) {
    ASSERT_POINTER(flags);
    // The modifier state at start is not available to a process on this platform.
    return 0;
}

int32_t Platform_ReadSmallFile(const char* path, char* buffer, int32_t capacity) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return -1;
    buffer[0] = 0;
    int fd;
    do fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int32_t used = 0;
    while (used < capacity - 1) {
        ssize_t n = read(fd, buffer + used, (size_t)(capacity - 1 - used));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += (int32_t)n;
    }
    close(fd);
    buffer[used] = 0;
    return used;
}

int64_t Platform_CreateDirectoryTree(const char* path) {
    ASSERT_POINTER(path);
    char work[4096];
    if (!CopyOut(work, sizeof(work), path) || !work[0]) return 0;
    for (char* p = work + 1; *p; p++) {
        if (*p != '/') continue;
        *p = 0;
        if (mkdir(work, 0700) != 0 && errno != EEXIST) {
            *p = '/';
            return 0;
        }
        *p = '/';
    }
    if (!EndsWithSlash(work) && mkdir(work, 0700) != 0 && errno != EEXIST) return 0;
    struct stat info;
    return stat(work, &info) == 0 && S_ISDIR(info.st_mode);
}

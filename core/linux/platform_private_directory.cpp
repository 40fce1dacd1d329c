// The walk to a private directory: each name is looked at without following it and entered by
// descriptor, so that what was checked is what is used, whatever another process renames later.
#include "core/linux/platform_private_directory.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/linux/platform.h"
#include "core/linux/platform_system.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int32_t kMostLinks = 40;
constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Each made folder is looked at again; a name that keeps vanishing between the make and the look
// (another process removing it each time) is refused after this many tries of that one name.
constexpr int32_t kMostMakeRetries = 8;

bool TrustedOwner(uid_t owner) {
    return owner == geteuid() || owner == 0;
}

// A user other than this one and root: root may change anything anyway.
bool OtherUser(uid_t uid) {
    return uid != geteuid() && uid != 0;
}

// Whether the group has a member other than this user and root: one listed in the group database,
// or one whose primary group it is. Where the databases cannot be read whole, it is taken to have one.
bool GroupHasOtherMember(gid_t gid) {
    // getpwent walks one list shared by the whole process.
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    constexpr size_t kLargest = 1 << 20;
    bool other = true, read = false;
    for (size_t size = 16384; size <= kLargest && !read; size *= 4) {
        char* scratch = static_cast<char*>(Memory_Alloc(size));
        struct group entry, *found = nullptr;
        const int failed = getgrgid_r(gid, &entry, scratch, size, &found);
        if (failed == 0) {
            read = true;
            other = false;
            for (char** member = found ? found->gr_mem : nullptr; member && *member && !other; member++) {
                struct passwd pw, *user = nullptr;
                char names[4096];
                // A listed name that names no user cannot be judged: it counts as another.
                other = getpwnam_r(*member, &pw, names, sizeof(names), &user) != 0 || !user || OtherUser(user->pw_uid);
            }
        }
        Memory_Free(scratch, size);
        if (failed != 0 && failed != ERANGE) break;
    }
    if (!read || other) return true;
    char scratch[16384];
    struct passwd pw, *user = nullptr;
    setpwent();
    for (;;) {
        const int failed = getpwent_r(&pw, scratch, sizeof(scratch), &user);
        if (failed == ENOENT) break;
        if (failed != 0 || !user || (user->pw_gid == gid && OtherUser(user->pw_uid))) {
            other = true;
            break;
        }
    }
    endpwent();
    return other;
}

// Whether users other than the owner may write into a folder: everyone where others may write,
// and a group's members other than this user where the group may.
bool OthersWrite(const struct stat& info) {
    return (info.st_mode & S_IWOTH) || ((info.st_mode & S_IWGRP) && GroupHasOtherMember(info.st_gid));
}

// Who may change a folder's names: its owner and root always; others only where the folder is
// writable by them, and in a sticky folder they cannot rename or remove what is not theirs.
const char* RefusePassage(const struct stat& info) {
    if (!TrustedOwner(info.st_uid)) return "a folder of another user";
    if (OthersWrite(info) && !(info.st_mode & S_ISVTX)) return "a folder other users can change";
    return nullptr;
}

struct Walk {
    int Current = -1;
    int32_t Error = 0;
    const char* Reason = nullptr;

    ~Walk() {
        if (Current >= 0) close(Current);
    }
    bool Fail(int32_t error, const char* reason) {
        Error = error;
        Reason = reason;
        return false;
    }
    // Makes `next` the current folder, checked as one passed through.
    bool Enter(int next) {
        struct stat info;
        if (fstat(next, &info) != 0) {
            const int32_t error = errno;
            close(next);
            return Fail(error, "a folder that cannot be examined");
        }
        if (Current >= 0) close(Current);
        Current = next;
        if (const char* reason = RefusePassage(info)) return Fail(EACCES, reason);
        return true;
    }
    bool EnterRoot() {
        const int root = open("/", kOpenDirectory);
        if (root < 0) return Fail(errno, "the root folder cannot be opened");
        return Enter(root);
    }
};

// Puts `target` and a separator in front of the text at rest[at...], in place.
bool Prepend(char* rest, size_t size, size_t* at, const char* target, size_t length) {
    const size_t tail = strlen(rest + *at);
    if (length + 1 + tail + 1 > size) return false;
    memmove(rest + length + 1, rest + *at, tail + 1);
    memcpy(rest, target, length);
    rest[length] = '/';
    *at = 0;
    return true;
}

} // namespace

namespace {

// The walk itself; `trusted` asks of the directory reached only what is asked of a folder passed
// through (nobody but this user or root can change its names), `privately` that it is this
// user's own and closed to other writers.
int64_t WalkTo(const char* path, uint32_t make, bool privately, int32_t* descriptor, int32_t* error,
               const char** reason, int32_t* missingIn = nullptr) {
    ASSERT_POINTER(descriptor);
    ASSERT_POINTER(error);
    ASSERT_POINTER(reason);
    *descriptor = -1;
    *error = 0;
    *reason = nullptr;
    ASSERT_POINTER(path);
    Walk walk;
    auto failed = [&]() {
        *error = walk.Error;
        *reason = walk.Reason;
        return 0;
    };
    char rest[2 * PATH_MAX];
    if (path[0] != '/') {
        walk.Fail(EINVAL, "not an absolute path");
        return failed();
    }
    if (strlen(path) >= sizeof(rest)) {
        walk.Fail(ENAMETOOLONG, "a path too long");
        return failed();
    }
    memcpy(rest, path, strlen(path) + 1);
    if (!walk.EnterRoot()) return failed();
    size_t at = 0;
    int32_t links = 0, retries = 0; // retries: of the name being made, not of the walk
    for (;;) {
        while (rest[at] == '/') at++;
        if (!rest[at]) break;
        const size_t length = strcspn(rest + at, "/");
        char name[NAME_MAX + 1];
        if (length > NAME_MAX) {
            walk.Fail(ENAMETOOLONG, "a name too long");
            return failed();
        }
        memcpy(name, rest + at, length);
        name[length] = 0;
        if (strcmp(name, ".") == 0) {
            at += length;
            continue;
        }
        struct stat info;
        if (fstatat(walk.Current, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int32_t missing = errno;
            if (missing != ENOENT || !make || strcmp(name, "..") == 0 || ++retries > kMostMakeRetries) {
                // Where the missing name would be made, after every link on the way.
                if (missingIn && missing == ENOENT && !make) {
                    *missingIn = walk.Current;
                    walk.Current = -1;
                }
                walk.Fail(missing, "a folder that cannot be reached");
                return failed();
            }
            // Made here or by a racing process: either way it is looked at again before use.
            if (mkdirat(walk.Current, name, 0700) != 0 && errno != EEXIST) {
                walk.Fail(errno, "a folder that cannot be made");
                return failed();
            }
            continue;
        }
        at += length;
        retries = 0;
        if (S_ISLNK(info.st_mode)) {
            // A link another user made (in a shared folder, say) would choose where our files go.
            if (!TrustedOwner(info.st_uid)) {
                walk.Fail(EACCES, "a link another user made");
                return failed();
            }
            if (++links > kMostLinks) {
                walk.Fail(ELOOP, "too many links");
                return failed();
            }
            char target[PATH_MAX];
            const ssize_t n = readlinkat(walk.Current, name, target, sizeof(target) - 1);
            if (n <= 0) {
                walk.Fail(n < 0 ? errno : ENOENT, "a link that cannot be read");
                return failed();
            }
            target[n] = 0;
            if (!Prepend(rest, sizeof(rest), &at, target, (size_t)n)) {
                walk.Fail(ENAMETOOLONG, "a path too long");
                return failed();
            }
            if (target[0] == '/' && !walk.EnterRoot()) return failed();
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            walk.Fail(ENOTDIR, "not a folder");
            return failed();
        }
        const int next = openat(walk.Current, name, kOpenDirectory);
        if (next < 0) {
            walk.Fail(errno, "a folder that cannot be opened");
            return failed();
        }
        // The folder itself is checked below as the destination, not as a passage.
        while (rest[at] == '/') at++;
        if (!rest[at]) {
            close(walk.Current);
            walk.Current = next;
            break;
        }
        if (!walk.Enter(next)) return failed();
    }
    struct stat info;
    if (fstat(walk.Current, &info) != 0) {
        walk.Fail(errno, "a folder that cannot be examined");
        return failed();
    }
    if (!privately) {
        if (const char* refused = RefusePassage(info)) {
            walk.Fail(EACCES, refused);
            return failed();
        }
        *descriptor = walk.Current;
        walk.Current = -1;
        return 1;
    }
    if (info.st_uid != geteuid()) {
        walk.Fail(EACCES, "a folder of another user");
        return failed();
    }
    // One that others may write into may hold their names already (or be a shared folder our
    // own link points at): it is refused, never repaired. One they may only read is closed, as
    // is one whose group may write while having no member but us.
    if (OthersWrite(info)) {
        walk.Fail(EACCES, "a folder other users can change");
        return failed();
    }
    if (make && (info.st_mode & 077) != 0) fchmod(walk.Current, 0700);
    *descriptor = walk.Current;
    walk.Current = -1;
    return 1;
}

} // namespace

int64_t Platform_OpenPrivateDirectory(const char* path, uint32_t make, int32_t* descriptor, int32_t* error,
                                      const char** reason) {
    return WalkTo(path, make, true, descriptor, error, reason);
}

int64_t Platform_OpenTrustedDirectory(const char* path, int32_t* descriptor, int32_t* error, const char** reason) {
    return WalkTo(path, 0, false, descriptor, error, reason);
}

int64_t Platform_OpenPrivateFile(const char* path, uint32_t make, uint32_t append, int32_t* descriptor,
                                 int32_t* error, const char** reason) {
    ASSERT_POINTER(descriptor);
    ASSERT_POINTER(error);
    ASSERT_POINTER(reason);
    ASSERT_POINTER(path);
    *descriptor = -1;
    *error = 0;
    *reason = nullptr;
    const char* slash = strrchr(path, '/');
    if (!slash || !slash[1] || strcmp(slash + 1, ".") == 0 || strcmp(slash + 1, "..") == 0) {
        *error = EINVAL;
        *reason = slash ? "not a file name" : "not an absolute path";
        return 0;
    }
    char folder[2 * PATH_MAX];
    const size_t length = slash == path ? 1 : (size_t)(slash - path);
    if (length >= sizeof(folder)) {
        *error = ENAMETOOLONG;
        *reason = "a path too long";
        return 0;
    }
    memcpy(folder, path, length);
    folder[length] = 0;
    int32_t directory = -1;
    // Made only when missing: a folder of the user's that others may read (the desktop) is not
    // closed to them because a file is written there.
    if (!Platform_OpenPrivateDirectory(folder, 0, &directory, error, reason) &&
        !(make && *error == ENOENT && Platform_OpenPrivateDirectory(folder, 1, &directory, error, reason)))
        return 0;
    int fd;
    // Non-blocking while it is unknown what the name is: a FIFO there would hold the open.
    do fd = openat(directory, slash + 1, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK |
                                             (append ? O_APPEND : 0),
                   0600);
    while (fd < 0 && errno == EINTR);
    const int32_t opened = errno;
    close(directory);
    if (fd < 0) {
        *error = opened;
        *reason = opened == ELOOP ? "a link at the file's name" : "a file that cannot be opened";
        return 0;
    }
    struct stat info;
    const char* refused = nullptr;
    int32_t code = 0;
    if (fstat(fd, &info) != 0) {
        code = errno;
        refused = "a file that cannot be examined";
    } else if (!S_ISREG(info.st_mode)) {
        code = EINVAL;
        refused = "not a regular file";
    } else if (info.st_uid != geteuid()) {
        code = EPERM;
        refused = "a file of another user";
    } else if ((info.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
        code = errno;
        refused = "a file that cannot be made private";
    } else if (!append && ftruncate(fd, 0) != 0) {
        code = errno;
        refused = "a file that cannot be emptied";
    } else {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            code = errno;
            refused = "a file that cannot be examined";
        }
    }
    if (refused) {
        *error = code;
        *reason = refused;
        close(fd);
        return 0;
    }
    *descriptor = fd;
    return 1;
}

namespace {

constexpr int32_t kSettingsPathSize = 2 * PATH_MAX;

// One folder of the desktop's settings: the folder itself, or where it is missing the folder it
// would be made in (reached after every link on the way, so a link of ours to a missing folder
// in a shared one is judged by the shared one), reached by the walk and closed to other writers
// (no sticky exception: a name planted there first is what the settings client would open).
bool SettingsFolderTrusted(const char* path, int32_t* error, const char** reason) {
    *error = 0;
    *reason = nullptr;
    int32_t fd = -1, missingIn = -1;
    if (!WalkTo(path, 0, false, &fd, error, reason, &missingIn)) {
        if (missingIn < 0) return false;
        fd = missingIn;
    }
    struct stat info;
    const bool examined = fstat(fd, &info) == 0;
    const int32_t examineError = errno;
    close(fd);
    *error = 0;
    *reason = nullptr;
    if (!examined) {
        *error = examineError;
        *reason = "a folder that cannot be examined";
        return false;
    }
    if (!TrustedOwner(info.st_uid)) {
        *error = EACCES;
        *reason = "a folder of another user";
        return false;
    }
    if (OthersWrite(info)) {
        *error = EACCES;
        *reason = "a folder other users can change";
        return false;
    }
    return true;
}

// A base folder of the settings as GLib finds it: the variable when set and not empty (GLib
// takes even a relative one, which is then refused), else `fallback` under the home. False
// with *error and *reason when the value does not fit.
bool SettingsBase(const char* variable, const char* fallback, char* buffer, int32_t size, int32_t* error,
                  const char** reason) {
    const bool set = Platform_GetEnvironmentVariable(variable, buffer, size) != 0;
    if (set && buffer[0]) return true;
    bool fits = !buffer[0]; // a value cut to the buffer is not used in part
    if (fits && fallback) {
        buffer[0] = 0;
        char home[kSettingsPathSize];
        if (!Platform_GetUserHome(home, sizeof(home)) || !home[0]) {
            *error = home[0] ? ENAMETOOLONG : ENOENT;
            *reason = home[0] ? "a path too long" : "no home folder";
            return false;
        }
        fits = String_Print(buffer, size, "%s%s", home, fallback) < size - 1;
    }
    if (fits) return true;
    *error = ENAMETOOLONG;
    *reason = "a path too long";
    return false;
}

std::atomic<bool> g_settingsRefusalSaid{false};

} // namespace

int64_t Platform_CheckDesktopSettings() {
    char config[kSettingsPathSize], cache[kSettingsPathSize], runtime[kSettingsPathSize], data[kSettingsPathSize];
    const char* reason = nullptr;
    int32_t error = 0;
    const char* refused = nullptr;
    // The variable's own name stands for the folder when its value cannot be used at all.
    if (!SettingsBase("XDG_CONFIG_HOME", ".config", config, sizeof(config), &error, &reason))
        refused = "$XDG_CONFIG_HOME";
    else if (!SettingsBase("XDG_CACHE_HOME", ".cache", cache, sizeof(cache), &error, &reason))
        refused = "$XDG_CACHE_HOME";
    else if (!SettingsBase("XDG_RUNTIME_DIR", nullptr, runtime, sizeof(runtime), &error, &reason))
        refused = "$XDG_RUNTIME_DIR";
    else if (!SettingsBase("XDG_DATA_HOME", ".local/share", data, sizeof(data), &error, &reason))
        refused = "$XDG_DATA_HOME";
    char folder[kSettingsPathSize + 32] = "";
    if (!refused) {
        // dconf's user database and GLib's key file; dconf's flag file, under the runtime folder
        // or (without one) the cache home; the compiled schemas of the data home, whose defaults
        // apply even to the settings kept in memory.
        const struct {
            const char* Base;
            const char* Name;
        } folders[] = {{config, "/dconf"}, {config, "/glib-2.0/settings"}, {cache, "/dconf"},
                       {runtime, "/dconf"}, {data, "/glib-2.0/schemas"}};
        for (const auto& f : folders) {
            if (!f.Base[0]) continue;
            String_Print(folder, sizeof(folder), "%s%s", f.Base, f.Name);
            if (!SettingsFolderTrusted(folder, &error, &reason)) {
                refused = folder;
                break;
            }
        }
    }
    if (!refused) return 1;
    if (!g_settingsRefusalSaid.exchange(true))
        Log_Error("The desktop's settings are not read: %s is refused (%s, %d); the proxy comes from the "
                  "environment alone\n",
                  refused, reason ? reason : "", error);
    return 0;
}

namespace {

constexpr const char* kToolkitVariables[] = {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"};

// Why the home cannot be had: GLib takes an empty HOME as the current folder and a relative one
// from it, so either is refused, never replaced by the passwd home the toolkit would not use.
void HomeRefusal(int32_t* error, const char** reason) {
    char home[8];
    const int32_t length = Platform_ReadEnvironmentVariable("HOME", home, sizeof(home));
    const bool relative = length == 0 || (length > 0 && home[0] != '/');
    *error = relative ? EINVAL : ENAMETOOLONG;
    *reason = relative ? "HOME is empty or not an absolute path" : "a path too long or no home";
}

// GLib's own rule for its configuration, cache and data homes: the variable when set, else the
// folder under the home; `which` 3 is the home itself. Without one, *error and *reason say why.
bool ToolkitBase(uint32_t which, char* buffer, int32_t size, int32_t* error, const char** reason) {
    static const char* const fallbacks[] = {".config", ".cache", ".local/share", ""};
    buffer[0] = 0;
    if (which < 3) {
        const int32_t length = Platform_ReadEnvironmentVariable(kToolkitVariables[which], buffer, size);
        if (length >= size - 1) { // a value cut to the buffer is not used in part
            buffer[0] = 0;
            *error = ENAMETOOLONG;
            *reason = "a path too long";
            return false;
        }
        // GLib takes any value that is set, a relative one from the current folder: so is it
        // judged (and refused) here, never replaced by the home's folder the toolkit would not use.
        if (length > 0) return true;
    }
    char home[kSettingsPathSize];
    if (!Platform_GetUserHome(home, sizeof(home)) || !home[0]) {
        HomeRefusal(error, reason);
        return false;
    }
    if (which == 3 && strlen(home) > 1) home[strlen(home) - 1] = 0; // named without its separator
    if (String_Print(buffer, size, "%s%s", home, fallbacks[which]) < size - 1) return true;
    buffer[0] = 0;
    *error = ENAMETOOLONG;
    *reason = "a path too long";
    return false;
}

} // namespace

int64_t Platform_GetToolkitBase(uint32_t which, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    int32_t error = 0;
    const char* reason = nullptr;
    return which <= 3 && ToolkitBase(which, buffer, size, &error, &reason);
}

int64_t Platform_GetToolkitFolder(uint32_t which, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    if (which > 3) return 0;
    static const char* const names[] = {"configuration", "cache", "data", "home"};
    static const char* const leaves[] = {"toolkit-config", "toolkit-cache", "toolkit-data", "toolkit-home"};
    char home[kSettingsPathSize];
    int32_t error = 0;
    const char* reason = nullptr;
    if (!ToolkitBase(which, home, sizeof(home), &error, &reason)) {
        String_Print(home, sizeof(home), "%s", which < 3 ? "the home folder" : "$HOME");
    } else if (SettingsFolderTrusted(home, &error, &reason)) {
        return 1;
    }
    // Refused: the toolkit gets a folder of ours, never the refused one, not even as a fallback.
    char made[kSettingsPathSize + 32] = "";
    char runtime[kSettingsPathSize];
    int32_t fd = -1, madeError = 0;
    const char* madeReason = "no private runtime folder";
    if (Platform_GetSpecialPath(PLATFORM_PATH_PIPE_PATH, runtime, sizeof(runtime)) &&
        String_Print(made, sizeof(made), "%s%s%s", runtime, runtime[strlen(runtime) - 1] == '/' ? "" : "/",
                     leaves[which]) < (int32_t)sizeof(made) - 1 &&
        Platform_OpenPrivateDirectory(made, 1, &fd, &madeError, &madeReason) &&
        (int32_t)strlen(made) < size) {
        close(fd);
        memcpy(buffer, made, strlen(made) + 1);
        Log_Error("The toolkit's %s folder is not used: %s is refused (%s, %d); the toolkit uses %s instead\n",
                  names[which], home, reason ? reason : "", error, buffer);
        return 1;
    }
    if (fd >= 0) close(fd);
    Log_Error("The toolkit's %s folder is not used: %s is refused (%s, %d); no private folder could be had "
              "(%s, %d), so the toolkit has none and keeps its settings in memory\n",
              names[which], home, reason ? reason : "", error, madeReason ? madeReason : "", madeError);
    return 0;
}

int64_t Platform_OthersCanWrite(uint32_t mode, uint32_t group) {
    struct stat info = {};
    info.st_mode = mode;
    info.st_gid = group;
    return OthersWrite(info) ? 1 : 0;
}

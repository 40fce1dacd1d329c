// Fatal signals on Linux. The handler runs on an alternate stack and uses only async-signal-safe
// calls: it writes the dump (signal, code, fault address, thread, registers, a slice of the stack
// and the memory maps, as text) into a locked nameless file in the directory opened at
// installation and names it "<id>.dmp" once whole, wakes the crash thread through a pipe (the id
// and whether the dump is whole) and waits for it, bounded, before the default action is restored
// and the signal raised again. Other threads that fault meanwhile wait for that report. The
// crash thread runs the callback (event file, reporter launch) in ordinary context; if that
// callback blocks on a lock the crashed thread held, the bounded wait still ends the process.
#include "host/linux/crash_handler.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_process.h"

namespace {

// SIGTRAP too: the toolkit's fatal errors end the process with a breakpoint.
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
constexpr size_t kDirectorySize = 1024;
constexpr size_t kAltStackSize = 64 * 1024;
constexpr size_t kStackSlice = 1024;
// What the handler hands the crash thread: the 32-digit id and '1' for a whole dump, '0' for one
// cut short (and removed), 'n' for none made.
constexpr size_t kMessageSize = 33;

struct CrashState {
    void* Context = nullptr;
    BreakpadCallback Callback = nullptr;
    char Directory[kDirectorySize] = {};
    int DirectoryFd = -1; // the dump is made relative to it: no name is resolved at crash time
    struct sigaction Previous[kSignalCount] = {};
    int Wake[2] = {-1, -1};  // handler -> crash thread: the dump id
    int Done[2] = {-1, -1};  // crash thread -> handler: callback finished
    pthread_t Thread = {};
    bool ThreadRunning = false;
    // The prepared launch: attributes and descriptor actions are made at installation, since
    // making them allocates.
    BreakpadLaunch Launch = {};
    bool LaunchReady = false;
    posix_spawnattr_t LaunchAttributes;
    posix_spawn_file_actions_t LaunchActions;
    void* AltStack = nullptr;
    // Opened at installation, so that a crash with the descriptor table full needs no new
    // descriptor: nameless files in the directory for the dump and for the callback's file, and the
    // memory map. A slot given up at crash time could be taken by any other thread first. They
    // belong to the installing process only (a fork's child shares them, so it opens its own).
    pid_t Owner = 0;
    int DumpFile = -1;
    int SpareFile = -1;
    int Maps = -1;
    // Where the file system has no nameless files, the dump's and the callback's files are
    // "<id>.part" files made and locked at installation instead (a sweep leaves a locked one
    // alone); their names, empty for nameless ones. The dump's id is the one in its name.
    char DumpPart[40] = {};
    char SparePart[40] = {};
    // What cannot be held open (the memory map read anew, a file made at crash time): descriptors
    // held from installation on and given up only on the crash path.
    int Reserve[3] = {-1, -1, -1};
    // 0 while sound, 1 while a crash is reported, 2 once its report is done; the thread that
    // reports it is CrashingThread.
    std::atomic<int> Crashing{0};
    std::atomic<pid_t> CrashingThread{0};
    std::atomic<int> DumpError{0}; // why no dump could be made (errno)
    std::atomic<int> WaitMs{10000};
    GLogFunc PreviousLogHandler = nullptr;
};

CrashState* g_state = nullptr;

// ---- Async-signal-safe text ----------------------------------------------------------------------

struct Out {
    explicit Out(int fd) : Fd(fd) {}
    int Fd;
    char Buffer[512] = {};
    size_t Used = 0;
    bool Failed = false; // a write fell short: the dump is not whole
    void Flush() {
        Write(Buffer, Used);
        Used = 0;
    }
    void Write(const char* data, size_t length) {
        size_t done = 0;
        while (done < length) {
            const ssize_t n = write(Fd, data + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                Failed = true;
                return;
            }
            done += (size_t)n;
        }
    }
    void Put(const char* text) {
        for (; *text; ++text) {
            if (Used == sizeof(Buffer)) Flush();
            Buffer[Used++] = *text;
        }
    }
    void Hex(uint64_t value, int digits = 16) {
        char text[17];
        for (int i = digits - 1; i >= 0; i--, value >>= 4) text[i] = "0123456789abcdef"[value & 15];
        text[digits] = 0;
        Put(text);
    }
    void Dec(int64_t value) {
        char text[24];
        int i = 23;
        text[i] = 0;
        const bool negative = value < 0;
        uint64_t magnitude = negative ? (uint64_t)(-(value + 1)) + 1 : (uint64_t)value;
        do text[--i] = (char)('0' + magnitude % 10);
        while ((magnitude /= 10) && i > 1);
        if (negative) text[--i] = '-';
        Put(text + i);
    }
};

// A fresh identifier: 32 hexadecimal digits from the kernel's random source.
void NewId(char* id) {
    uint8_t bytes[16] = {};
    ssize_t got = syscall(SYS_getrandom, bytes, sizeof(bytes), GRND_NONBLOCK);
    if (got != (ssize_t)sizeof(bytes)) {
        // No entropy yet: the time and the thread still make the name unique enough here.
        struct timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t mix = (uint64_t)now.tv_sec * 1000000007ull ^ (uint64_t)now.tv_nsec ^ ((uint64_t)getpid() << 32);
        for (int i = 0; i < 16; i++, mix = mix * 6364136223846793005ull + 1442695040888963407ull)
            bytes[i] = (uint8_t)(mix >> 56);
    }
    for (int i = 0; i < 16; i++) {
        id[2 * i] = "0123456789abcdef"[bytes[i] >> 4];
        id[2 * i + 1] = "0123456789abcdef"[bytes[i] & 15];
    }
    id[32] = 0;
}

void WriteRegisters(Out& out, const ucontext_t* context) {
#if defined(__x86_64__)
    static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rdi",
                                         "rsi", "rbp", "rbx", "rdx", "rax", "rcx", "rsp", "rip"};
    for (int i = 0; i < 17; i++) {
        out.Put(kNames[i]);
        out.Put(" ");
        out.Hex((uint64_t)context->uc_mcontext.gregs[i]);
        out.Put("\n");
    }
#elif defined(__aarch64__)
    for (int i = 0; i < 31; i++) {
        out.Put("x");
        out.Dec(i);
        out.Put(" ");
        out.Hex(context->uc_mcontext.regs[i]);
        out.Put("\n");
    }
    out.Put("sp ");
    out.Hex(context->uc_mcontext.sp);
    out.Put("\npc ");
    out.Hex(context->uc_mcontext.pc);
    out.Put("\n");
#else
    (void)out;
    (void)context;
#endif
}

uint64_t StackPointer(const ucontext_t* context) {
#if defined(__x86_64__)
    return (uint64_t)context->uc_mcontext.gregs[REG_RSP];
#elif defined(__aarch64__)
    return context->uc_mcontext.sp;
#else
    (void)context;
    return 0;
#endif
}

// The stack slice is written straight from memory by the system call itself: it answers EFAULT
// for an address that is not mapped instead of faulting again (and no library wrapper looks at
// the bytes, which belong to frames that are not ours).
void WriteStack(Out& out, uint64_t sp) {
    out.Put("stack ");
    out.Hex(sp);
    out.Put(" ");
    out.Dec((int64_t)kStackSlice);
    out.Put("\n");
    out.Flush();
    if (sp) {
        const long n = syscall(SYS_write, out.Fd, reinterpret_cast<const void*>(sp), kStackSlice);
        // EFAULT is the stack's fault, not the file's; any other shortfall leaves the dump cut.
        if (n < 0 && errno == EFAULT)
            out.Put("(unreadable)");
        else if (n != (long)kStackSlice)
            out.Failed = true;
    }
    out.Put("\n");
}

// An open that fails only because the descriptor table is full gets one of the descriptors kept
// in reserve and is tried again.
int OpenWithReserve(CrashState* state, int directory, const char* name, int flags, mode_t mode) {
    int fd = openat(directory, name, flags, mode);
    for (int& spare : state->Reserve) {
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) break;
        if (spare < 0) continue;
        close(spare);
        spare = -1;
        fd = openat(directory, name, flags, mode);
    }
    return fd;
}

bool Owned(const CrashState* state) {
    return getpid() == state->Owner;
}

// Takes one of the descriptors opened at installation (-1 when there is none for this process).
int TakeHeld(CrashState* state, int* held) {
    if (!Owned(state)) return -1;
    const int fd = *held;
    *held = -1;
    return fd;
}

void WriteMaps(CrashState* state, Out& out) {
    out.Put("maps\n");
    out.Flush();
    // The map is made anew by each read from its start.
    int maps = TakeHeld(state, &state->Maps);
    if (maps >= 0 && lseek(maps, 0, SEEK_SET) != 0) {
        close(maps);
        maps = -1;
    }
    if (maps < 0) maps = OpenWithReserve(state, AT_FDCWD, "/proc/self/maps", O_RDONLY | O_CLOEXEC, 0);
    if (maps < 0) return;
    char buffer[4096];
    ssize_t n;
    while (!out.Failed && (n = read(maps, buffer, sizeof(buffer))) > 0) out.Write(buffer, (size_t)n);
    close(maps);
}

enum class Dump { None, Cut, Whole };

// "/proc/self/fd/<fd>" without the C library's formatting.
void DescriptorPath(int fd, char* path) {
    static const char kPrefix[] = "/proc/self/fd/";
    memcpy(path, kPrefix, sizeof(kPrefix));
    char digits[12];
    int count = 0;
    do digits[count++] = (char)('0' + fd % 10);
    while ((fd /= 10) > 0 && count < 11);
    char* at = path + sizeof(kPrefix) - 1;
    while (count > 0) *at++ = digits[--count];
    *at = 0;
}

// Gives a nameless file its name in the directory; false when the name is taken. Linking by the
// descriptor needs a privilege; through its /proc name it needs none.
bool NameNameless(int fd, int directory, const char* name) {
    if (linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    char path[32];
    DescriptorPath(fd, path);
    return linkat(AT_FDCWD, path, directory, name, AT_SYMLINK_FOLLOW) == 0;
}

// How a file system without nameless files answers O_TMPFILE.
bool NoNamelessFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// A new "<id>.part" in the directory, locked, for the id in `id` (33 bytes; another is taken when
// the name is in use). A ".part" that someone else locked between our create and our lock is a
// sweep's that will remove it: another id is taken. -1 with errno set.
int OpenPart(CrashState* state, char* id, char* part) {
    int fd = -1;
    for (int attempt = 0; attempt < 4; attempt++) {
        if (attempt > 0) NewId(id);
        memcpy(part, id, 32);
        memcpy(part + 32, ".part", 6);
        fd = OpenWithReserve(state, state->DirectoryFd, part, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        // Where the file system has no locks (ENOLCK) nobody else can take one either, and no
        // sweep removes the file.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return fd;
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

// Gives a ".part" file the name, which must not stand yet (EEXIST). A link keeps a name that stands;
// where the file system has no links, a rename that replaces nothing.
bool NamePart(int directory, const char* part, const char* name) {
    if (linkat(directory, part, directory, name, 0) == 0) return true;
    if (errno == EEXIST) return false;
    return syscall(SYS_renameat2, directory, part, directory, name, RENAME_NOREPLACE) == 0;
}

// The file the dump is written into, locked before any other process can see it: a nameless file
// in the directory that gets its name once whole (`named` false), or, where the file system has
// no nameless files, "<id>.part" (`named` true; `id` becomes the one in its name).
int OpenDump(CrashState* state, char* id, char* part, bool* named) {
    *named = false;
    int fd = TakeHeld(state, &state->DumpFile);
    if (fd >= 0) {
        if (state->DumpPart[0]) {
            *named = true;
            memcpy(part, state->DumpPart, sizeof(state->DumpPart));
            memcpy(id, part, 32);
        }
        return fd;
    }
    fd = OpenWithReserve(state, state->DirectoryFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // A fresh nameless file: nobody else can hold its lock.
        flock(fd, LOCK_EX | LOCK_NB);
        return fd;
    }
    if (!NoNamelessFiles(errno)) return -1;
    *named = true;
    return OpenPart(state, id, part);
}

// At installation, where the file system has no nameless files: a locked "<id>.part" held until a
// crash or the removal, its name in `part` (40 bytes). -1 when none could be made.
int HoldPart(CrashState* state, char* part) {
    char id[33];
    NewId(id);
    const int fd = OpenPart(state, id, part);
    if (fd < 0) part[0] = 0;
    return fd;
}

// Writes the dump; the id is in `id` (33 bytes). A dump that could not be written whole (a full
// disk, a file size limit) is removed again: no one is to read a cut one as the crash.
Dump WriteDump(CrashState* state, int signal, const siginfo_t* info, const ucontext_t* context, char* id) {
    NewId(id);
    // A ".dmp" name always means a whole dump, whatever ends this process while it writes: the
    // name is given only once the file is whole.
    char name[40], part[40];
    bool named = false;
    const int fd = OpenDump(state, id, part, &named);
    if (fd < 0) {
        state->DumpError.store(errno);
        return Dump::None;
    }
    memcpy(name, id, 32);
    memcpy(name + 32, ".dmp", 5);
    // The lock is held until this process ends (the descriptor is never closed, and the link or
    // rename keeps it): a reporter or a later start that takes it knows nothing here writes these
    // files any more.
    Out out(fd);
    out.Put("crash dump 1\nsignal ");
    out.Dec(signal);
    out.Put("\ncode ");
    out.Dec(info ? info->si_code : 0);
    out.Put("\naddress ");
    out.Hex(info ? (uint64_t)(uintptr_t)info->si_addr : 0);
    out.Put("\nprocess ");
    out.Dec(getpid());
    out.Put("\nthread ");
    out.Dec((int64_t)syscall(SYS_gettid));
    out.Put("\n");
    if (context) WriteRegisters(out, context);
    WriteStack(out, context ? StackPointer(context) : 0);
    WriteMaps(state, out);
    out.Flush();
    const bool written = !out.Failed && fsync(fd) == 0;
    bool whole = written;
    if (whole && named) {
        whole = renameat(state->DirectoryFd, part, state->DirectoryFd, name) == 0;
    } else if (whole) {
        whole = NameNameless(fd, state->DirectoryFd, name);
    }
    if (!whole) {
        // Written whole but not named (the folder gone, say): there is no dump, as when none could
        // be opened.
        state->DumpError.store(out.Failed ? EIO : errno);
        if (named) unlinkat(state->DirectoryFd, part, 0);
        close(fd);
        return written ? Dump::None : Dump::Cut;
    }
    return Dump::Whole;
}

// Sleeps a little, with nothing but a system call.
void Pause(long milliseconds) {
    struct timespec wait = {0, milliseconds * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

int64_t MonotonicMs() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The signal's default action: a fault repeats when the handler returns; a raised signal is
// delivered once it is unblocked.
void DefaultAction(int signal, const siginfo_t* info) {
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    sigaction(signal, &plain, nullptr);
    // A breakpoint does not repeat: execution would go on after it.
    if (!info || info->si_code <= 0 || signal == SIGTRAP) raise(signal);
}

// A child of ours that crashes before its exec: only system calls, since a launch's child may share
// our memory (a library wrapper may keep books there). The disposition is the child's own.
void ChildDefaultAction(int signal, const siginfo_t* info) {
    struct {
        void* Handler;
        unsigned long Flags;
        void* Restorer;
        uint64_t Mask;
    } plain = {reinterpret_cast<void*>(SIG_DFL), 0, nullptr, 0};
    syscall(SYS_rt_sigaction, signal, &plain, nullptr, sizeof(uint64_t));
    if (!info || info->si_code <= 0 || signal == SIGTRAP)
        syscall(SYS_tgkill, syscall(SYS_getpid), syscall(SYS_gettid), signal);
}

void Handler(int signal, siginfo_t* info, void* raw) {
    const int saved = errno;
    CrashState* state = g_state;
    // A forked child that crashes before its exec ends as the system ends it, touching nothing of
    // the parent's: the crash thread, the pipes and the held files serve the parent's own crash.
    if (state && (pid_t)syscall(SYS_getpid) != state->Owner) {
        ChildDefaultAction(signal, info);
        errno = saved;
        return;
    }
    const pid_t self = (pid_t)syscall(SYS_gettid);
    int expected = 0;
    if (!state) {
        DefaultAction(signal, info);
        errno = saved;
        return;
    }
    if (!state->Crashing.compare_exchange_strong(expected, 1)) {
        // A fault inside the report itself goes straight to the default action. Another thread
        // that faults meanwhile (cascading faults after a heap corruption are common) waits for
        // the report, which ends the process; the wait is bounded, should the reporting thread
        // itself be stuck.
        if (state->CrashingThread.load() != self) {
            const int64_t deadline = MonotonicMs() + 2 * (int64_t)state->WaitMs.load() + 30000;
            while (state->Crashing.load() != 2 && MonotonicMs() < deadline) Pause(10);
            // The reporting thread ends the process with its own signal once done.
            for (int i = 0; i < 200 && state->Crashing.load() == 2; i++) Pause(10);
        }
        DefaultAction(signal, info);
        errno = saved;
        return;
    }
    state->CrashingThread.store(self);
    // The id and whether the dump is whole: the callback is told of a cut one or none too, to say
    // so.
    char message[kMessageSize] = {};
    const Dump dump = WriteDump(state, signal, info, static_cast<const ucontext_t*>(raw), message);
    message[32] = dump == Dump::Whole ? '1' : dump == Dump::Cut ? '0' : 'n';
    if (state->ThreadRunning) {
        if (write(state->Wake[1], message, kMessageSize) == (ssize_t)kMessageSize) {
            struct pollfd wait = {state->Done[0], POLLIN, 0};
            while (poll(&wait, 1, state->WaitMs.load()) < 0 && errno == EINTR) {
            }
        }
    }
    state->Crashing.store(2);
    DefaultAction(signal, info);
    errno = saved;
}

// GLib ends the process on a fatal message with a breakpoint. On the threads GLib starts itself,
// which block every signal, the kernel then ends the process at once and no handler runs; abort()
// lets its own signal through first, so such a crash (a full descriptor table met by a GLib call
// on any thread, say) is reported like any other. GLib's own writer would take the breakpoint
// itself, so a fatal message is written here.
void FatalMessageAborts(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data) {
    if (!(level & (G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR))) {
        g_log_default_handler(domain, level, message, data);
        return;
    }
    const char* kind = (level & G_LOG_LEVEL_ERROR) ? "ERROR" : (level & G_LOG_LEVEL_CRITICAL) ? "CRITICAL"
                                                    : (level & G_LOG_LEVEL_WARNING)  ? "WARNING"
                                                                                     : "Message";
    fprintf(stderr, "\n(process:%d): %s%s%s **: %s\n", (int)getpid(), domain ? domain : "", domain ? "-" : "", kind,
            message ? message : "");
    abort();
}

void* CrashThread(void* argument) {
    CrashState* state = static_cast<CrashState*>(argument);
    for (;;) {
        char message[kMessageSize + 1] = {};
        size_t got = 0;
        while (got < kMessageSize) {
            const ssize_t n = read(state->Wake[0], message + got, kMessageSize - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return nullptr; // the write end is closed: removal
            got += (size_t)n;
        }
        if (message[0] == '-') return nullptr;
        const uint32_t whole = message[32] == '1' ? BREAKPAD_DUMP_WHOLE : message[32] == '0' ? BREAKPAD_DUMP_CUT : BREAKPAD_DUMP_NONE;
        message[32] = 0;
        state->Callback(state->Context, state->Directory, message, whole);
        const char done = 1;
        if (write(state->Done[1], &done, 1) < 0) {
        }
    }
}

// Attributes and descriptor actions for the launch: every signal back to its default and
// nothing blocked in the program, as for any launch, every inherited descriptor above standard
// error closed, the working directory entered.
bool PrepareLaunch(CrashState* state, const BreakpadLaunch* launch) {
    // Without its environment the reporter would look for the dumps elsewhere and ask no one.
    if (!launch || !launch->Path || !launch->Arguments || !launch->Environment) return false;
    if (!Platform_InitSpawnSignals(&state->LaunchAttributes)) return false;
    if (posix_spawn_file_actions_init(&state->LaunchActions) != 0) {
        posix_spawnattr_destroy(&state->LaunchAttributes);
        return false;
    }
    bool ok = posix_spawn_file_actions_addclosefrom_np(&state->LaunchActions, 3) == 0;
    if (ok && launch->Directory && launch->Directory[0])
        ok = posix_spawn_file_actions_addchdir_np(&state->LaunchActions, launch->Directory) == 0;
    if (!ok) {
        posix_spawn_file_actions_destroy(&state->LaunchActions);
        posix_spawnattr_destroy(&state->LaunchAttributes);
        return false;
    }
    state->Launch = *launch;
    state->LaunchReady = true;
    return true;
}

void CloseAll(CrashState* state) {
    // A held ".part" nobody used is ours to remove (its lock still held here).
    if (state->DirectoryFd >= 0 && Owned(state)) {
        if (state->DumpFile >= 0 && state->DumpPart[0]) unlinkat(state->DirectoryFd, state->DumpPart, 0);
        if (state->SpareFile >= 0 && state->SparePart[0]) unlinkat(state->DirectoryFd, state->SparePart, 0);
    }
    for (int* fd : {&state->Wake[0], &state->Wake[1], &state->Done[0], &state->Done[1], &state->DirectoryFd,
                    &state->DumpFile, &state->SpareFile, &state->Maps, &state->Reserve[0], &state->Reserve[1],
                    &state->Reserve[2]})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

} // namespace

int64_t Breakpad_Init(void* context, const char* dumpDirectory, BreakpadCallback callback,
                      const BreakpadLaunch* launch) {
    if (!dumpDirectory || !dumpDirectory[0] || !callback) return 0;
    if (strlen(dumpDirectory) >= kDirectorySize) return 0;
    Breakpad_Remove();
    CrashState* state = new CrashState();
    state->Context = context;
    state->Callback = callback;
    memcpy(state->Directory, dumpDirectory, strlen(dumpDirectory) + 1);
    // Reached as a private folder of the user's: no link or folder of another user on the way
    // decides where dumps land.
    int32_t directory = -1, error = 0;
    const char* reason = nullptr;
    Platform_OpenPrivateDirectory(dumpDirectory, 0, &directory, &error, &reason);
    state->DirectoryFd = directory;
    state->Owner = getpid();
    if (directory >= 0) {
        // Nobody else can see a nameless file, so its lock is ours alone; it is held until this
        // process ends.
        state->DumpFile = openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (state->DumpFile >= 0)
            flock(state->DumpFile, LOCK_EX | LOCK_NB);
        else if (NoNamelessFiles(errno))
            state->DumpFile = HoldPart(state, state->DumpPart);
        state->SpareFile = openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (state->SpareFile < 0 && NoNamelessFiles(errno)) state->SpareFile = HoldPart(state, state->SparePart);
    }
    state->Maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    for (int& spare : state->Reserve) spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (state->DirectoryFd < 0 || pipe2(state->Wake, O_CLOEXEC) != 0 || pipe2(state->Done, O_CLOEXEC) != 0 ||
        state->Reserve[0] < 0 || state->Reserve[1] < 0 || state->Reserve[2] < 0) {
        CloseAll(state);
        delete state;
        return 0;
    }
    if (launch && !PrepareLaunch(state, launch)) {
        CloseAll(state);
        delete state;
        return 0;
    }
    // The thread exists before any crash: a crashed process cannot be trusted to make one.
    state->ThreadRunning = pthread_create(&state->Thread, nullptr, CrashThread, state) == 0;
    // A stack overflow leaves no room for the handler on the thread's own stack.
    state->AltStack = malloc(kAltStackSize);
    if (state->AltStack) {
        stack_t alternate = {};
        alternate.ss_sp = state->AltStack;
        alternate.ss_size = kAltStackSize;
        sigaltstack(&alternate, nullptr);
    }
    g_state = state;
    state->PreviousLogHandler = g_log_set_default_handler(FatalMessageAborts, nullptr);
    struct sigaction action = {};
    action.sa_sigaction = Handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; i++) sigaction(kSignals[i], &action, &state->Previous[i]);
    return 1;
}

int64_t Breakpad_Remove() {
    CrashState* state = g_state;
    if (!state) return 1;
    for (int i = 0; i < kSignalCount; i++) sigaction(kSignals[i], &state->Previous[i], nullptr);
    g_log_set_default_handler(state->PreviousLogHandler, nullptr);
    g_state = nullptr;
    if (state->ThreadRunning) {
        const char stop[kMessageSize] = {'-'};
        if (write(state->Wake[1], stop, sizeof(stop)) < 0) {
        }
        pthread_join(state->Thread, nullptr);
    }
    if (state->AltStack) {
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        free(state->AltStack);
    }
    if (state->LaunchReady) {
        posix_spawn_file_actions_destroy(&state->LaunchActions);
        posix_spawnattr_destroy(&state->LaunchAttributes);
    }
    CloseAll(state);
    delete state;
    return 1;
}

int64_t Breakpad_Launch(int32_t* pid) {
    if (pid) *pid = 0;
    CrashState* state = g_state;
    if (!state || !state->LaunchReady) {
        errno = ENOENT;
        return 0;
    }
    // The C library's spawn shares our memory until the exec (no copy, no fork handlers, no
    // allocator lock), blocks every signal around it and puts our handlers back to their
    // defaults in the child before anything runs there.
    pid_t child = 0;
    const int error = posix_spawn(&child, state->Launch.Path, &state->LaunchActions, &state->LaunchAttributes,
                                  state->Launch.Arguments, state->Launch.Environment);
    if (error != 0) {
        errno = error;
        return 0;
    }
    if (pid) *pid = (int32_t)child;
    return 1;
}

int64_t Breakpad_SaveFile(const char* name, const char* bytes, size_t length) {
    CrashState* state = g_state;
    if (!state || state->Crashing.load() == 0 || !name || (!bytes && length)) {
        errno = EINVAL;
        return 0;
    }
    bool named = false;
    // The held file: nameless, or a ".part" of its own that takes the name once whole.
    char part[sizeof(state->SparePart)] = {};
    int fd = TakeHeld(state, &state->SpareFile);
    if (fd >= 0) memcpy(part, state->SparePart, sizeof(part));
    if (fd < 0) {
        fd = OpenWithReserve(state, state->DirectoryFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        named = true;
    }
    if (fd < 0) return 0;
    Out out(fd);
    out.Write(bytes, length);
    bool saved = !out.Failed && fsync(fd) == 0;
    if (saved && part[0])
        saved = NamePart(state->DirectoryFd, part, name);
    else if (saved && !named)
        saved = NameNameless(fd, state->DirectoryFd, name);
    const int error = errno;
    if (part[0]) unlinkat(state->DirectoryFd, part, 0);
    if (!saved && named) unlinkat(state->DirectoryFd, name, 0);
    if (close(fd) != 0 && saved && named) {
        unlinkat(state->DirectoryFd, name, 0);
        saved = false;
    }
    if (!saved) errno = out.Failed ? EIO : error;
    return saved ? 1 : 0;
}

int32_t Breakpad_DumpError() {
    return g_state ? g_state->DumpError.load() : 0;
}

void Breakpad_SetCallbackWaitForTesting(int32_t milliseconds) {
    if (g_state) g_state->WaitMs.store(milliseconds);
}

void Breakpad_ReleaseHeldDumpForTesting() {
    CrashState* state = g_state;
    if (!state || state->DumpFile < 0) return;
    if (state->DumpPart[0]) unlinkat(state->DirectoryFd, state->DumpPart, 0);
    close(state->DumpFile);
    state->DumpFile = -1;
    state->DumpPart[0] = 0;
}

// The file backend's system calls (StorageFileOS_SetCalls) wrapped so that a test can count a run's
// calls, fail call N once with an error, or cut the run at call N as a kill would leave it (no
// later call acts), and see whether a manifest was saved before the changes it names were flushed;
// and a fixture that runs one repository under such a fault.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <string>

#include "repository/linux/storage_file_os.h"
#include "tests/repository/repository_test_support.h"

enum class CallMode { Count, Cut, Fail };

struct CallFaults {
    std::atomic<CallMode> mode{CallMode::Count};
    std::atomic<long> calls{0};
    std::atomic<long> target{-1};
    std::atomic<int> error{0};
    std::atomic<bool> dead{false}; // a cut run: no call acts any more
    // Opens that create nothing (no O_CREAT, O_TRUNC or O_TMPFILE) counted and cut as well: a cut
    // there leaves the disk as one at the next call that changes it, so a walk of cuts may leave
    // them out (false), as it must where such opens come by the dozen (the record's reserved names).
    std::atomic<bool> everyOpen{true};
    std::atomic<bool> hit{false};
    // Set: the target counts from the sync's start, not the refresh's (its first calls are those
    // before the update changes anything).
    std::atomic<long> fromSync{0};
    std::atomic<long> syncAt{0}; // the calls counted when the run's sync began
    // The record's "unfinished" mark: the calls of its write and of the flush after it (counted in
    // the run), and whether any call of the table acted between the two (`markEarly`: a change made
    // before the mark lasted). With `failMark` 1 the mark's write fails with the armed error, with
    // 2 the flush after it.
    std::atomic<long> markWrite{0}, markFlush{0};
    std::atomic<bool> markPending{false}, markEarly{false};
    std::atomic<uint64_t> markDevice{0}, markInode{0}; // the file the mark went into
    std::atomic<int> failMark{0};
    // The mark's flush waits this long before it acts (what is held back for it then shows).
    std::atomic<int> markDelayMs{0};
    // What a power loss keeps, as the table sees it: a change lasts once a flush of the file
    // system follows it. Where `manifest` is set, the manifest there must name nothing that has
    // not lasted: `early` tells that it came to hold `saved` while a change of the table had not.
    std::string manifest, saved;
    std::atomic<bool> unflushed{false}, seen{false}, early{false};
    std::mutex order; // calls of several threads: each sees the manifest, then acts, as one step
};
inline CallFaults g_calls;
// Set while a call of the wrapped table runs on this thread (what it calls below is that call).
inline thread_local bool t_inTable = false;

inline const StorageFileOSCalls& SystemCalls() {
    return *StorageFileOS_SystemCalls();
}

namespace call_faults {
inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether the manifest has been saved: at that moment every change before it must have lasted.
// Under g_calls.order.
inline void Observe() {
    if (g_calls.seen || g_calls.manifest.empty() || Slurp(g_calls.manifest) != g_calls.saved) return;
    g_calls.seen = true;
    if (g_calls.unflushed) g_calls.early = true;
}
} // namespace call_faults

// Looks at the manifest between calls, as CallActs does, for a call that is neither counted nor
// failed, and once more after a run.
inline void ObserveManifest() {
    std::lock_guard<std::mutex> hold(g_calls.order);
    call_faults::Observe();
}

// The manifest to watch from the next call on, and the text its save writes ("" to watch none).
inline void WatchManifest(const std::string& path, const std::string& saved) {
    std::lock_guard<std::mutex> hold(g_calls.order);
    g_calls.manifest = path;
    g_calls.saved = saved;
}

// Whether the call acts: counted, and the one at the target fails with the chosen error or, cut,
// ends every call after it too. A call of the table that acts is not lasting until the next flush;
// `table` false for the calls a test counts beside the table's (the manifest's own save among them).
inline bool CallActs(bool table = true) {
    std::lock_guard<std::mutex> hold(g_calls.order);
    call_faults::Observe();
    if (g_calls.dead) {
        errno = EIO;
        return false;
    }
    const long n = ++g_calls.calls;
    if (n != g_calls.target) {
        if (table) g_calls.unflushed = true;
        return true;
    }
    g_calls.hit = true;
    if (g_calls.mode == CallMode::Cut) g_calls.dead = true;
    errno = g_calls.mode == CallMode::Cut ? EIO : g_calls.error.load();
    return false;
}

// Runs one call of the table: -1 when it does not act.
template <typename Call> auto TableCall(Call call) -> decltype(call()) {
    if (!CallActs()) return -1;
    t_inTable = true;
    const auto result = call();
    t_inTable = false;
    return result;
}

namespace call_faults {
// A call about to give the installation an entry or take one (name: its leaf): while the record's
// unfinished mark has not been flushed, that is a change made before the mark lasted. The record's
// own names, its scratch and the manifest's are the record's work, not the installation's.
inline void Changes(const char* name) {
    if (!g_calls.markPending || g_calls.dead) return;
    const char* slash = strrchr(name, '/');
    const char* leaf = slash ? slash + 1 : name;
    if (strncmp(leaf, ".quarvpartial", 13) != 0 && !strstr(leaf, ".json")) g_calls.markEarly = true;
}

inline int OpenAt(int directory, const char* name, int flags, mode_t mode) {
    // Opens that only read change nothing on disk: neither counted nor failed.
    const bool makes = (flags & (O_CREAT | O_TRUNC)) || (flags & O_TMPFILE) == O_TMPFILE;
    const bool changes = makes || (g_calls.everyOpen && (flags & (O_WRONLY | O_RDWR)));
    if (!changes) {
        ObserveManifest();
        return SystemCalls().OpenAt(directory, name, flags, mode);
    }
    if ((flags & O_CREAT) && (flags & O_TMPFILE) != O_TMPFILE) Changes(name);
    return TableCall([&] { return SystemCalls().OpenAt(directory, name, flags, mode); });
}
inline int MkdirAt(int d, const char* n, mode_t m) {
    Changes(n);
    return TableCall([&] { return SystemCalls().MkdirAt(d, n, m); });
}
inline int RenameAt(int d, const char* f, const char* t, unsigned int flags) {
    Changes(t);
    return TableCall([&] { return SystemCalls().RenameAt(d, f, t, flags); });
}
inline int LinkAt(int fd, const char* f, int td, const char* t, int flags) {
    Changes(t);
    return TableCall([&] { return SystemCalls().LinkAt(fd, f, td, t, flags); });
}
inline int UnlinkAt(int d, const char* n, int flags) {
    Changes(n);
    return TableCall([&] { return SystemCalls().UnlinkAt(d, n, flags); });
}
inline int SymlinkAt(const char* target, int d, const char* n) {
    Changes(n);
    return TableCall([&] { return SystemCalls().SymlinkAt(target, d, n); });
}
inline int Fchmod(int fd, mode_t m) {
    return TableCall([&] { return SystemCalls().Fchmod(fd, m); });
}
inline int FchmodAt(int d, const char* n, mode_t m, int flags) {
    return TableCall([&] { return SystemCalls().FchmodAt(d, n, m, flags); });
}
inline int Ftruncate(int fd, off_t length) {
    return TableCall([&] { return SystemCalls().Ftruncate(fd, length); });
}
inline int Futimens(int fd, const struct timespec* times) {
    return TableCall([&] { return SystemCalls().Futimens(fd, times); });
}
// Whether the open file is a replay's scratch (named with a '~' at the end, or no name yet): a
// replay carries the mark of a record that already held it over, and is no mark of the run's own.
inline bool Scratch(int fd) {
    char link[64], path[4096];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t got = readlink(link, path, sizeof(path) - 1);
    if (got <= 0) return false;
    path[got] = 0;
    return path[got - 1] == '~' || strstr(path, " (deleted)") != nullptr;
}

inline ssize_t Write(int fd, const void* bytes, size_t length) {
    const bool mark = memmem(bytes, length, "unfinished", 10) != nullptr && !Scratch(fd);
    if (mark && g_calls.failMark == 1) g_calls.target = g_calls.calls + 1;
    const ssize_t written = TableCall([&] { return SystemCalls().Write(fd, bytes, length); });
    if (mark && written == (ssize_t)length && !g_calls.markWrite) {
        g_calls.markWrite = g_calls.calls.load();
        struct stat held{};
        if (fstat(fd, &held) == 0) g_calls.markDevice = held.st_dev, g_calls.markInode = held.st_ino;
        g_calls.markPending = true;
    }
    return written;
}
inline ssize_t CopyRange(int from, int to, size_t length) {
    return TableCall([&] { return SystemCalls().CopyRange(from, to, length); });
}
inline int Fsync(int fd) {
    // The mark lasts with its record's flush (the run's own mark, or one a replay carries into the
    // record that replaces the one holding it: until the new record takes the old one's name, the
    // old one still holds it), through any descriptor of it: the mark's file is known by identity.
    struct stat now{};
    const bool mark = g_calls.markPending && fstat(fd, &now) == 0 && now.st_dev == g_calls.markDevice &&
                      now.st_ino == g_calls.markInode;
    if (mark && g_calls.failMark == 2) g_calls.target = g_calls.calls + 1;
    if (mark && !g_calls.markFlush) g_calls.markFlush = g_calls.calls + 1;
    if (mark && g_calls.markDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(g_calls.markDelayMs));
    // Counted and failed as any call, but a flush changes nothing that would have to last.
    if (!CallActs(false)) return -1;
    t_inTable = true;
    const int flushed = SystemCalls().Fsync(fd);
    t_inTable = false;
    if (flushed != 0) return -1;
    if (mark) g_calls.markPending = false;
    return 0;
}
inline int Syncfs(int fd) {
    const bool mark = g_calls.markPending.exchange(false);
    if (mark && g_calls.failMark == 2) g_calls.target = g_calls.calls + 1;
    if (mark && !g_calls.markFlush) g_calls.markFlush = g_calls.calls + 1;
    if (TableCall([&] { return SystemCalls().Syncfs(fd); }) != 0) return -1;
    // Only what acted before the flush began is known to have lasted.
    std::lock_guard<std::mutex> hold(g_calls.order);
    g_calls.unflushed = false;
    return 0;
}
} // namespace call_faults

inline const StorageFileOSCalls kWrappedCalls = {
    call_faults::OpenAt,    call_faults::MkdirAt,   call_faults::RenameAt, call_faults::LinkAt,
    call_faults::UnlinkAt,  call_faults::SymlinkAt, call_faults::Fchmod,   call_faults::FchmodAt,
    call_faults::Ftruncate, call_faults::Futimens,  call_faults::Write,    call_faults::CopyRange,
    call_faults::Fsync,     call_faults::Syncfs};

inline void ArmCalls(CallMode mode, long target, int error = 0) {
    g_calls.dead = false;
    g_calls.hit = false;
    g_calls.calls = 0;
    g_calls.error = error;
    g_calls.target = target;
    g_calls.fromSync = 0;
    g_calls.syncAt = 0;
    g_calls.markWrite = 0;
    g_calls.markFlush = 0;
    g_calls.markPending = false;
    g_calls.markEarly = false;
    g_calls.failMark = 0;
    g_calls.markDelayMs = 0;
    g_calls.mode = mode;
    g_calls.unflushed = false;
    g_calls.seen = false;
    g_calls.early = false;
}

// A repository run under the armed fault; the table goes back to the system's at the end.
class FaultedRepositoryFixture : public RepositoryFixture {
  protected:
    void TearDown() override {
        StorageFileOS_SetCalls(nullptr);
        g_calls.everyOpen = true;
        RepositoryFixture::TearDown();
    }
    // Runs synchronise only what the refresh finds to install, as the repository task does.
    bool asTask = false;
    // Runs start a sync that is not a repair, as the repository task does, whatever the refresh found.
    bool masked = false;
    // The task's dictionary of a faulted run.
    virtual void ConfigureRun() { Configure(); }

    // The installation and its state kept whole, to be put back before each run of a walk.
    std::string snapshot;
    void Snapshot() {
        snapshot = Root() + "/snapshot";
        ASSERT_EQ(Shell("rm -rf " + snapshot + " && mkdir -p " + snapshot + " && cp -a " + Root() + "/local " +
                        Root() + "/state " + snapshot + "/"),
                  0);
    }
    void Restore() {
        ASSERT_EQ(Shell("rm -rf " + Root() + "/local " + Root() + "/state && cp -a " + snapshot + "/local " +
                        snapshot + "/state " + Root() + "/"),
                  0);
    }

    // What the repository task says of work that ended on its own: success unless the repository
    // failed it or a configuration error ended it. Errors met on the way that a retry got past are
    // no failure; an error still waited on is the stall the task fails.
    bool TaskSaysSuccess() {
        int32_t source = 0;
        Repository_GetLastError(repo, &source, nullptr, nullptr, nullptr, nullptr);
        return Repository_IsFailed(repo) == 0 && source != REPOSITORY_SOURCE_CONFIG;
    }

    // One run under the armed fault: refresh, then synchronise (or erase), until it ends, is cut,
    // or has met an error and, `grace` seconds on, would only retry it after a delay (the task's
    // stall: a failure). true when it said success, judged as the task judges it. A cut run is
    // stopped as its process would be: the caller makes a new repository before anything on disk
    // is judged.
    bool RunFaulted(double grace = 0.3, bool erase = false) {
        NewRepository();
        ConfigureRun();
        Repository_Reset(repo);
        Repository_SetActive(repo, 1);
        Repository_SetRefresh(repo, 1);
        double erred = 0;
        bool stalled = false;
        auto over = [&](uint32_t action, uint32_t state) {
            if (g_calls.dead) return true;
            if (Errors() > 0 && erred == 0) erred = Time_GetCurrent();
            if (!(Actions() & action) && !(State() & state)) return true;
            if (erred > 0 && Time_GetCurrent() - erred > grace) return stalled = true;
            return false;
        };
        if (!Pump([&] { return over(REPOSITORY_ACTION_REFRESH, REPOSITORY_STATEFLAG_REFRESH); }) ||
            g_calls.dead || stalled || !TaskSaysSuccess())
            return false;
        if (erase) {
            Repository_SetErase(repo, 1);
            const bool ended = Pump([&] { return over(REPOSITORY_ACTION_ERASE, REPOSITORY_STATEFLAG_ALIVE); });
            return ended && !g_calls.dead && !stalled && TaskSaysSuccess();
        }
        if (asTask) {
            // As the repository task runs it: no sync where the refresh finds nothing to install.
            if (!(State() & (REPOSITORY_STATEFLAG_INSTALL | REPOSITORY_STATEFLAG_UPDATE)))
                return TaskSaysSuccess();
            Repository_SetDelta(repo, 1);
        }
        if (asTask || masked) Repository_SetMask(repo, 1);
        g_calls.syncAt = g_calls.calls.load();
        if (g_calls.fromSync > 0) g_calls.target = g_calls.calls + g_calls.fromSync;
        Repository_SetSync(repo, 1);
        const bool ended = Pump([&] { return over(REPOSITORY_ACTION_SYNC, REPOSITORY_STATEFLAG_ALIVE); });
        ObserveManifest();
        EXPECT_FALSE(g_calls.early.load()) << "manifest saved before the files it names lasted";
        EXPECT_FALSE(g_calls.markEarly.load()) << "the installation changed before its unfinished mark lasted";
        return ended && !g_calls.dead && !stalled && TaskSaysSuccess();
    }
};

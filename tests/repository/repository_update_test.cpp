// An update that reads and writes what changed: a file the installed manifest lists as the new
// version does, found on disk as listed, is neither opened nor completed again; what the user
// changed in such a file (removed, cut, its time or mode) is still put back as listed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/linux/storage_file_os.h"
#include "repository/repository.h"
#include "tests/repository/repository_test_support.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

// The names every open through the file storage's table named (a file's own open names its leaf).
std::mutex g_openLock;
std::multiset<std::string> g_opened;
int CountingOpenAt(int directory, const char* name, int flags, mode_t mode) {
    {
        std::lock_guard<std::mutex> hold(g_openLock);
        g_opened.insert(name);
    }
    return StorageFileOS_SystemCalls()->OpenAt(directory, name, flags, mode);
}

constexpr int kFiles = 12;
constexpr int kPiece = 64;
constexpr double kTime = 1577836800; // each file's listed time: this plus its number

std::string Leaf(int i) {
    return "f" + std::to_string(10 + i);
}
std::string Name(int i) {
    return std::string(i % 2 ? "b/" : "a/") + Leaf(i);
}

// Whether the manifest's folder (by identity) was flushed with the replaced manifest beside the
// installed one, before the save replaced that one (both names still lead to the same file).
struct FolderWatch {
    std::atomic<dev_t> device{0};
    std::atomic<ino_t> inode{0};
    std::atomic<bool> flushed{false};
} g_folder;
int WatchedFsync(int fd) {
    struct stat at {}, installed {}, replaced {};
    if (fstat(fd, &at) == 0 && at.st_dev == g_folder.device && at.st_ino == g_folder.inode &&
        fstatat(fd, "local.json.replaced", &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
        fstatat(fd, "local.json", &installed, AT_SYMLINK_NOFOLLOW) == 0 && installed.st_ino == replaced.st_ino)
        g_folder.flushed = true;
    return StorageFileOS_SystemCalls()->Fsync(fd);
}

// The last descriptor opened read-only on the replaced manifest's name. Its name then goes at once,
// as by another remover racing the update's own, and with g_replacedFolder a folder takes its place,
// which no removal of a file can remove.
std::atomic<int> g_replacedFd{-1};
std::atomic<bool> g_replacedFolder{false};
int WatchedOpenAt(int directory, const char* name, int flags, mode_t mode) {
    const int fd = StorageFileOS_SystemCalls()->OpenAt(directory, name, flags, mode);
    if (fd >= 0 && strcmp(name, "local.json.replaced") == 0 && (flags & O_ACCMODE) == O_RDONLY) {
        g_replacedFd = fd;
        unlinkat(directory, name, 0);
        if (g_replacedFolder) mkdirat(directory, name, 0700);
    }
    return fd;
}

class RepositoryUpdateTest : public RepositoryFixture {
  protected:
    void TearDown() override {
        StorageFileOS_SetCalls(nullptr);
        RepositoryFixture::TearDown();
    }
    // One version: file i holds (1 + i % 2) whole pieces, so that no two files share a piece, with
    // the time and attributes listed (executable for every third file, with `flip` the other way), and
// a link "l" to the first file.
    void Publish(const std::string& id, const std::map<int, int>& seeds, int retimed, int flip) {
        std::map<std::string, std::string> files;
        for (int i = 0; i < kFiles; i++)
            files[Name(i)] = Content((size_t)kPiece * (1 + i % 2), seeds.count(i) ? seeds.at(i) : i);
        Version(id, files);
        const std::string script = Root() + "/times.py";
        std::ofstream(script) << "import json,sys\n"
                                 "m=json.load(open(sys.argv[1]))\n"
                                 "for f in m['files']:\n"
                                 "  i=int(f['name'][3:])-10\n"
                                 "  f['mtime']=" + std::to_string((int64_t)kTime) + "+i+(1000 if i==" +
                                     std::to_string(retimed) + " else 0)\n"
                                 "  f['attr']=4 if (i%3==0)!=(i==" + std::to_string(flip) + ") else 0\n"
                                 "m['files'].append({'name':'l','size':0,'attr':8,'link':'a/f10'})\n"
                                 "json.dump(m,open(sys.argv[1],'w'))\n";
        ASSERT_EQ(Shell("/usr/bin/python3 " + script + " " + Root() + "/remote.json && ln -s a/f10 " + Root() +
                        "/remote/l"),
                  0);
    }
    // Keeps each change of the state flags in `changes`.
    static void NoteChange(Repository*, void* user, uint32_t old, uint32_t now) {
        static_cast<RepositoryUpdateTest*>(user)->changes.push_back({old, now});
    }
    // Refresh, then synchronise as the task does for an update that is not a repair.
    bool Update() {
        NewRepository();
        Configure();
        Repository_SetMask(repo, 1);
        return Run(REPOSITORY_ACTION_SYNC) && Errors() == 0;
    }
    // The same, with the names it opens kept in g_opened.
    bool UpdateCountingOpens() {
        g_opened.clear();
        static const StorageFileOSCalls counting = [] {
            StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
            calls.OpenAt = CountingOpenAt;
            return calls;
        }();
        StorageFileOS_SetCalls(&counting);
        const bool updated = Update();
        StorageFileOS_SetCalls(nullptr);
        return updated;
    }
};

// Each row: what the user did to an unchanged file before the update. The new version rewrites
// file 1, lists a later time for file 2 and the other attributes for file 3 (their bytes kept).
TEST_F(RepositoryUpdateTest, UnchangedFilesAreNotOpenedAndWhatTheUserChangedIsPutBack) {
    enum class User { Nothing, Removed, Cut, Touched, ModeChanged, Relinked };
    constexpr int kUser = 4; // the file the user changes: not executable, one piece
    for (User user : {User::Nothing, User::Removed, User::Cut, User::Touched, User::ModeChanged, User::Relinked}) {
        SCOPED_TRACE((int)user);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        Publish("v1", {}, -1, -1);
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        ASSERT_TRUE(Same());
        Publish("v2", {{1, 99}}, 2, 3);
        const std::string path = Root() + "/local/" + Name(kUser);
        switch (user) {
        case User::Nothing: break;
        case User::Removed: ASSERT_EQ(unlink(path.c_str()), 0); break;
        case User::Cut: ASSERT_EQ(truncate(path.c_str(), 10), 0); break;
        case User::Touched: ASSERT_EQ(Shell("touch " + path), 0); break;
        case User::ModeChanged: ASSERT_EQ(chmod(path.c_str(), 0755), 0); break;
        case User::Relinked: ASSERT_EQ(Shell("ln -sfn b/f11 " + Root() + "/local/l"), 0); break;
        }
        ASSERT_TRUE(UpdateCountingOpens()) << printed.Text;
        EXPECT_TRUE(Same());
        for (int i = 0; i < kFiles; i++) {
            struct stat info {};
            ASSERT_EQ(stat((Root() + "/local/" + Name(i)).c_str(), &info), 0) << Name(i);
            EXPECT_EQ(info.st_mtime, (time_t)kTime + i + (i == 2 ? 1000 : 0)) << Name(i);
            EXPECT_EQ((info.st_mode & 0111) == 0111, (i % 3 == 0) != (i == 3)) << Name(i);
            // Only the files the update changes, and the one the user did, are opened.
            if (i != 1 && i != 2 && i != 3 && (i != kUser || user == User::Nothing)) {
                EXPECT_EQ(g_opened.count(Leaf(i)), 0u) << Name(i);
            }
        }
        EXPECT_GE(g_opened.count(Leaf(1)), 1u);
        // Read back, where the user changed nothing: only the pieces whose bytes the installed
        // manifest lists in place under a listing that changed (files 2 and 3). File 1's pieces
        // are known from it to hold other bytes, and are written without a read.
        if (user == User::Nothing) {
            EXPECT_EQ(Counter("localReadBytes"), (double)(kPiece * 1 + kPiece * 2));
        }
        char target[64] = {};
        EXPECT_EQ(readlink((Root() + "/local/l").c_str(), target, sizeof(target) - 1), 5);
        EXPECT_STREQ(target, "a/f10");
    }
}

// Four files of two folders, whose names repeat from one folder to the other, share one piece
// the new version keeps: the check of that piece holds each folder open for the files after the
// first, and still finds what the user removed or cut, first, middle or last, and a link put in
// place of a file (which the update does not replace, and fails on).
TEST_F(RepositoryUpdateTest, AKeptPieceOfFilesInTwoFoldersIsCheckedFileByFile) {
    enum class User { Nothing, Removed, Cut, Linked };
    const std::vector<std::string> shared = {"a/x", "a/y", "b/x", "b/y"};
    const std::vector<std::pair<std::string, User>> rows = {
        {"a/x", User::Nothing}, {"a/x", User::Removed}, {"a/y", User::Removed}, {"b/x", User::Removed},
        {"b/y", User::Removed},
        {"a/x", User::Cut},     {"b/x", User::Cut},     {"b/y", User::Cut},     {"b/x", User::Linked}};
    for (const auto& [name, user] : rows) {
        SCOPED_TRACE(name + " " + std::to_string((int)user));
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        std::map<std::string, std::string> files;
        for (size_t i = 0; i < shared.size(); i++) files[shared[i]] = Content(4, (int)i);
        files["c/z"] = Content(16, 7);
        Version("v1", files);
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        ASSERT_TRUE(Same());
        files["c/z"] = Content(16, 8);
        Version("v2", files);
        const std::string path = Root() + "/local/" + name;
        switch (user) {
        case User::Nothing: break;
        case User::Removed: ASSERT_EQ(unlink(path.c_str()), 0); break;
        case User::Cut: ASSERT_EQ(truncate(path.c_str(), 1), 0); break;
        case User::Linked: ASSERT_EQ(Shell("ln -sfn ../a/x " + path), 0); break;
        }
        struct stat info {};
        if (user == User::Linked) {
            // A link the installation did not make is not replaced: the update fails on it.
            EXPECT_FALSE(Update());
            EXPECT_EQ(lstat(path.c_str(), &info), 0);
            EXPECT_TRUE(S_ISLNK(info.st_mode));
            continue;
        }
        ASSERT_TRUE(UpdateCountingOpens()) << printed.Text;
        EXPECT_TRUE(Same());
        EXPECT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        // Left as it was, the shared piece is kept: none of its files is opened.
        if (user == User::Nothing) {
            EXPECT_EQ(g_opened.count("x") + g_opened.count("y"), 0u);
        }
    }
}

// A pass that moves the repository on wakes its thread, so that the driver's next pass runs at
// once; a pass that moves nothing leaves the driver to wait.
TEST_F(RepositoryUpdateTest, APassThatMovesOnWakesItsThreadAndAnIdleOneDoesNot) {
    Version("v1", {{"a/x", Content(16, 1)}});
    NewRepository();
    Configure();
    Repository_Process(repo); // takes in the configured remote id
    for (int i = 0; i < 10 && Thread_Wait(0);) i++;
    Repository_Process(repo);
    EXPECT_EQ(Thread_Wait(0), 0) << "an idle pass";
    Repository_Reset(repo);
    // Paused, the pass only takes in the refresh asked for: its flags change, nothing starts.
    Repository_SetRefresh(repo, 1);
    Repository_Process(repo);
    EXPECT_EQ(Thread_Wait(0), 1) << "the pass that takes in the refresh";
    EXPECT_NE(State() & REPOSITORY_STATEFLAG_PAUSED, 0u);
    Repository_SetActive(repo, 1);
    ASSERT_TRUE(Pump([&] { return !(Actions() & REPOSITORY_ACTION_REFRESH) && !(State() & REPOSITORY_STATEFLAG_ALIVE); }));
    for (int i = 0; i < 5; i++) Pass();
    for (int i = 0; i < 10 && Thread_Wait(0);) i++;
    Repository_Process(repo);
    EXPECT_EQ(Thread_Wait(0), 0) << "a pass after the refresh ended";
}

} // namespace

namespace {

// Many one-piece files over several chunks of the status taken while the manifest loads, in
// three folders. With shift, the new version lists a file before all others: every kept piece
// moves one place on.
std::map<std::string, std::string> ManyFiles(int count, int changed, int seed, bool shift) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < count; i++) {
        char name[32];
        snprintf(name, sizeof(name), "%c/f%04d", "pqr"[i % 3], i);
        files[name] = Content(16, i == changed ? seed : i);
    }
    if (shift) files["a/first"] = Content(16, seed + 1);
    return files;
}

} // namespace

// What the user did to files spread over the chunks (first, at a chunk's edge, last) is put back,
// kept pieces moved to another place are still kept, and a file removed after an update kept it is
// put back by the next.
TEST_F(RepositoryUpdateTest, KeptPiecesAreCheckedOverSeveralChunks) {
    constexpr int kMany = 700;
    const std::vector<int> damaged = {0, 255, 256, 257, 511, 512, 699};
    for (const bool shift : {false, true}) {
        for (int action = 0; action < 2; action++) {
            SCOPED_TRACE(std::to_string(shift) + " " + std::to_string(action));
            Shell("rm -rf " + Root() + "/local " + Root() + "/state");
            Version("v1", ManyFiles(kMany, -1, 0, false));
            NewRepository();
            Configure();
            ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
            Version("v2", ManyFiles(kMany, 100, 1000, shift));
            std::set<std::string> touched = {"f0100", "first"};
            for (size_t k = 0; k < damaged.size(); k++) {
                const int i = damaged[k];
                char leaf[32];
                snprintf(leaf, sizeof(leaf), "%c/f%04d", "pqr"[i % 3], i);
                touched.insert(leaf + 2);
                const std::string path = Root() + "/local/" + leaf;
                // Each row damages in its own way: removed, cut or grown.
                const int how = (action + (int)k) % 3;
                if (how == 0) ASSERT_EQ(unlink(path.c_str()), 0);
                else ASSERT_EQ(truncate(path.c_str(), how == 1 ? 3 : 40), 0);
            }
            ASSERT_TRUE(UpdateCountingOpens()) << printed.Text;
            ASSERT_TRUE(Same());
            std::vector<std::string> opened;
            for (const std::string& leaf : g_opened)
                if (leaf.size() == 5 && leaf[0] == 'f' && !touched.count(leaf)) opened.push_back(leaf);
            EXPECT_TRUE(opened.empty()) << opened.size() << " kept files opened, the first " << opened.front();
            // Again, after the user removed a file the last run kept.
            char name[32];
            snprintf(name, sizeof(name), "%c/f%04d", "pqr"[(400 + action) % 3], 400 + action);
            ASSERT_EQ(unlink((Root() + "/local/" + name).c_str()), 0);
            Version("v3", ManyFiles(kMany, 101, 2000, shift));
            ASSERT_TRUE(Update()) << printed.Text;
            EXPECT_TRUE(Same()) << name;
        }
    }
}

// The status taken while a manifest loads serves the sync that took it alone: in one repository,
// updates one after another, each after the user removed, cut or grew files the next version keeps
// (and, before one of them, a sync stopped while its manifest loaded), put every file back.
TEST_F(RepositoryUpdateTest, EachSyncTakesTheStatusOfTheFilesAnew) {
    constexpr int kMany = 300;
    Shell("rm -rf " + Root() + "/local " + Root() + "/state");
    Version("v1", ManyFiles(kMany, -1, 0, false));
    NewRepository();
    Configure();
    Repository_SetMask(repo, 1);
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    for (int round = 0; round < 4; round++) {
        SCOPED_TRACE(round);
        Version("v" + std::to_string(round + 2), ManyFiles(kMany, 10 + round, 1000 + round, false));
        if (round == 2) {
            // Stopped while its manifest loads: what it took is not the next sync's.
            Repository_Reset(repo);
            Repository_SetRefresh(repo, 1);
            ASSERT_TRUE(Pump([&] { return !(State() & REPOSITORY_STATEFLAG_REFRESH); }));
            const size_t before = printed.Text.Copy().size();
            Repository_SetSync(repo, 1);
            ASSERT_TRUE(Pump([&] { return printed.Text.find("Loading remote metafile", before) != std::string::npos; }));
            Repository_SetSync(repo, 0);
            ASSERT_TRUE(Pump([&] { return !(State() & REPOSITORY_STATEFLAG_ALIVE); }));
        }
        for (int k = 0; k < 3; k++) {
            const int i = 40 + 97 * k + round;
            char name[32];
            snprintf(name, sizeof(name), "%c/f%04d", "pqr"[i % 3], i);
            const std::string path = Root() + "/local/" + name;
            const int how = (round + k) % 3;
            if (how == 0) ASSERT_EQ(unlink(path.c_str()), 0) << name;
            else ASSERT_EQ(truncate(path.c_str(), how == 1 ? 3 : 40), 0) << name;
        }
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        EXPECT_TRUE(Same());
    }
}

// A file put before the others moves every piece after it onto other slices of the same unchanged
// files: each such piece is read back and found in place, not fetched and written again; only the
// piece that holds the new file's bytes is written.
TEST_F(RepositoryUpdateTest, PiecesMovedOntoOtherSlicesOfUnchangedFilesAreFoundInPlace) {
    Shell("rm -rf " + Root() + "/local " + Root() + "/state");
    std::map<std::string, std::string> files = {{"b", Content(100, 1)}, {"c", Content(100, 2)}, {"d", Content(100, 3)}};
    Version("v1", files);
    ASSERT_TRUE(Update()) << printed.Text;
    files["a"] = Content(10, 4);
    Version("v2", files);
    NewRepository();
    changes.clear();
    Repository_SetStateFlagChangeCallback(repo, this, NoteChange);
    Configure();
    Repository_SetMask(repo, 1);
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC) && Errors() == 0) << printed.Text;
    EXPECT_TRUE(Same());
    // 310 bytes in pieces of 16: the first holds all of "a".
    EXPECT_EQ(Counter("piecesWritten"), 1.0) << printed.Text;
    EXPECT_EQ(Counter("piecesSkipped"), 19.0) << printed.Text;
    // The new manifest's save, begun while the copy waits on its transfers, is no load of the
    // manifest it saves.
    constexpr uint32_t kBoth = REPOSITORY_STATEFLAG_REMOTEMETAFILE | REPOSITORY_STATEFLAG_REMOTEMETAFILE_LOADING;
    for (const auto& [old, now] : changes) EXPECT_NE(now & kBoth, kBoth) << now;
}

// A repository refreshed and then updated on a thread of its own, as the repository task does,
// each wait lasting a minute unless something wakes the thread.
struct Drive {
    Repository* Repo;
    std::atomic<bool> Stop{false}, Done{false};
    bool Refreshed = false, Synced = false;
    int Slept = 0; // waits that ran to their end
};

uint32_t DriveOnItsOwnThread(void* parameter) {
    auto* d = static_cast<Drive*>(parameter);
    Repository* r = d->Repo;
    RunOnThisThread(r);
    const auto flags = [&](uint32_t action, uint32_t state) {
        uint32_t actions = 0, states = 0;
        Repository_GetActionFlags(r, &actions);
        Repository_GetStateFlags(r, &states);
        return (actions & action) || (states & state);
    };
    const auto run = [&](uint32_t action, uint32_t state) {
        for (;;) {
            Thread_Tick();
            Repository_Process(r);
            if (!flags(action, state)) return true;
            if (d->Stop) return false;
            if (!Thread_Wait(60000)) d->Slept++;
        }
    };
    Repository_Reset(r);
    Repository_SetCatalog(r, 0);
    Repository_SetActive(r, 1);
    Repository_SetRefresh(r, 1);
    d->Refreshed = run(REPOSITORY_ACTION_REFRESH, REPOSITORY_STATEFLAG_REFRESH);
    if (d->Refreshed) {
        Repository_SetDelta(r, 1);
        Repository_SetMask(r, 1);
        Repository_SetSync(r, 1);
        d->Synced = run(REPOSITORY_ACTION_SYNC, REPOSITORY_STATEFLAG_ALIVE);
    }
    d->Done = true;
    return 0;
}

TEST_F(RepositoryUpdateTest, AnUpdateRunOnAThreadOfItsOwnIsWokenForEachStep) {
    for (const bool userChanged : {false, true}) {
        SCOPED_TRACE(userChanged);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        Publish("v1", {}, -1, -1);
        ASSERT_TRUE(Update()) << printed.Text;
        Publish("v2", {{1, 99}}, 2, 3);
        if (userChanged) {
            ASSERT_EQ(unlink((Root() + "/local/" + Name(4)).c_str()), 0);
        }
        NewRepository();
        Configure();
        Drive drive{repo};
        Thread* thread = nullptr;
        ASSERT_EQ(Thread_Begin(&thread, &drive, DriveOnItsOwnThread), 1);
        // The test's thread does what the host's main thread does for it: the manifests' requests.
        const double end = Time_GetCurrent() + 30;
        while (!drive.Done && Time_GetCurrent() < end) {
            EventQueue_Flush(nullptr);
            own_connections::ProcessAll();
            NotificationCenter_Process();
            Thread_Wait(1);
        }
        drive.Stop = true;
        Thread_SignalExit(Thread_GetId(thread));
        Thread_Join(-1, &thread);
        RunOnThisThread(repo);
        EXPECT_TRUE(drive.Refreshed && drive.Synced) << printed.Text;
        EXPECT_EQ(drive.Slept, 0);
        EXPECT_EQ(Errors(), 0u) << printed.Text;
        EXPECT_TRUE(Same());
    }
}

namespace {

// One piece of three small files: the new version rewrites the first, lists a later time for the
// second (which lists no attributes) and makes the third executable (their bytes kept). The piece
// is written for the first; the two others are not copied, and still take what the new version
// lists.
TEST_F(RepositoryUpdateTest, AChangedPiecesUnchangedFilesTakeTheirNewTimeAndMode) {
    Shell("rm -rf " + Root() + "/local " + Root() + "/state");
    const auto publish = [&](const std::string& id, int seed) {
        Version(id, {{"a", Content(4, seed)}, {"b", Content(4, 2)}, {"c", Content(4, 3)}});
        const std::string script = Root() + "/retime.py";
        std::ofstream(script) << "import json,sys\n"
                                 "m=json.load(open(sys.argv[1]))\n"
                                 "for f in m['files']:\n"
                                 "  f['mtime']=" + std::to_string((int64_t)kTime) + "+(1000 if sys.argv[2]=='2' and f['name']=='b' else 0)\n"
                                 "  if f['name']=='c': f['attr']=4 if sys.argv[2]=='2' else 0\n"
                                 "json.dump(m,open(sys.argv[1],'w'))\n";
        return Shell("/usr/bin/python3 " + script + " " + Root() + "/remote.json " + id.substr(1)) == 0;
    };
    ASSERT_TRUE(publish("v1", 1));
    ASSERT_TRUE(Update()) << printed.Text;
    ASSERT_TRUE(publish("v2", 9));
    ASSERT_TRUE(UpdateCountingOpens()) << printed.Text;
    EXPECT_TRUE(Same());
    struct stat b {}, c {};
    ASSERT_EQ(stat((Root() + "/local/b").c_str(), &b), 0);
    ASSERT_EQ(stat((Root() + "/local/c").c_str(), &c), 0);
    EXPECT_EQ(b.st_mtime, (time_t)kTime + 1000);
    EXPECT_EQ(c.st_mode & 0111, 0111u);
    EXPECT_EQ(Counter("piecesWritten"), 1.0) << printed.Text;
}

// The replaced manifest kept beside the installed one, and its record, last before the save that
// replaces the installed one: their folder is flushed in between (the installation's file system
// may be another).
TEST_F(RepositoryUpdateTest, TheReplacedManifestsFolderIsFlushedBeforeTheSave) {
    Publish("v1", {}, -1, -1);
    ASSERT_TRUE(Update()) << printed.Text;
    Publish("v2", {{1, 99}}, -1, -1);
    struct stat folder {};
    ASSERT_EQ(stat((Root() + "/state").c_str(), &folder), 0);
    g_folder.device = folder.st_dev;
    g_folder.inode = folder.st_ino;
    g_folder.flushed = false;
    static const StorageFileOSCalls watching = [] {
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        calls.Fsync = WatchedFsync;
        return calls;
    }();
    StorageFileOS_SetCalls(&watching);
    ASSERT_TRUE(Update()) << printed.Text;
    StorageFileOS_SetCalls(nullptr);
    EXPECT_TRUE(Same());
    EXPECT_TRUE(g_folder.flushed);
}

// The replaced manifest is gone once the update ends, and the descriptor its removal held (its last
// close frees it, off the repository's thread) is closed soon after: none is left open. One already
// gone when it is removed is no fault; one the removal fails on is named, fails the sync and is left.
TEST_F(RepositoryUpdateTest, TheReplacedManifestGoesAndNoDescriptorOfItStays) {
    Publish("v1", {}, -1, -1);
    ASSERT_TRUE(Update()) << printed.Text;
    static const StorageFileOSCalls watching = [] {
        StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
        calls.OpenAt = WatchedOpenAt;
        return calls;
    }();
    int version = 2;
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "a folder in its place" : "removed by another");
        Publish("v" + std::to_string(version), {{1, 90 + version}}, -1, -1);
        version++;
        g_replacedFd = -1;
        g_replacedFolder = folder;
        printed.Text.clear();
        StorageFileOS_SetCalls(&watching);
        // A removal that fails fails the sync, though the version is installed.
        const bool done = Update();
        StorageFileOS_SetCalls(nullptr);
        EXPECT_EQ(done, !folder) << printed.Text;
        EXPECT_TRUE(Same());
        EXPECT_EQ(printed.Text.find("Replaced metafile left") != std::string::npos, folder) << printed.Text;
        struct stat left {};
        const bool there = lstat((Root() + "/state/local.json.replaced").c_str(), &left) == 0;
        EXPECT_EQ(there, folder);
        if (there) {
            EXPECT_TRUE(S_ISDIR(left.st_mode));
        }
        ASSERT_GE(g_replacedFd.load(), 0) << "the replaced manifest was never opened";
        const std::string link = "/proc/self/fd/" + std::to_string(g_replacedFd.load());
        auto stillOpen = [&] {
            char target[4096];
            const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
            if (length < 0) return false;
            target[length] = 0;
            return strstr(target, "local.json.replaced (deleted)") != nullptr;
        };
        const double end = Time_GetCurrent() + 5;
        while (stillOpen() && Time_GetCurrent() < end) usleep(1000);
        EXPECT_FALSE(stillOpen()) << link;
    }
}

} // namespace

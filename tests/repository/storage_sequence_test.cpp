// Random sequences of runs against a model of the installation. A seeded generator publishes
// versions (files that change, go, become folders and files again at any depth, a version rolled
// back to the installed one, names drawn from a pool that holds the installation's own names), lets
// the user and another account place files in the folder (the user's also in a folder of the
// installation the next version makes a file, or an empty folder of the user's where the next
// version lists a file: that version must fail, removing nothing), runs a second repository that installs
// into the same folder in turn, and cuts (as a kill) or fails (ENOSPC, EIO) each run at a random
// call of the file backend's table or of the few calls made outside it (some cuts aimed between a
// copy's record and its name, or into the cleanup after the manifest's save, with a file placed at
// the name they leave open; some failed at the first calls of the sync or at the record's unfinished
// mark, its write or its flush; a file placed takes the inode number and the birth of a file gone, as ext4 gives
// numbers out again; where nothing proves a file, a run failed at every save of its manifest after
// it completed new files, one of which the next version drops). A run is judged a success as the repository task judges it. After every run:
// a run that said success left exactly the remote's bytes and
// modes and nothing of its own beside them; a failed one left every file the installed manifest
// lists at a version it was installing, and (not killed) none of the copies it made; nothing the
// installation did not make changed; a run that
// met no fault ended in success; the offered manifest was never saved while a change of the table
// had had no flush after it, and nothing in the installation changed before the mark lasted.
// Between runs the installation may be copied away and back (every
// file a new inode), snapshotted with hard links, or its records given second names; another account
// may hold every name the record of copies can take; and the file system may keep no proof of a file
// at all (neither birth times nor extended attributes, nor unnamed files at times).
// Runs go as the repository task runs them: a refresh, then a sync only where it finds something to
// install. QVR_SEQUENCE_SEED=<n> replays one sequence, QVR_SEQUENCE_COUNT=<n> walks n of them
// (from that seed where both are set), QVR_SEQUENCE_PRINT prints every sequence, QVR_SEQUENCE_TRACE
// every run with what it printed.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "core/runtime/time.h"
#include "tests/repository/repository_test_support.h"
#include "tests/repository/storage_call_faults.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

// While a run is armed, the calls the repository makes past the table (the manifest's save, the
// replaced manifest, folders) count and die with it too; birth times can be hidden, as on a file
// system that keeps none.
std::atomic<bool> g_outside{false};
std::atomic<bool> g_noBirth{false};
std::atomic<bool> g_noProof{false}; // no extended attributes either

bool OutsideActs() {
    return !g_outside || t_inTable || CallActs(false);
}

template <typename Function> Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// A run's cut aimed at a moment rather than a call number: the count-th naming of an unnamed copy
// (the window after its record), or the count-th call after the manifest's save (the cleanup); or
// the run failed at every save (EIO), every file of the version complete.
enum class Aim { None, Naming, AfterSave, Save };
std::atomic<Aim> g_aim{Aim::None};
std::atomic<int> g_aimCount{0};
char g_saveLeaf[256]; // the manifest's name
std::mutex g_aimedLock;
std::string g_aimedName; // the path whose copy's naming was cut

// Inode numbers as ext4 gives them out: a number freed is given again at once. The test's own file
// system (tmpfs) never does, so on the folder's device the stat calls report each file's number
// through a permutation, which gives a file the user places a number the program saw for a file
// gone (consistently for that file; no two live files ever share one).
struct Inodes {
    std::mutex lock;
    dev_t device = 0;
    std::map<ino_t, ino_t> reported, real; // the permutation and its inverse
    std::map<ino_t, uint64_t> seen;        // numbers the program was told in a run: when last
    uint64_t sightings = 0;
    // The birth last reported at each number, and the one a file placed at a freed number carries:
    // the freed file's, as ext4 stamps a file made within the clock tick its number was freed in.
    std::map<ino_t, struct statx_timestamp> births, inherited;
};
Inodes& TheInodes() {
    static Inodes inodes;
    return inodes;
}
std::atomic<bool> g_remap{false};

ino_t Reported(dev_t device, ino_t number) {
    if (!g_remap) return number;
    Inodes& in = TheInodes();
    std::lock_guard<std::mutex> guard(in.lock);
    if (device != in.device) return number;
    const auto at = in.reported.find(number);
    const ino_t shown = at == in.reported.end() ? number : at->second;
    if (g_outside) in.seen[shown] = ++in.sightings;
    return shown;
}

} // namespace

extern "C" {
int openat(int directory, const char* name, int flags, ...) {
    static const auto next = Next<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if ((flags & (O_WRONLY | O_RDWR | O_CREAT)) && !OutsideActs()) return -1;
    return next(directory, name, flags, mode);
}
int unlinkat(int directory, const char* name, int flags) {
    static const auto next = Next<int (*)(int, const char*, int)>("unlinkat");
    return OutsideActs() ? next(directory, name, flags) : -1;
}
int mkdirat(int directory, const char* name, mode_t mode) {
    static const auto next = Next<int (*)(int, const char*, mode_t)>("mkdirat");
    return OutsideActs() ? next(directory, name, mode) : -1;
}
int renameat(int from, const char* name, int to, const char* target) {
    static const auto next = Next<int (*)(int, const char*, int, const char*)>("renameat");
    if (!OutsideActs()) return -1;
    // The manifest's save (its scratch renamed over it) sets a cut aimed after it that many calls on.
    const size_t length = strlen(target);
    const bool save = name[0] == '.' && strncmp(name + 1, target, length) == 0 && name[length + 1] == '.' &&
                      strcmp(target, g_saveLeaf) == 0;
    if (g_aim == Aim::AfterSave && g_aimCount > 0 && save) {
        g_calls.target = g_calls.calls + g_aimCount;
        g_aimCount = 0;
    }
    // Every save of the run fails: it ends a failure with the version's files complete.
    if (g_aim == Aim::Save && save && !g_calls.dead) {
        if (!g_calls.hit) g_calls.target = g_calls.calls.load();
        g_calls.hit = true;
        errno = EIO;
        return -1;
    }
    return next(from, name, to, target);
}
int linkat(int from, const char* name, int to, const char* target, int flags) {
    static const auto next = Next<int (*)(int, const char*, int, const char*, int)>("linkat");
    return OutsideActs() ? next(from, name, to, target, flags) : -1;
}
int fsync(int fd) {
    static const auto next = Next<int (*)(int)>("fsync");
    return OutsideActs() ? next(fd) : -1;
}
int fchmod(int fd, mode_t mode) {
    static const auto next = Next<int (*)(int, mode_t)>("fchmod");
    return OutsideActs() ? next(fd, mode) : -1;
}
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    static const auto next = Next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
    if (g_noProof) return errno = ENOTSUP, -1;
    return next(fd, name, value, size, flags);
}
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
    static const auto next = Next<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr");
    if (g_noProof) return errno = ENOTSUP, -1;
    return next(fd, name, value, size);
}
ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size) {
    static const auto next = Next<ssize_t (*)(const char*, const char*, void*, size_t)>("lgetxattr");
    if (g_noProof) return errno = ENOTSUP, -1;
    return next(path, name, value, size);
}
int statx(int directory, const char* name, int flags, unsigned int mask, struct statx* out) {
    static const auto next = Next<int (*)(int, const char*, int, unsigned int, struct statx*)>("statx");
    const int result = next(directory, name, flags, mask, out);
    if (result == 0 && g_noBirth) {
        out->stx_mask &= ~STATX_BTIME;
        out->stx_btime = {};
    }
    if (result != 0) return result;
    const dev_t device = makedev(out->stx_dev_major, out->stx_dev_minor);
    out->stx_ino = Reported(device, out->stx_ino);
    Inodes& in = TheInodes();
    if (g_remap && (out->stx_mask & STATX_BTIME)) {
        std::lock_guard<std::mutex> guard(in.lock);
        if (device == in.device) {
            const auto at = in.inherited.find(out->stx_ino);
            if (at != in.inherited.end()) out->stx_btime = at->second;
            else in.births[out->stx_ino] = out->stx_btime;
        }
    }
    return result;
}
int fstat(int fd, struct stat* out) {
    static const auto next = Next<int (*)(int, struct stat*)>("fstat");
    const int result = next(fd, out);
    if (result == 0) out->st_ino = Reported(out->st_dev, out->st_ino);
    return result;
}
int fstatat(int directory, const char* name, struct stat* out, int flags) {
    static const auto next = Next<int (*)(int, const char*, struct stat*, int)>("fstatat");
    const int result = next(directory, name, out, flags);
    if (result == 0) out->st_ino = Reported(out->st_dev, out->st_ino);
    return result;
}
int stat(const char* name, struct stat* out) {
    static const auto next = Next<int (*)(const char*, struct stat*)>("stat");
    const int result = next(name, out);
    if (result == 0) out->st_ino = Reported(out->st_dev, out->st_ino);
    return result;
}
int lstat(const char* name, struct stat* out) {
    static const auto next = Next<int (*)(const char*, struct stat*)>("lstat");
    const int result = next(name, out);
    if (result == 0) out->st_ino = Reported(out->st_dev, out->st_ino);
    return result;
}
}

namespace {

// The naming of an unnamed copy (linked from its descriptor), when aimed at, is the call cut.
int AimedLinkAt(int from, const char* name, int to, const char* target, int flags) {
    if (g_aim != Aim::Naming || !(flags & (AT_SYMLINK_FOLLOW | AT_EMPTY_PATH)) || g_aimCount <= 0 ||
        --g_aimCount > 0 || g_calls.dead)
        return call_faults::LinkAt(from, name, to, target, flags);
    // Cut here, as a kill would: this call and every later one do nothing.
    char folder[4096];
    const std::string fd = "/proc/self/fd/" + std::to_string(to);
    const ssize_t got = readlink(fd.c_str(), folder, sizeof(folder) - 1);
    {
        std::lock_guard<std::mutex> guard(g_aimedLock);
        g_aimedName = std::string(folder, got > 0 ? (size_t)got : 0) + "/" + target;
    }
    g_calls.target = ++g_calls.calls;
    g_calls.hit = true;
    g_calls.dead = true;
    errno = EIO;
    return -1;
}
const StorageFileOSCalls kSequenceCalls = [] {
    StorageFileOSCalls calls = kWrappedCalls;
    calls.LinkAt = AimedLinkAt;
    return calls;
}();

} // namespace

namespace {

constexpr uid_t kOtherUser = 65534;
const std::string kSuffix = ".quarvpartial";

struct File {
    std::string bytes;
    bool exec = false;
    bool operator==(const File&) const = default;
};
using Tree = std::map<std::string, File>;

struct Published {
    std::string id;
    Tree tree;
    std::string text; // the manifest, byte for byte as published
};

// One repository installing into the shared folder: its manifest, the names its versions draw
// from, and what the model knows of it.
struct Install {
    std::string name;     // the repository's name
    std::string metafile; // below the test's folder
    std::vector<std::string> parts, specials;
    std::vector<Published> versions;
    int remote = -1, installed = -1;
    std::set<int> unfinished; // versions a run since the last success may have left files of
    std::set<int> saved;      // versions its manifest named since the last success
    bool clean = true;        // its last run said success
    long calls = 20;          // what its last update without a fault called
    bool Inside() const { return metafile.rfind("local/", 0) == 0; }
    std::string Leaf() const { return metafile.substr(metafile.rfind('/') + 1); }
};

using call_faults::Slurp;

void Write(const std::string& path, const std::string& bytes, mode_t mode, uid_t owner = 0) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    chmod(path.c_str(), mode);
    EXPECT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
}

// A manifest over the tree as the publisher's tool writes one: the files' bytes one stream,
// 16-byte pieces, the tail padded, SHA-1 digests in Base64; "attr" 4 marks an executable.
std::string ManifestText(const std::string& id, const Tree& tree) {
    std::string files, stream;
    for (const auto& [name, file] : tree) {
        files += (files.empty() ? "" : ",") + std::string("{\"name\":\"") + name +
                 "\",\"size\":" + std::to_string(file.bytes.size()) +
                 ",\"attr\":" + (file.exec ? "4}" : "0}");
        stream += file.bytes;
    }
    const size_t tail = (16 - stream.size() % 16) % 16;
    const std::string pad =
        tail ? "{\"offset\":" + std::to_string(stream.size()) + ",\"size\":" + std::to_string(tail) + "}"
             : "";
    stream.append(tail, '\0');
    std::string digests;
    for (size_t at = 0; at < stream.size(); at += 16) {
        uint8_t digest[20];
        Hash_QuickDigest(&SHA1_INTERFACE, stream.data() + at, 16, digest, sizeof(digest));
        char text[40];
        uint32_t written = 0;
        Base64_Encode(digest, 20, text, (int32_t)sizeof(text), &written);
        digests += (digests.empty() ? "\"" : ",\"") + std::string(text, written) + "\"";
    }
    return "{\"id\":\"" + id + "\",\"files\":[" + files + "],\"pad\":[" + pad +
           "],\"pieces\":{\"size\":16,\"digests\":[" + digests + "]}}";
}

// Whether a component is one the copies' suffix reserves: "<x>.quarvpartial", digits and a '~' after.
bool CopyName(std::string part) {
    if (!part.empty() && part.back() == '~') part.pop_back();
    while (!part.empty() && isdigit((unsigned char)part.back())) part.pop_back();
    return part.size() >= kSuffix.size() &&
           part.compare(part.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}
std::vector<std::string> Parts(const std::string& path) {
    std::vector<std::string> out;
    for (size_t at = 0, slash; at <= path.size(); at = slash + 1) {
        slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        out.push_back(path.substr(at, slash - at));
    }
    return out;
}
// The manifest's own names beside it: itself, the replaced one, the record of these, its save's scratch.
bool ManifestName(const Install& x, const std::string& leaf) {
    const std::string m = x.Leaf();
    return leaf == m || leaf == m + ".replaced" || leaf == m + kSuffix ||
           (leaf.size() == m.size() + 8 && leaf.rfind("." + m + ".", 0) == 0);
}
// Whether the installation may install the version: no name it keeps for itself.
bool Usable(const Install& x, const Tree& tree) {
    for (const auto& [name, file] : tree) {
        const auto parts = Parts(name);
        if ((x.Inside() && ManifestName(x, parts[0])) || std::any_of(parts.begin(), parts.end(), CopyName))
            return false;
    }
    return true;
}
// The record of copies the repositories installing into the folder share, and its scratch.
bool Record(const std::string& path) {
    return path.rfind(kSuffix, 0) == 0 && path.find('/') == std::string::npos;
}
// One name a file of the other, or a folder of it.
bool Clash(const std::string& a, const std::string& b) {
    return a == b || a.rfind(b + "/", 0) == 0 || b.rfind(a + "/", 0) == 0;
}

// What lies below a folder: "d" for a folder, else kind, owner, mode and bytes.
using Listing = std::map<std::string, std::string>;
Listing List(const std::string& folder) {
    Listing out;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        struct stat info;
        const std::string name = std::filesystem::relative(it->path(), folder).string();
        if (lstat(it->path().c_str(), &info) != 0) continue;
        // Only a file is read (a fifo would block), a link by its target.
        char target[256] = {};
        const std::string bytes = S_ISREG(info.st_mode)   ? Slurp(it->path())
                                  : S_ISLNK(info.st_mode) ? std::string(target, (size_t)std::max<ssize_t>(
                                                                                     0, readlink(it->path().c_str(),
                                                                                                 target, 255)))
                                                          : std::string(S_ISFIFO(info.st_mode) ? "fifo" : "other");
        out[name] = S_ISDIR(info.st_mode) ? "d"
                                          : (S_ISREG(info.st_mode) ? "f" : "o") + std::to_string(info.st_uid) + ":" +
                                                std::to_string(info.st_mode & 07777) + ":" + bytes;
    }
    return out;
}
std::string Bytes(const std::string& entry) {
    const size_t colon = entry.find(':');
    return entry.substr(entry.find(':', colon + 1) + 1);
}
bool Executable(const std::string& entry) {
    return (std::stoul(entry.substr(entry.find(':') + 1)) & 0111) != 0;
}

class StorageSequenceTest : public FaultedRepositoryFixture {
  protected:
    std::mt19937 rng;
    std::vector<std::string> steps; // the sequence so far, as it is printed
    Install* running = nullptr;
    Install game, other;
    long runs = 0, calls = 0;   // walked by all sequences
    long aimed = 0, reused = 0; // aimed cuts met, files placed at a freed inode number
    // What the sequence's generator may do: a shared folder, a second repository, versions whose
    // files become folders and back, names of the installation's own, failed calls beside cuts.
    bool shared = false, second = false, reshape = false, specials = false, errors = false;
    std::map<std::string, uid_t> held; // what the user and the other account placed, still theirs
    // The user's files at names the remote came to list, as placed: the remote's to replace, the
    // user's until a run does.
    std::map<std::string, std::string> claimed;
    std::vector<std::string> problems; // what the judgement of the sequence's last run found
    void Fail(const std::string& what) { problems.push_back(steps.back() + ": " + what); }

    std::string Local() { return Root() + "/local"; }
    int Pick(int n) { return (int)(rng() % (uint32_t)n); }
    bool Chance(int percent) { return Pick(100) < percent; }

    void SetUp() override {
        shortPasses = true;
        asTask = true;
        FaultedRepositoryFixture::SetUp();
    }

    void ConfigureRun() override {
        Install& x = *running;
        repositoryName = x.name;
        remoteJson = "{\"type\":\"file\",\"path\":\"" + Root() + "/remote-" + x.name + "\"}";
        requests = 1;
        Configure(x.metafile, "",
                  "\"remote.id\":\"" + x.versions[x.remote].id + "\",\"remote.metafile\":\"" + Root() +
                      "/remote-" + x.name + ".json\"");
    }

    // The bait: a manifest that lists the user's own files, at a name the installation keeps.
    std::string Bait() {
        Tree listed;
        for (const auto& name : {"u.txt", "saves/slot1.sav"})
            listed[name] = {Slurp(Local() + "/" + name), false};
        return ManifestText("bait", listed);
    }
    File Content(const std::string& name) {
        const std::string leaf = Parts(name).back();
        if (leaf.find(".replaced") != std::string::npos || leaf.find(".json") != std::string::npos)
            return {Bait(), false};
        std::string bytes((size_t)Pick(4) == 0 ? 0 : 1 + Pick(40), '\0');
        for (char& c : bytes) c = (char)Pick(256);
        return {bytes, Chance(25)};
    }
    std::string RandomPath(const Install& x) {
        std::string path;
        for (int depth = Chance(50) ? 1 : 2 + Pick(2); depth > 1; --depth)
            path += x.parts[Pick((int)x.parts.size())] + "/";
        const auto& pool = specials && Chance(15) ? x.specials : x.parts;
        return path + pool[Pick((int)pool.size())];
    }
    // Whether a name may go into a version of x: no other name of the tree is its file or folder
    // (without reshaping, of any version of x), and it clashes with nothing the user or the other
    // account holds (the user's own file at the very name is the remote's to replace).
    // With `overUsers`, what the user keeps below the name (a folder of the installation the version
    // makes a file) is no bar: the version cannot be installed over it, and an update must fail
    // without removing anything listed (Blocked).
    bool Fits(const Tree& tree, const std::string& name, const Install* x = nullptr, bool overUsers = false) {
        for (const auto& [listed, file] : tree)
            if (listed != name && Clash(listed, name)) return false;
        for (const auto& v : x && !reshape ? x->versions : std::vector<Published>{})
            for (const auto& [listed, file] : v.tree)
                if (listed != name && Clash(listed, name)) return false;
        for (const auto& [path, owner] : held)
            if (Clash(path, name) && (path != name || owner != 0) &&
                !(overUsers && owner == 0 && path.rfind(name + "/", 0) == 0))
                return false;
        return true;
    }
    // Whether the user's entry stands where the version puts the file `name`: below it (its folder
    // then holds what is not the installation's), or a folder of the user's at the name itself.
    bool BlockedName(const std::string& name, const Listing& now) {
        for (const auto& [path, owner] : held) {
            const auto at = now.find(path);
            if (at != now.end() && (path.rfind(name + "/", 0) == 0 || (path == name && at->second == "d"))) return true;
        }
        return false;
    }
    bool Blocked(const Tree& tree, const Listing& now) {
        for (const auto& [name, file] : tree)
            if (BlockedName(name, now)) return true;
        return false;
    }

    void Publish(Install& x, Tree tree) {
        Published v{x.name + "-v" + std::to_string(x.versions.size() + 1), std::move(tree), ""};
        v.text = ManifestText(v.id, v.tree);
        x.versions.push_back(v);
        Serve(x, (int)x.versions.size() - 1);
        std::string text;
        for (const auto& [name, file] : v.tree)
            text += " " + name + "(" + std::to_string(file.bytes.size()) + (file.exec ? "x" : "") + ")";
        steps.push_back("publish " + v.id + (Usable(x, v.tree) ? ":" : " (refused):") + text);
    }
    void Serve(Install& x, int index) {
        x.remote = index;
        const std::string folder = Root() + "/remote-" + x.name;
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        for (const auto& [name, file] : x.versions[index].tree) Write(folder + "/" + name, file.bytes, 0644);
        std::ofstream(folder + ".json", std::ios::binary | std::ios::trunc) << x.versions[index].text;
        // Names the user holds and the remote now lists are the remote's to replace.
        const Listing now = List(Local());
        for (const auto& [name, file] : x.versions[index].tree) {
            const auto h = held.find(name);
            const auto at = now.find(name);
            // A folder of the user's is never the remote's to replace: it stays the user's.
            if (h != held.end() && h->second == 0 && at != now.end() && at->second != "d") claimed.emplace(name, at->second);
            else if (h == held.end() || at == now.end() || at->second != "d") held.erase(name);
        }
    }
    // The next version: a few changes to the last one.
    void Mutate(Install& x) {
        Tree tree = x.versions.empty() ? Tree{} : x.versions.back().tree;
        for (int change = 1 + Pick(3); change > 0 || tree.empty(); --change) {
            auto it = tree.begin();
            if (!tree.empty()) std::advance(it, Pick((int)tree.size()));
            const int kind = tree.empty() ? 1 : std::max(0, Pick(9) - 3); // new bytes the likeliest
            if (kind == 0) {
                // Often the same size: nothing but the bytes tells the versions apart.
                const size_t size = it->second.bytes.size();
                it->second.bytes = Content(it->first).bytes;
                if (Chance(50) && it->second.bytes.size() > size) it->second.bytes.resize(size);
            } else if (kind == 2 && tree.size() > 1) {
                tree.erase(it);
            } else if (kind == 3 && reshape) { // a file becomes a folder
                const std::string name = it->first + "/" + x.parts[Pick((int)x.parts.size())];
                tree.erase(it);
                if (Fits(tree, name, &x)) tree[name] = Content(name);
            } else if (kind == 4 && reshape &&
                       it->first.find('/') != std::string::npos) { // a folder becomes a file
                const std::string folder = it->first.substr(0, it->first.rfind('/'));
                for (auto at = tree.begin(); at != tree.end();)
                    at = Clash(at->first, folder) ? tree.erase(at) : std::next(at);
                if (Fits(tree, folder, &x, true)) tree[folder] = Content(folder);
            } else if (kind == 5) {
                it->second.exec = !it->second.exec;
            } else {
                const std::string name = RandomPath(x);
                if (Fits(tree, name, &x)) tree[name] = Content(name);
            }
        }
        Publish(x, tree);
    }

    // The numbers of live files below the test's folder, as the program is told them.
    std::set<ino_t> LiveInodes() {
        static const auto real = Next<int (*)(const char*, struct stat*)>("lstat");
        std::set<ino_t> live;
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(Root(), error);
             it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            struct stat info;
            if (real(it->path().c_str(), &info) != 0) continue;
            Inodes& in = TheInodes();
            std::lock_guard<std::mutex> guard(in.lock);
            const auto at = in.reported.find(info.st_ino);
            live.insert(at == in.reported.end() ? info.st_ino : at->second);
        }
        return live;
    }
    // Gives the new file at path the number the program saw last for a file now gone, as ext4 gives
    // a freed inode out again at once (nothing else of the freed file's, its extended attributes
    // included, goes with the number). `live` was taken before the file was made.
    bool Reuse(const std::string& path, const std::set<ino_t>& live) {
        static const auto real = Next<int (*)(const char*, struct stat*)>("lstat");
        struct stat info;
        if (real(path.c_str(), &info) != 0) return false;
        Inodes& in = TheInodes();
        std::lock_guard<std::mutex> guard(in.lock);
        ino_t freed = 0;
        uint64_t last = 0;
        for (const auto& [number, when] : in.seen)
            if (when > last && !live.count(number)) freed = number, last = when;
        if (!last) return false;
        // A swap in the permutation: whatever real number reported the freed one takes the file's.
        auto shown = [&](ino_t n) { return in.reported.count(n) ? in.reported[n] : n; };
        auto of = [&](ino_t n) { return in.real.count(n) ? in.real[n] : n; };
        const ino_t mine = shown(info.st_ino), holder = of(freed);
        in.reported[info.st_ino] = freed;
        in.real[freed] = info.st_ino;
        in.reported[holder] = mine;
        in.real[mine] = holder;
        in.inherited.erase(mine);
        const auto birth = in.births.find(freed);
        if (birth != in.births.end()) in.inherited[freed] = birth->second;
        return true;
    }

    // A file of the user's, or of the other account's (at the top of the shared folder only): at a
    // name the installation keeps or at one a version listed. The application's own file may come at
    // a name the offered version lists that a failed run did not make: the next version drops it.
    // `prefer` is taken where it is free. The file gets a freed inode number where there is one.
    void Place(bool otherAccount, const std::string& prefer = "") {
        if (!otherAccount && reshape && prefer.empty() && Chance(40) && PlaceInTheWay()) return;
        std::vector<std::string> names = {"a.quarvpartial", ".manifest.json.Zq9Yx8", "manifest.json.replaced",
                                          ".other.json.Zq9Yx8"};
        if (otherAccount) names.insert(names.end(), {".quarvpartial", ".quarvpartial~", ".quarvpartial1~"});
        const size_t specials = names.size();
        for (const auto& v : game.versions)
            for (const auto& [name, file] : v.tree)
                if (!otherAccount || name.find('/') == std::string::npos) names.push_back(name);
        // Only where nothing lies yet, in a folder that is there.
        const Listing now = List(Local());
        const Tree& offered = game.versions[game.remote].tree;
        const Tree& installed = game.installed >= 0 ? game.versions[game.installed].tree : Tree{};
        // The likelier: for the application, a name the failed run was to make; for the other
        // account, one the installation dropped.
        std::vector<std::string> free, likely;
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string& name = names[i];
            const size_t slash = name.rfind('/');
            // Never at a name the installed manifest lists (nothing tells the user's file there from
            // the installation's), nor at a manifest itself; the application's file only while a
            // failed run leaves the version it was to install more than that name.
            bool clear = !now.count(name) && !installed.count(name) && name != game.Leaf() &&
                         name != other.Leaf() &&
                         (slash == std::string::npos || now.count(name.substr(0, slash))) &&
                         (!offered.count(name) || (!otherAccount && !game.clean && offered.size() > 1));
            for (const auto& [path, entry] : now)
                clear = clear && (!Clash(path, name) || (entry == "d" && name.rfind(path + "/", 0) == 0));
            // Nor where the offered version needs a folder: a file there is in its way for good.
            for (const auto& [listed, file] : offered) clear = clear && (listed == name || !Clash(listed, name));
            // The user's own file at a name a cut cleanup may still drop is not told from ours.
            for (const int v : otherAccount ? std::set<int>{} : game.saved)
                clear = clear && !game.versions[v].tree.count(name);
            const bool likelier =
                otherAccount ? i >= specials && !offered.count(name) : offered.count(name) > 0;
            if (clear) (likelier ? likely : free).push_back(name);
        }
        const bool preferred =
            std::count(likely.begin(), likely.end(), prefer) || std::count(free.begin(), free.end(), prefer);
        if (likely.empty() || Chance(30)) likely.insert(likely.end(), free.begin(), free.end());
        if (likely.empty()) return;
        const std::string name = preferred ? prefer : likely[Pick((int)likely.size())];
        const bool bait = name.find(".replaced") != std::string::npos;
        const std::set<ino_t> live = LiveInodes();
        // At a name of the record's own, another account's entry may be of any kind, an empty file too.
        const int kind = otherAccount && Record(name) ? Pick(6) : 0;
        const std::string path = Local() + "/" + name;
        if (kind <= 1) {
            Write(path, bait ? Bait() : kind ? "" : "placed by " + std::to_string(steps.size()), 0644,
                  otherAccount ? kOtherUser : 0);
        } else {
            if (kind == 2) mkfifo(path.c_str(), 0644);
            else if (kind == 3) mkdir(path.c_str(), 0755);
            else if (kind == 4) symlink("u.txt", path.c_str());
            else mknod(path.c_str(), S_IFSOCK | 0644, 0);
            EXPECT_EQ(lchown(path.c_str(), kOtherUser, kOtherUser), 0) << path;
        }
        const bool reuse = kind <= 1 && Reuse(path, live);
        reused += reuse;
        held[name] = otherAccount ? kOtherUser : 0;
        static const char* const kKinds[] = {"", " (empty)", " (a fifo)", " (a folder)", " (a link)", " (a socket)"};
        steps.push_back(std::string(otherAccount ? "another account places " : "the user places ") + name +
                        kKinds[kind] + (bait ? " (a manifest listing the user's files)" : "") +
                        (reuse ? " (at the inode number of a file gone)" : ""));
        if (offered.count(name)) {
            Tree next = offered;
            next.erase(name);
            Publish(game, next);
        }
    }

    // Where a version may change shape: a file of the user's in a folder the installed version
    // holds files in (the next version may make that folder a file), or an empty folder of the
    // user's at a free name at the top (the next version may list a file there). false when
    // neither is free.
    bool PlaceInTheWay() {
        const Listing now = List(Local());
        const Tree& installed = game.installed >= 0 ? game.versions[game.installed].tree : Tree{};
        std::vector<std::string> folders, free;
        for (const auto& [name, file] : installed)
            for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
                const std::string folder = name.substr(0, slash);
                const auto at = now.find(folder);
                if (at != now.end() && at->second == "d" && !now.count(folder + "/u.keep") && !held.count(folder))
                    folders.push_back(folder);
            }
        for (const auto& part : game.parts) {
            bool clear = !now.count(part);
            for (const auto& v : game.versions)
                for (const auto& [name, file] : v.tree) clear = clear && !Clash(name, part);
            if (clear) free.push_back(part);
        }
        if (folders.empty() && free.empty()) return false;
        const bool inside = !folders.empty() && (free.empty() || Chance(60));
        const std::string name = inside ? folders[Pick((int)folders.size())] + "/u.keep" : free[Pick((int)free.size())];
        if (inside)
            Write(Local() + "/" + name, "the user's own, in the installation's folder", 0644);
        else
            std::filesystem::create_directory(Local() + "/" + name);
        held[name] = 0;
        steps.push_back("the user places " + std::string(inside ? "a file " : "an empty folder ") + name);
        // Often the next version makes that folder a file, or lists a file at the user's folder.
        if (Chance(70)) {
            const std::string file = inside ? name.substr(0, name.rfind('/')) : name;
            Tree next = game.versions.back().tree;
            for (auto at = next.begin(); at != next.end();) at = Clash(at->first, file) ? next.erase(at) : std::next(at);
            next[file] = Content(file);
            Publish(game, next);
        }
        return true;
    }

    // Another account holds every name the record of copies may take (where the folder lets it).
    void HoldRecordNames() {
        const Listing now = List(Local());
        for (int n = 0; n <= 64; ++n) {
            const std::string name = kSuffix + (n ? std::to_string(n) : "");
            if (now.count(name)) continue;
            Write(Local() + "/" + name, "", 0644, kOtherUser);
            held[name] = kOtherUser;
        }
        steps.push_back("another account holds every name of the record of copies");
    }

    // The installation copied away and back (every file a new inode, its owner, mode and extended
    // attributes kept), snapshotted with hard links, or its records given second names elsewhere.
    // What the program recorded by identity cannot be told from the user's afterwards: every file it
    // could not prove is the user's now, but what the manifests list, the records themselves and the
    // names kept beside the manifest (the replaced one is known by its bytes).
    void Move() {
        const int how = Pick(3);
        const std::string local = Local(), aside = Root() + "/aside" + std::to_string(steps.size());
        int status = 0;
        std::filesystem::remove_all(aside);
        if (how == 0)
            status = system(("cp -a " + local + " " + aside + " && rm -rf " + local + " && mv " + aside + " " + local)
                                .c_str());
        else if (how == 1)
            status = system(("cp -al " + local + " " + aside).c_str());
        else
            status = system(("mkdir -p " + aside + " && for f in " + local + "/.quarvpartial* " + local +
                             "/*.json.quarvpartial; do [ -f \"$f\" ] && [ ! -L \"$f\" ] && ln \"$f\" " + aside +
                             "/; done; true")
                                .c_str());
        EXPECT_EQ(status, 0);
        steps.push_back(how == 0 ? "the installation copied away and back"
                        : how == 1 ? "the installation snapshotted with hard links"
                                   : "the records given second names");
        if (how == 2) return;
        for (const auto& [name, entry] : List(local)) {
            if (entry[0] != 'f' || held.count(name) || Record(name)) continue;
            bool kept = false;
            for (const Install* x : {&game, &other}) {
                kept = kept || (x->installed >= 0 && x->versions[x->installed].tree.count(name)) ||
                       (x->Inside() && ManifestName(*x, name));
                // What the replaced manifest lists is known by its name too: a cleanup of it still to
                // finish removes what the saved one dropped.
                const std::string replaced = Slurp(Root() + "/" + x->metafile + ".replaced");
                for (const Published& v : x->versions)
                    kept = kept || (!replaced.empty() && v.text == replaced && v.tree.count(name));
            }
            if (kept) continue;
            held[name] = 0;
            // One the offered version lists is the remote's to replace, as a file the user placed there.
            for (const Install* x : {&game, &other})
                if (x->remote >= 0 && x->versions[x->remote].tree.count(name)) claimed.emplace(name, entry);
        }
    }

    // The names x may change in a run: what its versions list, their folders, its copies, the
    // record and the manifest's own names; never what the user or another account holds.
    bool Owns(const Install& x, const std::string& path) {
        if (held.count(path)) return false;
        const auto parts = Parts(path);
        if (Record(path) || (x.Inside() && parts.size() == 1 && ManifestName(x, path))) return true;
        std::string base = path;
        if (CopyName(parts.back())) base = path.substr(0, path.rfind(kSuffix));
        std::set<int> touched = x.unfinished;
        touched.insert({x.remote, x.installed});
        touched.erase(-1);
        for (const int v : touched)
            for (const auto& [name, file] : x.versions[v].tree)
                if (name == base || name.rfind(path + "/", 0) == 0) return true;
        return false;
    }

    std::string Whose(const Install& y, const std::string& name) {
        const auto h = held.find(name);
        if (h != held.end()) return h->second ? " of the other account" : " of the user";
        return Owns(y, name) ? " of the other repository" : " that no version it installs lists";
    }

    // One run of x, under a random fault when `faulted` (or cut at the moment aimed at), then the
    // judgement of what it left. true when the fault was met.
    bool RunOnce(Install& x, bool faulted = true, Aim aim = Aim::None) {
        const int fault = aim != Aim::None ? 50 : faulted ? Pick(100) : 0;
        const CallMode mode = aim == Aim::Save        ? CallMode::Fail
                              : fault < 35              ? CallMode::Count
                              : fault < 70 || !errors ? CallMode::Cut
                                                      : CallMode::Fail;
        // A third of the faults among the last calls of an update (the manifest's save and the
        // cleanup), a fifth among the first of its sync (the record's mark, before anything changed),
        // there an I/O error wherever calls fail: no permanent fault, and nothing changed yet.
        const int where = Pick(100);
        const long first = mode != CallMode::Count && aim == Aim::None && where >= 33 && where < 53 ? 1 + Pick(4) : 0;
        const int error = fault < 85 && !first && aim != Aim::Save ? ENOSPC : EIO;
        long target = mode == CallMode::Count || aim != Aim::None ? -1
                      : where < 33                                ? std::max(1L, x.calls - Pick(8))
                      : first                                     ? -1
                                                                  : 1 + Pick((int)x.calls + 5);
        const int count = aim == Aim::Naming ? 1 + Pick(3) : 1 + Pick(6);
        snprintf(g_saveLeaf, sizeof(g_saveLeaf), "%s", x.Leaf().c_str());
        g_aimedName.clear();
        const Listing before = List(Local());
        running = &x;
        printed.Text.clear();
        // The offered manifest saved names nothing the table changed and no flush followed.
        WatchManifest(Root() + "/" + x.metafile, x.versions[x.remote].text);
        ArmCalls(mode, target, error);
        // Of those, one in three at the record's unfinished mark itself: its write, or its flush.
        const int mark = first ? Pick(3) : 0;
        g_calls.fromSync = mark ? 0 : first;
        g_calls.failMark = mark;
        // Every fourth run's mark is slow to last: nothing may change the installation meanwhile.
        g_calls.markDelayMs = runs % 4 == 1 ? 40 : 0;
        g_aimCount = count;
        g_aim = aim;
        g_outside = true;
        const bool success = RunFaulted(0.02);
        NewRepository(); // what a cut run left is judged as its killed process left it
        g_outside = false;
        g_aim = Aim::None;
        const bool hit = g_calls.hit, early = g_calls.early, markEarly = g_calls.markEarly;
        WatchManifest("", "");
        if (aim != Aim::None || first) target = g_calls.target;
        if (aim != Aim::None && hit) aimed++;
        runs++;
        calls += g_calls.calls;
        if (!hit && g_calls.calls > 10) x.calls = g_calls.calls;
        ArmCalls(CallMode::Count, -1);
        const std::string how = mode == CallMode::Cut ? " cut" : error == EIO ? " EIO" : " ENOSPC";
        const std::string called = hit ? " (call " + std::to_string(target) + ")" : "";
        const std::string at = mark                 ? std::string(mark == 1 ? " at the mark's write" : " at the mark's flush") + called
                               : first                ? " at call " + std::to_string(first) + " of the sync" + called
                               : aim == Aim::None     ? " at call " + std::to_string(target)
                               : aim == Aim::Naming ? " at naming copy " + std::to_string(count) + called
                               : aim == Aim::Save   ? " at every save of the manifest" + called
                                                    : " at call " + std::to_string(count) +
                                                          " after the manifest's save" + called;
        steps.push_back("run " + x.name + " of " + x.versions[x.remote].id +
                        (mode == CallMode::Count ? "" : how + at) +
                        (hit || mode == CallMode::Count ? "" : " (not reached)") + ": " +
                        (success ? "success" : "failure"));
        if (getenv("QVR_SEQUENCE_TRACE")) std::cerr << steps.back() << "\n" << printed.Text;
        if (early) Fail("manifest saved before the files it names lasted");
        if (markEarly) Fail("the installation changed before its unfinished mark lasted");
        Judge(x, before, success, hit, Root() + "/" + x.metafile.substr(0, x.metafile.rfind('/')));
        // A run that failed or stopped, not killed, leaves none of the copies it made and still knew:
        // each went, unless its removal itself failed (named) or it was no longer provably the copy
        // made (a second name left by the fault: its scratch name beside it).
        if (!success && !(mode == CallMode::Cut && hit) &&
            printed.Text.find("Failed to remove copy of a failed run") == std::string::npos) {
            const Listing after = List(Local());
            for (const auto& [name, entry] : after) {
                const auto parts = Parts(name);
                if (entry[0] != 'f' || Record(name) || (parts.size() == 1 && ManifestName(x, name)) ||
                    !CopyName(parts.back()) || name.back() == '~' || before.count(name) ||
                    !Owns(x, name) || after.count(name + "~"))
                    continue;
                Fail("failed run left its copy " + name);
            }
        }
        return hit;
    }

    // A run cut where a later placement tells what the run left from what the user made: between
    // the record of a copy and its name (the application's file then comes at the name, at the
    // inode the copy freed, and the next version drops it), or in the cleanup after the manifest's
    // save of a version that drops a file at the top (the other account's file then comes at that
    // name). false when neither applies.
    bool AimedRuns() {
        const Tree& installed = game.installed >= 0 ? game.versions[game.installed].tree : Tree{};
        std::vector<std::string> top;
        for (const auto& [name, file] : installed)
            if (name.find('/') == std::string::npos && !held.count(name)) top.push_back(name);
        const bool drop = shared && installed.size() > 1 && !top.empty();
        if (drop && (!g_noBirth || Chance(50))) {
            const std::string name = top[Pick((int)top.size())];
            Tree next = game.versions.back().tree;
            next.erase(name);
            if (next.empty()) return false;
            Publish(game, next);
            if (RunOnce(game, true, Aim::AfterSave) && problems.empty()) {
                Place(true, name);
                if (problems.empty()) RunOnce(game, Chance(50));
            }
            return true;
        }
        if (g_noProof && Chance(60) && FailedRunCompletes()) return true;
        if (!g_noBirth && !Chance(25)) return false;
        // New names, whose copies are made unnamed and then named.
        Tree next = game.versions.back().tree;
        for (int tries = 0, added = 0; tries < 6 && added < 2; ++tries) {
            const std::string name = RandomPath(game);
            if (!installed.count(name) && !next.count(name) && Fits(next, name, &game))
                next[name] = Content(name), added++;
        }
        if (next == game.versions.back().tree) return false;
        Publish(game, next);
        if (RunOnce(game, true, Aim::Naming) && problems.empty()) {
            std::string name;
            {
                std::lock_guard<std::mutex> guard(g_aimedLock);
                name = g_aimedName;
            }
            const std::string local = Local() + "/";
            name = name.rfind(local, 0) == 0 ? name.substr(local.size()) : "";
            const size_t suffix = name.rfind(kSuffix);
            if (suffix != std::string::npos) name.resize(suffix);
            Place(false, name);
            if (problems.empty()) RunOnce(game, Chance(50));
        }
        return true;
    }

    // Where nothing proves a file: new names whose copies a run completes (each then proven by the
    // moment of its last change alone) before it fails at the manifest's save, then a version that
    // drops one of them, run without a fault: that file must go. false where no new name fits.
    bool FailedRunCompletes() {
        const Tree& installed = game.installed >= 0 ? game.versions[game.installed].tree : Tree{};
        Tree next = game.versions.back().tree;
        std::vector<std::string> added;
        for (int tries = 0; tries < 6 && added.size() < 2; ++tries) {
            const std::string name = RandomPath(game);
            if (!installed.count(name) && !next.count(name) && Fits(next, name, &game)) {
                next[name] = Content(name);
                added.push_back(name);
            }
        }
        if (added.empty()) return false;
        Publish(game, next);
        if (!RunOnce(game, true, Aim::Save) || !problems.empty() || game.installed == game.remote) return true;
        Tree dropped = game.versions.back().tree;
        dropped.erase(added[Pick((int)added.size())]);
        if (!dropped.empty()) {
            Publish(game, dropped);
            RunOnce(game, false);
        }
        return true;
    }

    void Judge(Install& x, const Listing& before, bool success, bool hit, const std::string& manifestDir) {
        const Listing after = List(Local());
        const Install& y = &x == &game ? other : game;
        // Nothing that is not x's changed.
        std::set<std::string> names;
        for (const auto& [name, entry] : before) names.insert(name);
        for (const auto& [name, entry] : after) names.insert(name);
        for (const auto& name : names) {
            if (Owns(x, name) || claimed.count(name)) continue;
            const auto was = before.find(name), is = after.find(name);
            if (was == before.end())
                Fail("made " + name + " that is not its own");
            else if (is == after.end())
                Fail("removed " + name + Whose(y, name));
            else if (was->second != is->second)
                Fail("changed " + name + Whose(y, name));
        }
        // The manifest saved: one of the versions, the old one or the one offered.
        const std::string text = Slurp(Root() + "/" + x.metafile);
        int installed = -1;
        for (size_t v = 0; v < x.versions.size(); ++v)
            if (!text.empty() && x.versions[v].text == text) installed = (int)v;
        if (!text.empty() && installed < 0) Fail("saved manifest is no version: " + text);
        if (installed != x.installed && installed != x.remote)
            Fail("saved manifest " + std::to_string(installed) +
                 " neither the installed nor the offered one");
        const bool usable = Usable(x, x.versions[x.remote].tree);
        const bool blocked = Blocked(x.versions[x.remote].tree, before);
        if (success) {
            if (!usable) Fail("success said for a version that lists a name of the installation's own");
            if (blocked) Fail("success said for a version whose file stands where the user keeps an entry");
            if (installed != x.remote) Fail("success said, the saved manifest not the offered one");
            const Tree& tree = x.versions[x.remote].tree;
            for (const auto& [name, file] : tree) {
                const auto is = after.find(name);
                if (is == after.end() || is->second[0] != 'f')
                    Fail("success said, " + name + " missing");
                else if (Bytes(is->second) != file.bytes || Executable(is->second) != file.exec)
                    Fail("success said, " + name + " not the remote's bytes and mode: " +
                         std::to_string(Bytes(is->second).size()) + (Executable(is->second) ? "x" : "") +
                         " bytes for " + std::to_string(file.bytes.size()) + (file.exec ? "x" : ""));
            }
            for (const auto& [name, entry] : after) {
                if (!Owns(x, name) || tree.count(name) || (x.Inside() && name == x.Leaf())) continue;
                // A folder stays while anything lies in it (what is left in it is judged itself).
                bool holds = false;
                for (auto at = after.upper_bound(name + "/");
                     at != after.end() && at->first.rfind(name + "/", 0) == 0; ++at)
                    holds = holds || at->second != "d";
                if (entry == "d" && holds) continue;
                if (Record(name) && !y.clean) continue; // the other's record, while it is unfinished
                Fail("success said, " + name + (entry == "d" ? " (a folder)" : "") + " left");
            }
            if (!x.Inside())
                for (const auto& [name, entry] : List(manifestDir))
                    if (ManifestName(x, name) && name != x.Leaf()) Fail("success said, " + name + " left");
            x.unfinished = x.saved = {x.remote};
        } else {
            const int version = installed >= 0 ? installed : x.installed;
            std::set<int> allowed = x.unfinished;
            allowed.insert(x.remote);
            for (const auto& [name, file] : version >= 0 ? x.versions[version].tree : Tree{}) {
                const auto is = after.find(name);
                bool whole = false;
                for (const int v : allowed) {
                    // A file gives way to the version being installed where that has a folder at its
                    // name or a file at a folder above it, as it must.
                    // Not where the user's entry keeps that version from being installed: then
                    // nothing listed may go for it.
                    for (const auto& [listed, file] : x.versions[v].tree)
                        whole = whole || (listed != name && Clash(listed, name) &&
                                          (is == after.end() || is->second == "d") && !BlockedName(listed, before));
                    const auto at = x.versions[v].tree.find(name);
                    whole =
                        whole || (is != after.end() && is->second[0] == 'f' &&
                                  at != x.versions[v].tree.end() && Bytes(is->second) == at->second.bytes);
                }
                if (!whole)
                    Fail("failed run left " + name + " at no version it was installing: " +
                         (is == after.end()      ? "missing"
                          : is->second[0] != 'f' ? "not a file"
                                                 : std::to_string(Bytes(is->second).size()) + " bytes"));
            }
            // Only another repository's unfinished run may hold the folder.
            if (!hit && usable && !blocked && y.clean) Fail("a run that met no fault failed");
            if (usable) x.unfinished.insert(x.remote);
        }
        x.installed = installed;
        if (installed >= 0) x.saved.insert(installed);
        x.clean = success;
        // A file of the user's a run replaced is the installation's now.
        for (auto it = claimed.begin(); it != claimed.end();) {
            const auto at = after.find(it->first);
            if (at != after.end() && at->second == it->second) {
                ++it;
                continue;
            }
            held.erase(it->first);
            it = claimed.erase(it);
        }
    }

    void Reset(uint32_t seed) {
        rng.seed(seed);
        steps.clear();
        problems.clear();
        held.clear();
        claimed.clear();
        for (const char* folder : {"/local", "/state", "/remote-game", "/remote-other"})
            std::filesystem::remove_all(Root() + folder);
        for (const auto& entry : std::filesystem::directory_iterator(Root()))
            if (entry.path().filename().string().rfind("aside", 0) == 0) std::filesystem::remove_all(entry.path());
        std::filesystem::create_directories(Local());
        std::filesystem::create_directories(Root() + "/state");
        shared = Chance(50);
        reshape = Chance(50);
        specials = Chance(60);
        errors = Chance(50);
        second = Chance(50);
        g_noBirth = Chance(30);
        g_noProof = g_noBirth && Chance(50);
        StorageFileOS_SetUnnamedCopies(g_noProof && Chance(50) ? 0 : 1);
        chmod(Local().c_str(), shared ? 01777 : 0755);
        {
            static const auto real = Next<int (*)(const char*, struct stat*)>("stat");
            struct stat info {};
            real(Root().c_str(), &info);
            Inodes& in = TheInodes();
            std::lock_guard<std::mutex> guard(in.lock);
            in.device = info.st_dev;
            in.reported.clear();
            in.real.clear();
            in.seen.clear();
            g_remap = true;
        }
        game = other = Install{};
        game.name = "game";
        game.metafile = Chance(60) ? "local/manifest.json" : "state/manifest.json";
        game.parts = {"a", "c", "d"};
        game.specials = {"manifest.json",  "manifest.json.replaced", ".manifest.json.Q1w2E3",
                         "a.quarvpartial", "c.quarvpartial2",        ".quarvpartial"};
        other.name = "other";
        other.metafile = Chance(50) ? "local/other.json" : "state/other.json";
        other.parts = {"b", "e"};
        other.specials = {"other.json.replaced", "b.quarvpartial"};
        for (const auto& name : {"u.txt", "saves/slot1.sav"}) {
            Write(Local() + "/" + name, "the user's " + std::string(name), 0644);
            held[name] = 0;
        }
        steps.push_back("seed " + std::to_string(seed) + ": manifest " + game.metafile +
                        (shared ? ", folder 1777" : "") +
                        (g_noProof ? ", no proof of a file" : g_noBirth ? ", no birth times" : "") +
                        (second ? ", another repository with " + other.metafile : "") +
                        (reshape ? ", files become folders" : "") +
                        (specials ? ", the installation's names" : "") + (errors ? ", failed calls" : ""));
    }

    // One whole sequence; false when a check failed (the sequence is printed then).
    bool Sequence(uint32_t seed) {
        Reset(seed);
        Mutate(game);
        if (second) Mutate(other);
        for (int step = 0, count = 4 + Pick(5); step < count && problems.empty(); ++step) {
            const int event = Pick(100);
            // A share of the steps aims its cut where a placement after it can catch the next run.
            if (Chance(12) && AimedRuns()) continue;
            // Likelier after a failed run, whose records the move must not lose.
            if (Chance(game.clean ? 4 : 20)) {
                const bool failed = !game.clean;
                Move();
                // The version a failed update left behind offered again: nothing may pass for installed.
                if (failed && game.installed >= 0 && game.remote != game.installed && Chance(60)) {
                    const Tree& back = game.versions[game.installed].tree;
                    if (std::all_of(back.begin(), back.end(), [&](const auto& f) { return Fits({}, f.first); })) {
                        Serve(game, game.installed);
                        steps.push_back("remote back to " + game.versions[game.installed].id);
                        RunOnce(game, Chance(30));
                    }
                }
                continue;
            }
            if (shared && Chance(4)) HoldRecordNames();
            const Tree& installed = game.installed >= 0 ? game.versions[game.installed].tree : Tree{};
            if (game.installed >= 0 && game.remote != game.installed && Chance(game.clean ? 10 : 40) &&
                std::all_of(installed.begin(), installed.end(),
                            [&](const auto& f) { return Fits({}, f.first); })) {
                Serve(game, game.installed);
                steps.push_back("remote back to " + game.versions[game.installed].id);
                RunOnce(game, Chance(50));
                continue;
            } else if (event < 40) {
                Mutate(game);
            } else if (event < 55 || (!game.clean && Chance(30))) {
                Place(shared && Chance(60));
            } else if (event < 70 && second) {
                if (Chance(50)) Mutate(other);
                RunOnce(other);
                continue;
            }
            RunOnce(game);
        }
        // Runs without a fault end the sequence: each completes what the faults left (the first
        // again once the other's completed, should the other's record have held it).
        if (problems.empty()) RunOnce(game, false);
        if (problems.empty() && second) RunOnce(other, false);
        if (problems.empty() && second && !game.clean) RunOnce(game, false);
        std::string text, found;
        for (const auto& step : steps) text += "  " + step + "\n";
        if (getenv("QVR_SEQUENCE_PRINT")) std::cout << text;
        if (problems.empty()) return true;
        for (const auto& problem : problems) found += "  " + problem + "\n";
        ADD_FAILURE() << "sequence (replay with QVR_SEQUENCE_SEED=" << seed << "):\n"
                      << text << "found:\n"
                      << found << "what the last run printed:\n"
                      << printed.Text;
        return false;
    }
};

// Sequences past the walked range, walked every time: in each, what a killed run made for a version
// it was installing (a file, a folder below the installation) must go with the next version that
// does not list it, and stays only as long as the record of copies names it; and where nothing
// proves a file, a copy a killed run left is known by the name drawn for it and goes.
constexpr uint32_t kKeptSeeds[] = {381, 415, 101};

TEST_F(StorageSequenceTest, RandomSequencesOfRunsKeepTheInstallationWholeAndTheUsersFilesUntouched) {
    StorageFileOS_SetCalls(&kSequenceCalls);
    const char* one = getenv("QVR_SEQUENCE_SEED");
    const char* count = getenv("QVR_SEQUENCE_COUNT");
    const uint32_t first = one ? (uint32_t)strtoul(one, nullptr, 10) : 1;
    const uint32_t last =
        one && !count ? first : first + (count ? (uint32_t)strtoul(count, nullptr, 10) : 100) - 1;
    const double start = Time_GetCurrent();
    // With QVR_SEQUENCE_ALL every sequence is walked, a failing one printed and the next begun.
    const bool all = getenv("QVR_SEQUENCE_ALL") != nullptr;
    bool passed = true;
    for (uint32_t seed = first; seed <= last && (passed || all); ++seed) passed = Sequence(seed) && passed;
    if (!one)
        for (const uint32_t seed : kKeptSeeds)
            if (passed || all) passed = Sequence(seed) && passed;
    StorageFileOS_SetUnnamedCopies(1);
    g_noProof = false;
    std::cout << "[ sequence ] seeds " << first << ".." << last << ": " << runs << " runs, " << calls
              << " calls, " << aimed << " aimed cuts, " << reused << " files at a freed inode, "
              << Time_GetCurrent() - start << " s" << std::endl;
}

} // namespace

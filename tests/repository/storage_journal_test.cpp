// Every change the file storage makes on disk during an update, cut dead or failed in turn: the
// backend's system calls go through one table (StorageFileOS_SetCalls), which the test wraps. A
// representative update is run once to count its calls; then, for every call N, the run is cut at
// N as a kill would leave it (no later call acts) and a fresh repository synchronises what is on
// disk, and call N is failed once with ENOSPC, then with EIO, the run is let end and a fresh one
// synchronises. After each run: a run that said success left exactly the remote's files and
// manifest; a failed one left every file the installed manifest lists at its old or its new
// version, and (failed, not cut) none of the copies it made; nothing the installation did not make
// changed; after the fresh run no copy or record of copies is left, but a copy the cut left that root
// gave another account, which stays as it was. The same for two repositories that share the folder and for a remote rolled back
// to the installed version. Every call is walked with QVR_JOURNAL_FULL=1; by default a stride.
// The record kept beside the manifest has its own walk: each of its calls failed in turn. Past the
// table: the replaced manifest's reads failed once and for good, each call of the sweep at a sync's
// start failed, and a file swapped in behind that sweep's look at a name.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/time.h"
#include "repository/file_list.h"
#include "repository/linux/storage_file_os.h"
#include "repository/meta_file.h"
#include "repository/repository.h"
#include "repository/storage.h"
#include "repository/storage_request.h"
#include "tests/repository/repository_test_support.h"
#include "tests/repository/storage_call_faults.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

// ---- Files -----------------------------------------------------------------------------------------

using Tree = std::map<std::string, std::string>;

using call_faults::Slurp;

bool OnDisk(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Everything below folder but what the filter skips: name to bytes and mode.
std::map<std::string, std::string> Listing(const std::string& folder) {
    std::map<std::string, std::string> out;
    if (!OnDisk(folder)) return out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat info;
        if (lstat(entry.path().c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
        out[std::filesystem::relative(entry.path(), folder).string()] =
            std::to_string(info.st_mode & 07777) + ":" + Slurp(entry.path().string());
    }
    return out;
}

const Tree kV1 = {
    {"a", Content(40, 1)},     {"a.1", Content(40, 2)},   {"a.1.x", Content(20, 3)}, {"keep", Content(30, 4)},
    {"drop1", Content(20, 5)}, {"d/drop2", Content(20, 6)}, {"held", Content(30, 7)}, {"exe", Content(20, 8)},
};
const Tree kV2 = {
    {"a", Content(40, 11)},    {"a.1", Content(40, 12)}, {"a.1.x", Content(20, 3)},     {"keep", Content(30, 4)},
    {"held", Content(30, 17)}, {"exe", Content(20, 18)}, {"new.bin", Content(50, 19)}, {"n/deep/c", Content(17, 20)},
};
// What the user keeps in the folder, some of it at names the storage's copies could take.
const Tree kForeign = {{"a.quarvpartial", "the user's, shared"}, {"held.quarvpartial~", "the user's scratch"},
                       {"mine.txt", "the user's"}};

class StorageJournalTest : public FaultedRepositoryFixture {
  protected:
    bool full = getenv("QVR_JOURNAL_FULL") != nullptr;
    // A copy of the storage's that root gave another account: its file now, left as it is.
    std::string givenAway;
    std::string runFields; // the faulted run's configuration fields ("" for the usual ones)

    void ConfigureRun() override { Configure("state/local.json", "", runFields); }

    void SetUp() override {
        masked = true;
        FaultedRepositoryFixture::SetUp();
    }

    // The remote at a version; "exe" of v2 is executable.
    void Remote(const std::string& id, const Tree& tree) {
        Version(id, tree);
        const std::string attr = id == "v2" ? "4" : "0";
        ASSERT_EQ(Shell("/usr/bin/python3 -c \"import json,sys;p=sys.argv[1];m=json.load(open(p));"
                        "[f.__setitem__('attr'," + attr + ") for f in m['files'] if f['name']=='exe'];"
                        "json.dump(m,open(p,'w'))\" " +
                        Root() + "/remote.json"),
                  0);
    }

    // v1 installed, then what the user keeps, then a copy an earlier version recorded and a kill
    // left: the state every step starts from.
    void Prepare() {
        Remote("v1", kV1);
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        ASSERT_EQ(Errors(), 0u) << printed.Text;
        for (const auto& [name, data] : kForeign) {
            Put(Root() + "/local/" + name, data);
            chmod((Root() + "/local/" + name).c_str(), 0644);
        }
        Put(Root() + "/local/gone.bin.quarvpartial", Content(33, 9));
        chmod((Root() + "/local/gone.bin.quarvpartial").c_str(), 0600);
        Put(Root() + "/local/.quarvpartial", std::string("0 gone.bin") + '\0');
        chmod((Root() + "/local/.quarvpartial").c_str(), 0600);
        Snapshot();
    }

    std::string Installed() { return Slurp(Root() + "/state/local.json"); }

    // The folder holds exactly the tree (and what the user keeps), executable where the manifest says.
    // With copies, the storage's copies and record may stay (a sync that says success is judged
    // by the files it installed; what it left goes with the next).
    void ExpectExactly(const Tree& tree, const std::string& where, bool copies = false) {
        auto listing = Listing(Root() + "/local");
        if (copies)
            for (auto it = listing.begin(); it != listing.end();)
                it = it->first.find(".quarvpartial") != std::string::npos && !kForeign.count(it->first)
                         ? listing.erase(it)
                         : std::next(it);
        for (const auto& [name, data] : kForeign) {
            EXPECT_EQ(listing[name], "420:" + data) << name << " " << where;
            listing.erase(name);
        }
        if (!givenAway.empty()) listing.erase(givenAway);
        for (const auto& [name, data] : tree) {
            const auto found = listing.find(name);
            if (found == listing.end()) {
                ADD_FAILURE() << name << " missing " << where;
                continue;
            }
            const std::string& got = found->second;
            const std::string bytes = got.substr(got.find(':') + 1);
            const unsigned mode = (unsigned)std::stoul(got.substr(0, got.find(':')));
            EXPECT_TRUE(bytes == data) << name << " " << where;
            EXPECT_EQ((mode & 0111) != 0, name == "exe" && &tree == &kV2) << name << " " << where;
            listing.erase(found);
        }
        for (const auto& [name, data] : listing) ADD_FAILURE() << name << " left " << where;
        // Nor a folder that a version made and that holds nothing now.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(Root() + "/local"))
            EXPECT_FALSE(entry.is_directory() && std::filesystem::is_empty(entry.path()))
                << entry.path() << " left empty " << where;
    }

    // After a run that said success: the manifest alone in its folder, no record or scratch beside it.
    void ExpectManifestAlone(const std::string& where) {
        for (const auto& entry : std::filesystem::directory_iterator(Root() + "/state"))
            EXPECT_EQ(entry.path().filename().string(), "local.json") << "left beside the manifest " << where;
    }

    // After a run that failed: every file the installed manifest lists is whole, old or new.
    void ExpectReadable(const std::string& where) {
        const std::string installed = Installed();
        const Tree& listed = installed == Slurp(snapshot + "/state/local.json") ? kV1 : kV2;
        for (const auto& [name, data] : listed) {
            const std::string path = Root() + "/local/" + name;
            const Tree& other = &listed == &kV1 ? kV2 : kV1;
            const auto old = other.find(name);
            const std::string got = Slurp(path);
            EXPECT_TRUE(OnDisk(path) && (got == data || (old != other.end() && got == old->second)))
                << name << " " << where;
        }
        for (const auto& [name, data] : kForeign) EXPECT_EQ(Slurp(Root() + "/local/" + name), data) << name << " " << where;
    }

    // A fresh repository synchronises what is on disk to the remote: exactly the remote, nothing left.
    void ExpectCompletes(const Tree& tree, const std::string& where) {
        ArmCalls(CallMode::Count, -1);
        NewRepository();
        Configure();
        printed.Text.clear();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << where << printed.Text;
        EXPECT_EQ(Errors(), 0u) << where << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 0) << where;
        EXPECT_EQ(Installed(), Slurp(Root() + "/remote.json")) << where;
        ExpectExactly(tree, where);
        ExpectManifestAlone(where);
    }

    // Steps N = 1.. (every one, or a stride in CI) of a run that makes `total` calls; the first
    // calls each, and those of the record's unfinished mark (its write and its flush, before the
    // update has changed anything): a fault there must fail it too.
    std::vector<long> Steps(long total, std::vector<long> also = {}) {
        std::vector<long> steps;
        const long stride = full ? 1 : std::max(1L, total / 12);
        for (long n = 1; n <= total; n += n < 5 ? 1 : stride) steps.push_back(n);
        if (steps.empty() || steps.back() != total) steps.push_back(total);
        for (const long n : also)
            if (n > 0 && n <= total && std::find(steps.begin(), steps.end(), n) == steps.end()) steps.push_back(n);
        std::sort(steps.begin(), steps.end());
        return steps;
    }

    // A copy of the storage's own (no record, no name of the user's, none a step starts with).
    static bool OwnCopy(const std::string& name) {
        return name.find(".quarvpartial") != std::string::npos && !kForeign.count(name) &&
               name.rfind(".quarvpartial", 0) != 0 && name.back() != '~' && name != "gone.bin.quarvpartial";
    }

    // After a run that failed or stopped, not killed: none of the copies it made is left (unless it
    // named the one it could not remove).
    void ExpectNoCopyOfItsOwn(const std::map<std::string, std::string>& before, const std::string& where) {
        if (printed.Text.find("Failed to remove copy of a failed run") != std::string::npos) return;
        for (const auto& [name, entry] : Listing(Root() + "/local"))
            if (OwnCopy(name) && !before.count(name)) ADD_FAILURE() << "failed run left its copy " << name << " " << where;
    }

    // After a cut run (as root): the first copy it left is given to another account, which the next
    // run must leave where it stands, and off the record. The name given, or "".
    std::string GiveACopyAway() {
        givenAway.clear();
        if (geteuid() != 0) return "";
        for (const auto& [name, entry] : Listing(Root() + "/local"))
            if (OwnCopy(name)) {
                EXPECT_EQ(lchown((Root() + "/local/" + name).c_str(), 65534, 65534), 0) << name;
                givenAway = name;
                break;
            }
        return givenAway;
    }

    // The state a run of v2 cut at call n left, as a kill leaves it (made anew each time: a copy of
    // it would give every file a new identity, which nothing the run recorded proves).
    // The calls it made (all of them for n 0).
    long CutAt(long n) {
        StorageFileOS_SetCalls(&kWrappedCalls);
        Restore();
        Remote("v2", kV2);
        ArmCalls(n ? CallMode::Cut : CallMode::Count, n ? n : -1);
        RunFaulted();
        NewRepository();
        const long calls = g_calls.calls;
        ArmCalls(CallMode::Count, -1);
        return calls;
    }
    // An update of v2 stopped with its new files complete, before its save (the manifest it replaces
    // is kept beside it already while the copy runs).
    bool StoppedBeforeTheSave() {
        return Installed() == Slurp(snapshot + "/state/local.json") &&
               Slurp(Root() + "/local/new.bin") == kV2.at("new.bin") &&
               Slurp(Root() + "/local/n/deep/c") == kV2.at("n/deep/c");
    }
    // The last call of the update (walked from the end) after whose cut `left` holds; 0 for none.
    std::function<bool()> leftByCut;
    long CutLeaving(const std::function<bool()>& left) {
        Prepare();
        leftByCut = left;
        for (long n = CutAt(0); n > 0; n--) {
            CutAt(n);
            if (left()) return n;
        }
        return 0;
    }
    // That state again: the update's threads may order its calls otherwise from run to run, so a
    // cut near that call that leaves it too will do.
    bool CutAgain(long n) {
        for (const long near : {0, -1, 1, -2, 2, -3, 3, -4, 4})
            if (n + near > 0 && (CutAt(n + near), leftByCut())) return true;
        return false;
    }

    // The update counted once; then each step cut, failed with ENOSPC and with EIO.
    // `refused`: the update is refused (another repository holds the folder) and makes few calls.
    void Walk(const std::function<void(const std::string&)>& before, const std::function<void(const std::string&)>& after,
              bool refused = false) {
        Prepare();
        StorageFileOS_SetCalls(&kWrappedCalls);
        Restore();
        Remote("v2", kV2);
        WatchManifest(Root() + "/state/local.json", Slurp(Root() + "/remote.json"));
        ArmCalls(CallMode::Count, -1);
        before("count");
        ASSERT_EQ(RunFaulted(), !refused) << printed.Text;
        EXPECT_EQ(g_calls.seen.load(), !refused);
        const long total = g_calls.calls;
        const std::vector<long> mark = {g_calls.markWrite - 1, g_calls.markWrite, g_calls.markFlush};
        EXPECT_TRUE(refused || (g_calls.markWrite > 0 && g_calls.markFlush > g_calls.markWrite));
        ASSERT_GT(total, refused ? 0 : 20);
        if (refused) {
            EXPECT_NE(printed.Text.find("Installation folder (" + Root() + "/local/) held by another repository"),
                      std::string::npos)
                << printed.Text;
        }
        std::cout << "[ journal  ] " << total << " calls" << std::endl;
        after("count");
        for (const long n : Steps(total, mark)) {
            for (const auto& [mode, error] :
                 {std::pair{CallMode::Cut, 0}, {CallMode::Fail, ENOSPC}, {CallMode::Fail, EIO}}) {
                const std::string where =
                    "call " + std::to_string(n) + "/" + std::to_string(total) +
                    (mode == CallMode::Cut ? " cut" : error == ENOSPC ? " ENOSPC" : " EIO");
                SCOPED_TRACE(where);
                Restore();
                before(where);
                const auto started = Listing(Root() + "/local");
                ArmCalls(mode, n, error);
                printed.Text.clear();
                const bool success = RunFaulted();
                // A cut run is stopped as its process would be, nothing more acting.
                NewRepository();
                ArmCalls(CallMode::Count, -1);
                if (success) {
                    EXPECT_EQ(Installed(), Slurp(Root() + "/remote.json")) << where;
                    ExpectExactly(kV2, where, true);
                    ExpectManifestAlone(where);
                } else {
                    ExpectReadable(where);
                    if (mode == CallMode::Fail) ExpectNoCopyOfItsOwn(started, where);
                }
                after(where);
                givenAway.clear();
                if (HasFailure()) return;
            }
        }
    }
};

TEST_F(StorageJournalTest, EveryCallOfAnUpdateCutOrFailedLeavesTheInstallationWholeAndTheNextRunExact) {
    Walk([](const std::string&) {},
         [&](const std::string& where) {
             const std::string given = where.find(" cut") != std::string::npos ? GiveACopyAway() : "";
             const std::string bytes = given.empty() ? "" : Slurp(Root() + "/local/" + given);
             ExpectCompletes(kV2, where);
             EXPECT_FALSE(OnDisk(Root() + "/local/.quarvpartial")) << where;
             EXPECT_FALSE(OnDisk(Root() + "/local/gone.bin.quarvpartial")) << where;
             if (!given.empty()) {
                 // Left as it was, and named once as it left the record.
                 struct stat info;
                 EXPECT_TRUE(lstat((Root() + "/local/" + given).c_str(), &info) == 0 && info.st_uid == 65534u &&
                             Slurp(Root() + "/local/" + given) == bytes)
                     << given << " " << where;
                 EXPECT_NE(printed.Text.find("Copy now another user's, left and taken off the record (" + Root() +
                                             "/local/" + given + ")"),
                           std::string::npos)
                     << where << printed.Text;
             }
         });
}

// A remote rolled back to the installed version after a failed update: a refresh that finds the
// installation current removes what the failed run left; one that finds it marked unfinished asks
// for a sync, which checks every file.
TEST_F(StorageJournalTest, AVersionRolledBackAfterAFailedUpdateLeavesNoCopy) {
    Walk([](const std::string&) {},
         [&](const std::string& where) {
             Remote("v1", kV1);
             // The refresh alone, naming v1 while it is the installed version, takes the failed
             // run's copies away (a run that said success installed v2: a refresh finds an update).
             const bool current = Installed() == Slurp(snapshot + "/state/local.json");
             NewRepository();
             Configure("state/local.json", "",
                       "\"remote.id\":\"v1\",\"remote.metafile\":\"" + Root() + "/remote.json\"");
             ASSERT_TRUE(Refreshed());
             const bool unfinished = current && (State() & REPOSITORY_STATEFLAG_UPDATE) != 0;
             EXPECT_TRUE(!unfinished || printed.Text.find("Installation left unfinished by a stopped run (" +
                                                          Root() + "/local") != std::string::npos)
                 << where;
             for (const auto& [name, data] : Listing(Root() + "/local"))
                 EXPECT_TRUE(!current || unfinished || name.find(".quarvpartial") == std::string::npos ||
                             kForeign.count(name))
                     << name << " " << where << " refreshed";
             if (unfinished) {
                 // The sync it asks for installs the current version again over what the stopped run left.
                 Repository_SetMask(repo, 1);
                 Repository_SetSync(repo, 1);
                 ASSERT_TRUE(Pump([&] {
                     return !(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE);
                 }));
                 EXPECT_EQ(Errors(), 0u) << where << printed.Text;
                 EXPECT_EQ(Installed(), Slurp(Root() + "/remote.json")) << where;
                 ExpectExactly(kV1, where + " rolled back, same id");
             }
             ExpectCompletes(kV1, where + " rolled back");
             EXPECT_FALSE(OnDisk(Root() + "/local/.quarvpartial")) << where;
             Remote("v2", kV2);
         });
}

// Faults aimed at the record the repository keeps beside its manifest: its calls (made, written,
// cut back, removed, and the removals of its scratch names) are numbered in turn, and a plan fails the chosen one, writes one short, or
// cuts the run at the call after its last step.
constexpr int kShort = -1;
struct RecordPlan {
    std::string folder;     // the manifest's folder
    std::vector<int> steps; // per call on the record in turn: 0 acts, an errno fails it, kShort writes half
    bool cut = false;       // the run is cut at the first call after the last step
    std::atomic<int> seen{0};
};
RecordPlan g_record;
const char kRecordLeaf[] = "local.json.quarvpartial";

bool IsRecord(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t got = readlink(link, target, sizeof(target) - 1);
    return got > 0 && std::string(target, (size_t)got) == g_record.folder + "/" + kRecordLeaf;
}

// The step for the next call on the record (0 acts); past the last one a planned cut takes the
// first call after this one.
int RecordStep() {
    const size_t n = (size_t)g_record.seen++;
    const int step = n < g_record.steps.size() ? g_record.steps[n] : 0;
    if (g_record.cut && n + 1 == g_record.steps.size()) {
        std::lock_guard<std::mutex> hold(g_calls.order);
        g_calls.mode = CallMode::Cut;
        g_calls.target = g_calls.calls + (step > 0 ? 1 : 2);
    }
    return step;
}
template <typename Call> auto OnRecord(bool record, Call call) -> decltype(call(false)) {
    const int step = record ? RecordStep() : 0;
    if (step > 0) {
        errno = step;
        return -1;
    }
    return call(step == kShort);
}
const StorageFileOSCalls& RecordCalls() {
    static StorageFileOSCalls calls = [] {
        StorageFileOSCalls c = kWrappedCalls;
        c.OpenAt = [](int d, const char* name, int flags, mode_t mode) {
            return OnRecord(!strcmp(name, kRecordLeaf) && (flags & O_CREAT),
                            [&](bool) { return call_faults::OpenAt(d, name, flags, mode); });
        };
        // The name an unnamed record is given.
        c.LinkAt = [](int from, const char* name, int d, const char* to, int flags) {
            return OnRecord(!strcmp(to, kRecordLeaf),
                            [&](bool) { return call_faults::LinkAt(from, name, d, to, flags); });
        };
        c.Write = [](int fd, const void* bytes, size_t length) {
            return OnRecord(IsRecord(fd), [&](bool half) { return call_faults::Write(fd, bytes, half ? length / 2 : length); });
        };
        c.Ftruncate = [](int fd, off_t length) {
            return OnRecord(IsRecord(fd), [&](bool) { return call_faults::Ftruncate(fd, length); });
        };
        c.UnlinkAt = [](int d, const char* name, int flags) {
            // The record's removal, and that of a scratch name it holds.
            return OnRecord(!strcmp(name, kRecordLeaf) || !strncmp(name, ".local.json.", 12),
                            [&](bool) { return call_faults::UnlinkAt(d, name, flags); });
        };
        return c;
    }();
    return calls;
}

// Every call on the record beside the manifest failed in turn (once, or with the next one too),
// with ENOSPC and with EIO, in an update, one whose manifest's name is a link, a first
// installation (no replaced manifest is kept), a refresh that finds the installed version current
// and an erase, these two with a record a stopped save left: a run never says success with the
// record or a scratch left, a sync whose save or end met the fault fails unless a retry got past
// it, and the next run
// completes leaving the manifest alone. A write cut short whose cut-back fails too leaves no torn
// entry for the next entry to run into; another's file, link or folder at the record's name never
// stops a sync.
TEST_F(StorageJournalTest, EveryCallOnTheRecordBesideTheManifestFailedNeverEndsInSuccessWithItLeft) {
    Prepare();
    g_record.folder = Root() + "/state";
    StorageFileOS_SetCalls(&RecordCalls());
    // The record made unnamed and then named, and where the file system cannot, under its name at once
    // (unnamed again however the loop ends).
    struct Unnamed {
        ~Unnamed() { StorageFileOS_SetUnnamedCopies(1); }
    } unnamedAgain;
    for (const uint32_t unnamed : {1u, 0u})
    for (const char* scenario : {"update", "linked", "install", "current", "erase"}) {
        StorageFileOS_SetUnnamedCopies(unnamed);
        // "current" and "erase" start from a record a stopped save left; "erase" erases instead.
        const bool erase = !strcmp(scenario, "erase"), current = erase || !strcmp(scenario, "current");
        auto run = [&](const std::vector<int>& steps, bool cut, bool* said) {
            Restore();
            asTask = current;
            masked = !current;
            runFields = current ? "\"remote.id\":\"v1\",\"remote.metafile\":\"" + Root() + "/remote.json\"" : "";
            Remote(current ? "v1" : "v2", current ? kV1 : kV2);
            if (!strcmp(scenario, "install"))
                for (const char* name : {"state/local.json", "local/drop1", "local/d"})
                    std::filesystem::remove_all(Root() + "/" + name);
            // The manifest's name a link to it: the replaced manifest is a copy.
            if (!strcmp(scenario, "linked")) {
                std::filesystem::rename(Root() + "/state/local.json", Root() + "/linked.json");
                std::filesystem::create_symlink("../linked.json", Root() + "/state/local.json");
            }
            if (current) {
                Put(Root() + "/state/.local.json.Ab3dE9", "a stopped save's");
                Put(Root() + "/state/" + kRecordLeaf, std::string("0:0:0 .local.json.Ab3dE9") + '\0');
                chmod((Root() + "/state/.local.json.Ab3dE9").c_str(), 0600);
                chmod((Root() + "/state/" + kRecordLeaf).c_str(), 0600);
            }
            ArmCalls(CallMode::Count, -1);
            g_record.steps = steps;
            g_record.cut = cut;
            g_record.seen = 0;
            printed.Text.clear();
            const bool success = RunFaulted(0.3, erase);
            NewRepository();
            ArmCalls(CallMode::Count, -1);
            g_record.steps.clear();
            g_record.cut = false;
            *said = success;
        };
        bool said = false;
        run({}, false, &said);
        ASSERT_TRUE(said) << printed.Text;
        const int total = g_record.seen;
        ASSERT_GE(total, current ? 1 : 2) << printed.Text;
        // The k-th call failed, or it and the next one (the second is a retry's or a later run's part).
        for (int k = 1; k <= total; k++) {
            for (const int error : {ENOSPC, EIO}) {
              for (const int times : {1, 2}) {
                if (times == 2 && error == ENOSPC) continue; // a full disk ends the work at the first
                const std::string where = std::string(scenario) + (unnamed ? "" : ", named") + ", record call " +
                                          std::to_string(k) + "/" + std::to_string(total) +
                                          (error == EIO ? " EIO" : " ENOSPC") + (times == 2 ? " twice" : "");
                std::vector<int> steps((size_t)(k + times - 1), error);
                std::fill(steps.begin(), steps.begin() + k - 1, 0);
                bool success = false;
                run(steps, false, &success);
                EXPECT_GE(g_record.seen.load(), k) << where;
                // A fault a retry got past may end in success: then with the version installed whole.
                if (success && !current) {
                    EXPECT_EQ(Installed(), Slurp(Root() + "/remote.json")) << where;
                }
                if (success) ExpectManifestAlone(where);
                ExpectCompletes(current ? kV1 : kV2, where);
                if (HasFailure()) return;
              }
            }
        }
    }
    StorageFileOS_SetUnnamedCopies(1);
    // The update's first entry cut short, its cut-back failing too; the retry's entry written, then
    // the run cut: every entry on record is whole and one of the repository's, after the record's
    // own first entry.
    asTask = false;
    masked = true;
    runFields.clear();
    {
        Restore();
        Remote("v2", kV2);
        ArmCalls(CallMode::Count, -1);
        g_record.steps = {0, kShort, EIO, EIO, 0, 0};
        g_record.cut = true;
        g_record.seen = 0;
        printed.Text.clear();
        EXPECT_FALSE(RunFaulted()) << printed.Text;
        NewRepository();
        ArmCalls(CallMode::Count, -1);
        g_record.steps.clear();
        g_record.cut = false;
        const std::string record = Slurp(Root() + "/state/" + kRecordLeaf);
        ASSERT_FALSE(record.empty()) << printed.Text;
        EXPECT_EQ(record.back(), '\0');
        // "<device>:<inode>:<proof> <name>", the name the replaced manifest's or a save's scratch.
        auto whole = [](const std::string& entry) {
            size_t at = 0;
            for (const char end : {':', ':', ' '}) {
                const size_t from = at;
                while (at < entry.size() && isdigit((unsigned char)entry[at])) at++;
                if (at == from || at >= entry.size() || entry[at++] != end) return false;
            }
            const std::string name = entry.substr(at), scratch = ".local.json.";
            return name == "local.json.replaced" ||
                   (name.size() == scratch.size() + 6 && name.compare(0, scratch.size(), scratch) == 0 &&
                    std::all_of(name.begin() + (long)scratch.size(), name.end(), [](char c) { return isalnum((unsigned char)c); }));
        };
        struct stat info{};
        ASSERT_EQ(stat((Root() + "/state/" + kRecordLeaf).c_str(), &info), 0);
        const std::string mark = "record:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":";
        EXPECT_EQ(record.compare(0, mark.size(), mark), 0) << record;
        for (size_t at = record.find('\0') + 1, end; at < record.size(); at = end + 1) {
            end = record.find('\0', at);
            if (end == std::string::npos) end = record.size();
            EXPECT_TRUE(whole(record.substr(at, end - at))) << record.substr(at, end - at);
        }
        ExpectCompletes(kV2, "torn entry");
    }
    // Another account's file, link or folder at the record's name: left and named, and the update
    // completes without a record (taking its own scratch name).
    StorageFileOS_SetCalls(nullptr);
    const std::string record = Root() + "/state/" + kRecordLeaf;
    for (const char* held : {"file", "link", "folder"}) {
        SCOPED_TRACE(held);
        const bool link = !strcmp(held, "link");
        Restore();
        Remote("v2", kV2);
        if (link) {
            ASSERT_EQ(symlink("../local/mine.txt", record.c_str()), 0);
        } else if (!strcmp(held, "folder")) {
            ASSERT_EQ(mkdir(record.c_str(), 0755), 0);
        } else {
            Put(record, std::string("0:0:0 .local.json.Ab3dE9") + '\0');
            chmod(record.c_str(), 0600);
        }
        ASSERT_EQ(lchown(record.c_str(), 65534, 65534), 0);
        NewRepository();
        Configure();
        printed.Text.clear();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        EXPECT_EQ(Errors(), 0u) << printed.Text;
        EXPECT_EQ(Installed(), Slurp(Root() + "/remote.json"));
        EXPECT_NE(printed.Text.find("Not the repository's own file, left (" + record + ")"), std::string::npos)
            << printed.Text;
        struct stat info;
        ASSERT_EQ(lstat(record.c_str(), &info), 0);
        EXPECT_EQ(S_ISLNK(info.st_mode), link);
        EXPECT_EQ(S_ISDIR(info.st_mode), !strcmp(held, "folder"));
        EXPECT_EQ(info.st_uid, 65534u);
        for (const auto& entry : std::filesystem::directory_iterator(Root() + "/state")) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "local.json" || name == kRecordLeaf) << name << " left beside the manifest";
        }
        std::filesystem::remove_all(record);
    }
}

// Another repository's storage writing into the same folder: its copy in progress and its record
// stay whole whatever this update meets, and it finishes its file afterwards.
// A disk that fails every flush: the update's start cannot make its mark last, changes nothing, is
// tried again a few times and then fails the work, the step, the folder and the error named.
int FlushFails(int) {
    errno = EIO;
    return -1;
}

TEST_F(StorageJournalTest, AnUpdateWhoseMarkNeverLastsFailsAfterAFewTriesChangingNothing) {
    Prepare();
    Restore();
    Remote("v2", kV2);
    const auto before = Listing(Root() + "/local");
    StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
    calls.Syncfs = FlushFails;
    calls.Fsync = FlushFails;
    StorageFileOS_SetCalls(&calls);
    NewRepository();
    Configure();
    printed.Text.clear();
    ASSERT_TRUE(Refreshed());
    Repository_SetMask(repo, 1);
    Repository_SetSync(repo, 1);
    // Four tries, five seconds apart.
    ASSERT_TRUE(Pump([&] { return Repository_IsFailed(repo) == 1; }, 40)) << printed.Text;
    EXPECT_NE(printed.Text.find("Failed to mark the installation unfinished (" + Root() + "/local) (100005)"),
              std::string::npos)
        << printed.Text;
    NewRepository();
    StorageFileOS_SetCalls(nullptr);
    EXPECT_EQ(Installed(), Slurp(snapshot + "/state/local.json"));
    auto after = Listing(Root() + "/local");
    after.erase(".quarvpartial");
    auto was = before;
    was.erase(".quarvpartial");
    EXPECT_EQ(after, was);
}

// Removals fail with EIO.
int UnlinkFails(int, const char*, int) {
    errno = EIO;
    return -1;
}

// A refresh that finds the installed version current removes what a failed run left; where the disk
// refuses that, the work fails naming it (nothing else would retry it), and the next run removes it.
TEST_F(StorageJournalTest, ARefreshThatCannotRemoveWhatAFailedRunLeftFails) {
    Prepare();
    Restore();
    auto refresh = [&] {
        NewRepository();
        Configure("state/local.json", "", "\"remote.id\":\"v1\",\"remote.metafile\":\"" + Root() + "/remote.json\"");
        printed.Text.clear();
        return Refreshed();
    };
    StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
    calls.UnlinkAt = UnlinkFails;
    StorageFileOS_SetCalls(&calls);
    ASSERT_TRUE(refresh());
    StorageFileOS_SetCalls(nullptr);
    EXPECT_EQ(Repository_IsFailed(repo), 1);
    EXPECT_NE(printed.Text.find("Failed to remove what a failed run left (" + Root() + "/local) (100005)"), std::string::npos)
        << printed.Text;
    EXPECT_TRUE(OnDisk(Root() + "/local/gone.bin.quarvpartial"));
    ASSERT_TRUE(refresh());
    EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
    EXPECT_FALSE(OnDisk(Root() + "/local/gone.bin.quarvpartial"));
}

TEST_F(StorageJournalTest, TwoRepositoriesSharingAFolderNeverJudgeEachOthersCopies) {
    Storage* other = nullptr;
    MetaFile* meta = nullptr;
    const std::string big = Content(48, 30);
    auto start = [&](const std::string&) {
        // The other repository's manifest: one file of three pieces, the first written.
        Shell("rm -rf " + Root() + "/otherside && mkdir -p " + Root() + "/otherside");
        Put(Root() + "/otherside/b-only.bin", big);
        WriteManifest(Root() + "/otherside", "o1", Root() + "/other.json", {}, 16);
        meta = LoadBuiltManifest(Root() + "/other.json");
        ASSERT_NE(meta, nullptr);
        Storage_Create(&other);
        Json config("{\"type\":\"file\",\"path\":\"" + Root() + "/local\"}");
        ASSERT_EQ(Storage_Configure(other, nullptr, config.d, nullptr), 1);
        StorageRequest* request = nullptr;
        StorageRequest_Create(&request);
        StorageRequest_SetMetaFileHandle(request, meta);
        StorageRequest_IndexAdd(request, 0);
        StorageRequest_Alloc(request);
        uint8_t* p = nullptr;
        StorageRequest_GetPointer(request, &p);
        memcpy(p, big.data(), 16);
        StorageRequest_ReleasePointer(request, &p);
        StorageRequest_SetContentLength(request, 16);
        std::atomic<bool> done{false};
        uint32_t result = 1;
        struct Done {
            std::atomic<bool>* done;
            uint32_t* result;
        } d{&done, &result};
        Storage_Put(other, request, &d, [](Storage*, void* user, void*, uint32_t c, uint32_t) {
            *static_cast<Done*>(user)->result = c;
            *static_cast<Done*>(user)->done = true;
        });
        Pump([&] { return done.load(); }, 10);
        StorageRequest_Release(&request);
        ASSERT_EQ(result, 0u);
        ASSERT_TRUE(OnDisk(Root() + "/local/b-only.bin.quarvpartial"));
    };
    auto finish = [&](const std::string& where) {
        EXPECT_EQ(Slurp(Root() + "/local/b-only.bin.quarvpartial"), big.substr(0, 16)) << where;
        Storage_Shutdown(other);
        Storage_Release(&other);
        MetaFile_Release(&meta);
        Shell("rm -f " + Root() + "/local/b-only.bin.quarvpartial");
        // Once the other is gone, the update completes; the other's entry names no copy any more.
        ExpectCompletes(kV2, where);
        EXPECT_FALSE(OnDisk(Root() + "/local/.quarvpartial")) << where;
    };
    Walk(start, finish, true);
}

// ---- Faults past the table: the replaced manifest's reads, a file swapped behind a check --------

// The replaced manifest is read by the document loader (its own file layer, on its worker threads)
// and by the repository for its proof: the next `replacedFails` reads of a file named
// "*.replaced" fail with EIO (-1: every one), with `loaderOnly` only the loader's.
std::atomic<int> g_replacedFails{0};
std::atomic<int> g_replacedFailed{0};
std::atomic<bool> g_loaderOnly{false};
pthread_t g_testThread;

bool FailsRead(int fd) {
    if (g_replacedFails.load() == 0 || (g_loaderOnly && pthread_equal(pthread_self(), g_testThread))) return false;
    char link[64], path[4096];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t got = readlink(link, path, sizeof(path) - 1);
    if (got < 9 || memcmp(path + got - 9, ".replaced", 9) != 0) return false;
    for (int left = g_replacedFails.load(); left != 0;)
        if (left < 0 || g_replacedFails.compare_exchange_weak(left, left - 1)) {
            g_replacedFailed++;
            return true;
        }
    return false;
}

// A file placed at `path` by a rename, right before the `at`-th look (fstatat) at its leaf: what the
// program judged there (by that name or by a descriptor) is another file by the time it looks at
// the name again or acts on it. at 0 counts the looks only.
struct SwapPlan {
    std::mutex lock;
    std::string leaf, path, with;
    long at = 0, seen = 0;
    bool armed = false, swapped = false;
};
SwapPlan g_swap;

void Looked(const char* name) {
    std::lock_guard<std::mutex> hold(g_swap.lock);
    if (!g_swap.armed || !name || g_swap.leaf != name || ++g_swap.seen != g_swap.at) return;
    g_swap.swapped = rename(g_swap.with.c_str(), g_swap.path.c_str()) == 0;
}

void ArmSwap(const std::string& leaf, const std::string& path, const std::string& with, long at) {
    std::lock_guard<std::mutex> hold(g_swap.lock);
    g_swap.leaf = leaf;
    g_swap.path = path;
    g_swap.with = with;
    g_swap.at = at;
    g_swap.seen = 0;
    g_swap.swapped = false;
    g_swap.armed = true;
}
long DisarmSwap() {
    std::lock_guard<std::mutex> hold(g_swap.lock);
    g_swap.armed = false;
    return g_swap.seen;
}

// An update cut after its save leaves the manifest it replaced beside the new one, and the files
// only that one listed; the next run erases them from what it lists. A read of it the disk fails
// once is read again, and the sync ends exact; one the disk fails every time fails the sync, which
// never says success with those files left; the next run without the fault erases them. The same
// for the repository's own look at its bytes (its proof).
TEST_F(StorageJournalTest, AReplacedManifestTheDiskCannotReadIsReadAgainOrFailsTheSync) {
    g_testThread = pthread_self();
    const std::string replaced = Root() + "/state/local.json.replaced";
    const long cut = CutLeaving([&] {
        return OnDisk(replaced) && OnDisk(Root() + "/local/drop1") && Installed() == Slurp(Root() + "/remote.json");
    });
    ASSERT_GT(cut, 0);
    struct Reads {
        ~Reads() { g_replacedFails = 0; }
    } readsAgain;
    for (const bool loaderOnly : {true, false}) {
        for (const int fails : {1, -1}) {
            const std::string where = std::string(loaderOnly ? "the loader's read" : "every read") +
                                      (fails < 0 ? " failing every time" : " failing once");
            SCOPED_TRACE(where);
            ASSERT_TRUE(CutAgain(cut));
            g_loaderOnly = loaderOnly;
            g_replacedFailed = 0;
            g_replacedFails = fails;
            printed.Text.clear();
            // Once: the retry the error's answer sets (seconds on) is waited for.
            const bool success = RunFaulted(fails < 0 ? 0.3 : 8.0);
            NewRepository();
            g_replacedFails = 0;
            EXPECT_GT(g_replacedFailed.load(), 0) << printed.Text;
            EXPECT_NE(printed.Text.find("Failed to read the replaced metafile (" + replaced + ")"), std::string::npos)
                << printed.Text;
            if (fails > 0) {
                EXPECT_TRUE(success) << printed.Text;
            } else {
                EXPECT_FALSE(success) << printed.Text;
                EXPECT_TRUE(OnDisk(Root() + "/local/drop1")) << printed.Text;
            }
            if (success) {
                ExpectExactly(kV2, where, true);
                ExpectManifestAlone(where);
            }
            ExpectCompletes(kV2, where);
            if (HasFailure()) return;
        }
    }
}

const Tree kV3 = {
    {"a", Content(40, 11)}, {"a.1", Content(40, 12)}, {"a.1.x", Content(20, 3)},
    {"keep", Content(30, 4)}, {"held", Content(30, 17)}, {"exe", Content(20, 18)},
};

// The calls of a run by number, as the table saw them: what changes a name (and its leaf) or
// opens a file to write; the sweep's calls end where its new record takes the record's name.
std::mutex g_logLock;
std::map<long, std::string> g_log;
std::atomic<bool> g_logging{false};
// Set: at every such call, whether the manifest already holds `saved` while one of `dropped` (what
// the start's sweep is to remove) is still there: the sync went on past a sweep it did not finish.
struct SweepWatch {
    std::string manifest, saved;
    std::vector<std::string> dropped;
    bool past = false;
} g_sweep;
void Log(const char* what, const char* name) {
    std::lock_guard<std::mutex> hold(g_logLock);
    if (!g_sweep.manifest.empty() && !g_sweep.past && Slurp(g_sweep.manifest) == g_sweep.saved)
        for (const auto& path : g_sweep.dropped) g_sweep.past = g_sweep.past || OnDisk(path);
    if (g_logging) g_log[g_calls.calls + 1] = std::string(what) + " " + name;
}
const StorageFileOSCalls& LoggedCalls() {
    static StorageFileOSCalls calls = [] {
        StorageFileOSCalls c = kWrappedCalls;
        c.OpenAt = [](int d, const char* name, int flags, mode_t mode) {
            Log(flags & O_CREAT ? "make" : "open", name);
            return call_faults::OpenAt(d, name, flags, mode);
        };
        c.RenameAt = [](int d, const char* from, const char* to, unsigned int flags) {
            Log("rename", to);
            return call_faults::RenameAt(d, from, to, flags);
        };
        c.UnlinkAt = [](int d, const char* name, int flags) {
            Log("remove", name);
            return call_faults::UnlinkAt(d, name, flags);
        };
        return c;
    }();
    return calls;
}

// A killed update of v2 completed its new files; v3 drops them. The start of the sync of v3 first
// removes them (one may stand where v3 puts a file of another shape); a call of that sweep the disk
// fails is got past by reading again (the files gone before v3 is saved), or fails the start, the
// step and the folder named: the sync never goes on past the sweep unfinished. The next run
// completes v3 exactly.
TEST_F(StorageJournalTest, ASweepAtTheSyncsStartTheDiskFailsIsDoneAgainOrFailsTheSyncNamingIt) {
    const long cut = CutLeaving([&] { return StoppedBeforeTheSave(); });
    ASSERT_GT(cut, 0);
    ASSERT_TRUE(CutAgain(cut));
    Remote("v3", kV3);
    StorageFileOS_SetCalls(&LoggedCalls());
    ArmCalls(CallMode::Count, -1);
    printed.Text.clear();
    g_log.clear();
    g_logging = true;
    ASSERT_TRUE(RunFaulted()) << printed.Text;
    g_logging = false;
    NewRepository();
    ExpectExactly(kV3, "count");
    EXPECT_NE(printed.Text.find("Installation left unfinished by a stopped run"), std::string::npos) << printed.Text;
    const long from = g_calls.syncAt;
    long to = 0;
    std::vector<long> steps;
    bool removes = false;
    for (const auto& [n, call] : g_log) {
        if (n <= from || to) continue;
        removes = removes || call == "remove new.bin" || call == "remove c";
        if (call == "rename .quarvpartial") to = n;
        // Of the opens of the record's free names (one per name held) the first few and every fourth.
        if (call.rfind("open .quarvpartial", 0) != 0 || call.size() < 20 || n % 4 == 0) steps.push_back(n);
    }
    ASSERT_TRUE(removes && to > from) << "the sweep removed nothing";
    const std::string line = "Failed to remove what a stopped run left (" + Root() + "/local) (100005)";
    for (const long n : steps) {
        const std::string where = "call " + std::to_string(n - from) + " of the sync EIO (" + g_log[n] + ")";
        SCOPED_TRACE(where);
        ASSERT_TRUE(CutAgain(cut));
        Remote("v3", kV3);
        StorageFileOS_SetCalls(&LoggedCalls());
        ArmCalls(CallMode::Fail, n, EIO);
        printed.Text.clear();
        {
            std::lock_guard<std::mutex> hold(g_logLock);
            g_sweep = {Root() + "/state/local.json", Slurp(Root() + "/remote.json"),
                       {Root() + "/local/new.bin", Root() + "/local/n/deep/c"}};
        }
        const bool success = RunFaulted();
        NewRepository();
        const bool hit = g_calls.hit;
        ArmCalls(CallMode::Count, -1);
        bool past = false;
        {
            std::lock_guard<std::mutex> hold(g_logLock);
            past = g_sweep.past;
            g_sweep = {};
        }
        EXPECT_TRUE(hit) << printed.Text;
        EXPECT_FALSE(past) << "saved with what the sweep was to remove still there\n" << printed.Text;
        EXPECT_TRUE(success || printed.Text.find(line) != std::string::npos) << printed.Text;
        if (!success) ExpectReadable(where);
        ExpectCompletes(kV3, where);
        if (HasFailure()) return;
    }
}

// The same sweep, where the file it judged the stopped run's is swapped for the user's or another
// account's between that judgement and its removal, before every look at the name: the file placed
// is left as it was. The same for an empty file of ours at a name of the record of copies (a
// record whose making was cut, which the record's walk removes).
TEST_F(StorageJournalTest, AFileSwappedInBehindTheSweepsCheckIsLeftAlone) {
    const long cut = CutLeaving([&] { return StoppedBeforeTheSave(); });
    ASSERT_GT(cut, 0);
    struct Disarm {
        ~Disarm() { DisarmSwap(); }
    } disarm;
    const std::string with = Root() + "/placed";
    const std::string empty = Root() + "/local/.quarvpartial1";
    auto place = [&](const std::string& name) {
        if (name != ".quarvpartial1") return;
        Put(empty, "");
        ASSERT_EQ(chmod(empty.c_str(), 0600), 0);
    };
    for (const auto& [leaf, name] : {std::pair<std::string, std::string>{"new.bin", "new.bin"},
                                     {"c", "n/deep/c"},
                                     {".quarvpartial1", ".quarvpartial1"}}) {
        const std::string path = Root() + "/local/" + name;
        ASSERT_TRUE(CutAgain(cut));
        Remote("v3", kV3);
        place(name);
        ArmSwap(leaf, path, with, 0);
        printed.Text.clear();
        RunFaulted();
        NewRepository();
        const long looks = DisarmSwap();
        ASSERT_GT(looks, 1) << name << printed.Text;
        for (long at = 1; at <= looks; at++) {
            for (const uid_t owner : {0u, 65534u}) {
                const std::string where = name + " swapped before look " + std::to_string(at) + "/" +
                                          std::to_string(looks) + (owner ? ", another account's" : ", the user's");
                SCOPED_TRACE(where);
                ASSERT_TRUE(CutAgain(cut));
                Remote("v3", kV3);
                place(name);
                const std::string bytes = "placed by " + where;
                Put(with, bytes);
                ASSERT_EQ(chmod(with.c_str(), 0600), 0);
                ASSERT_EQ(lchown(with.c_str(), owner, owner), 0);
                ArmSwap(leaf, path, with, at);
                printed.Text.clear();
                RunFaulted();
                NewRepository();
                DisarmSwap();
                if (!g_swap.swapped) continue;
                struct stat info {};
                EXPECT_EQ(lstat(path.c_str(), &info), 0) << printed.Text;
                EXPECT_EQ(Slurp(path), bytes) << printed.Text;
                EXPECT_EQ(info.st_uid, owner);
                std::filesystem::remove(with);
                if (HasFailure()) return;
            }
        }
    }
}

} // namespace

extern "C" {
ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
    static const auto next = reinterpret_cast<ssize_t (*)(int, void*, size_t, off_t)>(dlsym(RTLD_NEXT, "pread"));
    if (FailsRead(fd)) return errno = EIO, -1;
    return next(fd, buffer, length, offset);
}
ssize_t pread64(int fd, void* buffer, size_t length, off_t offset) {
    static const auto next = reinterpret_cast<ssize_t (*)(int, void*, size_t, off_t)>(dlsym(RTLD_NEXT, "pread64"));
    if (FailsRead(fd)) return errno = EIO, -1;
    return next(fd, buffer, length, offset);
}
int fstatat(int directory, const char* name, struct stat* out, int flags) {
    static const auto next = reinterpret_cast<int (*)(int, const char*, struct stat*, int)>(dlsym(RTLD_NEXT, "fstatat"));
    Looked(name);
    return next(directory, name, out, flags);
}
}

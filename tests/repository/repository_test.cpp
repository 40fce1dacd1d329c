// The repository driven through its own interface: the error classifier and its delays, request
// slots, remote configuration, and whole refresh, synchronisation and erase runs between folders
// (file storages, manifests written by Python) compared with diff -r and cmp.
#include "repository/repository.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "core/certs/cert_store.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/web/async_http.h"
#include "core/linux/platform_error.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/linux/storage_file_os.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_cleanup.h"
#include "repository/storage_copy.h"
#include "repository/storage_file_internal.h"
#include "repository/storage_record.h"
#include "repository/repository_internal.h"
#include "repository/storage_request.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/own_connections.h"
#include "tests/support/temp_dir.h"
#include "tests/support/web_get_env.h"
#include "tests/repository/repository_test_support.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

class RepositoryTest : public RepositoryFixture {
  protected:
    // A fresh repository's sync of what is on disk, which must end level with the remote: its
    // files, and its manifest saved at `state`.
    void ExpectNextSyncLevel(const std::string& state) {
        NewRepository();
        Configure();
        printed.Text.clear();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
        EXPECT_TRUE(Same());
        EXPECT_EQ(Shell("cmp " + state + " " + Root() + "/remote.json"), 0);
    }
    // v1 installed with its manifest in `state`, then an update to v2 that drops b.txt, pumped until
    // its manifest is saved with the one it replaced beside it; *kept is v1's manifest.
    void UpdateUntilSaved(const std::string& state, std::string* kept);
};

// ---- The classifier --------------------------------------------------------------------------------

TEST_F(RepositoryTest, RetryDelayGrowsByCount) {
    struct Case {
        uint32_t count;
        double low, high;
    } cases[] = {{0, 0, 0}, {1, 15, 29}, {2, 30, 44}, {3, 60, 74}, {9, 60, 74}};
    for (const Case& c : cases) {
        double seen_low = 1e9, seen_high = -1;
        for (int i = 0; i < 400; ++i) {
            const double d = Repostitory_RetryDelay(c.count);
            seen_low = std::min(seen_low, d);
            seen_high = std::max(seen_high, d);
        }
        EXPECT_EQ(seen_low, c.low) << c.count;
        EXPECT_EQ(seen_high, c.high) << c.count;
    }
}

TEST_F(RepositoryTest, ClassifierAnswersBySourceTypeAndCode) {
    const uint32_t locked = PLATFORM_ERROR_ERRNO_BASE + EDEADLK, full = PLATFORM_ERROR_ERRNO_BASE + ENOSPC,
                   missing = PLATFORM_ERROR_ERRNO_BASE + ENOENT, denied = PLATFORM_ERROR_ERRNO_BASE + EACCES,
                   link = PLATFORM_ERROR_ERRNO_BASE + ELOOP, notDir = PLATFORM_ERROR_ERRNO_BASE + ENOTDIR,
                   isDir = PLATFORM_ERROR_ERRNO_BASE + EISDIR;
    // An error of the installation that no retry mends ends the work: an hour's wait, never taken.
    constexpr double kEnds = 3600;
    struct Case {
        int32_t source, type;
        uint32_t code, extra;
        int32_t response;
        double low, high; // seconds from now
    } cases[] = {
        {6, 1, 972, 0, 3, 30, 44},
        {5, 1, 989, 9, 3, 30, 44},
        {3, 1, 964, locked, 3, 5, 5},
        {3, 1, 964, denied, 5, 0, 0},
        {3, 4, 964, denied, 4, 5, 5},
        {3, 1, 404, 0, 5, 0, 0},
        {5, 1, 964, missing, 5, 0, 0},
        {5, 1, 964, locked, 4, 5, 5},
        {5, 3, 964, missing, 4, 5, 5},
        {5, 1, 964, denied, 4, kEnds, kEnds},
        {5, 3, 964, full, 4, kEnds, kEnds},
        {5, 3, 964, link, 4, kEnds, kEnds},
        {5, 3, 976, 0, 4, kEnds, kEnds},
        {5, 1, 960, 0, 3, 15, 29},
        {5, 1, 979, 0, 5, 0, 0},
        {5, 1, 962, 0, 5, 0, 0},
        {5, 3, 979, 0, 4, 5, 5},
        {5, 1, 976, 0, 4, kEnds, kEnds},
        {7, 4, 976, 0, 4, 5, 5},
        {7, 1, 976, 0, 3, 15, 29},
        {8, 1, 964, denied, 5, 0, 0},
        {8, 3, 976, 0, 4, 5, 5},
        {8, 3, 964, locked, 5, 0, 0},
        {8, 3, 964, full, 5, 0, 0},
        {8, 3, 964, denied, 4, 5, 5},
        {1, 1, 404, 0, 3, 15, 29},
        {6, 1, 500, 0, 3, 15, 29},
        {9, 5, 986, 0, 3, 15, 29},
        {42, 1, 500, 0, 3, 15, 29},
        // The remote manifest saved as the installed one: a full or refusing disk ends the work.
        {4, 3, 964, full, 4, kEnds, kEnds},
        {4, 3, 964, denied, 4, kEnds, kEnds},
        {4, 1, 964, full, 3, 15, 29},
        {4, 3, 964, missing, 3, 15, 29},
        // A document received and refused (its signature, its text) is refused again on every try;
        // what did not arrive is asked for again.
        {4, 1, 987, 9, 4, kEnds, kEnds},
        {4, 1, 987, 3, 4, kEnds, kEnds},
        {2, 1, 987, 10, 4, kEnds, kEnds},
        {1, 1, 987, 9, 4, kEnds, kEnds},
        {4, 1, 990, 0, 3, 15, 29},
        {6, 1, 987, 9, 3, 15, 29},
        // A read that meets another shape at the file's place finds it missing; a write there ends the work.
        {5, 1, 964, notDir, 5, 0, 0},
        {5, 1, 964, isDir, 5, 0, 0},
        {5, 3, 964, notDir, 4, kEnds, kEnds},
        {5, 3, 964, isDir, 4, kEnds, kEnds},
    };
    for (const Case& c : cases) {
        Repository_Reset(repo);
        const uint32_t before = Errors();
        double resume = -1;
        const double now = Time_GetCurrent();
        const int32_t response = Repository_Error(repo, c.source, 7, 1, c.type, c.code, c.extra, &resume);
        SCOPED_TRACE(testing::Message() << c.source << "/" << c.type << "/" << c.code);
        EXPECT_EQ(response, c.response);
        EXPECT_EQ(Repository_IsFailed(repo), c.high == kEnds ? 1 : 0);
        EXPECT_GE(resume - now, c.low - 0.5);
        EXPECT_LE(resume - now, c.high + 0.5);
        // Only what is not ignored is recorded.
        EXPECT_EQ(Errors(), before + (c.response == 5 ? 0 : 1));
        if (c.response != 5) {
            int32_t source = 0, index = 0, type = 0, code = 0, extra = 0;
            Repository_GetLastError(repo, &source, &index, &type, &code, &extra);
            EXPECT_EQ(std::vector<int32_t>({source, index, type, code, extra}),
                      std::vector<int32_t>({c.source, 7, c.type, (int32_t)c.code, (int32_t)c.extra}));
        }
    }
    EXPECT_NE(printed.Text.find(
                  "Error: Source(6) Index(7) Count(2) Type (1) Code(972) CodeEx(0) Response(3) Retry("),
              std::string::npos);
    EXPECT_STREQ(Repository_TranslateSource(4), "MetaFileRemote");
    EXPECT_STREQ(Repository_TranslateSource(0), "Alias");
}

TEST_F(RepositoryTest, CopyErrorsTimeoutsAndVCDiffFallback) {
    StorageRequest* request = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_SetAllowVCDiff(request, 1);
    double resume = 0;
    double now = Time_GetCurrent();
    // A timeout waits a minute whatever the count.
    EXPECT_EQ(Repository_CopyErrorCallback(nullptr, repo, request, 0, 3, 0, 1, 961, 0, &resume), 3);
    EXPECT_GE(resume - now, 59.5);
    EXPECT_LE(resume - now, 74.5);
    // A failed delta transfer is retried at once as a whole piece.
    now = Time_GetCurrent();
    EXPECT_EQ(Repository_CopyErrorCallback(nullptr, repo, request, 3, 3, 0, 1, 988, 0, &resume), 3);
    EXPECT_LE(resume - now, 0.5);
    uint32_t allow = 1, failures = 0;
    StorageRequest_GetAllowVCDiff(request, &allow);
    Repository_GetDeltaFailures(repo, &failures);
    EXPECT_EQ(allow, 0u);
    EXPECT_EQ(failures, 1u);
    EXPECT_NE(printed.Text.find("Disabling vcdiff (3)"), std::string::npos);
    // Then the classifier's answer stands.
    EXPECT_EQ(Repository_CopyErrorCallback(nullptr, repo, request, 3, 3, 1, 1, 988, 0, &resume), 3);
    EXPECT_EQ(Repository_CopyErrorCallback(nullptr, repo, request, 1, 3, 1, 1, 964,
                                           PLATFORM_ERROR_ERRNO_BASE + ENOENT, &resume),
              5);
    // An error that ends the work is not worked around by a whole piece: the work ends with it.
    StorageRequest_SetAllowVCDiff(request, 1);
    printed.Text.clear();
    now = Time_GetCurrent();
    EXPECT_EQ(Repository_CopyErrorCallback(nullptr, repo, request, 1, 5, 0, 3, 964, PLATFORM_ERROR_ERRNO_BASE + EACCES,
                                           &resume),
              4);
    EXPECT_EQ(Repository_IsFailed(repo), 1);
    EXPECT_GE(resume - now, 3599.5);
    StorageRequest_GetAllowVCDiff(request, &allow);
    Repository_GetDeltaFailures(repo, &failures);
    EXPECT_EQ(allow, 1u);
    EXPECT_EQ(failures, 1u);
    EXPECT_EQ(printed.Text.find("Disabling vcdiff"), std::string::npos) << printed.Text;
    StorageRequest_Release(&request);
    EXPECT_DEATH(Repository_CopyErrorCallback(nullptr, repo, nullptr, 4, 0, 0, 1, 500, 0, &resume),
                 AbortRegex("Invalid error source (4)"));
}

// The thread a repository runs on is the one its jobs and cleanups signal, whichever thread made
// them, the cleanups a reset makes anew on another thread too.
TEST_F(RepositoryTest, ItsJobsAndCleanupsSignalTheThreadItRunsOn) {
    const uint32_t runner = Thread_GetCurrentId() + 1000;
    Repository_SetThreadId(repo, runner);
    const auto signalled = [&] {
        std::vector<uint32_t> ids;
        for (StorageCopy* job : {repo->Copy, repo->ApplyJob}) {
            uint32_t id = 0;
            StorageCopy_GetThreadId(job, &id);
            ids.push_back(id);
        }
        for (StorageCleanup* cleanup : {repo->LocalCleanup, repo->PendingCleanup}) {
            uint32_t id = 0;
            StorageCleanup_GetThreadId(cleanup, &id);
            ids.push_back(id);
        }
        return ids;
    };
    EXPECT_EQ(signalled(), std::vector<uint32_t>(4, runner));
    // A refresh's start makes the cleanups anew, here on a thread that is not the runner: the ones
    // it replaces are marked, so that one left in place would show.
    StorageCleanup_SetThreadId(repo->LocalCleanup, 1);
    StorageCleanup_SetThreadId(repo->PendingCleanup, 1);
    Configure();
    Repository_Reset(repo);
    Repository_SetActive(repo, 1);
    Repository_SetRefresh(repo, 1);
    Repository_Process(repo);
    EXPECT_EQ(signalled(), std::vector<uint32_t>(4, runner));
    Repository_SetThreadId(repo, Thread_GetCurrentId());
}

// ---- Request slots and remotes ------------------------------------------------------------------------

// The status of each slot, "<active><allowVCDiff><state> " in order.
std::string SlotStatus(Repository* repo) {
    Dictionary *dump = nullptr, *list = nullptr;
    Dictionary_Create(&dump);
    Repository_Dump(repo, dump);
    Dictionary_GetListByKey(dump, "requests", &list);
    uint32_t count = 0;
    if (list) Dictionary_ItemGetCount(list, &count);
    std::string text;
    for (uint32_t i = 0; i < count; i++) {
        Dictionary* one = nullptr;
        Dictionary_GetDictionaryByIndex(list, (int32_t)i, &one);
        uint32_t active = 9, allow = 9;
        int64_t state = -1;
        Dictionary_GetBooleanByKey(one, "active", &active);
        Dictionary_GetBooleanByKey(one, "allowVCDiff", &allow);
        Dictionary_GetInt64ByKey(one, "state", &state);
        text += std::to_string(active) + std::to_string(allow) + std::to_string(state) + " ";
    }
    Dictionary_Release(&dump);
    return text;
}

TEST_F(RepositoryTest, RequestSlotsLendEachOnceAndRestAfterFailures) {
    ASSERT_EQ(Repository_RequestListResize(repo, 2), 1);
    // A slot not lent yet reads as a new request would.
    EXPECT_EQ(SlotStatus(repo), "010 010 ");
    StorageRequest *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(Repository_RequestAcquire(nullptr, repo, &a), 1);
    ASSERT_EQ(Repository_RequestAcquire(nullptr, repo, &b), 1);
    EXPECT_NE(a, b);
    StorageRequest_SetAllowVCDiff(a, 0);
    StorageRequest_SetState(a, 3);
    EXPECT_EQ(SlotStatus(repo), "103 110 ");
    StorageRequest_SetAllowVCDiff(a, 1);
    EXPECT_EQ(Repository_RequestAcquire(nullptr, repo, &c), 0);
    StorageRequest* delta = nullptr;
    EXPECT_EQ(StorageRequest_GetDeltaRequestHandle(a, &delta), 1);
    EXPECT_NE(delta, nullptr);
    StorageRequest_SetErrorCount(a, 2);
    StorageRequest* keep = a;
    Repository_RequestRelease(nullptr, repo, &a);
    EXPECT_EQ(a, nullptr);
    // Failed twice: not lent again for a while; a sound one is.
    EXPECT_EQ(Repository_RequestAcquire(nullptr, repo, &c), 0);
    Repository_RequestRelease(nullptr, repo, &b);
    ASSERT_EQ(Repository_RequestAcquire(nullptr, repo, &c), 1);
    EXPECT_NE(c, keep);
    StorageRequest* stranger = nullptr;
    StorageRequest_Create(&stranger);
    EXPECT_DEATH(Repository_RequestRelease(nullptr, repo, &stranger),
                 AbortRegex("Unable to release storage request"));
    StorageRequest_Release(&stranger);
    Repository_RequestRelease(nullptr, repo, &c);
}

TEST_F(RepositoryTest, RemotesOfOneIdentifierCountOnceAndMuxNests) {
    Shell("mkdir -p " + Root() + "/one " + Root() + "/two");
    const std::string text = "{\"type\":\"MUX\",\"storages\":[{\"type\":\"file\",\"path\":\"" + Root() +
                             "/one\"},{\"type\":\"mux\",\"storages\":[{\"type\":\"file\",\"path\":\"" +
                             Root() + "/two\"},{\"type\":\"file\",\"path\":\"" + Root() + "/one\"}]}]}";
    Json d(text);
    uint32_t deltaSeen = 0;
    EXPECT_EQ(Repository_ConfigRemote(repo, d.d, &deltaSeen), 1);
    int32_t count = 0;
    Repository_RemoteGetCount(repo, &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(deltaSeen, 0u);
    EXPECT_NE(printed.Text.find("storage connection already exists"), std::string::npos);
    // The chooser takes the storage with fewer requests under way.
    Storage* first = nullptr;
    ASSERT_EQ(Repository_GetLeastUsedMember(nullptr, repo, &first), 1);
    Storage_IncrementPendingRequests(first);
    Storage* next = nullptr;
    Repository_GetLeastUsedMember(nullptr, repo, &next);
    EXPECT_NE(next, first);
    Storage_DecrementPendingRequests(first);
}

// ---- Whole runs -----------------------------------------------------------------------------------

TEST_F(RepositoryTest, InstallUpdateAndRepairMatchTheRemote) {
    Version("v1",
            {{"a.bin", Content(40, 1)}, {"dir/b.bin", Content(16, 2)}, {"c", Content(5, 3)}, {"empty", ""}});
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_TRUE(Same());
    EXPECT_EQ(Shell("cmp " + Root() + "/remote.json " + Root() + "/state/local.json"), 0);
    // An empty installation was an install: flag 1 came with the ids, and the phases ran in order.
    bool install = false;
    for (const auto& [old, now] : changes) install |= (now & REPOSITORY_STATEFLAG_INSTALL) != 0;
    EXPECT_TRUE(install);
    const std::vector<std::string> order = {"Refresh started (game)", "Refresh stopped (game)",
                                            "Synchronize started (game)", "Saving metafile (",
                                            "Synchronize stopped (game)"};
    size_t at = 0;
    for (const auto& line : order) {
        at = printed.Text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << printed.Text;
    }

    // The next version changes one file, drops one and adds one; a locally deleted file returns.
    Version("v2",
            {{"a.bin", Content(40, 9)}, {"c", Content(5, 3)}, {"empty", ""}, {"new/d", Content(33, 4)}});
    NewRepository();
    Configure();
    changes.clear();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_TRUE(Same());
    EXPECT_EQ(Shell("test -e " + Root() + "/local/dir/b.bin"), 256);

    for (uint32_t mask : {0u, 1u}) {
        unlink((Root() + "/local/c").c_str());
        NewRepository();
        Configure();
        Repository_SetMask(repo, mask);
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        EXPECT_TRUE(Same()) << "mask " << mask;
    }
}

TEST_F(RepositoryTest, PiecesThatSwapPlacesAreNotMaskedAway) {
    const std::string x = Content(16, 1), y = Content(16, 2), z = Content(16, 3);
    Version("v1", {{"a", x}, {"b", y}, {"c", z}});
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    // Each piece of the new version is one the old one has, but under another file: only c,
    // which keeps its place, may be left out.
    Version("v2", {{"a", y}, {"b", x}, {"c", z}});
    NewRepository();
    Configure();
    Repository_SetMask(repo, 1);
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_TRUE(Same());
    const double skipped = Counter("piecesSkipped"), written = Counter("piecesWritten");
    EXPECT_EQ(written, 2);
    EXPECT_EQ(skipped, 1);
}

TEST_F(RepositoryTest, WithoutMetafileNothingIsSavedAndTheSyncSucceeds) {
    Version("v1", {{"a.bin", Content(20, 1)}});
    Configure("");
    const std::string cwd = Root() + "/cwd";
    Shell("mkdir -p " + cwd);
    char previous[1024];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    const bool ran = Run(REPOSITORY_ACTION_SYNC);
    // A refresh after the sync, with no reset between, as the first one: the ids are the
    // refresh's to find, and its first state counts none, not even the local one no manifest
    // stands for.
    const size_t first = changes.size();
    Repository_SetRefresh(repo, 1);
    const bool refreshed = Pump([&] {
        return !(Actions() & REPOSITORY_ACTION_REFRESH) && !(State() & REPOSITORY_STATEFLAG_REFRESH);
    });
    ASSERT_EQ(chdir(previous), 0);
    ASSERT_TRUE(ran && refreshed) << printed.Text;
    for (const size_t from : {(size_t)0, first}) {
        size_t at = from;
        while (at < changes.size() &&
               !(changes[at].second & ~changes[at].first & REPOSITORY_STATEFLAG_REFRESH))
            at++;
        ASSERT_LT(at, changes.size()) << from;
        EXPECT_EQ(changes[at].second & (REPOSITORY_STATEFLAG_LOCALID | REPOSITORY_STATEFLAG_REMOTEID), 0u)
            << from;
    }
    EXPECT_NE(State() & REPOSITORY_STATEFLAG_LOCALID, 0u);
    EXPECT_EQ(Errors(), 0u);
    EXPECT_TRUE(Same());
    EXPECT_EQ(printed.Text.find("Saving metafile"), std::string::npos);
    EXPECT_EQ(Shell("test -z \"$(ls -A " + cwd + ")\" && test ! -e " + Root() + "/state"), 0);
}

TEST_F(RepositoryTest, EraseStaysInsideTheInstallation) {
    Version("v1", {{"a.bin", Content(20, 1)}, {"sub/b", Content(3, 2)}});
    Configure("local/local.json");
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    ASSERT_EQ(Shell("diff -r -x local.json " + Root() + "/remote " + Root() + "/local"), 0);
    NewRepository();
    Configure("local/local.json");
    ASSERT_TRUE(Run(REPOSITORY_ACTION_ERASE)) << printed.Text;
    // Files, their folders and the manifest go; the installation folder, where the manifest lay
    // and which is empty now, stays.
    EXPECT_EQ(Shell("test -d " + Root() + "/local && test -z \"$(ls -A " + Root() + "/local)\""), 0)
        << printed.Text;
    EXPECT_NE(printed.Text.find("Erasing MetaFile ("), std::string::npos);

    // A manifest that names a file outside: that file is never touched.
    Put(Root() + "/victim", "keep");
    Put(Root() + "/local/x", "1234");
    Shell("mkdir -p " + Root() + "/state");
    WriteManifest(Root() + "/local", "v1", Root() + "/state/local.json", {"../victim"});
    NewRepository();
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_ERASE)) << printed.Text;
    EXPECT_EQ(Shell("test -e " + Root() + "/local/x"), 256);
    EXPECT_EQ(Shell("test -f " + Root() + "/victim && test -d " + Root() + "/local"), 0);
}

TEST_F(RepositoryTest, AliasNamesTheVersionAndTheDeltaCatalogueFallsBackToTheFullOne) {
    struct Case {
        bool delta;   // a catalogue from the installed version exists
        bool capital; // the catalogue named by a ".JSON" URL, used as it is
        bool dropped; // the file the new version drops is still there afterwards
    } cases[] = {{true, false, true}, {false, false, false}, {false, true, false}};
    for (const Case& c : cases) {
        Shell("rm -rf " + Root() + "/local " + Root() + "/state " + Root() + "/cat");
        Version("v1", {{"a.bin", Content(20, 1)}, {"old", Content(7, 2)}});
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        Version("v2", {{"a.bin", Content(20, 5)}});
        Put(Root() + "/alias.json", "{\"other\":\"v9\",\"game\":\"v2\"}");
        const std::string meta = "\"metafile\":\"" + Root() + "/remote.json\"";
        Put(Root() + "/cat/v2/catalog.json", "{\"id\":\"v2\"," + meta + ",\"config\":{}}");
        Put(Root() + "/cat/v2/CATALOG.JSON", "{\"id\":\"v2\"," + meta + ",\"config\":{}}");
        // The delta catalogue turns cleanup off, which shows that it was the one read.
        if (c.delta)
            Put(Root() + "/cat/v2/v1/catalog.json",
                "{\"id\":\"v2\"," + meta + ",\"config\":{\"cleanup\":false}}");
        NewRepository();
        printed.Text.clear();
        const std::string catalog =
            c.capital ? "file://" + Root() + "/cat/v2/CATALOG.JSON" : "file://" + Root() + "/cat";
        Configure("state/local.json", "",
                  "\"alias\":\"file://" + Root() + "/alias.json\",\"catalog\":\"" + catalog + "\"");
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
        SCOPED_TRACE(printed.Text);
        EXPECT_EQ(Errors(), 0u);
        EXPECT_EQ(Shell("cmp " + Root() + "/local/a.bin " + Root() + "/remote/a.bin"), 0);
        EXPECT_EQ(Shell("test -e " + Root() + "/local/old") == 0, c.dropped);
        char remoteId[64];
        Repository_GetRemoteId(repo, remoteId, sizeof(remoteId));
        EXPECT_STREQ(remoteId, "v2");
    }
}

// An id is one segment of the catalogue's address: an alias, or the local configuration, that names
// one with more in it (another folder, a query, a file of its choice behind a file: base), or an
// address too long to be held whole, ends the refresh with a configuration error naming it, and no
// catalogue is read.
TEST_F(RepositoryTest, AnIdOrACatalogueAddressThatWouldBeAimedElsewhereIsRefused) {
    Version("v1", {{"a.bin", Content(20, 1)}});
    // What the ids would reach: a catalogue beside the catalogue folder, and one under a folder
    // named by a query.
    const std::string meta = "\"metafile\":\"" + Root() + "/remote.json\"";
    Put(Root() + "/victim/catalog.json", "{\"id\":\"v1\"," + meta + ",\"config\":{}}");
    Put(Root() + "/cat/v1?x/catalog.json", "{\"id\":\"v1\"," + meta + ",\"config\":{}}");
    const std::string alias = "file://" + Root() + "/alias.json", catalog = "file://" + Root() + "/cat";
    const std::string fromAlias = " from alias (" + alias + ")";
    // A catalogue folder whose address is held whole (1020 bytes), but not with an id's catalogue
    // below it; and one too long to be held at all.
    const std::string deep = catalog + "/" + std::string(1020 - catalog.size() - 1, 'c');
    const std::string deeper = deep + std::string(8, 'c');
    struct Case {
        std::string alias;  // the alias document's value for the repository (JSON text)
        std::string fields; // else the local configuration's
        std::string error;
    } cases[] = {
        {"../victim", "", "Remote id not usable in a catalog URL (../victim)" + fromAlias},
        {"v1/../../victim", "", "Remote id not usable in a catalog URL (v1/../../victim)" + fromAlias},
        {"v1?x", "", "Remote id not usable in a catalog URL (v1?x)" + fromAlias},
        {"v1#x", "", "Remote id not usable in a catalog URL (v1#x)" + fromAlias},
        {"v1%2F..", "", "Remote id not usable in a catalog URL (v1%2F..)" + fromAlias},
        {"..\\\\victim", "", "Remote id not usable in a catalog URL (..\\victim)" + fromAlias},
        {"v1\\nx", "", "Remote id not usable in a catalog URL (v1\\nx)" + fromAlias},
        {"..", "", "Remote id not usable in a catalog URL (..)" + fromAlias},
        {".", "", "Remote id not usable in a catalog URL (.)" + fromAlias},
        {"", "\"remote.id\":\"../victim\",\"catalog\":\"" + catalog + "\"",
         "Remote id not usable in a catalog URL (../victim) from local configuration (remote.id)"},
        {"", "\"remote.id\":\"" + std::string(REPOSITORY_REMOTE_ID_SIZE, 'v') + "\",\"catalog\":\"" + catalog + "\"",
         "Configuration dictionary invalid remote.id (too long)"},
        {"", "\"remote.id\":\"v1\",\"catalog\":\"" + deep + "\"", "Catalog URL too long (" + deep + ") (v1)"},
        {"", "\"remote.id\":\"v1\",\"catalog\":\"" + deeper + "\"",
         "Configuration dictionary invalid catalog (too long)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        Put(Root() + "/alias.json", "{\"game\":\"" + c.alias + "\"}");
        NewRepository();
        printed.Text.clear();
        Configure("state/local.json", "",
                  c.fields.empty() ? "\"alias\":\"" + alias + "\",\"catalog\":\"" + catalog + "\"" : c.fields);
        Repository_Reset(repo);
        Repository_SetCatalog(repo, 1);
        Repository_SetActive(repo, 1);
        Repository_SetRefresh(repo, 1);
        ASSERT_TRUE(Pump([&] {
            return !(Actions() & REPOSITORY_ACTION_REFRESH) && !(State() & REPOSITORY_STATEFLAG_REFRESH);
        })) << printed.Text;
        int32_t source = -1;
        Repository_GetLastError(repo, &source, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(source, 9) << printed.Text;
        EXPECT_NE(printed.Text.find(c.error + "\n"), std::string::npos) << printed.Text;
        EXPECT_EQ(State() & REPOSITORY_STATEFLAG_CATALOG, 0u) << printed.Text;
    }
    // Ids of letters, digits, dots, underscores and dashes name their own folder.
    Put(Root() + "/cat/v_1-2.0/catalog.json", "{\"id\":\"v1\"," + meta + ",\"config\":{}}");
    Put(Root() + "/alias.json", "{\"game\":\"v_1-2.0\"}");
    NewRepository();
    printed.Text.clear();
    Configure("state/local.json", "", "\"alias\":\"" + alias + "\",\"catalog\":\"" + catalog + "\"");
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_TRUE(Same());
}

TEST_F(RepositoryTest, ACatalogueChoosesNoLocalPlace) {
    Version("v1", {{"a.bin", Content(20, 1)}, {"d/b", Content(7, 2)}});
    const std::string victim = Root() + "/victim";
    struct Case {
        std::string config;
        bool synced;         // else a configuration error ends it
        std::string refused; // the printed line that names what was left out, where it matters
    } cases[] = {
        {"\"metafile\":\"" + victim + "/m.json\",\"local\":{\"type\":\"file\",\"PATH\":\"" + victim +
             "\",\"ignore\":\"" + victim + "/keep\"}",
         true, ""},
        {"\"pending\":{\"type\":\"filePiece\",\"path\":\"" + victim + "\"}", true, ""},
        {"\"local\":{\"type\":\"file\",\"partialExtension\":\"/../victim/x\"}", true, ""},
        // Nothing of the installation's storage either: its copies' suffix, its type.
        {"\"local\":{\"partialExtension\":\".mine\"}", true, ""},
        {"\"local\":{\"type\":\"filePiece\"}", true, ""},
        // A remote storage that would read a local folder; counts out of bounds.
        {"\"remote\":{\"type\":\"file\",\"url\":\"" + victim + "\"}", true, ""},
        {"\"requests\":100000,\"fileCompletes\":0", true, ""},
        // A remote kind whose address is a local folder, at any depth; left without an address,
        // the storage cannot be configured, and nothing of the folder is read.
        {"\"remote\":{\"type\":\"http\",\"url\":\"file://" + victim + "/\"}", false,
         "Catalog config key ignored (url)"},
        {"\"remote\":{\"type\":\"httpPiece\",\"baseUrl\":\"FILE://" + victim + "/\"}", false,
         "Catalog config key ignored (baseUrl)"},
        {"\"remote\":{\"type\":\"mux\",\"storages\":[{\"type\":\"mux\",\"storages\":[{\"type\":\"http\","
         "\"url\":\"" + victim + "\"}]}]}", false, "Catalog config key ignored (url)"},
        {"\"remote\":[{\"type\":\"http\",\"url\":\"ftp://127.0.0.1/\"}]", false, "Catalog config key ignored (url)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state " + victim);
        Put(victim + "/keep", "mine");
        Put(Root() + "/cat.json", "{\"id\":\"v1\",\"metafile\":\"" + Root() + "/remote.json\",\"config\":{" +
                                      c.config + "}}");
        NewRepository();
        printed.Text.clear();
        Configure("state/local.json", "", "\"catalog\":\"file://" + Root() + "/cat.json\"");
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
        int32_t source = 0;
        Repository_GetLastError(repo, &source, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(source, c.synced ? 0 : 9) << printed.Text;
        EXPECT_EQ(Same(), c.synced);
        EXPECT_EQ(Shell("test -f " + Root() + "/state/local.json"), c.synced ? 0 : 256);
        EXPECT_NE(printed.Text.find("Catalog config "), std::string::npos) << printed.Text;
        if (!c.refused.empty()) {
            EXPECT_NE(printed.Text.find(c.refused), std::string::npos) << printed.Text;
        }
        // The installation's storage is the local configuration's (where the sync got that far).
        Dictionary* dump = nullptr;
        Dictionary_Create(&dump);
        Repository_Dump(repo, dump);
        char text[64] = {};
        Dictionary_GetStringByPath(dump, "local.partialExtension", text, (int32_t)sizeof(text));
        if (c.synced) {
            EXPECT_STREQ(text, ".quarvpartial");
        }
        Dictionary_Release(&dump);
        // The user's folder holds what it held.
        EXPECT_EQ(Shell("test \"$(ls -A " + victim + ")\" = keep && test \"$(cat " + victim + "/keep)\" = mine"), 0);
    }
}

// The lock folder is the engine configuration's alone: a catalogue that names one (at its top, for
// the installation's storage, or as a storage setting) changes nothing the storage uses or reports.
TEST_F(RepositoryTest, ACatalogueChoosesNoLockFolder) {
    Version("v1", {{"a.bin", Content(20, 1)}});
    const std::string victim = Root() + "/victim/";
    Json engine("{\"storage\":{\"lockDirectory\":\"" + Root() + "/locks/\"}}");
    ASSERT_NE(engine.d, nullptr);
    const std::string configs[] = {
        "\"lockDirectory\":\"" + victim + "\"",
        "\"local\":{\"type\":\"file\",\"lockDirectory\":\"" + victim + "\"}",
        "\"local\":{\"type\":\"file\",\"LockDirectory\":\"" + victim + "\"}",
        "\"storage\":{\"lockDirectory\":\"" + victim + "\"}",
    };
    for (const std::string& config : configs) {
        SCOPED_TRACE(config);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        Put(Root() + "/cat.json", "{\"id\":\"v1\",\"metafile\":\"" + Root() + "/remote.json\",\"config\":{" +
                                      config + "}}");
        NewRepository();
        Repository_SetConfigHandle(repo, engine.d);
        Configure("state/local.json", "", "\"catalog\":\"file://" + Root() + "/cat.json\"");
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, 1)) << printed.Text;
        EXPECT_TRUE(Same());
        Dictionary* dump = nullptr;
        Dictionary_Create(&dump);
        Repository_Dump(repo, dump);
        char lock[512] = "";
        Dictionary_GetStringByPath(dump, "local.lockDirectory", lock, (int32_t)sizeof(lock));
        Dictionary_Release(&dump);
        EXPECT_EQ(std::string(lock), Root() + "/locks/");
        Repository_SetConfigHandle(repo, nullptr);
    }
    EXPECT_EQ(Shell("test -e " + victim), 256);
}

TEST_F(RepositoryTest, AnEraseRefusedOutsideTheInstallationIsSkipped) {
    Version("v1", {{"a.bin", Content(20, 1)}, {"sub/x", Content(9, 2)}});
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    // The installed folder is now a link to the user's own folder: erasing the dropped file
    // through it is refused, and that refusal does not hold the update up.
    ASSERT_EQ(Shell("mv " + Root() + "/local/sub " + Root() + "/mine && ln -s " + Root() + "/mine " + Root() +
                    "/local/sub"),
              0);
    Version("v2", {{"a.bin", Content(20, 5)}});
    NewRepository();
    printed.Text.clear();
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_NE(printed.Text.find("Erase refused outside the storage, skipped"), std::string::npos) << printed.Text;
    EXPECT_EQ(Shell("cmp -s " + Root() + "/local/a.bin " + Root() + "/remote/a.bin"), 0);
    EXPECT_EQ(Shell("cmp -s " + Root() + "/state/local.json " + Root() + "/remote.json"), 0);
    EXPECT_EQ(Shell("test -f " + Root() + "/mine/x"), 0);
}

TEST_F(RepositoryTest, APendingFolderThatIsMissingIsMade) {
    Version("v1", {{"a.bin", Content(40, 1)}});
    Configure("state/local.json",
              "\"inplace\":false,\"pending\":{\"type\":\"filePiece\",\"path\":\"" + Root() +
                  "/pend/ing\"},\"local\":{\"type\":\"file\",\"path\":\"" + Root() + "/local\"}");
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    struct stat info;
    ASSERT_EQ(stat((Root() + "/pend/ing").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(RepositoryTest, APieceThatNeverVerifiesStallsAndIsNeverInstalled) {
    Version("v1", {{"a.bin", Content(40, 1)}, {"b.bin", Content(30, 2)}});
    Put(Root() + "/remote/b.bin", Content(30, 3)); // the remote copy no longer matches its digests
    Configure();
    Repository_SetStallTime(repo, 1);
    Repository_Reset(repo);
    Repository_SetActive(repo, 1);
    Repository_SetRefresh(repo, 1);
    ASSERT_TRUE(Pump([&] { return !(State() & REPOSITORY_STATEFLAG_REFRESH); }));
    Repository_SetSync(repo, 1);
    ASSERT_TRUE(Pump([&] { return (State() & REPOSITORY_STATEFLAG_STALLED) != 0; }, 20)) << printed.Text;
    int32_t source = 0, code = 0;
    Repository_GetLastError(repo, &source, nullptr, nullptr, &code, nullptr);
    EXPECT_EQ(source, REPOSITORY_SOURCE_STORAGE_REMOTE);
    EXPECT_EQ(code, 979);
    EXPECT_NE(Actions() & REPOSITORY_ACTION_SYNC, 0u);
    EXPECT_EQ(Shell("test -e " + Root() + "/local/b.bin || test -e " + Root() + "/state/local.json"), 256);
}

TEST_F(RepositoryTest, AMissingAliasIsRetriedAndStallsTheRefresh) {
    Configure("state/local.json", "", "\"alias\":\"file://" + Root() + "/absent.json\"");
    Repository_SetStallTime(repo, 1);
    Repository_Reset(repo);
    Repository_SetActive(repo, 1);
    Repository_SetRefresh(repo, 1);
    ASSERT_TRUE(Pump([&] { return (State() & REPOSITORY_STATEFLAG_STALLED) != 0; }, 20)) << printed.Text;
    int32_t source = 0;
    Repository_GetLastError(repo, &source, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(source, REPOSITORY_SOURCE_ALIAS);
    EXPECT_NE(Actions() & REPOSITORY_ACTION_REFRESH, 0u);
    EXPECT_EQ(State() & REPOSITORY_STATEFLAG_REMOTEID, 0u);
    EXPECT_NE(printed.Text.find("Error: Source(1) Index(-1) Count(1) Type (1) Code(964)"), std::string::npos);
}

TEST_F(RepositoryTest, ConfigurationFaultsAreRecordedAndStall) {
    Version("v1", {{"a.bin", Content(20, 1)}});
    struct Case {
        std::string local;
        int requests;
        const char* message;
    } cases[] = {
        {"\"local\":7", 4, "Configuration dictionary missing local"},
        // No request to fetch with would wait for ever without an error to stall on.
        {"", 0, "Configuration dictionary missing requests"},
        // A manifest digest that cannot be read whole, or is no digest, would otherwise load the
        // manifest unchecked.
        {"\"local\":{\"type\":\"file\",\"path\":\"" + Root() + "/local\"},\"metafileDigest\":\"" +
             std::string(200, 'a') + "\"",
         4, "Configuration dictionary invalid metafileDigest"},
        {"\"local\":{\"type\":\"file\",\"path\":\"" + Root() + "/local\"},\"metafileDigest\":\"abc\"", 4,
         "Configuration dictionary invalid metafileDigest"},
    };
    for (const Case& c : cases) {
        NewRepository();
        printed.Text.clear();
        requests = c.requests;
        Configure("state/local.json", c.local);
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC));
        int32_t source = 0, code = 0;
        Repository_GetLastError(repo, &source, nullptr, nullptr, &code, nullptr);
        EXPECT_EQ(source, 9);
        EXPECT_EQ(code, 986);
        EXPECT_NE(printed.Text.find(c.message), std::string::npos) << printed.Text;
        // While active, a configuration error stalls at once.
        Repository_SetSync(repo, 1);
        Pass();
        EXPECT_NE(State() & REPOSITORY_STATEFLAG_STALLED, 0u);
    }
    Dictionary* missing = nullptr;
    Dictionary_Create(&missing);
    EXPECT_EQ(Repository_SetConfigDictionaryHandle(repo, missing), 0);
    Dictionary_Release(&missing);
    EXPECT_NE(printed.Text.find("Configuration dictionary missing repository"), std::string::npos);
    // A manifest path too long to keep is refused, never cut to another file's name.
    Json tooLong("{\"repository\":\"game\",\"metafile\":\"/tmp/" + std::string(400, 'm') + "\"}");
    EXPECT_EQ(Repository_SetConfigDictionaryHandle(repo, tooLong.d), 0);
    EXPECT_NE(printed.Text.find("Configuration dictionary invalid metafile"), std::string::npos);
}

TEST_F(RepositoryTest, SyncWithoutRefreshStops) {
    Configure();
    Repository_SetActive(repo, 1);
    Repository_SetSync(repo, 1);
    EXPECT_DEATH(for (int i = 0; i < 5000; ++i) Pass(),
                 AbortRegex("Repository refresh must be called before sync"));
}

TEST_F(RepositoryTest, PauseAndDumpKeys) {
    Version("v1", {{"a.bin", Content(20, 1)}});
    Configure();
    Repository_SetRefresh(repo, 1);
    Pass();
    // Not active: a phase is on and paused.
    EXPECT_EQ(State() & (REPOSITORY_STATEFLAG_REFRESH | REPOSITORY_STATEFLAG_PAUSED),
              (uint32_t)(REPOSITORY_STATEFLAG_REFRESH | REPOSITORY_STATEFLAG_PAUSED));
    // The clock counts milliseconds, and a pass that changes the flags is followed at once by the
    // next: the pause goes on over passes until it has lasted a few counts of it.
    const double pausedAt = Time_GetCurrent();
    EXPECT_TRUE(Pump([&] { return Time_GetCurrent() >= pausedAt + 0.003; }, 5));
    // Script pauses and resumes it through QVR.Repository.
    InteropInvokeFunc invoke = nullptr;
    InteropReleaseFunc release = nullptr;
    InteropProcessFunc process = nullptr;
    void* instance = nullptr;
    char id[40];
    Repository_GetInstanceId(repo, id, sizeof(id));
    ASSERT_EQ(BaseInterop_CreateInstance("QVR.Repository", id, sizeof(id), nullptr, nullptr, &invoke,
                                         &release, &process, &instance),
              1);
    Dictionary *request = nullptr, *response = nullptr;
    Dictionary_Create(&request);
    Dictionary_Create(&response);
    Dictionary_SetStringByKey(request, "method", "setActive");
    Dictionary_SetInt64ByKey(request, "methodHash", (int32_t)0x527be9ce);
    EXPECT_EQ(invoke(instance, request, response), 0); // "active" missing
    Dictionary_SetBooleanByKey(request, "active", 1);
    EXPECT_EQ(invoke(instance, request, response), 1);
    uint32_t value = 0;
    EXPECT_EQ(Dictionary_GetBooleanByKey(response, "returnValue", &value), 1);
    EXPECT_EQ(value, 1u);
    Pass();
    EXPECT_EQ(State() & REPOSITORY_STATEFLAG_PAUSED, 0u);
    Dictionary_SetBooleanByKey(request, "active", 0);
    invoke(instance, request, response);
    Pass();
    EXPECT_NE(State() & REPOSITORY_STATEFLAG_PAUSED, 0u);
    release(&instance);
    Dictionary_Release(&request);
    Dictionary_Release(&response);
    char otherId[40];
    Dictionary* other = nullptr;
    Dictionary_Create(&other);
    Dictionary_GetInstanceId(other, otherId, sizeof(otherId));
    Class_TrackInstance(other, otherId, nullptr);
    EXPECT_EQ(BaseInterop_CreateInstance("QVR.Repository", otherId, sizeof(otherId), nullptr, nullptr,
                                         &invoke, &release, &process, &instance),
              0);
    EXPECT_EQ(BaseInterop_CreateInstance("QVR.Other", id, sizeof(id), nullptr, nullptr, &invoke, &release,
                                         &process, &instance),
              0);
    Class_UntrackInstance(other);
    Dictionary_Release(&other);

    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    Repository_Dump(repo, dump);
    std::vector<std::string> keys;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(dump, &item); item; Dictionary_ItemGetNext(dump, item, &item)) {
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(dump, item, &key);
        keys.push_back(key ? key : "");
    }
    const std::vector<std::string> expected = {"name",
                                               "actionFlags",
                                               "stateFlags",
                                               "localId",
                                               "remoteId",
                                               "deltaFailures",
                                               "pendingRequests",
                                               "localMetaFileLoadTime",
                                               "remoteMetaFileLoadTime",
                                               "aliasLoadTime",
                                               "catalogLoadTime",
                                               "localCleanTime",
                                               "pendingCleanTime",
                                               "refreshTime",
                                               "syncTime",
                                               "eraseTime",
                                               "stallTime",
                                               "aliveTime",
                                               "pauseTime",
                                               "phases",
                                               "errorCount",
                                               "lastErrorSource",
                                               "lastErrorIndex",
                                               "lastErrorType",
                                               "lastErrorCode",
                                               "lastErrorCodeEx",
                                               "localReadBytes",
                                               "localWriteBytes",
                                               "localReadSpeed",
                                               "localWriteSpeed",
                                               "localMaxReadSpeed",
                                               "localMaxWriteSpeed",
                                               "remoteReadBytes",
                                               "remoteWriteBytes",
                                               "remoteReadSpeed",
                                               "remoteWriteSpeed",
                                               "remoteMaxReadSpeed",
                                               "remoteMaxWriteSpeed",
                                               "piecesTotal",
                                               "piecesSkipped",
                                               "piecesWritten",
                                               "piecesMasked",
                                               "piecesComplete",
                                               "pieceAverageTime",
                                               "localMetaFile",
                                               "remoteMetaFile",
                                               "alias",
                                               "catalog",
                                               "delta",
                                               "copy",
                                               "apply",
                                               "cleanup",
                                               "cleanupLocal",
                                               "cleanupPending",
                                               "local",
                                               "remote",
                                               "pending",
                                               "requests"};
    EXPECT_EQ(keys, expected);
    double paused = 0;
    Dictionary_GetFloat64ByKey(dump, "pauseTime", &paused);
    EXPECT_GT(paused, 0.0);
    Dictionary_Release(&dump);
}


// ---- Updates no other user and no manifest can steer --------------------------------------------

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What a user-facing sync must end with: no copy of the installation's own left in its folder.
std::string Leftovers(const std::string& folder) {
    std::string found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.path().filename().string().find(".quarvpartial") != std::string::npos)
            found += entry.path().string() + "\n";
    return found;
}

TEST_F(RepositoryTest, ACopysNamePlantedByAnotherUserIsNamedAndTheSyncGoesOn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "folder" : "file");
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        Version("v1", {{"a.txt", Content(4000, 1)}});
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        const std::string installed = Root() + "/local/a.txt", planted = installed + ".quarvpartial";
        if (folder) {
            ASSERT_EQ(Shell("mkdir -p " + planted + "/x"), 0);
            Put(planted + "/x/f", "planted");
        } else {
            Put(planted, "planted");
            ASSERT_EQ(chmod(planted.c_str(), 0666), 0);
        }
        ASSERT_EQ(Shell("chown -R 65534:65534 " + planted), 0);
        Version("v2", {{"a.txt", Content(4000, 2)}});
        NewRepository();
        Configure();
        printed.Text.clear();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        // The copy took a name of its own: the sync succeeds, the entry is named once and left as it was.
        EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
        const std::string named = "Name of a copy held by another user (" + planted + ")";
        const size_t first = printed.Text.find(named);
        EXPECT_NE(first, std::string::npos) << printed.Text;
        EXPECT_EQ(printed.Text.find(named, first + 1), std::string::npos) << printed.Text;
        struct stat info;
        ASSERT_EQ(stat(installed.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(Shell("cmp -s " + installed + " " + Root() + "/remote/a.txt"), 0);
        EXPECT_EQ(Slurp(folder ? planted + "/x/f" : planted), "planted");
        ASSERT_EQ(lstat(planted.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(Shell("ls -A " + Root() + "/local | grep -c 'quarvpartial[0-9]'"), 256);
    }
}

TEST_F(RepositoryTest, AManifestThatIsNoRegularFileFailsTheSyncAtOnceNamingIt) {
    struct Case {
        std::string path, make;
    } cases[] = {{"/remote.json", "mkfifo"}, {"/state/local.json", "mkfifo"}, {"/remote.json", "mkdir"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.make + " " + c.path);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        Version("v1", {{"a.txt", Content(100, 1)}});
        Shell("mkdir -p " + Root() + "/state && rm -f " + Root() + c.path);
        ASSERT_EQ(Shell(c.make + " " + Root() + c.path), 0);
        NewRepository();
        Configure();
        printed.Text.clear();
        const double start = Time_GetCurrent();
        Run(REPOSITORY_ACTION_SYNC);
        EXPECT_LT(Time_GetCurrent() - start, 10.0);
        EXPECT_EQ(Repository_IsFailed(repo), 1);
        EXPECT_NE(printed.Text.find("Metafile not a regular file (" + std::string(c.path == "/remote.json" ? "file://" : "") +
                                    Root() + c.path + ")"),
                  std::string::npos)
            << printed.Text;
        Shell("rm -rf " + Root() + c.path);
    }
}

TEST_F(RepositoryTest, AManifestWithNamesTheInstallationRefusesWritesNothing) {
    const std::string raw = Root() + "/raw";
    struct Case {
        std::vector<std::string> names;
        const char* printed;
        const char* metafile = "state/local.json";
    } cases[] = {
        {{"x", "x/y"}, "File name refused, a file is also a folder (x) (x/y)"},
        // The names the installation keeps beside a local manifest inside its folder.
        {{"a", "manifest.json"}, "File name refused, kept by the installation beside its metafile (manifest.json)",
         "local/manifest.json"},
        {{"a", "manifest.json.replaced"},
         "File name refused, kept by the installation beside its metafile (manifest.json.replaced)", "local/manifest.json"},
        {{"a", "manifest.json.replaced/readme.txt"},
         "File name refused, kept by the installation beside its metafile (manifest.json.replaced/readme.txt)",
         "local/manifest.json"},
        {{"a", ".manifest.json.Ab12Cd"},
         "File name refused, kept by the installation beside its metafile (.manifest.json.Ab12Cd)", "local/manifest.json"},
        {{"a", "meta"}, "File name refused, kept by the installation beside its metafile (meta)", "local/meta/manifest.json"},
        {{"a", "a.quarvpartial~"}, "File name refused, reserved for the installation's copies (a.quarvpartial~)"},
        {{"a", "a.quarvpartial"}, "File name refused, reserved for the installation's copies (a.quarvpartial)"},
        {{"a", "a.quarvpartial/x"}, "File name refused, reserved for the installation's copies (a.quarvpartial/x)"},
        {{"a", "a.quarvpartial~/x"}, "File name refused, reserved for the installation's copies (a.quarvpartial~/x)"},
        {{"a", "../victim"}, "File name refused, empty, \".\" or \"..\" component (../victim)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printed);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state " + Root() + "/remote " + raw);
        // The manifest is written over a tree of other names, then given the names of the case.
        std::string rename = "import json,sys\nm=json.load(open(sys.argv[1]))\n";
        for (size_t i = 0; i < c.names.size(); i++) {
            Put(raw + "/f" + std::to_string(i), Content(100, (int)i));
            rename += "m['files'][" + std::to_string(i) + "]['name']='" + c.names[i] + "'\n";
        }
        rename += "json.dump(m,open(sys.argv[1],'w'))\n";
        WriteManifest(raw, "v1", Root() + "/remote.json");
        Put(Root() + "/rename.py", rename);
        ASSERT_EQ(Shell("python3 " + Root() + "/rename.py " + Root() + "/remote.json"), 0);
        Shell("mkdir -p " + Root() + "/remote");
        NewRepository();
        Configure(c.metafile);
        printed.Text.clear();
        LogCapture log;
        const double start = Time_GetCurrent();
        Run(REPOSITORY_ACTION_SYNC);
        EXPECT_LT(Time_GetCurrent() - start, 10.0);
        EXPECT_EQ(Repository_IsFailed(repo), 1);
        EXPECT_NE(log.Text().find(c.printed), std::string::npos) << log.Text() << printed.Text;
        EXPECT_EQ(Shell("test -z \"$(ls -A " + Root() + "/local 2>/dev/null)\""), 0);
        EXPECT_EQ(Shell("test -e " + Root() + "/victim"), 256);
    }
}

// A run killed while it wrote files its version added leaves their copies; when the next version
// drops those files, no erase names them, yet the completed sync leaves nothing of them, with
// cleanup on or off, on an update or on the first install. A copy of a file the version still lists
// is continued piece by piece against that version and ends as the file; the user's own files stay.
TEST_F(RepositoryTest, ACopyOfAFileTheNextVersionDropsIsGoneAfterTheNextSync) {
    const std::string manifest = "\"remote.id\":\"v\",\"remote.metafile\":\"" + Root() + "/remote.json\"";
    struct Case {
        bool installed; // an earlier version is installed when the kill's leavings are found
        std::string fields;
    } cases[] = {
        {true, ""},
        {true, manifest + ",\"cleanup\":false"},
        {false, ""},
        {false, manifest + ",\"cleanup\":false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.installed ? "update" : "install") + " " + c.fields);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        NewRepository();
        if (c.installed) {
            Version("v1", {{"a.bin", Content(300, 1)}, {"d/b", Content(40, 2)}});
            Configure();
            ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        }
        // As the kill of the update to a v2 that added "new.bin", "d/n/c" and "e/f" left them, each
        // recorded with the folders made for it before it was made.
        for (const char* left : {"new.bin.quarvpartial", "d/n/c.quarvpartial", "e/f.quarvpartial", "d/n/c.quarvpartial~"}) {
            Put(Root() + "/local/" + left, Content(70, 3));
            ASSERT_EQ(chmod((Root() + "/local/" + left).c_str(), 0600), 0);
        }
        std::string record = std::string("0 new.bin") + '\0' + (c.installed ? "1" : "2") + " d/n/c" + '\0' + "1 e/f" + '\0';
        // And as an earlier killed update left copies of files v3 still lists, one it changes, one it
        // keeps as it is and one that is empty: once v3 is installed and verified they stand for
        // nothing that is still to be done.
        for (const char* left : {"a.bin.quarvpartial", "d/b.quarvpartial", "empty.quarvpartial"}) {
            Put(Root() + "/local/" + left, Content(70, 5));
            ASSERT_EQ(chmod((Root() + "/local/" + left).c_str(), 0600), 0);
            record += "0 " + std::string(left, strlen(left) - strlen(".quarvpartial")) + '\0';
        }
        Put(Root() + "/local/.quarvpartial", record);
        ASSERT_EQ(chmod((Root() + "/local/.quarvpartial").c_str(), 0600), 0);
        Put(Root() + "/local/mine.txt", "the user's");
        Version("v3", {{"a.bin", Content(300, 4)}, {"d/b", Content(40, 2)}, {"empty", ""}});
        NewRepository();
        Configure("state/local.json", "", c.fields);
        printed.Text.clear();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        EXPECT_EQ(Errors(), 0u) << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 0);
        EXPECT_EQ(Leftovers(Root() + "/local"), "");
        // The folders the killed run made for its files go with them.
        EXPECT_EQ(Shell("test -e " + Root() + "/local/e || test -e " + Root() + "/local/d/n"), 256);
        EXPECT_EQ(Slurp(Root() + "/local/mine.txt"), "the user's");
        EXPECT_EQ(Shell("cmp " + Root() + "/local/a.bin " + Root() + "/remote/a.bin"), 0);
    }
}

// ---- Failed and stopped syncs ---------------------------------------------------------------------

// A tmpfs of `size` over the test's local folder, taken off again at the end of the scope.
struct SmallDisk {
    std::string at;
    bool mounted = false;
    SmallDisk(const std::string& folder, const std::string& size) : at(folder) {
        Shell("umount " + at + " 2>/dev/null; rm -rf " + at + " && mkdir -p " + at);
        mounted = geteuid() == 0 && Shell("mount -t tmpfs -o size=" + size + " tmpfs " + at + " 2>/dev/null") == 0;
    }
    bool Grow(const std::string& size) { return Shell("mount -o remount,size=" + size + " " + at) == 0; }
    ~SmallDisk() {
        if (mounted) Shell("umount -l " + at);
    }
};

// Version 1: a file every version keeps and five that version 2 drops.
std::map<std::string, std::string> KeepAndOld() {
    std::map<std::string, std::string> files = {{"keep.bin", Content(3000, 1)}};
    for (int i = 1; i <= 5; i++) files["old" + std::to_string(i) + ".bin"] = Content(2000, 1 + i);
    return files;
}

// An update that a full disk stops ends with that error at once: the installed manifest and every
// file it lists stay as they were, those the new version drops among them; a first install that
// a full disk stops saves no manifest. Given room, the next run installs the version whole.
TEST_F(RepositoryTest, AFullDiskStopsTheSyncAndErasesNothingTheInstalledManifestLists) {
    pieceSize = 65536;
    const std::string local = Root() + "/local", state = Root() + "/state/local.json";
    for (const bool installed : {true, false}) {
        SCOPED_TRACE(installed ? "update" : "install");
        Shell("rm -rf " + Root() + "/state");
        SmallDisk disk(local, "1m");
        if (!disk.mounted) GTEST_SKIP() << "needs root to mount a small file system";
        const std::map<std::string, std::string> v1 = KeepAndOld();
        std::string manifest;
        if (installed) {
            Version("v1", v1);
            NewRepository();
            Configure();
            ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
            ASSERT_TRUE(Same());
            manifest = Slurp(state);
        }
        Version("v2", {{"keep.bin", Content(3000, 1)}, {"big.bin", Content(2 << 20, 9)}});
        NewRepository();
        Configure();
        printed.Text.clear();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 1) << printed.Text;
        const size_t stopped = printed.Text.find("Stopped by a permanent error (game): Source(5) Index(");
        EXPECT_NE(stopped, std::string::npos) << printed.Text;
        EXPECT_NE(printed.Text.find(") Code(964) CodeEx(" + std::to_string(PLATFORM_ERROR_ERRNO_BASE + ENOSPC) + ")", stopped),
                  std::string::npos)
            << printed.Text;
        EXPECT_EQ(printed.Text.find("Saving metafile"), std::string::npos) << printed.Text;
        EXPECT_EQ(Repository_IsCopyComplete(repo), 0);
        if (installed) {
            for (const auto& [name, data] : v1) EXPECT_EQ(Slurp(local + "/" + name), data) << name;
            EXPECT_EQ(Slurp(state), manifest);
        } else {
            EXPECT_EQ(Shell("test -e " + state), 256);
        }
        ASSERT_TRUE(disk.Grow("8m"));
        ExpectNextSyncLevel(state);
    }
}

// An update whose manifest cannot be saved, its disk full, ends with that error at once: the new
// version's files are in place, yet the installed manifest and every file it lists stay, those the
// new version drops among them. Given room, the next run saves it and only then drops them.
TEST_F(RepositoryTest, AManifestThatCannotBeSavedStopsTheSyncBeforeAnythingIsDropped) {
    const std::string local = Root() + "/local", state = Root() + "/state/local.json";
    const std::map<std::string, std::string> v1 = KeepAndOld();
    Shell("rm -rf " + local);
    SmallDisk disk(Root() + "/state", "64k");
    if (!disk.mounted) GTEST_SKIP() << "needs root to mount a small file system";
    Version("v1", v1);
    NewRepository();
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    const std::string manifest = Slurp(state);
    Shell("dd if=/dev/zero of=" + Root() + "/state/fill bs=4k 2>/dev/null");
    Version("v2", {{"keep.bin", Content(3000, 1)}, {"new.bin", Content(5000, 9)}});
    NewRepository();
    Configure();
    printed.Text.clear();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_EQ(Repository_IsFailed(repo), 1) << printed.Text;
    EXPECT_NE(printed.Text.find("Stopped by a permanent error (game): Source(4) Index(-1) Code(964) CodeEx(" +
                                std::to_string(PLATFORM_ERROR_ERRNO_BASE + ENOSPC) + ")"),
              std::string::npos)
        << printed.Text;
    EXPECT_EQ(Slurp(local + "/new.bin"), Content(5000, 9));
    for (const auto& [name, data] : v1) EXPECT_EQ(Slurp(local + "/" + name), data) << name;
    EXPECT_EQ(Slurp(state), manifest);
    Shell("rm " + Root() + "/state/fill");
    ExpectNextSyncLevel(state);
}

// A piece of the dump of the repository.
int64_t Dumped(Repository* repo, const char* part, const char* key) {
    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    Repository_Dump(repo, dump);
    Dictionary* child = nullptr;
    int64_t value = -1;
    if (Dictionary_GetDictionaryByKey(dump, part, &child) && child) Dictionary_GetInt64ByKey(child, key, &value);
    Dictionary_Release(&dump);
    return value;
}

// A sync stopped while it copies (its action cleared) is neither finished nor started again as its
// phase winds down: no file the installed version lists goes and its manifest stays; the next run
// finishes the update and only then drops what the new version no longer lists.
TEST_F(RepositoryTest, AStoppedSyncStartsNothingMoreAndErasesNothingTheInstalledManifestLists) {
    pieceSize = 4096;
    const std::string local = Root() + "/local", state = Root() + "/state/local.json";
    const std::map<std::string, std::string> v1 = KeepAndOld();
    Version("v1", v1);
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    const std::string manifest = Slurp(state);
    Version("v2", {{"keep.bin", Content(3000, 1)}, {"big.bin", Content(400000, 9)}});
    NewRepository();
    Configure();
    printed.Text.clear();
    ASSERT_TRUE(Refreshed());
    Repository_SetSync(repo, 1);
    // Stopped while pieces are under way, so that its phase outlasts its action.
    ASSERT_TRUE(Pump([&] {
        uint32_t pending = 0;
        Repository_GetPendingRequests(repo, &pending);
        return Dumped(repo, "copy", "piecesWritten") >= 2 && pending >= 1;
    })) << printed.Text;
    Repository_SetSync(repo, 0);
    ASSERT_TRUE(Pump([&] { return !(State() & REPOSITORY_STATEFLAG_ALIVE); }));
    // What the winding-down phase and the passes after it might still start.
    Pump([] { return false; }, 0.3);
    EXPECT_EQ(Repository_IsCopyComplete(repo), 0);
    EXPECT_EQ(printed.Text.find("Saving metafile"), std::string::npos) << printed.Text;
    for (const auto& [name, data] : v1) EXPECT_EQ(Slurp(local + "/" + name), data) << name;
    EXPECT_EQ(Slurp(state), manifest);
    ExpectNextSyncLevel(state);
}

// A sync of v2 that failed left a copy; the remote goes back to the installed v1: the refresh that
// finds the installation current removes it, with no sync after it.
TEST_F(RepositoryTest, ARefreshThatFindsTheInstalledVersionRemovesWhatAFailedSyncLeft) {
    Version("v1", {{"a.bin", Content(300, 1)}});
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    {
        // What the failed sync's storage made: a copy of the file v2 adds, on its record.
        Version("v2", {{"a.bin", Content(300, 1)}, {"new.bin", Content(40, 2)}});
        // The repository holds its folder while it lives.
        NewRepository();
        Storage* storage = nullptr;
        Storage_Create(&storage);
        Json config("{\"type\":\"file\",\"path\":\"" + Root() + "/local\"}");
        ASSERT_EQ(Storage_Configure(storage, nullptr, config.d, nullptr), 1);
        MetaFile* meta = LoadBuiltManifest(Root() + "/remote.json");
        ASSERT_NE(meta, nullptr);
        StorageRequest* request = nullptr;
        StorageRequest_Create(&request);
        StorageRequest_SetMetaFileHandle(request, meta);
        // Sixteen-byte pieces: the last, 21, holds new.bin's bytes alone.
        StorageRequest_IndexAdd(request, 21);
        StorageRequest_Alloc(request);
        std::atomic<bool> done{false};
        Storage_Put(storage, request, &done, [](Storage*, void* user, void*, uint32_t, uint32_t) {
            *static_cast<std::atomic<bool>*>(user) = true;
        });
        Pump([&] { return done.load(); }, 10);
        StorageRequest_Release(&request);
        MetaFile_Release(&meta);
        Storage_Shutdown(storage);
        Storage_Release(&storage);
    }
    ASSERT_NE(Leftovers(Root() + "/local"), "");
    Version("v1", {{"a.bin", Content(300, 1)}});
    NewRepository();
    Configure("state/local.json", "", "\"remote.id\":\"v1\",\"remote.metafile\":\"" + Root() + "/remote.json\"");
    ASSERT_TRUE(Refreshed());
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_EQ(Leftovers(Root() + "/local"), "") << printed.Text;
    EXPECT_TRUE(Same());
}

// A refresh on a repository that has run before loads its documents anew, as a fresh repository's
// does: its first state shows nothing loaded, it ends without error with the version the
// configuration names now (no state of it judged by the id of the last run), and a sync after it,
// with no reset between, levels the installation. Each row: where the remote id comes from, what
// ran on the repository before, and the version offered now.
TEST_F(RepositoryTest, ARefreshAfterARunLoadsItsDocumentsAnewAsAFreshRepositorysDoes) {
    enum class Source { Id, Alias, Catalog };
    using Self = std::remove_pointer_t<decltype(this)>;
    const std::string meta = "\"remote.metafile\":\"" + Root() + "/remote.json\"";
    // The repository configured to name `id` by its source (the configuration's remote id, the
    // alias, the alias and a catalogue), its state changes recorded. By the configuration the first
    // run is told "v" (its manifest is "v1"): the id the last run read is not the one named now.
    const auto configure = [&](Source source, const std::string& id) {
        const std::string alias = "\"alias\":\"file://" + Root() + "/alias.json\"";
        Put(Root() + "/alias.json", "{\"game\":\"" + id + "\"}");
        Put(Root() + "/cat/" + id + "/catalog.json",
            "{\"id\":\"" + id + "\",\"metafile\":\"" + Root() + "/remote.json\",\"config\":{}}");
        if (source == Source::Id) Configure("state/local.json", "", "\"remote.id\":\"" + id + "\"," + meta);
        if (source == Source::Alias) Configure("state/local.json", "", alias + "," + meta);
        if (source == Source::Catalog)
            Configure("state/local.json", "", alias + ",\"catalog\":\"file://" + Root() + "/cat\"");
        Repository_SetCatalog(repo, source == Source::Catalog);
        Repository_SetStateFlagChangeCallback(repo, this,
                                              [](Repository*, void* user, uint32_t old, uint32_t now) {
                                                  static_cast<Self*>(user)->changes.push_back({old, now});
                                              });
    };
    const auto refresh = [&] {
        Repository_SetActive(repo, 1);
        Repository_SetRefresh(repo, 1);
        return Pump([&] {
            return !(Actions() & REPOSITORY_ACTION_REFRESH) && !(State() & REPOSITORY_STATEFLAG_REFRESH);
        });
    };
    constexpr uint32_t kLoaded = REPOSITORY_STATEFLAG_ALIAS | REPOSITORY_STATEFLAG_CATALOG |
                                 REPOSITORY_STATEFLAG_LOCALID | REPOSITORY_STATEFLAG_LOCALMETAFILE |
                                 REPOSITORY_STATEFLAG_REMOTEID | REPOSITORY_STATEFLAG_REMOTEMETAFILE;
    for (const Source source : {Source::Id, Source::Alias, Source::Catalog}) {
        for (const bool afterSync : {true, false}) {
            for (const std::string next : {"v1", "v2"}) {
                SCOPED_TRACE(std::to_string((int)source) +
                             (afterSync ? " after a sync " : " after a refresh ") + next);
                Shell("rm -rf " + Root() + "/local " + Root() + "/state " + Root() + "/cat");
                Version("v1", {{"a.bin", Content(40, 1)}, {"old", Content(7, 2)}});
                NewRepository();
                configure(source, source == Source::Id ? "v" : "v1");
                ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC, source == Source::Catalog)) << printed.Text;
                ASSERT_EQ(Errors(), 0u) << printed.Text;
                if (!afterSync) {
                    NewRepository();
                    configure(source, source == Source::Id ? "v" : "v1");
                    ASSERT_TRUE(refresh()) << printed.Text;
                    ASSERT_EQ(Errors(), 0u) << printed.Text;
                }
                if (next != "v1") Version(next, {{"a.bin", Content(40, 3)}, {"new", Content(9, 4)}});
                configure(source, next);
                printed.Text.clear();
                changes.clear();
                ASSERT_TRUE(refresh()) << printed.Text;
                EXPECT_EQ(Errors(), 0u) << printed.Text;
                EXPECT_EQ(printed.Text.find("not loaded"), std::string::npos) << printed.Text;
                ASSERT_FALSE(changes.empty());
                EXPECT_NE(changes.front().second & REPOSITORY_STATEFLAG_REFRESH, 0u);
                EXPECT_EQ(changes.front().second & kLoaded, 0u) << std::hex << changes.front().second;
                EXPECT_EQ(State() & kLoaded & ~REPOSITORY_STATEFLAG_REMOTEMETAFILE,
                          kLoaded & ~REPOSITORY_STATEFLAG_REMOTEMETAFILE)
                    << std::hex << State();
                char remoteId[64] = {};
                Repository_GetRemoteId(repo, remoteId, sizeof(remoteId));
                EXPECT_EQ(std::string(remoteId), next);
                // An update is called for by the ids this refresh found alone: never while they are
                // unknown, nor where the version installed is offered.
                constexpr uint32_t kIds = REPOSITORY_STATEFLAG_LOCALID | REPOSITORY_STATEFLAG_REMOTEID;
                for (const auto& [old, now] : changes)
                    EXPECT_EQ((now & REPOSITORY_STATEFLAG_UPDATE) != 0, next != "v1" && (now & kIds) == kIds)
                        << std::hex << old << " " << now;
                Repository_SetSync(repo, 1);
                ASSERT_TRUE(Pump([&] {
                    return !(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE);
                }));
                EXPECT_EQ(Errors(), 0u) << printed.Text;
                EXPECT_TRUE(Same());
                EXPECT_EQ(Shell("cmp " + Root() + "/remote.json " + Root() + "/state/local.json"), 0);
            }
        }
    }
}

// An update cut after its manifest is saved and before the files it drops are gone leaves the
// manifest it replaced beside the new one, private: the next run does not call the installation
// level while it lies there, erases what only it lists, and removes it. A file the user puts at a
// dropped name afterwards stays. A remote that moved on meanwhile gets back a file the cut version
// dropped, and the cleanup left over erases nothing the installed version lists; an erase takes
// what it lists too. A manifest whose name is a link is kept as a copy.
// What stands beside the local manifest at a name the repository keeps is its own only by the record
// it keeps there: another user's file in a shared folder, or a file of the effective user nothing
// recorded, at the replaced manifest's name is named once a run, drives no erase and stops no sync
// or erase; a scratch file of a save a kill stopped goes with the next run when the record reserved
// its name, and stays when nothing did.
TEST_F(RepositoryTest, WhatIsNotTheRepositorysOwnBesideItsManifestIsLeftAndNeverDrivesAnErase) {
    enum class Plant { OtherUsersReplaced, OwnUnrecordedReplaced, OtherUsersRecord, RecordedScratch, UnrecordedScratch };
    const std::string state = Root() + "/state", manifest = state + "/local.json", save = Root() + "/local/saves/slot1.sav";
    for (const Plant plant :
         {Plant::OtherUsersReplaced, Plant::OwnUnrecordedReplaced, Plant::OtherUsersRecord, Plant::RecordedScratch,
          Plant::UnrecordedScratch}) {
        SCOPED_TRACE((int)plant);
        const bool otherUser = plant == Plant::OtherUsersReplaced || plant == Plant::OtherUsersRecord;
        if (otherUser && geteuid() != 0) continue;
        Shell("rm -rf " + Root() + "/local " + state + " " + Root() + "/listing && mkdir -p " + state + " && chmod 1777 " + state);
        Version("v1", {{"a.txt", Content(100, 1)}});
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        Put(save, "the user's");
        const bool replaced = plant == Plant::OtherUsersReplaced || plant == Plant::OwnUnrecordedReplaced;
        const bool named = replaced || plant == Plant::OtherUsersRecord;
        const std::string planted = replaced                            ? manifest + ".replaced"
                                    : plant == Plant::OtherUsersRecord ? manifest + ".quarvpartial"
                                                                       : state + "/.local.json.Ab12Cd";
        if (replaced) {
            // A manifest of the installed version that also lists the user's save.
            Put(Root() + "/listing/a.txt", Content(100, 1));
            Put(Root() + "/listing/saves/slot1.sav", "the user's");
            WriteManifest(Root() + "/listing", "v1", planted);
        } else {
            Put(planted, "scratch");
        }
        // A save's scratch takes the manifest's mode, which the user may have widened.
        ASSERT_EQ(chmod(planted.c_str(), replaced ? 0600 : 0644), 0);
        if (otherUser) {
            ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
        }
        if (plant == Plant::RecordedScratch) {
            Put(manifest + ".quarvpartial", std::string("0:0:0 .local.json.Ab12Cd") + '\0');
            ASSERT_EQ(chmod((manifest + ".quarvpartial").c_str(), 0600), 0);
        }
        for (int run = 0; run < 2; run++) {
            const std::map<std::string, std::string> files = {{"a.txt", Content(100, 2 + run)}, {"b.txt", Content(50, run)}};
            Version("v" + std::to_string(2 + run), files);
            NewRepository();
            Configure();
            printed.Text.clear();
            ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
            EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
            for (const auto& [name, data] : files) EXPECT_EQ(Slurp(Root() + "/local/" + name), data) << name;
            EXPECT_EQ(Slurp(save), "the user's");
            EXPECT_EQ(Shell("cmp -s " + manifest + " " + Root() + "/remote.json"), 0);
            EXPECT_EQ(access(planted.c_str(), F_OK) == 0, plant != Plant::RecordedScratch);
            if (plant != Plant::OtherUsersRecord) {
                EXPECT_EQ(access((manifest + ".quarvpartial").c_str(), F_OK), -1);
            }
            const std::string line = "Not the repository's own file, left (" + planted + ")";
            const size_t at = printed.Text.find(line);
            EXPECT_EQ(at != std::string::npos, named) << printed.Text;
            if (at != std::string::npos) {
                EXPECT_EQ(printed.Text.find(line, at + 1), std::string::npos) << printed.Text;
            }
            EXPECT_EQ(printed.Text.find("Replaced metafile left by a stopped run"), std::string::npos) << printed.Text;
        }
        if (!named) continue;
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_ERASE)) << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
        EXPECT_EQ(Slurp(save), "the user's");
        EXPECT_EQ(access((Root() + "/local/a.txt").c_str(), F_OK), -1);
        EXPECT_EQ(access(planted.c_str(), F_OK), 0);
    }
}

// The replaced manifest is known by its bytes, recorded beside the manifest as a proof: a file of
// ours at its name with exactly those bytes is it (so it is known after the installation was copied,
// or where the file system keeps no proof of a file); the user's file there with other bytes is not,
// nor another account's with the same bytes.
TEST_F(RepositoryTest, TheReplacedManifestIsKnownByItsBytesAlone) {
    const std::string state = Root() + "/state", replaced = state + "/local.json.replaced";
    Shell("rm -rf " + state + " && mkdir -p " + state);
    Version("v1", {{"a.txt", Content(100, 1)}});
    NewRepository();
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    const std::string bytes = "{\"id\":\"old\"}";
    uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) hash = (hash ^ (uint8_t)c) * 1099511628211ull;
    const uint64_t proof = (1ull << 62) | (hash & ((1ull << 62) - 1));
    const int folder = open(state.c_str(), O_RDONLY | O_DIRECTORY);
    int32_t fd = -1;
    uint64_t start = 0, id[3] = {};
    ASSERT_EQ(StorageRecord_Make(folder, "local.json.quarvpartial", &fd, &start, id), 0);
    const std::string entry = "1:2:" + std::to_string(proof) + " local.json.replaced" + '\0';
    ASSERT_EQ(write(fd, entry.data(), entry.size()), (ssize_t)entry.size());
    close(fd);
    close(folder);
    const struct {
        std::string bytes;
        uid_t owner;
        int32_t at;
    } rows[] = {{bytes, 0, 1}, {bytes + " ", 0, 2}, {"the user's", 0, 2}, {bytes, 65534, 2}};
    for (const auto& row : rows) {
        Put(replaced, row.bytes);
        ASSERT_EQ(chmod(replaced.c_str(), 0600), 0);
        ASSERT_EQ(lchown(replaced.c_str(), row.owner, row.owner), 0);
        EXPECT_EQ(Repository_KeptAt(repo, "local.json.replaced"), row.at) << row.bytes << " " << row.owner;
    }
}

void RepositoryTest::UpdateUntilSaved(const std::string& state, std::string* kept) {
    const std::string manifest = state + "/local.json";
    Shell("rm -rf " + Root() + "/local " + state + " && mkdir -p " + state);
    Version("v1", {{"a.txt", Content(100, 1)}, {"b.txt", Content(50, 1)}});
    NewRepository();
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    *kept = Slurp(manifest);
    Version("v2", {{"a.txt", Content(100, 2)}});
    NewRepository();
    Configure();
    printed.Text.clear();
    ASSERT_TRUE(Refreshed());
    Repository_SetSync(repo, 1);
    // Saved, the replaced manifest beside it: its end comes passes later, after the cleanup's.
    const std::string saved = Slurp(Root() + "/remote.json");
    ASSERT_TRUE(Pump([&] { return Slurp(manifest) == saved; })) << printed.Text;
    ASSERT_EQ(Slurp(manifest + ".replaced"), *kept);
}

// The replaced manifest a run kept goes at its cleanup's end by its identity, its bytes not read
// again (bytes written into it meanwhile do not keep it); any other file put at its name meanwhile is
// judged by its bytes: one with the kept bytes is the replaced manifest still, one with other bytes
// is named and left.
TEST_F(RepositoryTest, TheReplacedManifestARunKeptGoesByItsIdentityAndNoOtherFileDoes) {
    enum class Swap { None, BytesInPlace, OtherFileSameBytes, OtherFileOtherBytes };
    const std::string state = Root() + "/state", manifest = state + "/local.json", replaced = manifest + ".replaced";
    for (const Swap swap : {Swap::None, Swap::BytesInPlace, Swap::OtherFileSameBytes, Swap::OtherFileOtherBytes}) {
        SCOPED_TRACE((int)swap);
        std::string kept;
        ASSERT_NO_FATAL_FAILURE(UpdateUntilSaved(state, &kept));
        StorageFileOSStatus status{};
        const int folder = open(state.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(folder, 0);
        ASSERT_EQ(StorageFileOS_Status(folder, "local.json.replaced", &status), 0);
        close(folder);
        // Without a birth time or a token a file is known by its bytes alone.
        const bool identified = StorageFileOS_ProofOf(status) != 0;
        if (swap == Swap::BytesInPlace) {
            std::ofstream(replaced, std::ios::binary | std::ios::trunc) << "{\"id\":\"the user's\"}";
        } else if (swap != Swap::None) {
            ASSERT_EQ(unlink(replaced.c_str()), 0);
            // The other bytes are as many as the kept ones, one of them changed.
            std::string other = kept;
            other[other.size() / 2] ^= 1;
            Put(replaced, swap == Swap::OtherFileSameBytes ? kept : other);
        }
        ASSERT_TRUE(Pump([&] { return !(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE); }));
        EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
        EXPECT_EQ(access((Root() + "/local/b.txt").c_str(), F_OK), -1);
        EXPECT_EQ(Slurp(Root() + "/local/a.txt"), Content(100, 2));
        const bool left = swap == Swap::OtherFileOtherBytes || (swap == Swap::BytesInPlace && !identified);
        EXPECT_EQ(access(replaced.c_str(), F_OK) == 0, left) << printed.Text;
        EXPECT_EQ(printed.Text.find("Not the repository's own file, left (" + replaced + ")") != std::string::npos, left)
            << printed.Text;
        EXPECT_EQ(access((manifest + ".quarvpartial").c_str(), F_OK), -1);
    }
}

// A record written by an earlier version holds the replaced manifest's byte-by-byte FNV-1a proof:
// the manifest it names is still known as the repository's and goes with its cleanup.
TEST_F(RepositoryTest, AReplacedManifestRecordedByItsEarlierProofIsStillOurs) {
    const std::string state = Root() + "/state", manifest = state + "/local.json", replaced = manifest + ".replaced",
                      record = manifest + ".quarvpartial";
    std::string kept;
    ASSERT_NO_FATAL_FAILURE(UpdateUntilSaved(state, &kept));
    // The entry rewritten in place as the earlier version wrote it.
    uint64_t fnv = 14695981039346656037ull;
    for (const char c : kept) fnv = (fnv ^ (uint8_t)c) * 1099511628211ull;
    const uint64_t proof = (1ull << 62) | (fnv & ((1ull << 62) - 1));
    std::string text = Slurp(record);
    const std::string leaf = " local.json.replaced";
    const size_t end = text.find(leaf + '\0');
    ASSERT_NE(end, std::string::npos);
    const size_t start = text.rfind(':', end) + 1;
    text.replace(start, end - start, std::to_string(proof));
    {
        std::ofstream out(record, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
        out << text;
    }
    ASSERT_TRUE(Pump([&] { return !(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE); }));
    EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
    EXPECT_EQ(access((Root() + "/local/b.txt").c_str(), F_OK), -1);
    EXPECT_EQ(access(replaced.c_str(), F_OK), -1) << printed.Text;
    EXPECT_EQ(printed.Text.find("Not the repository's own file"), std::string::npos) << printed.Text;
}

// The record beside the manifest is the repository's by its first entry alone. A file of the
// effective user at its name that is no record of ours (the user's text, an earlier version's
// record holding an entry none of ours reads as) is named once a run and never read, written or
// removed: the scratch name it lists stays, and syncs and an erase complete. A record proven by its
// first entry, or an earlier version's whose entries all read as ours, is read: the scratch it
// names goes, and the record with it. So is a record of ours that no longer proves itself (a copy
// put back, a second name of one): it may hold what a stopped run left, and is taken up (its
// other name stays).
TEST_F(RepositoryTest, OnlyARecordProvenByItsFirstEntryIsTakenBesideTheManifest) {
    enum class At { Text, Copy, Link, EarlierTorn, Proven, Earlier };
    const std::string state = Root() + "/state", manifest = state + "/local.json", record = manifest + ".quarvpartial",
                      scratch = state + "/.local.json.Ab12Cd", backup = state + "/kept.bak";
    const std::string entry = std::string("0:0:0 .local.json.Ab12Cd") + '\0';
    for (const At at : {At::Text, At::Copy, At::Link, At::EarlierTorn, At::Proven, At::Earlier}) {
        SCOPED_TRACE((int)at);
        Shell("rm -rf " + Root() + "/local " + state + " && mkdir -p " + state);
        Version("v1", {{"a.txt", Content(100, 1)}});
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        Put(scratch, "a stopped save's");
        ASSERT_EQ(chmod(scratch.c_str(), 0600), 0);
        if (at == At::Copy || at == At::Link || at == At::Proven) {
            // A record as the repository makes it, naming the scratch.
            const int folder = open(state.c_str(), O_RDONLY | O_DIRECTORY);
            int32_t fd = -1;
            uint64_t start = 0, id[3] = {};
            ASSERT_EQ(StorageRecord_Make(folder, at == At::Proven ? "local.json.quarvpartial" : "kept.bak",
                                                     &fd, &start, id),
                      0);
            ASSERT_EQ(write(fd, entry.data(), entry.size()), (ssize_t)entry.size());
            close(fd);
            close(folder);
            if (at == At::Copy) Shell("cp -p " + backup + " " + record);
            if (at == At::Link) {
                ASSERT_EQ(link(backup.c_str(), record.c_str()), 0);
            }
        } else {
            Put(record, at == At::Text ? std::string("the user's notes") : at == At::Earlier ? entry : entry + "not one" + '\0');
            ASSERT_EQ(chmod(record.c_str(), 0600), 0);
        }
        const std::string before = Slurp(record);
        const bool ours = at == At::Proven || at == At::Earlier || at == At::Copy || at == At::Link;
        const bool moved = at == At::Copy || at == At::Link;
        const std::string line = "Not the repository's own file, left (" + record + ")";
        for (int run = 0; run < 2; run++) {
            Version("v" + std::to_string(2 + run), {{"a.txt", Content(100, 2 + run)}});
            NewRepository();
            Configure();
            printed.Text.clear();
            ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
            EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
            EXPECT_EQ(Slurp(Root() + "/local/a.txt"), Content(100, 2 + run));
            EXPECT_EQ(Shell("cmp -s " + manifest + " " + Root() + "/remote.json"), 0);
            EXPECT_EQ(access(scratch.c_str(), F_OK) == 0, !ours) << printed.Text;
            EXPECT_EQ(access(record.c_str(), F_OK) == 0, !ours) << printed.Text;
            const size_t named = printed.Text.find(line);
            EXPECT_EQ(named != std::string::npos, !ours) << printed.Text;
            EXPECT_EQ(printed.Text.find("Record beside the metafile moved or copied, taken up (" + record + ")") !=
                          std::string::npos,
                      moved && run == 0)
                << printed.Text;
            if (at == At::Link) {
                EXPECT_EQ(access(backup.c_str(), F_OK), 0);
            }
            if (ours) continue;
            EXPECT_EQ(printed.Text.find(line, named + 1), std::string::npos) << printed.Text;
            EXPECT_EQ(Slurp(record), before);
        }
        if (ours) continue;
        NewRepository();
        Configure();
        ASSERT_TRUE(Run(REPOSITORY_ACTION_ERASE)) << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
        EXPECT_EQ(access((Root() + "/local/a.txt").c_str(), F_OK), -1);
        EXPECT_EQ(Slurp(record), before);
        EXPECT_EQ(Slurp(scratch), "a stopped save's");
    }
}

// A refresh that finds nothing to install removes the record a cut save left beside the manifest
// once nothing of the repository's is left at a name it holds: what stands at the replaced
// manifest's name without being recorded (another user's file, or one of ours) is no manifest of
// its own; a recorded scratch name a file of ours holds goes first; one another user holds is
// left, and the record goes with nothing of ours left to name.
TEST_F(RepositoryTest, ARefreshWithNothingToInstallClearsTheRecordBesideTheManifestOnceNothingOfOursIsLeft) {
    enum Holder { kNone, kOurs, kOthers };
    const struct {
        const char* what;
        Holder replaced, scratch;
    } rows[] = {
        {"nothing left", kNone, kNone},
        {"a scratch of ours", kNone, kOurs},
        {"another's file at the replaced name", kOthers, kNone},
        {"an unrecorded file of ours at the replaced name", kOurs, kOurs},
        {"a scratch name another user holds", kNone, kOthers},
    };
    const std::string state = Root() + "/state", manifest = state + "/local.json", record = manifest + ".quarvpartial",
                      scratch = state + "/.local.json.Ab12Cd", replaced = manifest + ".replaced";
    // The remote id is the version's own, so that the installed version is level by its id.
    const std::string fields = "\"remote.id\":\"v1\",\"remote.metafile\":\"" + Root() + "/remote.json\"";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if ((row.replaced == kOthers || row.scratch == kOthers) && geteuid() != 0) continue;
        Shell("rm -rf " + Root() + "/local " + state + " && mkdir -p " + state + " && chmod 1777 " + state);
        Version("v1", {{"a.txt", Content(100, 1)}});
        NewRepository();
        Configure("state/local.json", "", fields);
        ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        Put(record, std::string("0:0:0 .local.json.Ab12Cd") + '\0');
        ASSERT_EQ(chmod(record.c_str(), 0600), 0);
        for (const auto& [holder, path] : {std::pair{row.scratch, scratch}, std::pair{row.replaced, replaced}}) {
            if (holder == kNone) continue;
            Put(path, Slurp(manifest));
            ASSERT_EQ(chmod(path.c_str(), 0600), 0);
            if (holder == kOthers) {
                ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
            }
        }
        NewRepository();
        Configure("state/local.json", "", fields);
        printed.Text.clear();
        ASSERT_TRUE(Refreshed());
        EXPECT_EQ(State() & (REPOSITORY_STATEFLAG_INSTALL | REPOSITORY_STATEFLAG_UPDATE), 0u) << printed.Text;
        EXPECT_EQ(Errors(), 0u) << printed.Text;
        EXPECT_EQ(access(record.c_str(), F_OK), -1) << printed.Text;
        EXPECT_EQ(access(scratch.c_str(), F_OK) == 0, row.scratch == kOthers) << printed.Text;
        EXPECT_EQ(access(replaced.c_str(), F_OK) == 0, row.replaced != kNone) << printed.Text;
        EXPECT_EQ(printed.Text.find("Replaced metafile left by a stopped run"), std::string::npos) << printed.Text;
        EXPECT_EQ(Slurp(Root() + "/local/a.txt"), Content(100, 1));
    }
}

// The record of copies cannot be removed (an I/O error unless said otherwise) as an update ends.
std::atomic<int> recordUnlinkError{EIO};
int UnlinkNoRecord(int directory, const char* name, int flags) {
    if (!strcmp(name, ".quarvpartial")) {
        errno = recordUnlinkError;
        return -1;
    }
    return StorageFileOS_SystemCalls()->UnlinkAt(directory, name, flags);
}

// Two repositories install into one folder in turn. The record of copies one of them leaves after
// an update (which fails for it, naming it) names files it installed; the other's next sync, whose
// manifest lists none of them, removes none, and the first's own next sync finds them and cleans its
// record up.
TEST_F(RepositoryTest, OneRepositorysSyncRemovesNothingAnotherInstalledInTheSameFolder) {
    const std::string local = Root() + "/local";
    auto sync = [&](const char* metafile, const char* id, const std::map<std::string, std::string>& files) {
        Version(id, files);
        NewRepository();
        Configure(metafile, "", std::string("\"remote.id\":\"") + id + "\",\"remote.metafile\":\"" + Root() + "/remote.json\"");
        EXPECT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
    };
    sync("state/a.json", "a1", {{"a.txt", Content(100, 1)}});
    sync("state/b.json", "b1", {{"b.txt", Content(100, 2)}});
    StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
    calls.UnlinkAt = UnlinkNoRecord;
    StorageFileOS_SetCalls(&calls);
    Version("b2", {{"b.txt", Content(100, 2)}, {"new_b.bin", Content(5000, 3)}});
    NewRepository();
    Configure("state/b.json", "", std::string("\"remote.id\":\"b2\",\"remote.metafile\":\"") + Root() + "/remote.json\"");
    printed.Text.clear();
    ASSERT_TRUE(Refreshed());
    Repository_SetSync(repo, 1);
    // The update fails, naming the record, and tries again until it is stopped.
    EXPECT_TRUE(Pump([&] { return Errors() > 0; })) << printed.Text;
    Repository_SetSync(repo, 0);
    EXPECT_TRUE(Pump([&] { return !(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE); }));
    StorageFileOS_SetCalls(nullptr);
    EXPECT_NE(printed.Text.find("Failed to record copies (" + local + "/.quarvpartial) (100005)"), std::string::npos)
        << printed.Text;
    EXPECT_NE(printed.Text.find("Code(964) CodeEx(100005)"), std::string::npos) << printed.Text;
    ASSERT_EQ(access((local + "/.quarvpartial").c_str(), F_OK), 0);
    sync("state/a.json", "a2", {{"a.txt", Content(100, 4)}});
    EXPECT_EQ(Slurp(local + "/a.txt"), Content(100, 4));
    EXPECT_EQ(Slurp(local + "/b.txt"), Content(100, 2));
    EXPECT_EQ(Slurp(local + "/new_b.bin"), Content(5000, 3));
    sync("state/b.json", "b2", {{"b.txt", Content(100, 2)}, {"new_b.bin", Content(5000, 3)}});
    EXPECT_EQ(Slurp(local + "/new_b.bin"), Content(5000, 3));
    EXPECT_EQ(Slurp(local + "/a.txt"), Content(100, 4));
    EXPECT_EQ(access((local + "/.quarvpartial").c_str(), F_OK), -1) << printed.Text;
}

// A sync whose last replay of the record of copies fails (the record cannot go) says so, naming
// the error: a full disk stops it at once with the record kept whole; an I/O error is tried again,
// and once it passes the same run ends in success with no record left. As a first install (the
// sync sweeps the record itself) and as an update (its cleanup does).
TEST_F(RepositoryTest, ASyncWhoseLastReplayFailsSaysSoAndTriesAgainWhereItCan) {
    const std::string local = Root() + "/local", record = local + "/.quarvpartial";
    StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
    calls.UnlinkAt = UnlinkNoRecord;
    for (const bool update : {false, true})
        for (const int error : {ENOSPC, EIO}) {
            SCOPED_TRACE(std::string(update ? "update, " : "install, ") + strerror(error));
            Shell("rm -rf " + local + " " + Root() + "/state");
            if (update) {
                Version("v1", {{"a.txt", Content(100, 1)}});
                NewRepository();
                Configure();
                ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
            }
            Version("v2", {{"a.txt", Content(100, 2)}, {"b.bin", Content(5000, 3)}});
            NewRepository();
            Configure();
            printed.Text.clear();
            recordUnlinkError = error;
            StorageFileOS_SetCalls(&calls);
            EXPECT_TRUE(Refreshed());
            Repository_SetSync(repo, 1);
            EXPECT_TRUE(Pump([&] { return Errors() > 0; })) << printed.Text;
            const auto ended = [&] {
                return !(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE);
            };
            if (error == EIO) StorageFileOS_SetCalls(nullptr);
            EXPECT_TRUE(Pump(ended)) << printed.Text;
            StorageFileOS_SetCalls(nullptr);
            EXPECT_NE(printed.Text.find("Error: Source(5) Index(-1) Count(1) Type (4) Code(964) CodeEx(" +
                                             std::to_string(PLATFORM_ERROR_ERRNO_BASE + error) + ")"),
                      std::string::npos)
                << printed.Text;
            const std::string stopped = "Stopped by a permanent error (game): Source(5) Index(-1)";
            EXPECT_EQ(printed.Text.find(stopped) != std::string::npos, error == ENOSPC)
                << printed.Text;
            EXPECT_EQ(Repository_IsFailed(repo), error == ENOSPC ? 1 : 0) << printed.Text;
            EXPECT_EQ(Errors(), 1u) << printed.Text;
            EXPECT_EQ(access(record.c_str(), F_OK) == 0, error == ENOSPC) << printed.Text;
            EXPECT_EQ(Shell("diff -r -x .quarvpartial " + Root() + "/remote " + local), 0);
        }
}

// The installation's file system cannot be flushed (as the manifest's save asks first).
int SyncfsFails(int) {
    errno = EIO;
    return -1;
}

// An entry naming a file the update drops cannot be written down in the record of copies.
ssize_t WriteNoDropped(int fd, const void* bytes, size_t length) {
    if (memmem(bytes, length, "old1.bin", 8)) {
        errno = EIO;
        return -1;
    }
    return StorageFileOS_SystemCalls()->Write(fd, bytes, length);
}

// With the replaced manifest's name held by a file of the user's, the update goes on without it:
// a run that cannot record the files it drops saves nothing; one cut after its save still drops
// the old files it records, and leaves the one the user put at a dropped name meanwhile. The
// remote rolled back to the replaced version, a run that fails before its save leaves the cut
// version's new file, which the saved manifest lists; the next success drops it.
TEST_F(RepositoryTest, AnUpdateCutBetweenItsSaveAndItsCleanupDropsTheOldFilesOnTheNextRun) {
    pieceSize = 4096;
    const std::string local = Root() + "/local";
    const std::map<std::string, std::string> v2 = {{"keep.bin", Content(3000, 1)}, {"new.bin", Content(5000, 9)}};
    // The remote id is the version's own, so that an installed version is level by its id.
    std::string id, metafile, localConfig;
    auto version = [&](const std::string& name, const std::map<std::string, std::string>& files) {
        id = name;
        Version(name, files);
    };
    auto configure = [&] {
        NewRepository();
        Configure(metafile, localConfig, "\"remote.id\":\"" + id + "\",\"remote.metafile\":\"" + Root() + "/remote.json\"");
        printed.Text.clear();
    };
    // Refreshes; then, when the installation is not level, syncs until `cut` holds after a pass
    // (nothing more runs: the repository is dropped as a killed run is) or to its end.
    auto run = [&](const std::function<bool()>& cut) {
        configure();
        EXPECT_TRUE(Refreshed());
        const uint32_t level = State() & (REPOSITORY_STATEFLAG_INSTALL | REPOSITORY_STATEFLAG_UPDATE);
        if (!level) return level;
        Repository_SetSync(repo, 1);
        EXPECT_TRUE(Pump([&] { return (cut && cut()) || (!(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE)); }))
            << printed.Text;
        return level;
    };
    auto gone = [](const std::string& path) { return access(path.c_str(), F_OK) != 0; };
    enum { kSame, kMovedOn, kErased, kLinked, kHeld, kRolledBack };
    for (const int next : {kSame, kMovedOn, kErased, kLinked, kHeld, kRolledBack}) {
        SCOPED_TRACE(next);
        Shell("rm -rf " + local + " " + Root() + "/state && mkdir -p " + Root() + "/state");
        metafile = "state/local.json";
        const std::string state = Root() + "/" + metafile, replaced = state + ".replaced";
        std::map<std::string, std::string> v1 = KeepAndOld();
        v1["deep/er/old6.bin"] = Content(1500, 8);
        localConfig = "";
        version("v1", v1);
        EXPECT_EQ(run(nullptr), (uint32_t)REPOSITORY_STATEFLAG_INSTALL);
        // The user's ignore list names a file the update drops.
        if (next == kHeld)
            localConfig = "\"local\":{\"type\":\"file\",\"path\":\"" + local + "\",\"ignore\":\"" + Root() + "/ignore.json\"}";
        Put(Root() + "/ignore.json", R"(["old4.bin"])");
        if (next == kLinked) Shell("cd " + Root() + "/state && mv local.json real.json && ln -s real.json local.json");
        const std::string manifest1 = Slurp(state);
        EXPECT_TRUE(gone(replaced));
        const std::string kept = next == kHeld ? "the user's" : manifest1;
        if (next == kHeld) {
            Put(replaced, kept);
            ASSERT_EQ(chmod(replaced.c_str(), 0600), 0);
        }
        version("v2", v2);
        const std::string manifest2 = Slurp(Root() + "/remote.json");
        if (next == kHeld) {
            StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
            calls.Write = WriteNoDropped;
            StorageFileOS_SetCalls(&calls);
            EXPECT_EQ(run([&] { return Errors() > 0; }), (uint32_t)REPOSITORY_STATEFLAG_UPDATE);
            StorageFileOS_SetCalls(nullptr);
            EXPECT_NE(printed.Text.find("Failed to record the files the update drops (" + local + ") (100005)"),
                      std::string::npos)
                << printed.Text;
            EXPECT_EQ(Slurp(state), manifest1);
        }
        run([&] { return Slurp(state) == manifest2; });
        // Cut: the new version installed, the old files and the replaced manifest still there.
        for (const auto& [name, data] : v1) EXPECT_EQ(Slurp(local + "/" + name), data) << name;
        EXPECT_EQ(Slurp(replaced), kept);
        struct stat info = {};
        EXPECT_EQ(lstat(replaced.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        if (next == kHeld) {
            Shell("rm " + local + "/old3.bin");
            Put(local + "/old3.bin", "the user's");
            EXPECT_EQ(run(nullptr), (uint32_t)REPOSITORY_STATEFLAG_UPDATE);
            EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
            EXPECT_EQ(Slurp(local + "/old3.bin"), "the user's");
            EXPECT_EQ(Slurp(local + "/old4.bin"), v1["old4.bin"]);
            Shell("rm " + local + "/old3.bin " + local + "/old4.bin");
            EXPECT_TRUE(Same()) << printed.Text;
            EXPECT_EQ(Slurp(replaced), kept);
            EXPECT_EQ(Leftovers(local), "");
            continue;
        }
        if (next == kRolledBack) {
            version("v1", v1);
            StorageFileOSCalls calls = *StorageFileOS_SystemCalls();
            calls.Syncfs = SyncfsFails;
            StorageFileOS_SetCalls(&calls);
            // It fails, and stops there.
            EXPECT_EQ(run([&] { return Errors() > 0; }), (uint32_t)REPOSITORY_STATEFLAG_UPDATE);
            StorageFileOS_SetCalls(nullptr);
            EXPECT_NE(printed.Text.find("Failed to flush the installation (" + local + ") (100005)"), std::string::npos)
                << printed.Text;
            EXPECT_EQ(Slurp(state), manifest2);
            for (const auto& [name, data] : v2) EXPECT_EQ(Slurp(local + "/" + name), data) << name;
        }
        if (next == kErased) {
            configure();
            ASSERT_TRUE(Run(REPOSITORY_ACTION_ERASE)) << printed.Text;
            EXPECT_EQ(Shell("test -z \"$(ls -A " + local + ")\""), 0) << printed.Text;
            EXPECT_TRUE(gone(state));
            EXPECT_TRUE(gone(replaced));
            continue;
        }
        if (next == kMovedOn) {
            // The next version lists old1.bin again and drops keep.bin. Cut once the cleanup left
            // over is done and the installed manifest kept anew: keep.bin, listed by it, stays.
            version("v3", {{"new.bin", Content(5000, 9)}, {"old1.bin", Content(2500, 7)}});
            EXPECT_EQ(run([&] { return Slurp(replaced) == manifest2; }), (uint32_t)REPOSITORY_STATEFLAG_UPDATE);
            EXPECT_EQ(Slurp(state), manifest2);
            EXPECT_EQ(Slurp(local + "/keep.bin"), Content(3000, 1));
            EXPECT_EQ(Slurp(local + "/old1.bin"), Content(2500, 7));
            for (int i = 2; i <= 5; i++) EXPECT_TRUE(gone(local + "/old" + std::to_string(i) + ".bin")) << i;
        }
        // The installed id equals the remote's when it did not move on; the run is not level all the same.
        EXPECT_EQ(run(nullptr), (uint32_t)REPOSITORY_STATEFLAG_UPDATE);
        EXPECT_EQ(Repository_IsFailed(repo), 0) << printed.Text;
        EXPECT_NE(printed.Text.find("Replaced metafile left by a stopped run (" + Root() + "/" + metafile + ")"),
                  std::string::npos)
            << printed.Text;
        EXPECT_TRUE(Same()) << printed.Text;
        EXPECT_EQ(Shell("cmp " + state + " " + Root() + "/remote.json"), 0);
        EXPECT_TRUE(gone(replaced));
        EXPECT_EQ(Leftovers(local), "");
        // Level now; a file of the user's at a dropped name is the user's.
        Put(local + "/old2.bin", "the user's");
        EXPECT_EQ(run(nullptr), 0u) << printed.Text;
        EXPECT_EQ(Slurp(local + "/old2.bin"), "the user's");
    }
}

// ---- Runs that stop, and the run after -------------------------------------------------------------

// Name to bytes and whether the file is executable.
using ModedTree = std::map<std::string, std::pair<std::string, bool>>;

// Files below folder (name to bytes and executable bit), and the folders that hold none.
std::pair<ModedTree, std::string> Installed(const std::string& folder) {
    ModedTree files;
    std::string empty;
    // The tree may change under the walk while a sync runs: what cannot be read is passed over.
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        struct stat info;
        if (lstat(it->path().c_str(), &info) != 0) continue;
        const std::string name = it->path().lexically_relative(folder).string();
        std::error_code none;
        if (S_ISDIR(info.st_mode) && std::filesystem::is_empty(it->path(), none)) empty += name + "/\n";
        if (S_ISREG(info.st_mode)) files[name] = {Slurp(it->path().string()), (info.st_mode & 0100) != 0};
    }
    return {files, empty};
}

// Versions that change bytes in place, a mode alone, and shapes at any depth (a file becomes a folder
// and a folder a file), each update stopped after a growing number of passes. The run after it
// offers the installed version again (same id) and must leave exactly that version, bytes and
// modes, no folder of the stopped one left empty; then both versions install over each other whole.
TEST_F(RepositoryTest, AStoppedUpdateIsMadeGoodByTheNextRunWhateverVersionItOffers) {
    const ModedTree v1 = {{"a", {Content(40, 1), false}},        {"tool.sh", {Content(30, 2), false}},
                          {"bd", {Content(20, 3), false}},       {"fd/x.bin", {Content(20, 4), false}},
                          {"s/t", {Content(25, 5), false}},      {"keep", {Content(50, 6), false}},
                          {"p/q/r.bin", {Content(18, 7), false}}};
    const ModedTree v2 = {{"a", {Content(40, 11), false}},
                          {"tool.sh", {Content(30, 2), true}},
                          {"bd/inner.bin", {Content(20, 13), false}},
                          {"fd", {Content(21, 14), false}},
                          {"s/t/u/v.bin", {Content(25, 15), false}},
                          {"keep", {Content(50, 6), false}},
                          {"p", {Content(9, 17), false}},
                          {"n/m/new.bin", {Content(33, 18), false}}};
    const std::string local = Root() + "/local";
    auto version = [&](const std::string& id, const ModedTree& tree) {
        std::map<std::string, std::string> files;
        for (const auto& [name, file] : tree) files[name] = file.first;
        Version(id, files);
        std::string executables;
        for (const auto& [name, file] : tree)
            if (file.second) executables += "'" + name + "',";
        // Every file carries its attributes, so that its mode is part of what is installed.
        ASSERT_EQ(Shell("/usr/bin/python3 -c \"import json,sys;p=sys.argv[1];m=json.load(open(p));"
                        "[f.__setitem__('attr',4 if f['name'] in [" +
                        executables +
                        "] else 0) for f in m['files']];"
                        "json.dump(m,open(p,'w'))\" " +
                        Root() + "/remote.json"),
                  0);
        NewRepository();
        Configure("state/local.json", "",
                  "\"remote.id\":\"" + id + "\",\"remote.metafile\":\"" + Root() + "/remote.json\"");
        printed.Text.clear();
    };
    // Refresh, then sync unless level, stopped once `stop` holds after a pass of the sync.
    auto run = [&](const std::function<bool()>& stop) {
        EXPECT_TRUE(Refreshed());
        const uint32_t level = State() & (REPOSITORY_STATEFLAG_INSTALL | REPOSITORY_STATEFLAG_UPDATE);
        if (!level) return level;
        // As the repository task starts a sync that is not a repair: pieces the installed manifest
        // has in place are taken as present.
        Repository_SetMask(repo, 1);
        Repository_SetSync(repo, 1);
        EXPECT_TRUE(Pump([&] {
            return (stop && stop()) ||
                   (!(Actions() & REPOSITORY_ACTION_SYNC) && !(State() & REPOSITORY_STATEFLAG_ALIVE));
        })) << printed.Text;
        return level;
    };
    auto passes = [](int count) { return [count, pass = 0]() mutable { return ++pass >= count; }; };
    // Where the update stops: after a few passes, and as soon as each of its files has taken its place.
    std::vector<std::pair<std::string, std::function<bool()>>> stops;
    for (const int count : {1, 2, 4})
        stops.push_back({"after " + std::to_string(count) + " passes", passes(count)});
    for (const auto& [name, file] : v2)
        stops.push_back({"once " + name + " is in place", [&, name = name] {
                             const ModedTree now = Installed(local).first;
                             const auto found = now.find(name);
                             return found != now.end() && found->second == v2.at(name);
                         }});
    auto exactly = [&](const ModedTree& tree, const std::string& where) {
        const auto [files, empty] = Installed(local);
        EXPECT_EQ(Errors(), 0u) << where << printed.Text;
        EXPECT_EQ(Repository_IsFailed(repo), 0) << where << printed.Text;
        EXPECT_EQ(Slurp(Root() + "/state/local.json"), Slurp(Root() + "/remote.json")) << where;
        EXPECT_EQ(empty, "") << where;
        for (const auto& [name, file] : tree) {
            const auto found = files.find(name);
            EXPECT_TRUE(found != files.end() && found->second.first == file.first) << name << " " << where;
            EXPECT_TRUE(found != files.end() && found->second.second == file.second)
                << name << " mode " << where;
        }
        for (const auto& [name, file] : files) EXPECT_TRUE(tree.count(name)) << name << " left " << where;
    };
    int stopped = 0;
    for (const auto& [where, stop] : stops) {
        SCOPED_TRACE("stopped " + where);
        Shell("rm -rf " + local + " " + Root() + "/state && mkdir -p " + Root() + "/state");
        version("v1", v1);
        EXPECT_EQ(run(nullptr), (uint32_t)REPOSITORY_STATEFLAG_INSTALL);
        exactly(v1, "installed");
        const std::string manifest1 = Slurp(Root() + "/state/local.json");
        version("v2", v2);
        run(stop);
        // The publisher pulls v2: the installed version is offered again under its own id.
        version("v1", v1);
        if (Slurp(Root() + "/state/local.json") == manifest1) {
            stopped++;
            // Stopped again as soon as its own copy starts: the mark outlives it.
            run([&] { return (State() & REPOSITORY_STATEFLAG_COPY) != 0; });
            version("v1", v1);
            run(nullptr);
            exactly(v1, "the installed version again");
            EXPECT_EQ(run(nullptr), 0u) << "level once a run completed";
        }
        version("v2", v2);
        EXPECT_NE(run(nullptr), 0u);
        exactly(v2, "updated");
        version("v1", v1);
        EXPECT_EQ(run(nullptr), (uint32_t)REPOSITORY_STATEFLAG_UPDATE);
        exactly(v1, "back to the first version");
        EXPECT_EQ(run(nullptr), 0u) << "level once a run completed";
        EXPECT_EQ(Leftovers(local), "") << where;
        if (HasFailure()) return;
    }
    EXPECT_GE(stopped, (int)v2.size());
}

// ---- Killed and resumed -----------------------------------------------------------------------

// The child's side: one synchronisation of the parent's folders, until it is killed.
TEST_F(RepositoryTest, ResumeChild) {
    const char* root = getenv("QVR_REPOSITORY_CHILD_ROOT");
    if (!root) GTEST_SKIP() << "run by ResumesAfterKillsToTheRemoteTree";
    rootOverride = root;
    Configure();
    EXPECT_TRUE(Run(REPOSITORY_ACTION_SYNC));
}

TEST_F(RepositoryTest, ResumesAfterKillsToTheRemoteTree) {
    std::map<std::string, std::string> tree;
    for (int i = 0; i < 24; ++i)
        tree["d" + std::to_string(i % 4) + "/f" + std::to_string(i)] = Content(1000 + i * 60013, i);
    Shell("rm -rf " + Root() + "/remote && mkdir -p " + Root() + "/remote");
    for (const auto& [name, data] : tree) Put(Root() + "/remote/" + name, data);
    WriteManifest(Root() + "/remote", "v1", Root() + "/remote.json", {}, 4096);
    char self[1024] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    // Everything the child needs is made before fork: a forked child only calls execve.
    const std::string rootVar = "QVR_REPOSITORY_CHILD_ROOT=" + Root();
    const std::string filter = "--gtest_filter=RepositoryTest.ResumeChild";
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(const_cast<char*>(rootVar.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {self, const_cast<char*>(filter.c_str()), nullptr};
    srand(7);
    // Kills a synchronisation of the remote tree `tree` at random moments; a file under its own
    // name is always whole: the version before (`before`, when one was installed) or the new one.
    auto killRounds = [&](const std::map<std::string, std::string>& tree,
                          const std::map<std::string, std::string>& before, const std::string& oldManifest,
                          int rounds) {
        int interrupted = 0;
        for (int round = 0; round < rounds; ++round) {
            const pid_t child = fork();
            EXPECT_GE(child, 0);
            if (child < 0) return interrupted;
            if (child == 0) {
                execve(self, argv, envp.data());
                _exit(127);
            }
            // Early rounds end soon after the child starts, later ones may find it done.
            usleep((useconds_t)(300000 + rand() % (400000 + 100000 * round)));
            kill(child, SIGKILL);
            int status = 0;
            waitpid(child, &status, 0);
            for (const auto& [name, data] : tree) {
                const std::string path = Root() + "/local/" + name;
                const auto old = before.find(name);
                if (access(path.c_str(), F_OK) != 0) {
                    EXPECT_TRUE(old == before.end()) << name << " missing, round " << round;
                    continue;
                }
                std::ifstream in(path, std::ios::binary);
                const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                EXPECT_TRUE(got == data || (old != before.end() && got == old->second)) << name << " round " << round;
            }
            // The manifest is whole: the new one, the one before, or none yet.
            const std::string manifest = Root() + "/state/local.json";
            if (access(manifest.c_str(), F_OK) != 0) {
                interrupted++;
            } else if (Shell("cmp -s " + manifest + " " + Root() + "/remote.json") != 0) {
                EXPECT_TRUE(!oldManifest.empty() && Shell("cmp -s " + manifest + " " + oldManifest) == 0)
                    << "round " << round;
                interrupted++;
            }
        }
        return interrupted;
    };
    const int interrupted = killRounds(tree, {}, "", 10);
    EXPECT_GE(interrupted, 1);
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_EQ(Shell("diff -r " + Root() + "/remote " + Root() + "/local"), 0);
    EXPECT_EQ(Shell("cmp " + Root() + "/state/local.json " + Root() + "/remote.json"), 0);
    EXPECT_EQ(Leftovers(Root() + "/local"), "");

    // An update killed at any moment: every installed file stays usable, old or new, never cut.
    std::map<std::string, std::string> next = tree;
    for (int i = 0; i < 24; i += 2) {
        std::string& data = next["d" + std::to_string(i % 4) + "/f" + std::to_string(i)];
        for (size_t at = 5000; at < data.size(); at += 9000) data[at] ^= 0x5a;
    }
    Shell("cp " + Root() + "/remote.json " + Root() + "/v1.json && rm -rf " + Root() + "/remote && mkdir -p " +
          Root() + "/remote");
    for (const auto& [name, data] : next) Put(Root() + "/remote/" + name, data);
    WriteManifest(Root() + "/remote", "v2", Root() + "/remote.json", {}, 4096);
    EXPECT_GE(killRounds(next, tree, Root() + "/v1.json", 6), 1);
    NewRepository();
    Configure();
    ASSERT_TRUE(Run(REPOSITORY_ACTION_SYNC)) << printed.Text;
    EXPECT_EQ(Errors(), 0u) << printed.Text;
    EXPECT_EQ(Shell("diff -r " + Root() + "/remote " + Root() + "/local"), 0);
    EXPECT_EQ(Shell("cmp " + Root() + "/state/local.json " + Root() + "/remote.json"), 0);
    EXPECT_EQ(Leftovers(Root() + "/local"), "");
}

} // namespace

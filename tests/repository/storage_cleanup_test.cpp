#include "repository/storage_cleanup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <deque>
#include <set>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/platform/async_file.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/thread.h"
#include "repository/file_list.h"
#include "tests/repository/storage_test_support.h"
#include "tests/support/abort_hook.h"

namespace {

void Runtime() {
    static const bool up = Thread_Init() == 1 && Meter_Init() == 1 && EventQueue_Init() == 1 &&
                           IOWorker_Init() == 1 && AsyncFile_Init() == 1 &&
                           NotificationCenter_Init() == 1;
    ASSERT_TRUE(up);
}

int Shell(const std::string& command) { return system(command.c_str()); }

using Files = std::vector<std::pair<std::string, Bytes>>;

Files Named(std::initializer_list<const char*> names, const char* content = "") {
    Files out;
    for (const char* name : names) out.push_back({name, Text(content)});
    return out;
}

// Rows live as long as the process, as the program's own do: a chain's step reads its row once more
// after the entry returns, when the completion it delivered may already have let a test end.
StorageInterface& NewRow() {
    static std::deque<StorageInterface> rows;
    return rows.emplace_back(*TestStorageInterface());
}

// The test backend under a row of its own, named like one of the real backends.
struct Backend {
    StorageInterface& row = NewRow();
    Storage* storage = nullptr;
    TestStorageBackend* b = nullptr;
    explicit Backend(const char* name) {
        row.Name = name;
        Storage_Create(&storage);
        EXPECT_EQ(Storage_SetInterface(storage, &row), 1);
        void* instance = nullptr;
        Storage_GetInterfaceHandle(storage, &instance);
        b = TestStorageBackend::Of(instance);
    }
    ~Backend() {
        Storage_Shutdown(storage);
        Storage_Release(&storage);
    }
    // Names of the files whose erases are held, in the order they were started.
    std::vector<std::string> HeldNames(MetaFile* meta) {
        std::lock_guard<std::mutex> guard(b->Lock);
        FileList* list = nullptr;
        MetaFile_GetFileListHandle(meta, &list);
        std::vector<std::string> out;
        for (StorageOperation* op : b->Held) {
            FileListMember* file = nullptr;
            Storage_OperationGetFileRecord(op, &file);
            out.push_back(FileList_MemberGetNamePtr(list, file));
        }
        return out;
    }
};

struct Cleanup {
    StorageCleanup* c = nullptr;
    Cleanup(Storage* storage, MetaFile* source, MetaFile* dest) {
        Runtime();
        StorageCleanup_Create(&c);
        StorageCleanup_SetStorageHandle(c, storage);
        StorageCleanup_SetSourceMetaFileHandle(c, source);
        if (dest) StorageCleanup_SetDestMetaFileHandle(c, dest);
        else StorageCleanup_SetBlankDestMetaFileHandle(c);
    }
    ~Cleanup() {
        StorageCleanup_Shutdown(c);
        PumpUntil([&] { return !StorageCleanup_IsAlive(c); });
        StorageCleanup_Release(&c);
    }
    bool Run() {
        return PumpUntil([&] {
            StorageCleanup_Process(c);
            return StorageCleanup_IsComplete(c) == 1;
        });
    }
    int32_t Complete() {
        int32_t n = 0;
        StorageCleanup_GetItemsComplete(c, &n);
        return n;
    }
    double Number(const char* key) {
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        StorageCleanup_Dump(c, d);
        double value = -99;
        Dictionary_GetFloat64ByKey(d, key, &value);
        Dictionary_Release(&d);
        return value;
    }
};

TEST(StorageCleanupTest, FileModeErasesOnlyWhatTheSourceListsAndStaysInsideTheInstallation) {
    Runtime();
    char pattern[] = "/tmp/storage_cleanup_XXXXXX";
    const std::string base = mkdtemp(pattern);
    const std::string root = base + "/root", expected = base + "/expected";
    ASSERT_EQ(Shell("cd " + base + " && mkdir -p root/sub/deep root/keep root/only outside && echo s > outside/secret"
                    " && echo old > root/a && echo b > root/sub/b && echo c > root/sub/deep/c && echo k > root/keep/k"
                    " && echo x > root/extra && echo o > root/only/o && ln -s ../outside root/lnk"
                    // Entries under copies' names the storage never recorded making are not
                    // its own: a copy of a listed file, an unlisted one, scratch names, a folder.
                    " && echo p > root/A.quarvpartial && echo u > root/notes.quarvpartial.txt"
                    " && echo p > root/added.quarvpartial && echo p > root/keep/k.quarvpartial~"
                    " && mkdir -p root/A.quarvpartial~ root/keep/d.quarvpartial/e && echo p > root/keep/d.quarvpartial/e/f"
                    " && ln -s ../outside/secret root/keep/l.quarvpartial && echo s > outside/o.quarvpartial"
                    " && cp -a root expected && rm -r expected/sub expected/only"),
              0);
    // "a" is kept whatever its content, "keep/k" under any spelling; names that could leave the
    // installation are never acted on.
    TestManifest source(Named({"a", "sub/b", "sub/deep/c", "keep/./k", "../outside/secret", "/tmp/x", "lnk/secret",
                               "only/o"}),
                        16);
    TestManifest dest(Files{{"A", Text("new content")}, {"keep/k", Text("")}}, 16);
    Storage* storage = nullptr;
    Storage_Create(&storage);
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, "type", "file");
    Dictionary_SetStringByKey(config, "path", (root + "/").c_str());
    EXPECT_EQ(Storage_Configure(storage, nullptr, config, nullptr), 1);
    Dictionary_Release(&config);
    {
        Cleanup job(storage, source.meta, dest.meta);
        struct Seen {
            int32_t index = -1;
            uint32_t code = 0, extended = 0, calls = 0;
        } seen;
        StorageCleanup_SetErrorCallback(job.c, &seen,
                                        [](StorageCleanup*, void* user, uint32_t, int32_t index, uint32_t code,
                                           uint32_t extended, double*) {
                                            Seen* s = static_cast<Seen*>(user);
                                            *s = {index, code, extended, s->calls + 1};
                                            return (int32_t)STORAGE_CLEANUP_RESPONSE_IGNORE;
                                        });
        ASSERT_EQ(StorageCleanup_Start(job.c), 1);
        ASSERT_TRUE(job.Run());
        // The link is refused by the storage and reported; the answer "ignore" completes it.
        EXPECT_EQ(seen.calls, 1u);
        EXPECT_EQ(seen.index, 6);
        EXPECT_EQ(seen.code, (uint32_t)STORAGE_ERROR_INVALID_CONTENT);
        EXPECT_EQ(seen.extended, 0u);
        EXPECT_EQ(job.Number("itemsTotal"), 8);
        EXPECT_EQ(job.Number("itemsComplete"), 8);
        EXPECT_EQ(job.Number("filesErased"), 4);
        EXPECT_EQ(job.Number("progress"), 1.0);
    }
    EXPECT_EQ(Shell("diff -r --no-dereference " + expected + " " + root), 0);
    EXPECT_EQ(Shell("test -f " + base + "/outside/secret && test -f " + base + "/outside/o.quarvpartial"), 0);

    // Erasing everything collapses emptied directories up to the installation, never past it.
    TestManifest all(Named({"a", "keep/k", "extra", "notes.quarvpartial.txt"}), 16);
    ASSERT_EQ(Shell("cd " + root + " && rm -r lnk *.quarvpartial* keep/*.quarvpartial*"), 0);
    {
        Cleanup job(storage, all.meta, nullptr);
        ASSERT_EQ(StorageCleanup_Start(job.c), 1);
        ASSERT_TRUE(job.Run());
    }
    EXPECT_EQ(Shell("test -d " + root + " && test -z \"$(ls -A " + root + ")\""), 0);
    Storage_Shutdown(storage);
    Storage_Release(&storage);
    Shell("rm -rf " + base);
}

// In manifest order, kept files skipped, and one erase more than the maximum under way.
TEST(StorageCleanupTest, FileModeKeepsTheInFlightLimitAndOrder) {
    Files files;
    std::vector<std::string> erased;
    for (int i = 0; i < 30; ++i) {
        files.push_back({"f" + std::to_string(100 + i), Text("")});
        if (i != 3 && i != 7) erased.push_back(files.back().first);
    }
    TestManifest source(files, 16);
    TestManifest dest(Files{files[3], files[7]}, 16);
    for (int32_t maximum : {10, 0}) {
        Backend backend("StorageFile");
        Cleanup job(backend.storage, source.meta, dest.meta);
        StorageCleanup_SetInFlightMax(job.c, maximum);
        backend.b->Hold = true;
        ASSERT_EQ(StorageCleanup_Start(job.c), 1);
        // A source changed mid-run counts from the next start.
        StorageCleanup_SetBlankSourceMetaFileHandle(job.c);
        std::vector<std::string> started;
        for (int round = 0; round < 40 && !StorageCleanup_IsComplete(job.c); ++round) {
            StorageCleanup_Process(job.c);
            StorageCleanup_Process(job.c);
            const size_t expected = std::min<size_t>((size_t)maximum + 1, erased.size() - started.size());
            if (expected == 0) continue;
            std::vector<std::string> held;
            ASSERT_TRUE(PumpUntil([&] { return (held = backend.HeldNames(source.meta)).size() >= expected; }));
            EXPECT_EQ(held.size(), expected) << maximum;
            // Erases of one pass may reach the backend in any order.
            std::sort(held.begin(), held.end());
            started.insert(started.end(), held.begin(), held.end());
            const int32_t before = job.Complete();
            backend.b->CompleteHeld(0, 0);
            ASSERT_TRUE(PumpUntil([&] { return job.Complete() == before + (int32_t)held.size(); }));
        }
        // The rounds above count batches of this thread's work; the end itself may come later.
        ASSERT_TRUE(PumpUntil([&] {
            if (!StorageCleanup_IsComplete(job.c)) StorageCleanup_Process(job.c);
            return StorageCleanup_IsComplete(job.c) == 1;
        })) << maximum;
        EXPECT_EQ(started, erased);
        EXPECT_EQ(job.Number("filesErased"), 28);
        EXPECT_EQ(job.Number("itemsComplete"), 30);
        EXPECT_GE(job.Number("itemAverageTime"), 0.0);
        EXPECT_EQ(job.Number("remainingTime"), 0.0);
    }
}

// Generated pairs of manifests as updates make them: the destination lists most of the source's
// names in turn, some in another case or spelling, some dropped, some of its own added between them,
// some moved. What is erased is what the model says the destination does not list (names compared
// without regard to case, in their normal form), however the names line up.
TEST(StorageCleanupTest, FileModeErasesWhatTheDestinationDoesNotListHoweverItsNamesLineUp) {
    uint32_t seed = 12345;
    const auto next = [&](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    const auto lower = [](std::string text) {
        for (char& c : text) c = (char)std::tolower((unsigned char)c);
        return text;
    };
    for (int round = 0; round < 120; ++round) {
        SCOPED_TRACE(round);
        const uint32_t count = 1 + next(40);
        std::vector<std::string> sourceNames, destNames;
        std::set<std::string> listed;
        for (uint32_t i = 0; i < count; ++i) {
            const std::string name = "d" + std::to_string(next(3)) + "/f" + std::to_string(round) + "x" + std::to_string(i);
            const uint32_t kind = next(10);
            if (kind == 0) destNames.push_back("d9/new" + std::to_string(i));
            if (kind == 1) {
                // Dropped by the destination: erased.
                sourceNames.push_back(name);
                continue;
            }
            destNames.push_back(name);
            sourceNames.push_back(kind == 2 ? lower(name) == name ? "D" + name.substr(1) : name
                                  : kind == 3 ? name.substr(0, 2) + "/." + name.substr(2)
                                              : name);
        }
        // A file the source alone lists, at the walk's place or at its end.
        sourceNames.insert(sourceNames.begin() + next((uint32_t)sourceNames.size() + 1), "gone" + std::to_string(round));
        if (destNames.size() > 2 && next(2)) std::swap(destNames[0], destNames[destNames.size() - 1]);
        for (const std::string& name : destNames) listed.insert(lower(name));
        std::vector<std::string> erased;
        for (const std::string& name : sourceNames) {
            std::string normal = name;
            for (size_t at; (at = normal.find("/./")) != std::string::npos;) normal.erase(at, 2);
            if (!listed.count(lower(normal))) erased.push_back(name);
        }
        Files sourceFiles, destFiles;
        for (const std::string& name : sourceNames) sourceFiles.push_back({name, Text("")});
        for (const std::string& name : destNames) destFiles.push_back({name, Text("")});
        TestManifest source(sourceFiles, 16);
        TestManifest dest(destFiles, 16);
        Backend backend("StorageFile");
        Cleanup job(backend.storage, source.meta, dest.meta);
        StorageCleanup_SetInFlightMax(job.c, 1000);
        StorageCleanup_SetProcessTimeout(job.c, 0);
        backend.b->Hold = true;
        ASSERT_EQ(StorageCleanup_Start(job.c), 1);
        StorageCleanup_Process(job.c);
        std::vector<std::string> held;
        EXPECT_TRUE(PumpUntil([&] { return (held = backend.HeldNames(source.meta)).size() >= erased.size(); }, 2));
        std::sort(held.begin(), held.end());
        std::sort(erased.begin(), erased.end());
        EXPECT_EQ(held, erased);
        // Whatever came, every erase ends, so that a wrong judgement fails the row and nothing else.
        {
            std::lock_guard<std::mutex> guard(backend.b->Lock);
            backend.b->Hold = false;
        }
        backend.b->CompleteHeld(0, 0);
        ASSERT_TRUE(job.Run());
        EXPECT_EQ(job.Number("filesErased"), (double)erased.size());
        EXPECT_EQ(job.Number("itemsComplete"), (double)sourceNames.size());
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(StorageCleanupTest, PieceModeKeepsADigestTheDestinationHoldsAnywhere) {
    TestManifest source(Files{{"a", Text("aaaabbbbcccc")}, {"b", Text("dddd")}}, 4);
    TestManifest dest(Files{{"z", Text("ddddcccc")}}, 4);
    for (const char* name : {"StorageFilePiece", "StorageHTTPPiece"}) {
        Backend backend(name);
        for (int32_t i = 0; i < 4; ++i) backend.b->Pieces[i] = Text("x");
        {
            Cleanup job(backend.storage, source.meta, dest.meta);
            ASSERT_EQ(StorageCleanup_Start(job.c), 1);
            ASSERT_TRUE(job.Run());
            EXPECT_EQ(job.Number("filesErased"), 2);
            EXPECT_EQ(job.Number("itemsComplete"), 4);
        }
        std::vector<std::string> calls = backend.b->TakeCalls();
        std::sort(calls.begin(), calls.end());
        EXPECT_EQ(calls, (std::vector<std::string>{"Erase 0", "Erase 1"})) << name;
        for (int32_t i = 0; i < 4; ++i) backend.b->Pieces[i] = Text("x");
        Cleanup everything(backend.storage, source.meta, nullptr);
        ASSERT_EQ(StorageCleanup_Start(everything.c), 1);
        ASSERT_TRUE(everything.Run());
        calls = backend.b->TakeCalls();
        std::sort(calls.begin(), calls.end());
        EXPECT_EQ(calls, (std::vector<std::string>{"Erase 0", "Erase 1", "Erase 2", "Erase 3"}));
    }
}

// Each failure is put to the callback with the item's count so far; a later resume time waits on
// the event queue, an earlier one acts at once.
TEST(StorageCleanupTest, FailedErasesFollowTheCallbacksAnswers) {
    TestManifest source(Named({"kept", "gone"}), 16);
    TestManifest dest(Named({"kept"}), 16);
    Backend backend("StorageFile");
    backend.b->Answers["FileErase"] = {STORAGE_ERROR_OS, 5};
    Cleanup job(backend.storage, source.meta, dest.meta);
    struct Call {
        uint32_t count;
        int32_t index;
        uint32_t code, extended;
        double at;
    };
    static std::vector<Call> calls;
    calls.clear();
    StorageCleanup_SetErrorCallback(job.c, nullptr,
                                    [](StorageCleanup*, void*, uint32_t count, int32_t index, uint32_t code,
                                       uint32_t extended, double* resume) {
                                        calls.push_back({count, index, code, extended, Time_GetCurrent()});
                                        if (calls.size() == 1) *resume = Time_GetCurrent() + 0.2;
                                        if (calls.size() == 2) *resume = Time_GetCurrent() - 1;
                                        const int32_t answers[] = {STORAGE_CLEANUP_RESPONSE_RETRY,
                                                                   STORAGE_CLEANUP_RESPONSE_WAIT,
                                                                   STORAGE_CLEANUP_RESPONSE_IGNORE};
                                        return answers[calls.size() - 1];
                                    });
    ASSERT_EQ(StorageCleanup_Start(job.c), 1);
    ASSERT_TRUE(job.Run());
    ASSERT_EQ(calls.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].count, i);
        EXPECT_EQ(calls[i].index, 1);
        EXPECT_EQ(calls[i].code, (uint32_t)STORAGE_ERROR_OS);
        EXPECT_EQ(calls[i].extended, 5u);
    }
    EXPECT_GE(calls[1].at - calls[0].at, 0.19);
    EXPECT_EQ(backend.b->TakeCalls(), (std::vector<std::string>{"FileErase", "FileErase", "FileErase"}));
    EXPECT_EQ(job.Number("itemsComplete"), 2);

    // Shut down, a waiting retry is dropped and the job is no longer alive.
    calls.clear();
    ASSERT_EQ(StorageCleanup_Start(job.c), 1);
    ASSERT_TRUE(PumpUntil([&] {
        StorageCleanup_Process(job.c);
        return calls.size() == 1;
    }));
    EXPECT_EQ(StorageCleanup_IsAlive(job.c), 1);
    StorageCleanup_Shutdown(job.c);
    EXPECT_EQ(StorageCleanup_IsAlive(job.c), 0);
    EXPECT_EQ(job.Complete(), 1);
}

// Large enough that a pass of a millisecond cannot check every file. A pass that stops with work
// left, or ends the cleanup, wakes its thread: nothing else would, and the owner's loop would
// sleep its whole wait before going on.
TEST(StorageCleanupTest, APassStopsWhenItsTimeBudgetIsUsed) {
    Files files;
    for (int i = 0; i < 100000; ++i) files.push_back({"file" + std::to_string(i), Text("")});
    TestManifest both(files, 16);
    Backend backend("StorageFile");
    for (double budget : {0.002, 0.0}) {
        Cleanup job(backend.storage, both.meta, both.meta);
        StorageCleanup_SetProcessTimeout(job.c, budget);
        ASSERT_EQ(StorageCleanup_Start(job.c), 1);
        while (Thread_Wait(0)) {
        }
        StorageCleanup_Process(job.c);
        EXPECT_EQ(Thread_Wait(0), 1) << budget;
        if (budget > 0) {
            EXPECT_GT(job.Complete(), 0);
            EXPECT_LT(job.Complete(), 100000);
        } else {
            EXPECT_EQ(job.Complete(), 100000);
            EXPECT_EQ(StorageCleanup_IsComplete(job.c), 1);
        }
        ASSERT_TRUE(job.Run());
    }
    EXPECT_TRUE(backend.b->TakeCalls().empty());
}

// A cleanup made on one thread and set to run on another signals that one, not its maker: a pass
// that stops with work left wakes the thread whose loop runs it.
TEST(StorageCleanupTest, APassWakesTheThreadSetToRunIt) {
    Files files;
    for (int i = 0; i < 100000; ++i) files.push_back({"file" + std::to_string(i), Text("")});
    TestManifest both(files, 16);
    Backend backend("StorageFile");
    Cleanup job(backend.storage, both.meta, both.meta);
    struct Runner {
        std::atomic<uint32_t> Id{0};
        std::atomic<int> Woken{-1};
    } runner;
    Thread* thread = nullptr;
    ASSERT_EQ(Thread_Begin(&thread, &runner,
                           [](void* parameter) -> uint32_t {
                               auto* r = static_cast<Runner*>(parameter);
                               r->Id = Thread_GetCurrentId();
                               r->Woken = (int)Thread_Wait(60000);
                               return 0;
                           }),
              1);
    ASSERT_TRUE(PumpUntil([&] { return runner.Id != 0; }));
    StorageCleanup_SetThreadId(job.c, runner.Id);
    StorageCleanup_SetProcessTimeout(job.c, 0.002);
    ASSERT_EQ(StorageCleanup_Start(job.c), 1);
    while (Thread_Wait(0)) {
    }
    StorageCleanup_Process(job.c);
    EXPECT_LT(job.Complete(), 100000);
    EXPECT_EQ(Thread_Wait(0), 0);
    EXPECT_TRUE(PumpUntil([&] { return runner.Woken.load() >= 0; }));
    EXPECT_EQ(runner.Woken.load(), 1);
    Thread_SignalExit(runner.Id);
    Thread_Join(-1, &thread);
}

TEST(StorageCleanupDeathTest, WrongUseStopsTheProcess) {
    TestManifest source(Named({"gone"}), 16);
    Backend backend("StorageFile");
    backend.b->Answers["FileErase"] = {STORAGE_ERROR_OS, 1};
    // Retries wait on a queue of the test's own, which the forked child can flush.
    EventQueue* queue = nullptr;
    EventQueue_Create(&queue);
    Cleanup job(backend.storage, source.meta, nullptr);
    StorageCleanup_SetEventQueueHandle(job.c, queue);
    EventQueue_Release(&queue);
    ASSERT_EQ(StorageCleanup_Start(job.c), 1);
    EXPECT_DEATH((InstallTestAbortHook(), StorageCleanup_Start(job.c)), AbortRegex("Cleanup already running"));
    // An unknown answer, due a little later on the event queue.
    static int asked = 0;
    StorageCleanup_SetErrorCallback(job.c, nullptr,
                                    [](StorageCleanup*, void*, uint32_t, int32_t, uint32_t, uint32_t, double* resume) {
                                        asked++;
                                        *resume = Time_GetCurrent() + 0.2;
                                        return (int32_t)7;
                                    });
    ASSERT_TRUE(PumpUntil([&] {
        StorageCleanup_Process(job.c);
        return asked == 1;
    }));
    StorageCleanup_GetEventQueueHandle(job.c, &queue);
    auto flushInChild = [queue] {
        InstallTestAbortHook();
        EventQueue_SetThreadId(queue, Thread_GetCurrentId());
        for (int i = 0; i < 5000; ++i, usleep(1000)) EventQueue_Flush(queue);
    };
    EXPECT_DEATH(flushInChild(),
                 AbortRegex("Unhandled StorageCleanup error response (7)"));
}

} // namespace

// Tests of the asynchronous files: open modes, completions on the worker threads (once each, with
// the bytes intact under many concurrent requests over many files), close against requests in
// flight, bad requests, the synchronous operations and the module's start and removal.
#include "core/platform/async_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_error.h"
#include "core/runtime/meter.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/out_value.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

class AsyncFileEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // Reports from several workers at once need the meters' lock.
        ASSERT_EQ(Meter_Init(), 1);
        ASSERT_EQ(AsyncFile_Init(), 1);
    }
    void TearDown() override {
        EXPECT_EQ(AsyncFile_Remove(), 1);
        Meter_Remove();
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new AsyncFileEnvironment);
// An open that waits for another process fails its test instead of hanging the suite.
const bool g_bounded = BoundEveryTest();

constexpr int32_t E(int32_t error) {
    return PLATFORM_ERROR_ERRNO_BASE + error;
}

// Bytes that differ at every position and between files, so that a byte written to the wrong
// place or file shows.
std::vector<uint8_t> Data(uint32_t seed, size_t size) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; i++) {
        uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ ((uint64_t)seed << 32);
        x ^= x >> 29;
        out[i] = (uint8_t)(x ^ (x >> 8));
    }
    return out;
}

bool OnWorkerThread() {
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return strcmp(name, "com.quarvelon.a") == 0;
}

// Counts completions; waits for a number of them with a generous bound (not a timing).
class Waiter {
  public:
    void Done() {
        std::lock_guard<std::mutex> guard(mutex_);
        count_++;
        cv_.notify_all();
    }
    bool WaitFor(int32_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return count_ >= count; });
    }
    int32_t Count() {
        std::lock_guard<std::mutex> guard(mutex_);
        return count_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int32_t count_ = 0;
};

// What one completion saw.
struct Request {
    Waiter* waiter = nullptr;
    int32_t calls = 0; // read after the waiter has seen the completion
    AsyncFile* file = nullptr;
    uint64_t offset = 0;
    void* buffer = nullptr;
    uint32_t transferred = 0;
    int32_t error = -1;
    bool onWorker = false;
    // In one line: calls, error, bytes moved at the offset, and where the callback ran.
    std::string Seen() const {
        return std::to_string(calls) + " call, error " + std::to_string(error) + ", " +
               std::to_string(transferred) + " at " + std::to_string(offset) +
               (onWorker ? " on a worker" : " elsewhere");
    }
};

int64_t Record(AsyncFile* file, void* user, uint64_t offset, void* buffer, uint32_t transferred,
               int32_t error) {
    auto* r = static_cast<Request*>(user);
    r->file = file;
    r->offset = offset;
    r->buffer = buffer;
    r->transferred = transferred;
    r->error = error;
    r->onWorker = OnWorkerThread();
    r->calls++;
    if (r->waiter) r->waiter->Done();
    return 1;
}

// An object, opened on a path when one is given; closed and released at the end.
struct Opened {
    AsyncFile* F = Created(AsyncFile_Create);
    Opened() = default;
    Opened(const std::string& path, FileOpenFlags flags) {
        EXPECT_EQ(AsyncFile_Open(F, path.c_str(), flags), 1);
    }
    ~Opened() {
        AsyncFile_Close(F);
        AsyncFile_Release(&F);
    }
};

// One request, waited for.
Request Transfer(AsyncFile* f, bool write, uint64_t offset, const void* buffer, uint32_t size) {
    Waiter w;
    Request r;
    r.waiter = &w;
    EXPECT_EQ(write ? AsyncFile_Write(f, offset, buffer, size, &r, Record)
                    : AsyncFile_Read(f, offset, const_cast<void*>(buffer), size, &r, Record),
              1);
    EXPECT_TRUE(w.WaitFor(1));
    r.waiter = nullptr;
    return r;
}

Request WriteOnce(AsyncFile* f, uint64_t offset, const void* buffer, uint32_t size) {
    return Transfer(f, true, offset, buffer, size);
}

Request ReadOnce(AsyncFile* f, uint64_t offset, void* buffer, uint32_t size) {
    return Transfer(f, false, offset, buffer, size);
}

// Tell's answer and position, as "1@9".
std::string TellOf(AsyncFile* f) {
    uint64_t position = 99;
    const int64_t answer = AsyncFile_Tell(f, &position);
    return std::to_string(answer) + "@" + std::to_string(position);
}

// GetFilesizeBytes's answer and size, as "1:20".
std::string SizeOf(AsyncFile* f) {
    uint64_t size = 99;
    const int64_t answer = AsyncFile_GetFilesizeBytes(f, &size);
    return std::to_string(answer) + ":" + std::to_string(size);
}

std::string PathOf(AsyncFile* f, int32_t capacity = 400) {
    std::vector<char> path((size_t)capacity, '#');
    AsyncFile_GetPath(f, path.data(), capacity);
    return path.data();
}

std::string ContentOrNone(const std::string& path) {
    return FileExists(path) ? ReadFile(path) : "<none>";
}

TEST(AsyncFile, OpenModesOnExistingAndMissingFiles) {
    TempDir dir;
    const struct {
        const char* name;
        FileOpenFlags flags;
        bool exists;
        int64_t opens;
        const char* contentAfter;
        uint64_t position; // Tell after the open
    } cases[] = {
        {"read", FILE_READ | FILE_SHARED, true, 1, "0123456789", 0},
        {"read-missing", FILE_READ | FILE_SHARED, false, 0, "<none>", 0},
        {"write-only empties", FILE_WRITE, true, 1, "", 0},
        {"write-truncate", FILE_WRITE | FILE_TRUNCATE, true, 1, "", 0},
        {"write-only creates", FILE_WRITE, false, 1, "", 0},
        // An append never empties: neither write-only nor read-write.
        {"write-append keeps", FILE_WRITE | FILE_APPEND, true, 1, "0123456789", 10},
        {"read-write-append keeps", FILE_READ | FILE_WRITE | FILE_APPEND, true, 1, "0123456789", 10},
        {"read-write-append never creates", FILE_READ | FILE_WRITE | FILE_APPEND, false, 0, "<none>", 0},
        {"read-write keeps", FILE_READ | FILE_WRITE, true, 1, "0123456789", 0},
        {"read-write creates", FILE_READ | FILE_WRITE, false, 1, "", 0},
        // Emptied first, so the append position is the new end.
        {"append-truncate", FILE_READ | FILE_WRITE | FILE_APPEND | FILE_TRUNCATE, true, 1, "", 0},
        {"write-append creates", FILE_WRITE | FILE_APPEND, false, 1, "", 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = dir.file("f" + std::to_string(n++));
        if (c.exists) {
            ASSERT_TRUE(WriteText(path, "0123456789"));
        }
        Opened o;
        EXPECT_EQ(AsyncFile_Open(o.F, path.c_str(), c.flags), c.opens) << c.name;
        EXPECT_EQ(AsyncFile_IsOpen(o.F), c.opens) << c.name;
        EXPECT_EQ(Platform_ErrorMissing(AsyncFile_GetLastError(o.F)), 1 - c.opens) << c.name;
        EXPECT_EQ(TellOf(o.F), std::to_string(c.opens) + "@" + std::to_string(c.position)) << c.name;
        FileOpenFlags flags = 0;
        AsyncFile_GetOpenFlags(o.F, &flags);
        EXPECT_EQ(flags, c.flags) << c.name;
        AsyncFile_Close(o.F);
        EXPECT_EQ(ContentOrNone(path), c.contentAfter) << c.name;
    }
}

TEST(AsyncFile, AppendWritesAtAbsoluteOffsetsAfterTheOldEnd) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("log"), "head:"));
    Opened o(dir.file("log"), FILE_WRITE | FILE_APPEND);
    ASSERT_EQ(TellOf(o.F), "1@5");
    EXPECT_EQ(WriteOnce(o.F, 5, "tail", 4).Seen(), "1 call, error 0, 4 at 5 on a worker");
    // Offsets stay absolute: a write at 0 lands at the start, not after the append position.
    EXPECT_EQ(WriteOnce(o.F, 0, "H", 1).error, 0);
    AsyncFile_Close(o.F);
    EXPECT_EQ(ReadFile(dir.file("log")), "Head:tail");
}

// Quiet covers only a missing file: a directory is no file and is reported. Only a regular file
// opens, at once: a FIFO (whose open would wait for its other end) or a device is refused.
TEST(AsyncFile, OpenFailuresAreLoggedUnlessQuietAndMissing) {
    TempDir dir;
    const std::string missing = dir.file("none");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string Path;
        FileOpenFlags Flags;
        int32_t Error;
        std::string Logged; // empty: nothing logged
    } cases[] = {
        {missing, FILE_READ | FILE_SHARED, ENOENT,
         "Unable to open file [" + missing + "][00000000](100002 : 000186A2)\n"},
        {missing, 161, ENOENT, ""},
        {dir.path(), FILE_READ | FILE_QUIET, EISDIR, "Unable to open file [" + dir.path() + "]"},
        {fifo, FILE_READ | FILE_SHARED, ENOTSUP, "Unable to open file [" + fifo + "]"},
        {fifo, FILE_WRITE, ENOTSUP, "Unable to open file [" + fifo + "]"},
        {"/dev/zero", FILE_READ | FILE_QUIET, ENOTSUP, "Unable to open file [/dev/zero]"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        Opened o;
        EXPECT_EQ(AsyncFile_Open(o.F, c.Path.c_str(), c.Flags), 0);
        EXPECT_EQ(AsyncFile_IsOpen(o.F), 0);
        EXPECT_EQ(AsyncFile_GetLastError(o.F), E(c.Error)) << c.Path << " " << c.Flags;
        const std::string text = log.Text();
        EXPECT_EQ(text.find(c.Logged.empty() ? "Unable to open file" : c.Logged) != std::string::npos,
                  !c.Logged.empty())
            << text;
    }
}

TEST(AsyncFile, RetriesAndTheObjectStaysReusable) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("good"), "ok"));
    // No attempt at all; one attempt, no pause; a directory refuses every write open.
    const std::pair<int32_t, int32_t> cases[] = {{0, E(EINVAL)}, {1, E(EISDIR)}, {2, E(EISDIR)}};
    for (const auto& [retries, error] : cases) {
        Opened o;
        ASSERT_EQ(AsyncFile_SetRetries(o.F, retries), 1);
        int32_t kept = -5;
        AsyncFile_GetRetries(o.F, &kept);
        EXPECT_EQ(kept, retries);
        EXPECT_EQ(AsyncFile_Open(o.F, dir.path().c_str(), FILE_WRITE), 0);
        EXPECT_EQ(AsyncFile_GetLastError(o.F), error) << retries;
        if (retries == 0) continue;
        // A failed open leaves the object closed and ready for another.
        EXPECT_EQ(AsyncFile_Open(o.F, dir.file("good").c_str(), FILE_READ), 1);
        EXPECT_EQ(AsyncFile_GetLastError(o.F), 0);
    }
}

TEST(AsyncFile, DirectoriesForNewFiles) {
    TempDir dir;
    { Opened o(dir.file("a/b/c/new.bin"), FILE_WRITE); }
    EXPECT_TRUE(FileExists(dir.file("a/b/c/new.bin")));
    Opened o;
    AsyncFile_SetAutoCreateDirectories(o.F, 0);
    EXPECT_EQ(AsyncFile_Open(o.F, dir.file("x/y/new.bin").c_str(), FILE_WRITE), 0);
    EXPECT_FALSE(FileExists(dir.file("x")));
}

TEST(AsyncFile, PathsAreResolvedAndNeverCut) {
    TempDir dir;
    {
        ScopedEnv home("HOME", dir.path());
        Opened o("~\\sub//name.txt", FILE_WRITE);
        EXPECT_EQ(PathOf(o.F), dir.file("sub/name.txt"));
        EXPECT_EQ(PathOf(o.F, 5), dir.path().substr(0, 4));
    }
    EXPECT_TRUE(FileExists(dir.file("sub/name.txt")));
    // A path longer than the stored path is refused rather than cut to another file's name.
    const std::string longPath = dir.path() + "/" + std::string(330, 'n');
    Opened o;
    EXPECT_EQ(AsyncFile_Open(o.F, longPath.c_str(), FILE_WRITE), 0);
    EXPECT_EQ(AsyncFile_GetLastError(o.F), E(ENAMETOOLONG));
    EXPECT_FALSE(FileExists(longPath.substr(0, ASYNC_FILE_PATH_SIZE - 1)));
}

// Each case runs in a child process that does not return: the paths are fixed ones, the same in
// the child, which leaves nothing behind.
TEST(AsyncFile, CallerErrorsStopTheProcess) {
    const struct {
        void (*Call)(AsyncFile*);
        const char* Text;
    } cases[] = {
        {[](AsyncFile*) { AsyncFile_Init(); },
         "Assertion failed (GlobalAsyncFile == NULL)\nAsyncFile already initialized"},
        {[](AsyncFile* f) { AsyncFile_Open(f, "/dev/null", FILE_SHARED); }, "Unknown mode [32]\n"},
        // The program's own file: a regular file wherever the test runs (a device is refused).
        {[](AsyncFile* f) {
             AsyncFile_Open(f, "/proc/self/exe", FILE_READ);
             AsyncFile_Open(f, "/tmp/other", FILE_READ);
         },
         "Assertion failed (AsyncFile->Handle == -1)\nPrevious file [/proc/self/exe] must be closed before "
         "opening "
         "[/tmp/other]\n"},
        {[](AsyncFile* f) { AsyncFile_Read(f, 0, f, 4, nullptr, Record); },
         "Assertion failed (AsyncFile->Handle != -1)\nAttempted to use an invalid handle"},
        {[](AsyncFile* f) {
             AsyncFile_Remove();
             AsyncFile_Open(f, "/dev/null", FILE_READ);
         },
         "Assertion failed (GlobalAsyncFile != NULL)\nAsyncFile not initialized"},
    };
    for (const auto& c : cases)
        EXPECT_DEATH((InstallTestAbortHook(), c.Call(Created(AsyncFile_Create))), AbortRegex(c.Text));
}

TEST(AsyncFile, ManyConcurrentRequestsOverManyFilesKeepEveryByte) {
    TempDir dir;
    constexpr int32_t kFiles = 6, kIssuers = 4, kBlocks = 48, kPerFile = kBlocks + 1;
    // Odd sizes, so that blocks straddle the transfer slices and pages; the last block far larger
    // than a slice, so that one request is carried by several transfers.
    std::vector<uint64_t> offsets(kPerFile + 1, 0);
    auto blockSize = [&](int32_t b) { return (uint32_t)(offsets[b + 1] - offsets[b]); };
    for (int32_t b = 0; b < kPerFile; b++)
        offsets[b + 1] = offsets[b] + (b < kBlocks ? 4096 * (b % 5) + 1000 + 37 * b : 3 * (1u << 20) + 12345);
    const uint64_t total = offsets[kPerFile];
    std::vector<AsyncFile*> files(kFiles);
    std::vector<std::vector<uint8_t>> data(kFiles);
    for (int32_t f = 0; f < kFiles; f++) {
        data[f] = Data(f, total);
        files[f] = Created(AsyncFile_Create);
        ASSERT_EQ(AsyncFile_Open(files[f], dir.file("data" + std::to_string(f)).c_str(), FILE_WRITE), 1);
    }
    Waiter written;
    std::vector<Request> writes(kFiles * kPerFile);
    for (Request& r : writes) r.waiter = &written;
    // Several threads issue at once, each a share of the blocks of every file, in scattered order.
    std::vector<std::thread> issuers;
    for (int32_t t = 0; t < kIssuers; t++) {
        issuers.emplace_back([&, t] {
            for (int32_t i = t; i < kFiles * kPerFile; i += kIssuers) {
                const int32_t f = i % kFiles, b = (i / kFiles * 5) % kPerFile; // 5 and 49 are coprime
                AsyncFile_Write(files[f], offsets[b], data[f].data() + offsets[b], blockSize(b),
                                &writes[f * kPerFile + b], Record);
            }
        });
    }
    for (std::thread& t : issuers) t.join();
    ASSERT_TRUE(written.WaitFor(kFiles * kPerFile));
    for (int32_t f = 0; f < kFiles; f++) {
        for (int32_t b = 0; b < kPerFile; b++) {
            const Request& r = writes[f * kPerFile + b];
            EXPECT_EQ(r.Seen(), "1 call, error 0, " + std::to_string(blockSize(b)) + " at " +
                                    std::to_string(offsets[b]) + " on a worker")
                << "file " << f << " block " << b;
            EXPECT_EQ(r.file, files[f]);
            EXPECT_EQ(r.buffer, data[f].data() + r.offset);
        }
        uint64_t read = 1, write = 0;
        AsyncFile_GetOverallUsage(files[f], &read, &write);
        EXPECT_EQ(std::pair(read, write), std::pair((uint64_t)0, total));
        AsyncFile_Close(files[f]);
        // Byte for byte, read back outside the module.
        EXPECT_TRUE(ReadFile(dir.file("data" + std::to_string(f))) ==
                    std::string(data[f].begin(), data[f].end()));
    }
    // Read back through the module: every file at once, blocks of a different cut.
    Waiter readDone;
    constexpr uint32_t kReadBlock = 70000;
    const int32_t readsPerFile = (int32_t)((total + kReadBlock - 1) / kReadBlock);
    std::vector<std::vector<uint8_t>> back(kFiles, std::vector<uint8_t>(total, 0xEE));
    std::vector<Request> reads(kFiles * readsPerFile);
    auto readSize = [&](int32_t i) {
        return (uint32_t)std::min<uint64_t>(kReadBlock, total - (uint64_t)i * kReadBlock);
    };
    for (int32_t f = 0; f < kFiles; f++) {
        ASSERT_EQ(
            AsyncFile_Open(files[f], dir.file("data" + std::to_string(f)).c_str(), FILE_READ | FILE_SHARED),
            1);
        for (int32_t i = 0; i < readsPerFile; i++) {
            reads[f * readsPerFile + i].waiter = &readDone;
            AsyncFile_Read(files[f], (uint64_t)i * kReadBlock, back[f].data() + (size_t)i * kReadBlock,
                           readSize(i), &reads[f * readsPerFile + i], Record);
        }
    }
    ASSERT_TRUE(readDone.WaitFor(kFiles * readsPerFile));
    for (int32_t f = 0; f < kFiles; f++) {
        for (int32_t i = 0; i < readsPerFile; i++) {
            EXPECT_EQ(reads[f * readsPerFile + i].Seen(),
                      "1 call, error 0, " + std::to_string(readSize(i)) + " at " +
                          std::to_string((uint64_t)i * kReadBlock) + " on a worker");
        }
        EXPECT_TRUE(back[f] == data[f]) << "file " << f;
        uint64_t read = 0, write = 0;
        AsyncFile_GetOverallUsage(files[f], &read, &write);
        EXPECT_EQ(read, total);
        AsyncFile_Close(files[f]);
        AsyncFile_Release(&files[f]);
    }
}

TEST(AsyncFile, OverlappingWritesLandInTheOrderTheyWereIssued) {
    TempDir dir;
    Opened o(dir.file("order"), FILE_WRITE);
    constexpr int32_t kWrites = 500;
    std::vector<std::string> texts(kWrites);
    std::vector<Request> requests(kWrites);
    Waiter w;
    for (int32_t i = 0; i < kWrites; i++) {
        // Each write covers the one before and reaches one byte further.
        texts[i] = std::string((size_t)i + 1, (char)('a' + i % 26));
        requests[i].waiter = &w;
        AsyncFile_Write(o.F, 0, texts[i].data(), (uint32_t)texts[i].size(), &requests[i], Record);
    }
    ASSERT_TRUE(w.WaitFor(kWrites));
    AsyncFile_Close(o.F);
    EXPECT_EQ(ReadFile(dir.file("order")), texts.back());
    for (const Request& r : requests) EXPECT_EQ(r.calls, 1);
}

// Transfers made on the issuing thread: on an idle file at once, counted like any other;
// beside queued ones from several threads, every thread's transfers on one file still land and read
// in the order they were issued, and every callback runs once.
TEST(AsyncFile, TransfersMadeHereKeepTheIssuedOrderBesideQueuedOnes) {
    TempDir dir;
    Opened o(dir.file("here"), (FileOpenFlags)(FILE_READ | FILE_WRITE));
    const std::string text = "made here";
    Request w, r;
    ASSERT_EQ(AsyncFile_WriteHere(o.F, 0, text.data(), (uint32_t)text.size(), &w, Record), 1);
    EXPECT_EQ(w.Seen(), "1 call, error 0, 9 at 0 elsewhere");
    char back[16] = {};
    ASSERT_EQ(AsyncFile_ReadHere(o.F, 0, back, sizeof(back), &r, Record), 1);
    EXPECT_EQ(r.Seen(), "1 call, error 0, 9 at 0 elsewhere");
    EXPECT_EQ(std::string(back), text);
    uint64_t read = 0, written = 0;
    AsyncFile_GetOverallUsage(o.F, &read, &written);
    EXPECT_EQ(std::pair(read, written), std::pair((uint64_t)9, (uint64_t)9));
    EXPECT_EQ(std::pair(AsyncFile_HasPendingReads(o.F), AsyncFile_HasPendingWrites(o.F)), std::pair(0l, 0l));

    // Each thread rewrites a region of its own whole, each time with its own mark, and reads it
    // back now and then: a read sees the write issued last before it, the file the last of all.
    constexpr int32_t kThreads = 4, kOps = 300;
    constexpr uint32_t kRegion = 4096 + 77;
    struct Op {
        bool write;
        int32_t mark; // the write's own, or the one a read must see
        std::vector<uint8_t> bytes;
        Request done;
    };
    std::vector<std::vector<Op>> ops(kThreads, std::vector<Op>(kOps));
    auto fill = [](int32_t thread, int32_t mark) {
        return Data((uint64_t)thread * 100000 + (uint64_t)mark, kRegion);
    };
    Waiter all;
    std::vector<std::thread> threads;
    for (int32_t t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            uint64_t x = 0x9e3779b97f4a7c15ull * (uint64_t)(t + 1);
            int32_t last = -1;
            for (int32_t i = 0; i < kOps; i++) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                Op& op = ops[t][i];
                op.write = last < 0 || x % 3 != 0;
                op.mark = op.write ? i : last;
                op.bytes = op.write ? fill(t, i) : std::vector<uint8_t>(kRegion, 0xEE);
                op.done.waiter = &all;
                const uint64_t at = (uint64_t)t * kRegion;
                const bool here = (x >> 8) % 2 == 0;
                if (op.write) {
                    (here ? AsyncFile_WriteHere : AsyncFile_Write)(o.F, at, op.bytes.data(), kRegion, &op.done, Record);
                    last = i;
                } else {
                    (here ? AsyncFile_ReadHere : AsyncFile_Read)(o.F, at, op.bytes.data(), kRegion, &op.done, Record);
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(all.WaitFor(kThreads * kOps));
    AsyncFile_Close(o.F);
    const std::string file = ReadFile(dir.file("here"));
    ASSERT_EQ(file.size(), (size_t)kThreads * kRegion);
    for (int32_t t = 0; t < kThreads; t++) {
        int32_t last = -1;
        for (int32_t i = 0; i < kOps; i++) {
            const Op& op = ops[t][i];
            EXPECT_EQ(std::pair(op.done.calls, op.done.error), std::pair(1, 0)) << "thread " << t << " op " << i;
            if (op.write) last = i;
            else EXPECT_TRUE(op.bytes == fill(t, op.mark)) << "thread " << t << " read " << i << " after write " << op.mark;
        }
        const std::vector<uint8_t> want = fill(t, last);
        EXPECT_TRUE(file.compare((size_t)t * kRegion, kRegion, std::string(want.begin(), want.end())) == 0)
            << "thread " << t;
    }

    // A request issued while a long transfer is made here, with nothing issued after it, is still
    // carried out once that transfer ends.
    Opened big(dir.file("big"), (FileOpenFlags)(FILE_READ | FILE_WRITE));
    const std::vector<uint8_t> block = Data(3, 16u << 20);
    for (int32_t round = 0; round < 10; round++) {
        Waiter done;
        Request write, behind;
        write.waiter = behind.waiter = &done;
        std::atomic<bool> started{false};
        std::vector<uint8_t> tail(64, 0xEE);
        std::thread other([&] {
            while (!started.load()) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 4)));
            AsyncFile_Read(big.F, block.size() - tail.size(), tail.data(), (uint32_t)tail.size(), &behind, Record);
        });
        started.store(true);
        AsyncFile_WriteHere(big.F, 0, block.data(), (uint32_t)block.size(), &write, Record);
        other.join();
        ASSERT_TRUE(done.WaitFor(2)) << "round " << round << ": " << write.Seen() << "; " << behind.Seen();
        EXPECT_EQ(std::pair(write.error, behind.error), std::pair(0, 0));
    }
}

TEST(AsyncFile, ReadsAtAndPastTheEndAndZeroLengthRequests) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("ten"), "0123456789"));
    Opened o(dir.file("ten"), FILE_READ | FILE_WRITE);
    const struct {
        bool write;
        uint64_t offset;
        uint32_t size, transferred;
        int32_t error;
        const char* bytes;
    } cases[] = {
        {false, 2, 3, 3, 0, "234"},
        {false, 8, 6, 2, 0, "89"},  // straddles the end
        {false, 10, 4, 0, 0, ""},   // at the end
        {false, 1000, 4, 0, 0, ""}, // past the end
        {false, 3, 0, 0, 0, ""},    // of nothing
        {true, 3, 0, 0, 0, ""},     // of nothing
        // Offsets beyond every file position are refused, never wrapped to small ones.
        {false, UINT64_MAX - 1, 4, 0, EINVAL, ""},
        {true, (uint64_t)INT64_MAX + 1, 4, 0, EINVAL, ""},
    };
    for (const auto& c : cases) {
        char buffer[16];
        memset(buffer, '.', sizeof(buffer));
        const Request r = Transfer(o.F, c.write, c.offset, c.write ? (const void*)"WXYZ" : buffer, c.size);
        EXPECT_EQ(r.Seen(), "1 call, error " + std::to_string(c.error) + ", " +
                                std::to_string(c.transferred) + " at " + std::to_string(c.offset) +
                                " on a worker");
        if (!c.write) {
            EXPECT_EQ(std::string(buffer, c.transferred + 1), c.bytes + std::string(".")) << "nothing beyond";
        }
    }
    EXPECT_EQ(ReadOnce(o.F, 0, nullptr, 0).Seen(), "1 call, error 0, 0 at 0 on a worker")
        << "needs no buffer";
    AsyncFile_Close(o.F);
    EXPECT_EQ(ReadFile(dir.file("ten")), "0123456789");
}

TEST(AsyncFile, TransferErrorsReachTheCallback) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "abcdef"));
    {
        Opened readOnly(dir.file("f"), FILE_READ);
        EXPECT_EQ(WriteOnce(readOnly.F, 0, "zz", 2).Seen(), "1 call, error 9, 0 at 0 on a worker");
        Opened writeOnly(dir.file("f"), FILE_WRITE | FILE_APPEND);
        char b[4];
        EXPECT_EQ(ReadOnce(writeOnly.F, 0, b, 4).error, EBADF);
    }
    EXPECT_EQ(ReadFile(dir.file("f")), "abcdef");
}

TEST(AsyncFile, AFileThatVanishesOrShrinksStaysReadable) {
    TempDir dir;
    const std::string path = dir.file("gone");
    ASSERT_TRUE(WriteText(path, "persistent content"));
    Opened o(path, FILE_READ | FILE_SHARED);
    ASSERT_EQ(unlink(path.c_str()), 0);
    char buffer[32] = {};
    Request r = ReadOnce(o.F, 0, buffer, 10);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(std::string(buffer, r.transferred), "persistent");
    // The size is that of the file held open, not of whatever the path names now.
    ASSERT_TRUE(WriteText(path, "x"));
    EXPECT_EQ(SizeOf(o.F), "1:18");
    // Shrunk by someone else: the read ends at the new end, without an error.
    ASSERT_TRUE(WriteText(dir.file("shrinks"), "0123456789"));
    Opened s(dir.file("shrinks"), FILE_READ);
    ASSERT_EQ(truncate(dir.file("shrinks").c_str(), 4), 0);
    r = ReadOnce(s.F, 2, buffer, 8);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(std::string(buffer, r.transferred), "23");
}

TEST(AsyncFile, CloseReturnsOnlyAfterEveryIssuedTransfer) {
    TempDir dir;
    constexpr int32_t kRequests = 200;
    constexpr uint32_t kSize = 32768;
    const std::vector<uint8_t> data = Data(7, (size_t)kRequests * kSize);
    for (int32_t round = 0; round < 3; round++) {
        const std::string path = dir.file("c" + std::to_string(round));
        AsyncFile* f = Created(AsyncFile_Create);
        ASSERT_EQ(AsyncFile_Open(f, path.c_str(), FILE_WRITE), 1);
        Waiter w;
        std::vector<Request> requests(kRequests);
        for (int32_t i = 0; i < kRequests; i++) {
            requests[i].waiter = &w;
            AsyncFile_Write(f, (uint64_t)i * kSize, data.data() + (size_t)i * kSize, kSize, &requests[i],
                            Record);
        }
        ASSERT_EQ(AsyncFile_Close(f), 1);
        EXPECT_EQ(AsyncFile_IsOpen(f), 0);
        // Every byte is in the file when Close returns, callbacks or not.
        EXPECT_TRUE(ReadFile(path) == std::string(data.begin(), data.end()));
        // The owner lets go at once; the callbacks still running keep the object alive.
        AsyncFile_Release(&f);
        EXPECT_EQ(f, nullptr);
        ASSERT_TRUE(w.WaitFor(kRequests));
        for (const Request& r : requests) EXPECT_EQ(std::pair(r.calls, r.error), std::pair(1, 0));
    }
}

// Each completion issues the next write until the file stops taking them.
struct Chain {
    Waiter* waiter;
    std::vector<uint8_t>* data;
    std::atomic<int32_t> completions{0}, written{0}, lastError{0}, onOtherThreads{0};
    uint32_t block;  // bytes per write
    uint64_t stride; // from one write of the chain to its next
};

int64_t ChainStep(AsyncFile* file, void* user, uint64_t offset, void*, uint32_t transferred, int32_t error) {
    auto* c = static_cast<Chain*>(user);
    c->completions.fetch_add(1);
    if (!OnWorkerThread()) c->onOtherThreads.fetch_add(1);
    if (error != 0 || transferred != c->block) {
        c->lastError.store(error);
        c->waiter->Done();
        return 1;
    }
    c->written.fetch_add(1);
    const uint64_t next = offset + c->stride;
    if (next + c->block > c->data->size()) {
        c->waiter->Done();
        return 1;
    }
    AsyncFile_Write(file, next, c->data->data() + next, c->block, c, ChainStep);
    return 1;
}

TEST(AsyncFile, ClosingWhileCallbacksIssueMoreEndsEveryChainCleanly) {
    TempDir dir;
    constexpr int32_t kChains = 8;
    constexpr uint32_t kBlock = 32768;
    std::vector<uint8_t> data = Data(3, (size_t)kBlock * 512);
    AsyncFile* f = Created(AsyncFile_Create);
    ASSERT_EQ(AsyncFile_Open(f, dir.file("chain").c_str(), FILE_WRITE), 1);
    Waiter ended;
    std::vector<Chain> chains(kChains);
    // Chain k writes blocks k, k + kChains, ...: together they fill the file from the start.
    for (int32_t k = 0; k < kChains; k++) {
        chains[k].waiter = &ended;
        chains[k].data = &data;
        chains[k].block = kBlock;
        chains[k].stride = (uint64_t)kBlock * kChains;
        AsyncFile_Write(f, (uint64_t)k * kBlock, data.data() + (size_t)k * kBlock, kBlock, &chains[k],
                        ChainStep);
    }
    // Let the chains run a little, then close under them.
    while (chains[0].written.load() < 3 && ended.Count() == 0) std::this_thread::yield();
    ASSERT_EQ(AsyncFile_Close(f), 1);
    ASSERT_TRUE(ended.WaitFor(kChains));
    const std::string back = ReadFile(dir.file("chain"));
    for (int32_t k = 0; k < kChains; k++) {
        const Chain& c = chains[k];
        // Every completion ran once: the written ones plus the one that ended the chain.
        EXPECT_EQ(c.completions.load(), c.written.load() + (c.lastError.load() ? 1 : 0)) << k;
        EXPECT_TRUE(c.lastError.load() == 0 || c.lastError.load() == EBADF) << c.lastError.load();
        EXPECT_EQ(c.onOtherThreads.load(), 0);
        // What a chain wrote before the close is in the file, whole.
        for (int32_t i = 0; i < c.written.load(); i++) {
            const uint64_t at = (uint64_t)k * kBlock + (uint64_t)i * c.stride;
            ASSERT_LE(at + kBlock, back.size());
            EXPECT_EQ(memcmp(back.data() + at, data.data() + at, kBlock), 0) << k << " " << i;
        }
    }
    AsyncFile_Release(&f);
}

TEST(AsyncFile, RequestsOnAClosedFileCompleteWithBadDescriptorOnAWorker) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("closed"), "data"));
    Opened o(dir.file("closed"), FILE_READ | FILE_WRITE);
    ASSERT_EQ(AsyncFile_Close(o.F), 1);
    EXPECT_EQ(AsyncFile_Close(o.F), 1) << "closing a closed file";
    char buffer[4] = {'.', '.', '.', '.'};
    EXPECT_EQ(ReadOnce(o.F, 0, buffer, 4).Seen(), "1 call, error 9, 0 at 0 on a worker");
    EXPECT_EQ(buffer[0], '.');
    EXPECT_EQ(WriteOnce(o.F, 0, "ZZZZ", 4).Seen(), "1 call, error 9, 0 at 0 on a worker");
    EXPECT_EQ(ReadFile(dir.file("closed")), "data");
    // The object opens again after a close.
    ASSERT_EQ(AsyncFile_Open(o.F, dir.file("closed").c_str(), FILE_READ), 1);
    EXPECT_EQ(ReadOnce(o.F, 1, buffer, 3).transferred, 3u);
    EXPECT_EQ(std::string(buffer, 3), "ata");
}

// A callback that holds its request until released.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false, entered = false;
};

int64_t HoldUntilOpen(AsyncFile*, void* user, uint64_t, void*, uint32_t, int32_t) {
    auto* g = static_cast<Gate*>(user);
    std::unique_lock<std::mutex> lock(g->m);
    g->entered = true;
    g->cv.notify_all();
    g->cv.wait(lock, [g] { return g->open; });
    return 1;
}

TEST(AsyncFile, PendingCountsCoverARequestUntilItsCallbackHasRun) {
    TempDir dir;
    Opened o(dir.file("p"), FILE_READ | FILE_WRITE);
    auto pending = [&] { return std::pair(AsyncFile_HasPendingReads(o.F), AsyncFile_HasPendingWrites(o.F)); };
    EXPECT_EQ(pending(), std::pair(0L, 0L));
    for (bool write : {true, false}) {
        Gate g;
        char buffer[3] = {'a', 'b', 'c'};
        if (write)
            AsyncFile_Write(o.F, 0, buffer, 3, &g, HoldUntilOpen);
        else
            AsyncFile_Read(o.F, 0, buffer, 3, &g, HoldUntilOpen);
        {
            std::unique_lock<std::mutex> lock(g.m);
            ASSERT_TRUE(g.cv.wait_for(lock, std::chrono::seconds(60), [&] { return g.entered; }));
        }
        EXPECT_EQ(pending(), std::pair(write ? 0L : 1L, write ? 1L : 0L));
        // Close does not wait for callbacks: the transfer is over.
        if (!write) {
            EXPECT_EQ(AsyncFile_Close(o.F), 1);
        }
        {
            std::lock_guard<std::mutex> lock(g.m);
            g.open = true;
            g.cv.notify_all();
        }
        StepUntil([&] { return pending() == std::pair(0L, 0L); },
                  [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }, 60);
        EXPECT_EQ(pending(), std::pair(0L, 0L)) << write;
    }
}

TEST(AsyncFile, UnbufferedFilesKeepTheirData) {
    TempDir dir;
    const std::vector<uint8_t> data = Data(11, 3 * (1u << 20) + 77);
    {
        Opened o(dir.file("nobuf"), FILE_WRITE | FILE_NOBUFFER);
        EXPECT_EQ(WriteOnce(o.F, 0, data.data(), (uint32_t)data.size()).transferred, data.size());
    }
    Opened o(dir.file("nobuf"), FILE_READ | FILE_NOBUFFER);
    std::vector<uint8_t> back(data.size());
    EXPECT_EQ(ReadOnce(o.F, 0, back.data(), (uint32_t)back.size()).transferred, data.size());
    EXPECT_TRUE(back == data);
}

struct StreamDone {
    Waiter* waiter;
    void* handle = nullptr;
    uint32_t transferred = 0;
    int32_t error = -1;
};

int64_t StreamCompleted(void* handle, void* user, uint64_t, void*, uint32_t transferred, int32_t error) {
    auto* d = static_cast<StreamDone*>(user);
    d->handle = handle;
    d->transferred = transferred;
    d->error = error;
    d->waiter->Done();
    return 1;
}

TEST(AsyncFile, ServesAsAStreamWithTheAsynchronousSlots) {
    TempDir dir;
    Opened o;
    Stream* s = nullptr;
    ASSERT_EQ(AsyncFile_GetStreamHandle(o.F, &s), 1);
    EXPECT_EQ(Stream_IsOpen(s), 0);
    ASSERT_EQ(AsyncFile_Open(o.F, dir.file("s").c_str(), FILE_READ | FILE_WRITE), 1);
    EXPECT_EQ(Stream_IsOpen(s), 1);
    Waiter w;
    StreamDone wrote{&w}, read{&w}, late{&w};
    ASSERT_EQ(Stream_WriteAsync(s, 0, "stream!", 7, &wrote, StreamCompleted), 1);
    ASSERT_TRUE(w.WaitFor(1));
    EXPECT_EQ(wrote.handle, o.F);
    EXPECT_EQ(std::pair(wrote.transferred, wrote.error), std::pair(7u, 0));
    char buffer[8] = {};
    ASSERT_EQ(Stream_ReadAsync(s, 1, buffer, 6, &read, StreamCompleted), 1);
    ASSERT_TRUE(w.WaitFor(2));
    EXPECT_EQ(std::string(buffer, read.transferred), "tream!");
    EXPECT_EQ(Stream_Seek(s, 3, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(TellOf(o.F), "1@3");
    EXPECT_EQ(Stream_Close(s), 1);
    EXPECT_EQ(Stream_IsOpen(s), 0);
    ASSERT_EQ(Stream_ReadAsync(s, 0, buffer, 2, &late, StreamCompleted), 1);
    ASSERT_TRUE(w.WaitFor(3));
    EXPECT_EQ(late.error, EBADF);
}

TEST(AsyncFile, SeekTellTruncateAndSize) {
    TempDir dir;
    const std::string path = dir.file("sync");
    ASSERT_TRUE(WriteText(path, "0123456789"));
    Opened o(path, FILE_READ | FILE_WRITE);
    const struct {
        int64_t offset;
        SeekOrigin origin;
        int64_t ok;
        const char* tell;
    } seeks[] = {{4, SEEK_ORIGIN_BEGIN, 1, "1@4"},
                 {2, SEEK_ORIGIN_CURRENT, 1, "1@6"},
                 {-1, SEEK_ORIGIN_END, 1, "1@9"},
                 {-100, SEEK_ORIGIN_BEGIN, 0, "1@9"},
                 {0, 7, 0, "1@9"}};
    for (const auto& c : seeks) {
        EXPECT_EQ(AsyncFile_Seek(o.F, c.offset, c.origin), c.ok);
        EXPECT_EQ(AsyncFile_GetLastError(o.F) != 0, c.ok == 0) << c.offset;
        EXPECT_EQ(TellOf(o.F), c.tell);
    }
    EXPECT_EQ(AsyncFile_TruncateAt(o.F, 4), 1);
    EXPECT_EQ(SizeOf(o.F), "1:4");
    EXPECT_EQ(TellOf(o.F), "1@9") << "the position stays where it was";
    EXPECT_EQ(AsyncFile_TruncateAt(o.F, 20), 1);
    struct stat info;
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 20);
    EXPECT_EQ(AsyncFile_EnableSparseMode(o.F), 0);
    AsyncFile_Close(o.F);
    // Closed: the path still answers the size; the descriptor operations fail with EBADF.
    EXPECT_EQ(SizeOf(o.F), "1:20");
    EXPECT_EQ(TellOf(o.F), "0@0");
    EXPECT_EQ(AsyncFile_GetLastError(o.F), E(EBADF));
    EXPECT_EQ(AsyncFile_Seek(o.F, 0, SEEK_ORIGIN_BEGIN), 0);
    {
        LogCapture log;
        EXPECT_EQ(AsyncFile_TruncateAt(o.F, 0), 0);
        EXPECT_NE(log.Text().find("Unable to truncate file [" + path + "] [100009:000186A9]\n"),
                  std::string::npos)
            << log.Text();
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(SizeOf(o.F), "0:0");
    EXPECT_TRUE(Platform_ErrorMissing(AsyncFile_GetLastError(o.F)));
}

TEST(AsyncFile, TruncationThatFailsFailsTheOpen) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("keep"), "content"));
    Opened o;
    // A read-only descriptor cannot be cut: the open must not claim an emptied file.
    EXPECT_EQ(AsyncFile_Open(o.F, dir.file("keep").c_str(), FILE_READ | FILE_TRUNCATE), 0);
    EXPECT_NE(AsyncFile_GetLastError(o.F), 0);
    EXPECT_EQ(AsyncFile_IsOpen(o.F), 0);
    EXPECT_EQ(ReadFile(dir.file("keep")), "content");
}

TEST(AsyncFile, TimesAttributesAndRename) {
    TempDir dir;
    const std::string path = dir.file(".hidden");
    ASSERT_TRUE(WriteText(path, "abc"));
    Opened o(path, FILE_READ | FILE_WRITE);
    const EncodedTime when = 1600000000.0; // 2020-09-13 12:26:40 UTC
    EXPECT_EQ(AsyncFile_SetModifiedTime(o.F, when), 1);
    EncodedTime got = 0;
    EXPECT_EQ(AsyncFile_GetModifiedTime(o.F, &got), 1);
    EXPECT_EQ(got, when);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, (time_t)1600000000);
    EXPECT_EQ(AsyncFile_GetCreationTime(o.F, &got), 1);
    EXPECT_GT(got, 0.0);
    // A time that has no calendar form is refused with the invalid-argument code.
    EXPECT_EQ(AsyncFile_SetModifiedTime(o.F, 1e300), 0);
    EXPECT_EQ(AsyncFile_GetLastError(o.F), E(EINVAL));
    PlatformFileAttributes attributes = 0;
    EXPECT_EQ(AsyncFile_GetAttributes(o.F, &attributes), 1);
    EXPECT_EQ(attributes & (PLATFORM_FILE_ATTRIBUTE_HIDDEN | PLATFORM_FILE_ATTRIBUTE_EXECUTABLE),
              PLATFORM_FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(AsyncFile_SetAttributes(o.F, PLATFORM_FILE_ATTRIBUTE_EXECUTABLE), 1);
    EXPECT_EQ(AsyncFile_GetAttributes(o.F, &attributes), 1);
    EXPECT_EQ(attributes & PLATFORM_FILE_ATTRIBUTE_EXECUTABLE, PLATFORM_FILE_ATTRIBUTE_EXECUTABLE);

    // Renamed while open: the transfers follow the file, the stored path is the new one.
    const std::string target = dir.file("renamed");
    ASSERT_TRUE(WriteText(target, "old target"));
    EXPECT_EQ(AsyncFile_Rename(o.F, target.c_str()), 1);
    EXPECT_EQ(PathOf(o.F), target);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(WriteOnce(o.F, 3, "def", 3).error, 0);
    EXPECT_EQ(SizeOf(o.F), "1:6");
    AsyncFile_Close(o.F);
    EXPECT_EQ(ReadFile(target), "abcdef");
    // A new path that does not fit is refused before anything moves.
    EXPECT_EQ(AsyncFile_Rename(o.F, (dir.path() + "/" + std::string(330, 'r')).c_str()), 0);
    EXPECT_EQ(AsyncFile_GetLastError(o.F), E(ENAMETOOLONG));
    EXPECT_TRUE(FileExists(target));
    EXPECT_EQ(PathOf(o.F), target);
    // Missing source.
    ASSERT_EQ(unlink(target.c_str()), 0);
    EXPECT_EQ(AsyncFile_Rename(o.F, dir.file("again").c_str()), 0);
    EXPECT_TRUE(Platform_ErrorMissing(AsyncFile_GetLastError(o.F)));
    EncodedTime none = 5;
    EXPECT_EQ(AsyncFile_GetModifiedTime(o.F, &none), 0);
    EXPECT_EQ(none, 0.0);
}

TEST(AsyncFile, UseMovesTheLastUsedTime) {
    Opened o;
    double first = 0, later = 0;
    AsyncFile_GetLastUsedTime(o.F, &first);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    AsyncFile_EnableSparseMode(o.F);
    AsyncFile_GetLastUsedTime(o.F, &later);
    EXPECT_GT(later, first);
}

// A release clears the caller's handle even when references remain, and answers those left.
TEST(AsyncFile, OpenFilesHoldAReferenceUntilTheirChannelIsGone) {
    TempDir dir;
    AsyncFile* f = Created(AsyncFile_Create);
    AsyncFile* other = AsyncFile_AddRef(f);
    EXPECT_EQ(other, f);
    EXPECT_EQ(AsyncFile_Release(&other), 1u);
    EXPECT_EQ(other, nullptr);
    ASSERT_EQ(AsyncFile_Open(f, dir.file("r").c_str(), FILE_WRITE), 1);
    AsyncFile* keep = AsyncFile_AddRef(f);
    EXPECT_EQ(AsyncFile_Release(&f), 2u) << "the extra reference and the channel's";
    EXPECT_EQ(f, nullptr);
    AsyncFile_Close(keep);
    AsyncFile_Release(&keep); // the channel's reference goes with its cleanup on a worker
}

TEST(AsyncFile, RemoveRefusesWhileFilesAreOpenAndDrainsTheQueue) {
    TempDir dir;
    AsyncFile* f = Created(AsyncFile_Create);
    ASSERT_EQ(AsyncFile_Open(f, dir.file("m").c_str(), FILE_WRITE), 1);
    {
        LogCapture log;
        EXPECT_EQ(AsyncFile_Remove(), 0);
        EXPECT_NE(log.Text().find("Asynchronous files still open (1)"), std::string::npos) << log.Text();
    }
    // Still working after the refusal.
    constexpr int32_t kRequests = 64;
    std::vector<uint8_t> data(4096, 0x5A);
    Waiter w;
    std::vector<Request> requests(kRequests);
    for (int32_t i = 0; i < kRequests; i++) {
        requests[i].waiter = &w;
        AsyncFile_Write(f, (uint64_t)i * data.size(), data.data(), (uint32_t)data.size(), &requests[i],
                        Record);
    }
    AsyncFile_Close(f);
    AsyncFile_Release(&f);
    // Removal runs whatever is still posted before it returns.
    EXPECT_EQ(AsyncFile_Remove(), 1);
    EXPECT_EQ(w.Count(), kRequests);
    for (const Request& r : requests) EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(AsyncFile_Remove(), 1) << "nothing left to remove";
    ASSERT_EQ(AsyncFile_Init(), 1);
    EXPECT_EQ(ReadFile(dir.file("m")).size(), (size_t)kRequests * data.size());
}

} // namespace

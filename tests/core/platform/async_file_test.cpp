// Tests of the asynchronous files: open modes, completions on the worker threads (once each, with
// the bytes intact under many concurrent requests over many files), close against requests in
// flight, bad requests, the synchronous operations and the module's start and removal.
#include "core/platform/async_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_error.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/meter.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
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

constexpr int32_t kEBADF = 9;
constexpr int32_t kEINVAL = 22;

// A pattern that differs at every position and between files, so that a byte written to the
// wrong place or file shows.
uint8_t PatternByte(uint32_t seed, uint64_t position) {
    uint64_t x = (position + 1) * 0x9E3779B97F4A7C15ull ^ ((uint64_t)seed << 32);
    x ^= x >> 29;
    return (uint8_t)(x ^ (x >> 8));
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
    std::thread::id thread;
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
    r->thread = std::this_thread::get_id();
    r->calls++;
    if (r->waiter) r->waiter->Done();
    return 1;
}

// An open file with its object; closed and released at the end.
struct Opened {
    AsyncFile* F = nullptr;
    Opened() { AsyncFile_Create(&F); }
    ~Opened() {
        if (F) {
            AsyncFile_Close(F);
            AsyncFile_Release(&F);
        }
    }
};

// One request, waited for.
Request ReadOnce(AsyncFile* f, uint64_t offset, void* buffer, uint32_t size) {
    Waiter w;
    Request r;
    r.waiter = &w;
    EXPECT_EQ(AsyncFile_Read(f, offset, buffer, size, &r, Record), 1);
    EXPECT_TRUE(w.WaitFor(1));
    r.waiter = nullptr;
    return r;
}

Request WriteOnce(AsyncFile* f, uint64_t offset, const void* buffer, uint32_t size) {
    Waiter w;
    Request r;
    r.waiter = &w;
    EXPECT_EQ(AsyncFile_Write(f, offset, buffer, size, &r, Record), 1);
    EXPECT_TRUE(w.WaitFor(1));
    r.waiter = nullptr;
    return r;
}

uint64_t SizeOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (uint64_t)info.st_size : UINT64_MAX;
}

// ---- Opening -------------------------------------------------------------------------------------

TEST(AsyncFile, OpenModesOnExistingAndMissingFiles) {
    TempDir dir;
    struct Case {
        const char* name;
        FileOpenFlags flags;
        bool exists;
        bool opens;
        const char* contentAfter; // null: the file does not exist afterwards
        uint64_t position;        // Tell after the open
    } cases[] = {
        {"read", FILE_READ | FILE_SHARED, true, true, "0123456789", 0},
        {"read-missing", FILE_READ | FILE_SHARED, false, false, nullptr, 0},
        {"write-only empties", FILE_WRITE, true, true, "", 0},
        {"write-truncate", FILE_WRITE | FILE_TRUNCATE, true, true, "", 0},
        {"write-only creates", FILE_WRITE, false, true, "", 0},
        // An append never empties: neither write-only nor read-write.
        {"write-append keeps", FILE_WRITE | FILE_APPEND, true, true, "0123456789", 10},
        {"read-write-append keeps", FILE_READ | FILE_WRITE | FILE_APPEND, true, true, "0123456789", 10},
        {"read-write-append never creates", FILE_READ | FILE_WRITE | FILE_APPEND, false, false, nullptr, 0},
        {"read-write keeps", FILE_READ | FILE_WRITE, true, true, "0123456789", 0},
        {"read-write creates", FILE_READ | FILE_WRITE, false, true, "", 0},
        // Emptied first, so the append position is the new end.
        {"append-truncate", FILE_READ | FILE_WRITE | FILE_APPEND | FILE_TRUNCATE, true, true, "", 0},
        {"write-append creates", FILE_WRITE | FILE_APPEND, false, true, "", 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("f" + std::to_string(n++));
        if (c.exists) {
            ASSERT_TRUE(WriteText(path, "0123456789"));
        }
        Opened o;
        EXPECT_EQ(AsyncFile_Open(o.F, path.c_str(), c.flags), c.opens ? 1 : 0);
        EXPECT_EQ(AsyncFile_IsOpen(o.F), c.opens ? 1 : 0);
        if (!c.opens) {
            EXPECT_TRUE(Platform_ErrorMissing(AsyncFile_GetLastError(o.F)));
        }
        uint64_t position = 99;
        EXPECT_EQ(AsyncFile_Tell(o.F, &position), c.opens ? 1 : 0);
        EXPECT_EQ(position, c.position);
        FileOpenFlags flags = 0;
        AsyncFile_GetOpenFlags(o.F, &flags);
        EXPECT_EQ(flags, c.flags);
        AsyncFile_Close(o.F);
        if (c.contentAfter)
            EXPECT_EQ(ReadFile(path), c.contentAfter);
        else
            EXPECT_FALSE(FileExists(path));
    }
}

TEST(AsyncFile, AppendWritesAtAbsoluteOffsetsAfterTheOldEnd) {
    TempDir dir;
    const std::string path = dir.file("log");
    ASSERT_TRUE(WriteText(path, "head:"));
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_WRITE | FILE_APPEND), 1);
    uint64_t end = 0;
    ASSERT_EQ(AsyncFile_Tell(o.F, &end), 1);
    ASSERT_EQ(end, 5u);
    Request r = WriteOnce(o.F, end, "tail", 4);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.transferred, 4u);
    // Offsets stay absolute: a write at 0 lands at the start, not after the append position.
    EXPECT_EQ(WriteOnce(o.F, 0, "H", 1).error, 0);
    AsyncFile_Close(o.F);
    EXPECT_EQ(ReadFile(path), "Head:tail");
}

TEST(AsyncFile, OpenFailuresAreLoggedUnlessQuietAndMissing) {
    TempDir dir;
    const std::string missing = dir.file("none");
    {
        LogCapture log;
        Opened o;
        EXPECT_EQ(AsyncFile_Open(o.F, missing.c_str(), FILE_READ | FILE_SHARED), 0);
        const int32_t e = PLATFORM_ERROR_ERRNO_BASE + ENOENT;
        EXPECT_EQ(AsyncFile_GetLastError(o.F), e);
        EXPECT_NE(log.Text().find("Unable to open file [" + missing + "][00000000](100002 : 000186A2)\n"),
                  std::string::npos)
            << log.Text();
    }
    {
        LogCapture log;
        Opened o;
        EXPECT_EQ(AsyncFile_Open(o.F, missing.c_str(), 161), 0);
        EXPECT_EQ(AsyncFile_GetLastError(o.F), PLATFORM_ERROR_ERRNO_BASE + ENOENT);
        EXPECT_EQ(log.Text().find("Unable to open file"), std::string::npos) << log.Text();
    }
    {
        // Quiet only covers a missing file: a directory is no file and is reported.
        LogCapture log;
        Opened o;
        EXPECT_EQ(AsyncFile_Open(o.F, dir.path().c_str(), FILE_READ | FILE_QUIET), 0);
        EXPECT_EQ(AsyncFile_GetLastError(o.F), PLATFORM_ERROR_ERRNO_BASE + EISDIR);
        EXPECT_NE(log.Text().find("Unable to open file [" + dir.path() + "]"), std::string::npos)
            << log.Text();
        EXPECT_EQ(AsyncFile_IsOpen(o.F), 0);
    }
}

TEST(AsyncFile, RetriesAndTheObjectStaysReusable) {
    TempDir dir;
    const std::string good = dir.file("good");
    ASSERT_TRUE(WriteText(good, "ok"));
    struct Case {
        int32_t retries;
        int32_t error;
    } cases[] = {
        {0, PLATFORM_ERROR_ERRNO_BASE + EINVAL}, // no attempt at all
        {1, PLATFORM_ERROR_ERRNO_BASE + EISDIR}, // one attempt, no pause
        {2, PLATFORM_ERROR_ERRNO_BASE + EISDIR}, // a directory refuses every write open
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.retries);
        Opened o;
        ASSERT_EQ(AsyncFile_SetRetries(o.F, c.retries), 1);
        int32_t retries = -5;
        AsyncFile_GetRetries(o.F, &retries);
        EXPECT_EQ(retries, c.retries);
        EXPECT_EQ(AsyncFile_Open(o.F, dir.path().c_str(), FILE_WRITE), 0);
        EXPECT_EQ(AsyncFile_GetLastError(o.F), c.error);
        if (c.retries > 0) {
            // A failed open leaves the object closed and ready for another.
            EXPECT_EQ(AsyncFile_Open(o.F, good.c_str(), FILE_READ), 1);
            EXPECT_EQ(AsyncFile_GetLastError(o.F), 0);
        }
    }
}

TEST(AsyncFile, DirectoriesForNewFiles) {
    TempDir dir;
    const std::string deep = dir.file("a/b/c/new.bin");
    {
        Opened o;
        ASSERT_EQ(AsyncFile_Open(o.F, deep.c_str(), FILE_WRITE), 1);
    }
    EXPECT_TRUE(FileExists(deep));
    const std::string other = dir.file("x/y/new.bin");
    Opened o;
    AsyncFile_SetAutoCreateDirectories(o.F, 0);
    uint32_t on = 7;
    AsyncFile_GetAutoCreateDirectories(o.F, &on);
    EXPECT_EQ(on, 0u);
    EXPECT_EQ(AsyncFile_Open(o.F, other.c_str(), FILE_WRITE), 0);
    EXPECT_FALSE(FileExists(dir.file("x")));
}

TEST(AsyncFile, PathsAreResolvedAndNeverCut) {
    TempDir dir;
    const char* oldHome = getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", dir.path().c_str(), 1);
    {
        Opened o;
        EXPECT_EQ(AsyncFile_Open(o.F, "~\\sub//name.txt", FILE_WRITE), 1);
        char path[400] = "";
        AsyncFile_GetPath(o.F, path, sizeof(path));
        EXPECT_EQ(std::string(path), dir.file("sub/name.txt"));
        char small[5] = "";
        AsyncFile_GetPath(o.F, small, sizeof(small));
        EXPECT_EQ(std::string(small), dir.path().substr(0, 4));
    }
    if (oldHome)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
    EXPECT_TRUE(FileExists(dir.file("sub/name.txt")));

    // A path longer than the stored path is refused rather than cut to another file's name.
    std::string longPath = dir.path() + "/" + std::string(330, 'n');
    const std::string cutName = longPath.substr(0, ASYNC_FILE_PATH_SIZE - 1);
    Opened o;
    EXPECT_EQ(AsyncFile_Open(o.F, longPath.c_str(), FILE_WRITE), 0);
    EXPECT_EQ(AsyncFile_GetLastError(o.F), PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG);
    EXPECT_FALSE(FileExists(cutName));
}

TEST(AsyncFile, CallerErrorsStopTheProcess) {
    // Each statement runs again in a child process that does not return: the paths are fixed
    // ones, so that the child leaves nothing behind.
    const std::string path = "/dev/null";
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AsyncFile_Init();
        },
        AbortRegex("Assertion failed (GlobalAsyncFile == NULL)\nAsyncFile already initialized"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AsyncFile* f = nullptr;
            AsyncFile_Create(&f);
            AsyncFile_Open(f, path.c_str(), FILE_SHARED);
        },
        AbortRegex("Unknown mode [32]\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AsyncFile* f = nullptr;
            AsyncFile_Create(&f);
            // A path that is the same in the child that runs this statement.
            AsyncFile_Open(f, "/dev/null", FILE_READ);
            AsyncFile_Open(f, "/tmp/other", FILE_READ);
        },
        AbortRegex(
            "Assertion failed (AsyncFile->Handle == -1)\nPrevious file [/dev/null] must be closed before "
            "opening [/tmp/other]\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AsyncFile* f = nullptr;
            AsyncFile_Create(&f);
            char b[4];
            AsyncFile_Read(f, 0, b, 4, nullptr, Record);
        },
        AbortRegex("Assertion failed (AsyncFile->Handle != -1)\nAttempted to use an invalid handle"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AsyncFile* f = nullptr;
            AsyncFile_Create(&f);
            AsyncFile_Open(f, path.c_str(), FILE_READ);
            char b[4];
            AsyncFile_Read(f, 0, b, 4, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AsyncFile* f = nullptr;
            AsyncFile_Create(&f);
            AsyncFile_Open(f, path.c_str(), FILE_READ);
            AsyncFile_Write(f, 0, nullptr, 4, nullptr, Record);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AsyncFile_Remove();
            AsyncFile* f = nullptr;
            AsyncFile_Create(&f);
            AsyncFile_Open(f, path.c_str(), FILE_READ);
        },
        AbortRegex("Assertion failed (GlobalAsyncFile != NULL)\nAsyncFile not initialized"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            alignas(16) static char notAFile[128] = {};
            AsyncFile_IsOpen(reinterpret_cast<AsyncFile*>(notAFile));
        },
        "Class mismatch pointer");
}

// ---- Transfers -----------------------------------------------------------------------------------

TEST(AsyncFile, ManyConcurrentRequestsOverManyFilesKeepEveryByte) {
    TempDir dir;
    constexpr int32_t kFiles = 6;
    constexpr int32_t kIssuers = 4;
    constexpr int32_t kBlocks = 48;
    // Odd sizes, so that blocks straddle the transfer slices and pages.
    auto blockSize = [](int32_t block) { return (uint32_t)(4096 * (block % 5) + 1000 + 37 * block); };
    std::vector<uint64_t> offsets(kBlocks + 1, 0);
    for (int32_t b = 0; b < kBlocks; b++) offsets[b + 1] = offsets[b] + blockSize(b);
    // One block far larger than a slice, so that one request is carried by several transfers.
    const uint32_t bigSize = 3 * (1u << 20) + 12345;
    const uint64_t total = offsets[kBlocks] + bigSize;

    std::vector<AsyncFile*> files(kFiles);
    std::vector<std::vector<uint8_t>> data(kFiles);
    for (int32_t f = 0; f < kFiles; f++) {
        data[f].resize(total);
        for (uint64_t i = 0; i < total; i++) data[f][i] = PatternByte(f, i);
        ASSERT_EQ(AsyncFile_Create(&files[f]), 1);
        ASSERT_EQ(AsyncFile_Open(files[f], dir.file("data" + std::to_string(f)).c_str(), FILE_WRITE), 1);
    }

    const int32_t perFile = kBlocks + 1;
    Waiter written;
    std::vector<Request> writes(kFiles * perFile);
    for (Request& r : writes) r.waiter = &written;
    // Several threads issue at once, each a share of the blocks of every file, in scattered order.
    std::vector<std::thread> issuers;
    for (int32_t t = 0; t < kIssuers; t++) {
        issuers.emplace_back([&, t] {
            for (int32_t i = t; i < kFiles * perFile; i += kIssuers) {
                const int32_t f = i % kFiles;
                const int32_t b = (i / kFiles * 5) % perFile; // 5 and 49 are coprime
                const uint64_t offset = b < kBlocks ? offsets[b] : offsets[kBlocks];
                const uint32_t size = b < kBlocks ? blockSize(b) : bigSize;
                AsyncFile_Write(files[f], offset, data[f].data() + offset, size, &writes[f * perFile + b],
                                Record);
            }
        });
    }
    for (std::thread& t : issuers) t.join();
    ASSERT_TRUE(written.WaitFor(kFiles * perFile));

    const std::thread::id self = std::this_thread::get_id();
    for (int32_t f = 0; f < kFiles; f++) {
        for (int32_t b = 0; b < perFile; b++) {
            const Request& r = writes[f * perFile + b];
            SCOPED_TRACE(testing::Message() << "file " << f << " block " << b);
            ASSERT_EQ(r.calls, 1);
            EXPECT_EQ(r.file, files[f]);
            EXPECT_EQ(r.error, 0);
            EXPECT_EQ(r.transferred, b < kBlocks ? blockSize(b) : bigSize);
            EXPECT_EQ(r.offset, b < kBlocks ? offsets[b] : offsets[kBlocks]);
            EXPECT_EQ(r.buffer, data[f].data() + r.offset);
            EXPECT_TRUE(r.onWorker);
            EXPECT_NE(r.thread, self);
        }
        uint64_t read = 1, write = 0;
        AsyncFile_GetOverallUsage(files[f], &read, &write);
        EXPECT_EQ(read, 0u);
        EXPECT_EQ(write, total);
        AsyncFile_Close(files[f]);
        // Byte for byte, read back outside the module.
        const std::string back = ReadFile(dir.file("data" + std::to_string(f)));
        ASSERT_EQ(back.size(), total);
        EXPECT_EQ(memcmp(back.data(), data[f].data(), total), 0);
    }

    // Read back through the module: every file at once, blocks of a different cut.
    Waiter readDone;
    constexpr uint32_t kReadBlock = 70000;
    const int32_t readsPerFile = (int32_t)((total + kReadBlock - 1) / kReadBlock);
    std::vector<std::vector<uint8_t>> back(kFiles, std::vector<uint8_t>(total, 0xEE));
    std::vector<Request> reads(kFiles * readsPerFile);
    for (int32_t f = 0; f < kFiles; f++) {
        ASSERT_EQ(
            AsyncFile_Open(files[f], dir.file("data" + std::to_string(f)).c_str(), FILE_READ | FILE_SHARED),
            1);
        for (int32_t i = 0; i < readsPerFile; i++) {
            Request& r = reads[f * readsPerFile + i];
            r.waiter = &readDone;
            const uint64_t offset = (uint64_t)i * kReadBlock;
            const uint32_t size = (uint32_t)std::min<uint64_t>(kReadBlock, total - offset);
            AsyncFile_Read(files[f], offset, back[f].data() + offset, size, &r, Record);
        }
    }
    ASSERT_TRUE(readDone.WaitFor(kFiles * readsPerFile));
    for (int32_t f = 0; f < kFiles; f++) {
        for (int32_t i = 0; i < readsPerFile; i++) {
            const Request& r = reads[f * readsPerFile + i];
            ASSERT_EQ(r.calls, 1);
            EXPECT_EQ(r.error, 0);
            EXPECT_EQ(r.transferred,
                      (uint32_t)std::min<uint64_t>(kReadBlock, total - (uint64_t)i * kReadBlock));
        }
        EXPECT_EQ(memcmp(back[f].data(), data[f].data(), total), 0) << "file " << f;
        uint64_t read = 0, write = 0;
        AsyncFile_GetOverallUsage(files[f], &read, &write);
        EXPECT_EQ(read, total);
        AsyncFile_Close(files[f]);
        AsyncFile_Release(&files[f]);
    }
}

TEST(AsyncFile, OverlappingWritesLandInTheOrderTheyWereIssued) {
    TempDir dir;
    const std::string path = dir.file("order");
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_WRITE), 1);
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
    EXPECT_EQ(ReadFile(path), texts.back());
    for (const Request& r : requests) EXPECT_EQ(r.calls, 1);
}

TEST(AsyncFile, ReadsAtAndPastTheEndAndZeroLengthRequests) {
    TempDir dir;
    const std::string path = dir.file("ten");
    ASSERT_TRUE(WriteText(path, "0123456789"));
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_WRITE), 1);
    struct Case {
        const char* name;
        bool write;
        uint64_t offset;
        uint32_t size;
        uint32_t transferred;
        int32_t error;
        const char* bytes;
    } cases[] = {
        {"inside", false, 2, 3, 3, 0, "234"},
        {"straddles the end", false, 8, 6, 2, 0, "89"},
        {"at the end", false, 10, 4, 0, 0, ""},
        {"past the end", false, 1000, 4, 0, 0, ""},
        {"zero-length read", false, 3, 0, 0, 0, ""},
        {"zero-length write", true, 3, 0, 0, 0, ""},
        // Offsets beyond every file position are refused, never wrapped to small ones.
        {"offset beyond file positions", false, UINT64_MAX - 1, 4, 0, kEINVAL, ""},
        {"write beyond file positions", true, (uint64_t)INT64_MAX + 1, 4, 0, kEINVAL, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[16];
        memset(buffer, '.', sizeof(buffer));
        Request r =
            c.write ? WriteOnce(o.F, c.offset, "WXYZ", c.size) : ReadOnce(o.F, c.offset, buffer, c.size);
        EXPECT_EQ(r.calls, 1);
        EXPECT_EQ(r.transferred, c.transferred);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.offset, c.offset);
        EXPECT_TRUE(r.onWorker);
        if (!c.write) {
            EXPECT_EQ(std::string(buffer, c.transferred), c.bytes);
            EXPECT_EQ(buffer[c.transferred], '.'); // nothing beyond what was moved
        }
    }
    // A zero-length request needs no buffer.
    Request r = ReadOnce(o.F, 0, nullptr, 0);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.transferred, 0u);
    AsyncFile_Close(o.F);
    EXPECT_EQ(ReadFile(path), "0123456789");
}

TEST(AsyncFile, TransferErrorsReachTheCallback) {
    TempDir dir;
    const std::string path = dir.file("f");
    ASSERT_TRUE(WriteText(path, "abcdef"));
    {
        Opened o;
        ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ), 1);
        Request r = WriteOnce(o.F, 0, "zz", 2);
        EXPECT_EQ(r.error, kEBADF); // the descriptor is read-only
        EXPECT_EQ(r.transferred, 0u);
    }
    {
        Opened o;
        ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_WRITE | FILE_APPEND), 1);
        char b[4];
        Request r = ReadOnce(o.F, 0, b, 4);
        EXPECT_EQ(r.error, kEBADF); // write-only
    }
    EXPECT_EQ(ReadFile(path), "abcdef");
}

TEST(AsyncFile, AFileThatVanishesOrShrinksStaysReadable) {
    TempDir dir;
    const std::string path = dir.file("gone");
    ASSERT_TRUE(WriteText(path, "persistent content"));
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_SHARED), 1);
    ASSERT_EQ(unlink(path.c_str()), 0);
    char buffer[32] = {};
    Request r = ReadOnce(o.F, 0, buffer, 10);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(std::string(buffer, r.transferred), "persistent");
    // The size is that of the file held open, not of whatever the path names now.
    ASSERT_TRUE(WriteText(path, "x"));
    uint64_t size = 0;
    EXPECT_EQ(AsyncFile_GetFilesizeBytes(o.F, &size), 1);
    EXPECT_EQ(size, 18u);
    ASSERT_EQ(unlink(path.c_str()), 0);

    // Shrunk by someone else: the read ends at the new end, without an error.
    const std::string other = dir.file("shrinks");
    ASSERT_TRUE(WriteText(other, "0123456789"));
    Opened s;
    ASSERT_EQ(AsyncFile_Open(s.F, other.c_str(), FILE_READ), 1);
    ASSERT_EQ(truncate(other.c_str(), 4), 0);
    memset(buffer, 0, sizeof(buffer));
    r = ReadOnce(s.F, 2, buffer, 8);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(std::string(buffer, r.transferred), "23");
}

// ---- Close against requests --------------------------------------------------------------------

TEST(AsyncFile, CloseReturnsOnlyAfterEveryIssuedTransfer) {
    TempDir dir;
    constexpr int32_t kRequests = 200;
    constexpr uint32_t kSize = 32768;
    std::vector<uint8_t> data((size_t)kRequests * kSize);
    for (size_t i = 0; i < data.size(); i++) data[i] = PatternByte(7, i);
    for (int32_t round = 0; round < 3; round++) {
        const std::string path = dir.file("c" + std::to_string(round));
        AsyncFile* f = nullptr;
        AsyncFile_Create(&f);
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
        const std::string back = ReadFile(path);
        ASSERT_EQ(back.size(), data.size());
        EXPECT_EQ(memcmp(back.data(), data.data(), data.size()), 0);
        // The owner lets go at once; the callbacks still running keep the object alive.
        AsyncFile_Release(&f);
        EXPECT_EQ(f, nullptr);
        ASSERT_TRUE(w.WaitFor(kRequests));
        for (const Request& r : requests) {
            EXPECT_EQ(r.calls, 1);
            EXPECT_EQ(r.error, 0);
        }
    }
}

// Each completion issues the next write until the file stops taking them.
struct Chain {
    Waiter* waiter;
    std::vector<uint8_t>* data;
    std::atomic<int32_t> completions{0};
    std::atomic<int32_t> written{0}; // blocks written without error
    std::atomic<int32_t> lastError{0};
    std::atomic<int32_t> onOtherThreads{0};
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
    std::vector<uint8_t> data((size_t)kBlock * 512);
    for (size_t i = 0; i < data.size(); i++) data[i] = PatternByte(3, i);
    const std::string path = dir.file("chain");
    AsyncFile* f = nullptr;
    AsyncFile_Create(&f);
    ASSERT_EQ(AsyncFile_Open(f, path.c_str(), FILE_WRITE), 1);
    Waiter ended;
    std::vector<Chain> chains(kChains);
    // Chain k writes blocks k, k + kChains, ...: together they fill the file from the start.
    for (int32_t k = 0; k < kChains; k++) {
        chains[k].waiter = &ended;
        chains[k].data = &data;
        chains[k].block = kBlock;
        chains[k].stride = (uint64_t)kBlock * kChains;
    }
    for (int32_t k = 0; k < kChains; k++)
        AsyncFile_Write(f, (uint64_t)k * kBlock, data.data() + (size_t)k * kBlock, kBlock, &chains[k],
                        ChainStep);
    // Let the chains run a little, then close under them.
    while (chains[0].written.load() < 3 && ended.Count() == 0) std::this_thread::yield();
    ASSERT_EQ(AsyncFile_Close(f), 1);
    ASSERT_TRUE(ended.WaitFor(kChains));
    const std::string back = ReadFile(path);
    for (int32_t k = 0; k < kChains; k++) {
        const Chain& c = chains[k];
        SCOPED_TRACE(k);
        // Every completion ran once: the written ones plus the one that ended the chain.
        EXPECT_EQ(c.completions.load(), c.written.load() + (c.lastError.load() ? 1 : 0));
        EXPECT_TRUE(c.lastError.load() == 0 || c.lastError.load() == kEBADF) << c.lastError.load();
        EXPECT_EQ(c.onOtherThreads.load(), 0);
        // What a chain wrote before the close is in the file, whole.
        for (int32_t i = 0; i < c.written.load(); i++) {
            const uint64_t at = (uint64_t)k * kBlock + (uint64_t)i * c.stride;
            ASSERT_LE(at + kBlock, back.size());
            EXPECT_EQ(memcmp(back.data() + at, data.data() + at, kBlock), 0) << i;
        }
    }
    AsyncFile_Release(&f);
}

TEST(AsyncFile, RequestsOnAClosedFileCompleteWithBadDescriptorOnAWorker) {
    TempDir dir;
    const std::string path = dir.file("closed");
    ASSERT_TRUE(WriteText(path, "data"));
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_WRITE), 1);
    ASSERT_EQ(AsyncFile_Close(o.F), 1);
    EXPECT_EQ(AsyncFile_Close(o.F), 1); // closing a closed file
    char buffer[4] = {'.', '.', '.', '.'};
    Request r = ReadOnce(o.F, 0, buffer, 4);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.error, kEBADF);
    EXPECT_EQ(r.transferred, 0u);
    EXPECT_TRUE(r.onWorker);
    EXPECT_EQ(buffer[0], '.');
    r = WriteOnce(o.F, 0, "ZZZZ", 4);
    EXPECT_EQ(r.error, kEBADF);
    EXPECT_TRUE(r.onWorker);
    EXPECT_EQ(ReadFile(path), "data");
    // The object opens again after a close.
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ), 1);
    EXPECT_EQ(ReadOnce(o.F, 1, buffer, 3).transferred, 3u);
    EXPECT_EQ(std::string(buffer, 3), "ata");
}

// A callback that holds its request until released.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    bool entered = false;
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
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, dir.file("p").c_str(), FILE_READ | FILE_WRITE), 1);
    EXPECT_EQ(AsyncFile_HasPendingReads(o.F), 0);
    EXPECT_EQ(AsyncFile_HasPendingWrites(o.F), 0);
    for (bool write : {true, false}) {
        SCOPED_TRACE(write ? "write" : "read");
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
        EXPECT_EQ(AsyncFile_HasPendingWrites(o.F), write ? 1 : 0);
        EXPECT_EQ(AsyncFile_HasPendingReads(o.F), write ? 0 : 1);
        // Close does not wait for callbacks: the transfer is over.
        if (!write) {
            EXPECT_EQ(AsyncFile_Close(o.F), 1);
        }
        {
            std::lock_guard<std::mutex> lock(g.m);
            g.open = true;
            g.cv.notify_all();
        }
        for (int32_t i = 0; i < 60000 && (AsyncFile_HasPendingReads(o.F) || AsyncFile_HasPendingWrites(o.F));
             i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(AsyncFile_HasPendingWrites(o.F), 0);
        EXPECT_EQ(AsyncFile_HasPendingReads(o.F), 0);
    }
}

TEST(AsyncFile, UnbufferedFilesKeepTheirData) {
    TempDir dir;
    const std::string path = dir.file("nobuf");
    std::vector<uint8_t> data(3 * (1u << 20) + 77);
    for (size_t i = 0; i < data.size(); i++) data[i] = PatternByte(11, i);
    {
        Opened o;
        ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_WRITE | FILE_NOBUFFER), 1);
        EXPECT_EQ(WriteOnce(o.F, 0, data.data(), (uint32_t)data.size()).transferred, data.size());
    }
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_NOBUFFER), 1);
    std::vector<uint8_t> back(data.size());
    EXPECT_EQ(ReadOnce(o.F, 0, back.data(), (uint32_t)back.size()).transferred, data.size());
    EXPECT_EQ(back, data);
}

// ---- Stream ----------------------------------------------------------------------------------

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
    const std::string path = dir.file("s");
    Opened o;
    Stream* s = nullptr;
    ASSERT_EQ(AsyncFile_GetStreamHandle(o.F, &s), 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Handle, o.F);
    EXPECT_EQ(Stream_CanPeek(s) | Stream_CanWrite(s) | Stream_CanRead(s) | Stream_CanFlush(s) |
                  Stream_CanLength(s),
              0);
    EXPECT_EQ(Stream_CanWriteAsync(s) & Stream_CanReadAsync(s) & Stream_CanSeek(s) & Stream_CanTell(s) &
                  Stream_CanIsOpen(s) & Stream_CanClose(s),
              1);
    EXPECT_EQ(Stream_IsOpen(s), 0);
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_WRITE), 1);
    EXPECT_EQ(Stream_IsOpen(s), 1);
    Waiter w;
    StreamDone wrote{&w};
    ASSERT_EQ(Stream_WriteAsync(s, 0, "stream!", 7, &wrote, StreamCompleted), 1);
    ASSERT_TRUE(w.WaitFor(1));
    EXPECT_EQ(wrote.handle, o.F);
    EXPECT_EQ(wrote.transferred, 7u);
    EXPECT_EQ(wrote.error, 0);
    char buffer[8] = {};
    StreamDone read{&w};
    ASSERT_EQ(Stream_ReadAsync(s, 1, buffer, 6, &read, StreamCompleted), 1);
    ASSERT_TRUE(w.WaitFor(2));
    EXPECT_EQ(std::string(buffer, read.transferred), "tream!");
    EXPECT_EQ(Stream_Seek(s, 3, SEEK_ORIGIN_BEGIN), 1);
    uint64_t position = 0;
    EXPECT_EQ(Stream_Tell(s, &position), 1);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(Stream_Close(s), 1);
    EXPECT_EQ(Stream_IsOpen(s), 0);
    StreamDone late{&w};
    ASSERT_EQ(Stream_ReadAsync(s, 0, buffer, 2, &late, StreamCompleted), 1);
    ASSERT_TRUE(w.WaitFor(3));
    EXPECT_EQ(late.error, kEBADF);
}

// ---- Synchronous operations ----------------------------------------------------------------------

TEST(AsyncFile, SeekTellTruncateAndSize) {
    TempDir dir;
    const std::string path = dir.file("sync");
    ASSERT_TRUE(WriteText(path, "0123456789"));
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_WRITE), 1);
    struct Case {
        int64_t offset;
        SeekOrigin origin;
        int64_t ok;
        uint64_t position;
    } seeks[] = {
        {4, SEEK_ORIGIN_BEGIN, 1, 4},
        {2, SEEK_ORIGIN_CURRENT, 1, 6},
        {-1, SEEK_ORIGIN_END, 1, 9},
        {-100, SEEK_ORIGIN_BEGIN, 0, 9},
        {0, 7, 0, 9},
    };
    for (const Case& c : seeks) {
        SCOPED_TRACE(c.offset);
        EXPECT_EQ(AsyncFile_Seek(o.F, c.offset, c.origin), c.ok);
        EXPECT_EQ(AsyncFile_GetLastError(o.F) != 0, c.ok == 0);
        uint64_t position = 0;
        EXPECT_EQ(AsyncFile_Tell(o.F, &position), 1);
        EXPECT_EQ(position, c.position);
    }
    EXPECT_EQ(AsyncFile_TruncateAt(o.F, 4), 1);
    uint64_t size = 0;
    EXPECT_EQ(AsyncFile_GetFilesizeBytes(o.F, &size), 1);
    EXPECT_EQ(size, 4u);
    uint64_t position = 0;
    AsyncFile_Tell(o.F, &position);
    EXPECT_EQ(position, 9u); // the position stays where it was
    EXPECT_EQ(AsyncFile_TruncateAt(o.F, 20), 1);
    EXPECT_EQ(SizeOf(path), 20u);
    EXPECT_EQ(AsyncFile_EnableSparseMode(o.F), 0);
    AsyncFile_Close(o.F);

    // Closed: the path still answers the size; the descriptor operations fail with EBADF.
    EXPECT_EQ(AsyncFile_GetFilesizeBytes(o.F, &size), 1);
    EXPECT_EQ(size, 20u);
    position = 5;
    EXPECT_EQ(AsyncFile_Tell(o.F, &position), 0);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(AsyncFile_GetLastError(o.F), PLATFORM_ERROR_ERRNO_BASE + EBADF);
    EXPECT_EQ(AsyncFile_Seek(o.F, 0, SEEK_ORIGIN_BEGIN), 0);
    {
        LogCapture log;
        EXPECT_EQ(AsyncFile_TruncateAt(o.F, 0), 0);
        EXPECT_NE(log.Text().find("Unable to truncate file [" + path + "] [100009:000186A9]\n"),
                  std::string::npos)
            << log.Text();
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    size = 9;
    EXPECT_EQ(AsyncFile_GetFilesizeBytes(o.F, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(Platform_ErrorMissing(AsyncFile_GetLastError(o.F)));
}

TEST(AsyncFile, TruncationThatFailsFailsTheOpen) {
    TempDir dir;
    const std::string path = dir.file("keep");
    ASSERT_TRUE(WriteText(path, "content"));
    Opened o;
    // A read-only descriptor cannot be cut: the open must not claim an emptied file.
    EXPECT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_TRUNCATE), 0);
    EXPECT_NE(AsyncFile_GetLastError(o.F), 0);
    EXPECT_EQ(AsyncFile_IsOpen(o.F), 0);
    EXPECT_EQ(ReadFile(path), "content");
}

TEST(AsyncFile, TimesAttributesAndRename) {
    TempDir dir;
    const std::string path = dir.file(".hidden");
    ASSERT_TRUE(WriteText(path, "abc"));
    Opened o;
    ASSERT_EQ(AsyncFile_Open(o.F, path.c_str(), FILE_READ | FILE_WRITE), 1);

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
    EXPECT_EQ(AsyncFile_GetLastError(o.F), PLATFORM_ERROR_ERRNO_BASE + EINVAL);

    PlatformFileAttributes attributes = 0;
    EXPECT_EQ(AsyncFile_GetAttributes(o.F, &attributes), 1);
    EXPECT_EQ(attributes & PLATFORM_FILE_ATTRIBUTE_HIDDEN, PLATFORM_FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(attributes & PLATFORM_FILE_ATTRIBUTE_EXECUTABLE, 0u);
    EXPECT_EQ(AsyncFile_SetAttributes(o.F, PLATFORM_FILE_ATTRIBUTE_EXECUTABLE), 1);
    EXPECT_EQ(AsyncFile_GetAttributes(o.F, &attributes), 1);
    EXPECT_EQ(attributes & PLATFORM_FILE_ATTRIBUTE_EXECUTABLE, PLATFORM_FILE_ATTRIBUTE_EXECUTABLE);

    // Renamed while open: the transfers follow the file, the stored path is the new one.
    const std::string target = dir.file("renamed");
    ASSERT_TRUE(WriteText(target, "old target"));
    EXPECT_EQ(AsyncFile_Rename(o.F, target.c_str()), 1);
    char stored[400] = "";
    AsyncFile_GetPath(o.F, stored, sizeof(stored));
    EXPECT_EQ(std::string(stored), target);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(WriteOnce(o.F, 3, "def", 3).error, 0);
    uint64_t size = 0;
    EXPECT_EQ(AsyncFile_GetFilesizeBytes(o.F, &size), 1);
    EXPECT_EQ(size, 6u);
    AsyncFile_Close(o.F);
    EXPECT_EQ(ReadFile(target), "abcdef");

    // A new path that does not fit is refused before anything moves.
    const std::string longPath = dir.path() + "/" + std::string(330, 'r');
    EXPECT_EQ(AsyncFile_Rename(o.F, longPath.c_str()), 0);
    EXPECT_EQ(AsyncFile_GetLastError(o.F), PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG);
    EXPECT_TRUE(FileExists(target));
    AsyncFile_GetPath(o.F, stored, sizeof(stored));
    EXPECT_EQ(std::string(stored), target);
    // Missing source.
    ASSERT_EQ(unlink(target.c_str()), 0);
    EXPECT_EQ(AsyncFile_Rename(o.F, dir.file("again").c_str()), 0);
    EXPECT_TRUE(Platform_ErrorMissing(AsyncFile_GetLastError(o.F)));
    EncodedTime none = 5;
    EXPECT_EQ(AsyncFile_GetModifiedTime(o.F, &none), 0);
    EXPECT_EQ(none, 0.0);
}

TEST(AsyncFile, DefaultsSettingsAndMeter) {
    AsyncFile* f = nullptr;
    ASSERT_EQ(AsyncFile_Create(&f), 1);
    int32_t retries = 0;
    uint32_t value = 9;
    AsyncFile_GetRetries(f, &retries);
    EXPECT_EQ(retries, 20);
    AsyncFile_GetAutoCreateDirectories(f, &value);
    EXPECT_EQ(value, 1u);
    AsyncFile_GetVerbose(f, &value);
    EXPECT_EQ(value, 0u);
    AsyncFile_SetVerbose(f, 3);
    AsyncFile_GetVerbose(f, &value);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(AsyncFile_IsOpen(f), 0);
    EXPECT_EQ(AsyncFile_GetLastError(f), 0);
    char id[40] = "x";
    EXPECT_EQ(AsyncFile_GetInstanceId(f, id, sizeof(id)), 1);
    EXPECT_EQ(std::string(id), "");
    double first = 0, later = 0;
    AsyncFile_GetLastUsedTime(f, &first);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    AsyncFile_EnableSparseMode(f);
    AsyncFile_GetLastUsedTime(f, &later);
    EXPECT_GT(later, first);

    MeterRW* meter = nullptr;
    EXPECT_EQ(AsyncFile_GetMeterRWHandle(f, &meter), 1);
    EXPECT_NE(meter, nullptr);
    EXPECT_EQ(AsyncFile_SetLimitBandwidth(f, 5000, -1), 1);
    int32_t readLimit = 0, writeLimit = 0;
    EXPECT_EQ(AsyncFile_GetLimitBandwidth(f, &readLimit, &writeLimit), 1);
    EXPECT_EQ(readLimit, 5000);
    EXPECT_LT(writeLimit, 0);
    uint64_t readBytes = 7, writeBytes = 7;
    EXPECT_EQ(AsyncFile_GetOverallUsage(f, &readBytes, &writeBytes), 1);
    EXPECT_EQ(readBytes + writeBytes, 0u);
    double a = -1, b = -1;
    EXPECT_EQ(AsyncFile_GetCurrentBandwidth(f, &a, &b), 1);
    EXPECT_EQ(AsyncFile_GetMaxBandwidth(f, &a, &b), 1);

    AsyncFile* other = AsyncFile_AddRef(f);
    EXPECT_EQ(other, f);
    EXPECT_EQ(AsyncFile_Release(&other), 1u);
    EXPECT_EQ(other, nullptr); // the handle is cleared even when references remain
    EXPECT_EQ(AsyncFile_Release(&f), 0u);
    EXPECT_EQ(f, nullptr);
}

TEST(AsyncFile, OpenFilesHoldAReferenceUntilTheirChannelIsGone) {
    TempDir dir;
    AsyncFile* f = nullptr;
    AsyncFile_Create(&f);
    ASSERT_EQ(AsyncFile_Open(f, dir.file("r").c_str(), FILE_WRITE), 1);
    AsyncFile* keep = AsyncFile_AddRef(f);
    // Owner's reference, the extra one and the channel's.
    EXPECT_EQ(AsyncFile_Release(&f), 2u);
    AsyncFile_Close(keep);
    AsyncFile_Release(&keep); // the channel's reference goes with its cleanup on a worker
}

// ---- Module --------------------------------------------------------------------------------------

TEST(AsyncFile, RemoveRefusesWhileFilesAreOpenAndDrainsTheQueue) {
    TempDir dir;
    AsyncFile* f = nullptr;
    AsyncFile_Create(&f);
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
    EXPECT_EQ(AsyncFile_Remove(), 1); // nothing left to remove
    ASSERT_EQ(AsyncFile_Init(), 1);
    EXPECT_EQ(SizeOf(dir.file("m")), (uint64_t)kRequests * data.size());
}

} // namespace

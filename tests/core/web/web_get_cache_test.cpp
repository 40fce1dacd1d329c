#include "core/web/web_get_cache.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/memory_stream.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_table.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
const bool g_bounded = BoundEveryTest();

// Two URLs whose CRC-32 is the same (0xf06079ab).
constexpr const char* kCollideA = "http://h/vvekwlpxlsfh";
constexpr const char* kCollideB = "http://h/duxbdagnvvkn";

std::vector<std::string> g_lines;

int64_t CaptureLine(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[256];
    String_VPrint(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(PrintedLinesLock());
    g_lines.push_back(text);
    return 1;
}

class WebGetCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        now = 1000.0;
        WebGetCache_SetClockOverride([] { return now; });
        WebGetCacheStore_Create(&store);
        TakeLog();
    }
    void TearDown() override {
        // A lock left held fails here instead of hanging a later test.
        FromOtherThread("store lock", [this] {
            WebGetCacheStore_Lock(store);
            WebGetCacheStore_Unlock(store);
        });
        WebGetCacheStore_Release(&store);
        WebGetCache_SetClockOverride(nullptr);
    }

    // A committed item of url holding body, as a request leaves it.
    WebGetCacheItem* Fill(const char* url, const std::string& body, int64_t maxAge = 0) {
        WebGetCacheItem* item = nullptr;
        EXPECT_EQ(WebGetCacheStore_WaitOne(store, url, &item), 0);
        if (!item) return nullptr;
        uint32_t written = 0;
        WebGetCacheItem_SetMaxAge(item, maxAge);
        WebGetCacheItem_Write(item, body.data(), (uint32_t)body.size(), &written);
        WebGetCacheItem_Commit(item);
        return item;
    }

    uint32_t Count(const char* url) {
        uint32_t count = 99;
        WebGetCacheStore_GetItemCount(store, url, &count);
        return count;
    }

    static std::string Body(WebGetCacheItem* item) {
        MemoryStream* stream = nullptr;
        if (!WebGetCacheItem_GetMemoryStreamHandle(item, &stream)) return "<none>";
        uint8_t* bytes = nullptr;
        MemoryStream_GetPointer(stream, &bytes);
        std::string text(reinterpret_cast<char*>(bytes), (size_t)MemoryStream_GetUsed(stream));
        MemoryStream_ReleasePointer(stream, &bytes);
        return text;
    }

    static inline double now = 0;
    WebGetCacheStore* store = nullptr;
};

TEST_F(WebGetCacheTest, RegistryFindsStoresWithoutCase) {
    EXPECT_EQ(WebGetCache_Remove(), 1); // never initialised
    WebGetCacheStore* found = nullptr;
    EXPECT_EQ(WebGetCache_GetStore("workflow", &found), 0);
    ASSERT_EQ(WebGetCache_Init(), 1);
    WebGetCacheStore *a = nullptr, *b = nullptr;
    EXPECT_EQ(WebGetCache_AddStore("Workflow", &a), 1);
    EXPECT_EQ(WebGetCache_AddStore("workflow", &b), 1);
    EXPECT_EQ(a, b);
    EXPECT_EQ(WebGetCache_GetStore("WORKFLOW", &found), 1);
    EXPECT_EQ(found, a);
    char name[16];
    WebGetCacheStore_GetName(found, name, sizeof(name));
    EXPECT_STREQ(name, "Workflow");
    WebGetCacheStore_Release(&found);
    EXPECT_EQ(WebGetCache_GetStore("alias", &found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(WebGetCache_Remove(), 1);
    EXPECT_EQ(WebGetCache_GetStore("workflow", &found), 0);
    // The callers' references outlive the registry.
    WebGetCacheItem* item = nullptr;
    EXPECT_EQ(WebGetCacheStore_AddItem(a, "http://x/", &item), 1);
    WebGetCacheItem_Release(&item);
    WebGetCacheStore_Release(&a);
    WebGetCacheStore_Release(&b);

    ExpectAborts({{[] {
                       WebGetCache_Init();
                       WebGetCache_Init();
                   },
                   AbortRegex("Assertion failed (GlobalWebGetCache == NULL)\nWebGetCache already initialized")}});
}

TEST_F(WebGetCacheTest, ReservationFetchesOnce) {
    WebGetCacheItem *first = nullptr, *second = nullptr, *third = nullptr;
    EXPECT_EQ(WebGetCacheStore_WaitOne(store, "http://a/", &first), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(WebGetCacheItem_IsWriting(first), 1);
    EXPECT_EQ(WebGetCacheStore_WaitOne(store, "http://a/", &second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(WebGetCacheStore_FindItem(store, "http://a/", &second), 0); // being filled
    EXPECT_EQ(Count("http://a/"), 0u);

    uint32_t written = 0;
    EXPECT_EQ(WebGetCacheItem_Write(first, "HTTP/1.1 200 OK\r\n\r\nbody", 23, &written), 1);
    EXPECT_EQ(written, 23u);
    WebGetCacheItem_Commit(first);
    EXPECT_EQ(WebGetCacheStore_WaitOne(store, "http://a/", &third), 0);
    EXPECT_EQ(third, first);
    EXPECT_EQ(Body(third), "HTTP/1.1 200 OK\r\n\r\nbody");
    EXPECT_EQ(WebGetCacheStore_FindItem(store, "http://a/", &second), 1);
    EXPECT_EQ(Count("http://a/"), 1u);

    // An invalidated item is skipped: the next reservation fetches anew.
    WebGetCacheItem_Invalidate(first);
    WebGetCacheItem* fresh = nullptr;
    EXPECT_EQ(WebGetCacheStore_WaitOne(store, "http://a/", &fresh), 0);
    EXPECT_NE(fresh, first);
    EXPECT_EQ(WebGetCacheItem_IsWriting(fresh), 1);
    EXPECT_EQ(Count("http://a/"), 0u);

    // A filler that lets go of its item unfinished does not leave the others waiting for ever.
    WebGetCacheItem_Release(&fresh);
    EXPECT_EQ(WebGetCacheStore_WaitOne(store, "http://a/", &fresh), 0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(WebGetCacheItem_IsWriting(fresh), 1);
    for (WebGetCacheItem** h : {&first, &second, &third, &fresh}) WebGetCacheItem_Release(h);
}

// A waiter that looks at a reservation just as its filler commits it and lets go: the filler's
// commit and release run between the waiter's two reads, and the waiter is served the answer
// instead of throwing it away and fetching the URL a second time.
TEST_F(WebGetCacheTest, ACommitJustBeforeTheFillerLetsGoIsServed) {
    WebGetCacheItem* filler = nullptr;
    ASSERT_EQ(WebGetCacheStore_WaitOne(store, "http://a/", &filler), 0);
    ASSERT_NE(filler, nullptr);
    uint32_t written = 0;
    ASSERT_EQ(WebGetCacheItem_Write(filler, "body", 4, &written), 1);
    WebGetCacheItem* const reserved = filler;
    struct Probe {
        WebGetCacheItem* Filler;
        int Calls;
    } probe{filler, 0};
    WebGetCache_SetOrphanCheckProbe(
        [](void* user) {
            Probe* p = static_cast<Probe*>(user);
            if (p->Calls++ != 0) return;
            WebGetCacheItem_Commit(p->Filler);
            WebGetCacheItem_Release(&p->Filler);
        },
        &probe);
    WebGetCacheItem* served = nullptr;
    const int64_t waited = WebGetCacheStore_WaitOne(store, "http://a/", &served);
    WebGetCache_SetOrphanCheckProbe(nullptr, nullptr);
    EXPECT_EQ(probe.Calls, 1);
    EXPECT_EQ(probe.Filler, nullptr);
    EXPECT_EQ(waited, 0);
    EXPECT_EQ(served, reserved);
    EXPECT_EQ(WebGetCacheItem_IsCommitted(served), 1);
    EXPECT_EQ(Body(served), "body");
    EXPECT_EQ(Count("http://a/"), 1u);
    WebGetCacheItem_Release(&served);
}

TEST_F(WebGetCacheTest, CollidingKeysNeverShareAnAnswer) {
    WebGetCacheItem* a = Fill(kCollideA, "answer A");
    WebGetCacheItem* b = nullptr;
    EXPECT_EQ(WebGetCacheStore_FindItem(store, kCollideB, &b), 0);
    EXPECT_EQ(Count(kCollideB), 0u);
    EXPECT_EQ(WebGetCacheStore_WaitOne(store, kCollideB, &b), 0);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(b, a);
    EXPECT_EQ(WebGetCacheItem_IsWriting(b), 1);
    EXPECT_EQ(Count(kCollideA), 1u);
    WebGetCacheItem_Release(&a);
    WebGetCacheItem_Release(&b);
}

TEST_F(WebGetCacheTest, ExpiryKeepsTheLongerLifetime) {
    struct Row {
        int64_t minAge, maxAge;
        double elapsed;
        bool kept;
    };
    const Row rows[] = {
        {600, 60, 599, true}, {600, 60, 601, false}, {0, 0, 0.001, false}, {0, 3600, 3599, true},
        {0, INT64_MAX, 1e15, true},
    };
    for (const Row& r : rows) {
        WebGetCacheStore_SetMinAge(store, r.minAge);
        now = 1000.0;
        WebGetCacheItem* item = Fill("http://a/", "x", r.maxAge);
        now += r.elapsed;
        WebGetCacheStore_Expire(store, 1);
        EXPECT_EQ(Count("http://a/"), r.kept ? 1u : 0u) << r.minAge << " " << r.maxAge << " " << r.elapsed;
        // Once out of the list the test's is the only reference.
        EXPECT_EQ(Class_HasOneRef(item), r.kept ? 0 : 1);
        WebGetCacheItem_Invalidate(item);
        WebGetCacheItem_Release(&item);
        WebGetCacheStore_Expire(store, 1);
    }
}

TEST_F(WebGetCacheTest, ExpirySweepsAtMostEveryThirtySeconds) {
    WebGetCacheItem* filling = nullptr;
    WebGetCacheStore_WaitOne(store, "http://filling/", &filling);
    WebGetCacheItem* stale = Fill("http://a/", "x");
    now += 1;
    WebGetCacheStore_Expire(store, 0); // the first sweep: the stale item goes
    EXPECT_EQ(Class_HasOneRef(stale), 1);
    WebGetCacheItem* other = Fill("http://b/", "x");
    now += 10;
    WebGetCacheStore_Expire(store, 0); // too soon
    EXPECT_EQ(Class_HasOneRef(other), 0);
    WebGetCacheStore_Expire(store, 1); // forced
    EXPECT_EQ(Class_HasOneRef(other), 1);
    // An item being filled stays until it is committed or invalidated.
    EXPECT_EQ(Class_HasOneRef(filling), 0);
    WebGetCacheItem_Invalidate(filling);
    now += 30;
    WebGetCache_Expire(0); // no registry: nothing
    WebGetCacheStore_Expire(store, 0);
    EXPECT_EQ(Class_HasOneRef(filling), 1);
    for (WebGetCacheItem** h : {&filling, &stale, &other}) WebGetCacheItem_Release(h);
}

TEST_F(WebGetCacheTest, ItemsTakeTheStoreDirective) {
    const int64_t expected[][2] = {{1, 0}, {1, 1}, {0, 0}}; // should store, should validate
    for (uint32_t directive = 0; directive < 3; directive++) {
        WebGetCacheStore_SetDirective(store, directive);
        WebGetCacheItem* item = nullptr;
        WebGetCacheStore_AddItem(store, "http://d/", &item);
        EXPECT_EQ(WebGetCacheItem_ShouldStore(item), expected[directive][0]) << directive;
        EXPECT_EQ(WebGetCacheItem_ShouldValidate(item), expected[directive][1]) << directive;
        WebGetCacheItem_Release(&item);
    }
}

TEST_F(WebGetCacheTest, BodyAndPrintsGoThroughTheStoreSink) {
    g_lines.clear();
    WebGetCacheStore_SetPrintCallback(store, nullptr, CaptureLine);
    WebGetCacheItem* item = nullptr;
    WebGetCacheStore_AddItem(store, "http://p/", &item);
    EXPECT_EQ(Body(item), "<none>");
    WebGetCacheItem_DiscardAll(item);
    EXPECT_EQ(Body(item), "");
    uint32_t written = 0;
    WebGetCacheItem_Write(item, "abc", 3, &written);
    WebGetCacheItem_DiscardAll(item);
    WebGetCacheItem_Write(item, "de", 2, &written);
    EXPECT_EQ(Body(item), "de");
    WebGetCacheItem_Commit(item);
    WebGetCacheItem_Invalidate(item);
    // The item keeps printing to the sink after its store is gone.
    WebGetCacheStore_Release(&store);
    WebGetCacheItem_Commit(item);
    WebGetCacheStore_Create(&store);
    ASSERT_EQ(g_lines.size(), 4u);
    const char* endings[] = {" - Url - http://p/\n", " - Committed\n", " - Invalid\n", " - Committed\n"};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(g_lines[i].rfind("WebGetCacheItem.", 0), 0u) << g_lines[i];
        EXPECT_TRUE(g_lines[i].ends_with(endings[i])) << g_lines[i];
    }
    WebGetCacheItem_Release(&item);
}

TEST_F(WebGetCacheTest, SaveDumpsEveryItem) {
    TempDir dir;
    // "123456789" is the CRC-32 check text: its key is 0xcbf43926.
    WebGetCacheItem* kept = Fill("123456789", "kept");
    WebGetCacheItem* dropped = Fill("http://z/", "dropped");
    WebGetCacheItem_Invalidate(dropped);
    WebGetCacheItem* open = nullptr;
    WebGetCacheStore_AddItem(store, "http://o/", &open); // no body: an empty file
    EXPECT_EQ(WebGetCacheStore_Save(store, (dir.path() + "//").c_str()), 1);

    // The names without the number that tells items apart, with zlib's CRC-32 as the oracle of
    // the key.
    std::map<std::string, std::string> dumped;
    if (DIR* d = opendir(dir.path().c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 17 && name[0] != '.') dumped[name.substr(0, 9) + name.substr(17)] = ReadFile(dir.file(name));
        }
        closedir(d);
    }
    auto key = [](const char* url) {
        char text[16];
        snprintf(text, sizeof(text), "%08lx-", crc32(0, reinterpret_cast<const Bytef*>(url), (uInt)strlen(url)));
        return std::string(text);
    };
    EXPECT_EQ(dumped, (std::map<std::string, std::string>{{"cbf43926-x.bin", "kept"},
                                                          {key("http://z/") + "-ix.bin", "dropped"},
                                                          {key("http://o/") + ".bin", ""}}));
    // A path naming a file is used as it is.
    EXPECT_EQ(WebGetCacheItem_Save(kept, dir.file("one.bin").c_str()), 1);
    EXPECT_EQ(ReadFile(dir.file("one.bin")), "kept");
    EXPECT_EQ(WebGetCacheItem_Save(kept, dir.file("one.bin/two.bin").c_str()), 0);
    for (WebGetCacheItem** h : {&kept, &dropped, &open}) WebGetCacheItem_Release(h);
}

// Many requests for the same URLs from several threads while another sweeps: each URL is
// fetched by exactly one of them and every other one is served its answer.
TEST_F(WebGetCacheTest, ConcurrentRequestsFetchOnce) {
    constexpr int kThreads = 4, kUrls = 40;
    WebGetCacheStore_SetMinAge(store, 1000000);
    std::vector<std::atomic<int>> fetchers(kUrls);
    std::vector<std::atomic<WebGetCacheItem*>> filled(kUrls);
    std::atomic<bool> done{false}, wrong{false};
    Deadline deadline("concurrent reservations");
    std::thread sweeper([&] {
        while (!done) WebGetCacheStore_Expire(store, 1);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int u = 0; u < kUrls; u++) {
                const std::string url = "http://h/" + std::to_string(u);
                for (;;) {
                    WebGetCacheItem* item = nullptr;
                    if (WebGetCacheStore_WaitOne(store, url.c_str(), &item) == 1) {
                        std::this_thread::yield();
                        continue;
                    }
                    if (!WebGetCacheItem_IsCommitted(item)) {
                        fetchers[u]++;
                        filled[u] = item;
                        uint32_t written = 0;
                        WebGetCacheItem_Write(item, url.data(), (uint32_t)url.size(), &written);
                        WebGetCacheItem_Commit(item);
                    } else if (filled[u].load() != item) {
                        wrong = true;
                    }
                    WebGetCacheItem_Release(&item);
                    break;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    done = true;
    sweeper.join();
    EXPECT_FALSE(wrong);
    for (int u = 0; u < kUrls; u++) EXPECT_EQ(fetchers[u].load(), 1) << u;
}

} // namespace

// The bridge under several threads: workers create, invoke and release instances and use native
// callbacks while the main thread runs the pass in slices and delivers messages, and records
// removed or released while a worker still uses them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/interop.h"
#include "core/formats/interop_request.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"

namespace {

class InteropEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
    }
    void TearDown() override {
        EventQueue_Remove();
        Thread_Remove();
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new InteropEnvironment);

std::atomic<int32_t> g_invokes{0};
std::atomic<int32_t> g_releases{0};
std::atomic<int32_t> g_raised{0};

int64_t Invoke(void* user, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    int32_t amount = 0;
    if (!ApiGen_GetMethod(request, "Counter", &method, &hash) ||
        !ApiGen_GetInt32(request, "Counter", method, "amount", &amount))
        return 0;
    auto* value = static_cast<std::atomic<int32_t>*>(user);
    Dictionary_AddInt32(response, "returnValue", *value += amount, nullptr);
    g_invokes++;
    return 1;
}

int64_t Release(void** user) {
    delete static_cast<std::atomic<int32_t>*>(*user);
    *user = nullptr;
    g_releases++;
    return 1;
}

int64_t Process(void*) {
    return 1;
}

int64_t CreateInstance(const char* className, char*, int32_t, void*, InteropExecuteFunc,
                       InteropInvokeFunc* invoke, InteropReleaseFunc* release, InteropProcessFunc* process,
                       void** user) {
    if (strcmp(className, "Test.Counter") != 0) return 0;
    *invoke = Invoke;
    *release = Release;
    *process = Process;
    *user = new std::atomic<int32_t>(0);
    return 1;
}

int64_t Raised(void*, void*) {
    g_raised++;
    return 1;
}

int32_t g_batches = 0;
int64_t Deliver(void*, InteropExecuteCallback*, const char* text, void*) {
    EXPECT_EQ(text[0], '[');
    g_batches++;
    return 1;
}

TEST(InteropThreadTest, WorkersInvokeWhileTheMainThreadRunsThePass) {
    g_invokes = g_releases = g_raised = g_batches = 0;
    ASSERT_EQ(Interop_Init(), 1);
    const InteropInitFunc nothing = +[]() -> int64_t { return 1; };
    ASSERT_NE(Interop_Add(
                  "threads", nothing, nothing, CreateInstance,
                  +[](const char*, void*) -> int64_t { return 1; },
                  +[](const char*, const char*) -> int64_t { return 1; }),
              nullptr);
    InteropExecuteCallback* page = nullptr;
    Interop_AddExecuteCallback(&page, nullptr, Deliver);
    constexpr int kWorkers = 4;
    constexpr int kInstances = 5;
    constexpr int kCalls = 40;
    std::atomic<int32_t> running{kWorkers};
    std::atomic<int32_t> wrong{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; w++) {
        workers.emplace_back([&, w] {
            for (int n = 0; n < kInstances; n++) {
                char id[40] = "";
                if (!Interop_DispatchCreateInstance("Test.Counter", id, sizeof(id), nullptr, nullptr,
                                                    nullptr)) {
                    wrong++;
                    continue;
                }
                MemoryStream* out = nullptr;
                MemoryStream_Create(&out);
                MemoryStream_SetAutoGrow(out, 1);
                for (int i = 1; i <= kCalls; i++) {
                    if (!Interop_DispatchInvokeJSON(id, R"({"method":"add","amount":1})", out)) wrong++;
                    std::string name = "cb-" + std::to_string(w) + "-" + std::to_string(i);
                    InteropCallback* callback = nullptr;
                    Interop_AddCallback(name.c_str(), nullptr, Raised, &callback);
                    InteropCallback* found = nullptr;
                    if (Interop_GetCallbackById(name.c_str(), &found)) {
                        Interop_RaiseCallback(found, nullptr);
                        Interop_ReleaseCallback(&found);
                    }
                    Interop_ReleaseCallback(&callback);
                }
                uint8_t* bytes = nullptr;
                MemoryStream_GetPointer(out, &bytes);
                uint64_t length = 0;
                MemoryStream_Length(out, &length);
                if (std::string(reinterpret_cast<char*>(bytes), (size_t)length) !=
                    "{\"returnValue\":" + std::to_string(kCalls) + "}")
                    wrong++;
                MemoryStream_ReleasePointer(out, &bytes);
                MemoryStream_Release(&out);
                Interop_DispatchReleaseInstance(id);
            }
            running--;
        });
    }
    while (running.load() > 0) {
        Dictionary* message = nullptr;
        Dictionary_Create(&message);
        Dictionary_SetStringByKey(message, "type", "tick");
        Interop_Execute(nullptr, message);
        Dictionary_Release(&message);
        EventQueue_Flush(nullptr);
        Interop_Process();
    }
    for (auto& t : workers) t.join();
    Interop_Process();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(g_invokes.load(), kWorkers * kInstances * kCalls);
    EXPECT_EQ(g_raised.load(), kWorkers * kInstances * kCalls);
    EXPECT_EQ(g_releases.load(), kWorkers * kInstances);
    EXPECT_GT(g_batches, 0);
    Interop_RemoveExecuteCallback(&page);
    EXPECT_EQ(Interop_Remove(), 1);
}

// A gate one thread opens and another waits for, never longer than a few seconds.
class Gate {
  public:
    void Open() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return opened_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }
    void Close() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = false;
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// "Test.Held": an Invoke that stays inside until the test lets it go, then writes to its
// context; each context knows whether its Release came while an Invoke was inside.
struct Held {
    int32_t Writes = 0;
    std::atomic<int32_t> Inside{0};
    std::atomic<int32_t> Releases{0};
    std::atomic<int32_t> ReleasedInside{0};
};
Gate* g_entered = nullptr;
Gate* g_go = nullptr;
std::vector<Held*> g_held;

int64_t HeldInvoke(void* user, Dictionary*, Dictionary* response) {
    Held* held = static_cast<Held*>(user);
    held->Inside++;
    if (g_entered) g_entered->Open();
    const bool go = g_go && g_go->Wait();
    held->Writes++;
    held->Inside--;
    Dictionary_AddBoolean(response, "returnValue", go ? 1 : 0, nullptr);
    return go ? 1 : 0;
}

int64_t HeldRelease(void** user) {
    Held* held = static_cast<Held*>(*user);
    if (held->Inside.load() > 0) held->ReleasedInside++;
    held->Releases++;
    *user = nullptr;
    return 1;
}

int64_t CreateHeld(const char* className, char*, int32_t, void*, InteropExecuteFunc, InteropInvokeFunc* invoke,
                   InteropReleaseFunc* release, InteropProcessFunc*, void** user) {
    if (strcmp(className, "Test.Held") != 0) return 0;
    *invoke = HeldInvoke;
    *release = HeldRelease;
    g_held.push_back(new Held());
    *user = g_held.back();
    return 1;
}

class InteropLifetimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_NE(Interop_Add(
                      "held", +[]() -> int64_t { return 1; }, +[]() -> int64_t { return 1; }, CreateHeld,
                      +[](const char*, void*) -> int64_t { return 1; },
                      +[](const char*, const char*) -> int64_t { return 1; }),
                  nullptr);
        g_entered = &entered;
        g_go = &go;
    }
    void TearDown() override {
        go.Open();
        if (worker.joinable()) worker.join();
        g_entered = g_go = nullptr;
        Interop_RemoveInstancesActiveInRequester(nullptr);
        EXPECT_EQ(Interop_Remove(), 1);
        for (Held* held : g_held) delete held;
        g_held.clear();
    }

    static std::string Create(void* requester) {
        char id[40] = "";
        return Interop_DispatchCreateInstance("Test.Held", id, sizeof(id), requester, nullptr, nullptr) ? id
                                                                                                        : "";
    }

    // A worker that invokes the instance and stays inside its Invoke until the gate opens.
    void InvokeOnWorker(const std::string& id) {
        worker = std::thread([this, id] {
            Dictionary* request = nullptr;
            Dictionary* response = nullptr;
            Dictionary_Create(&request);
            Dictionary_Create(&response);
            Dictionary_SetStringByKey(request, "method", "hold");
            answered = Interop_DispatchInvoke(id.c_str(), request, response);
            Dictionary_Release(&request);
            Dictionary_Release(&response);
        });
    }

    Gate entered, go;
    std::thread worker;
    std::atomic<int64_t> answered{-1};
};

TEST_F(InteropLifetimeTest, RemovalWhileAnInvokeRunsWaitsForItsEnd) {
    // How the page's instance is removed while the worker is inside its Invoke.
    const std::pair<const char*, std::function<void(const std::string&, void*)>> removals[] = {
        {"by requester", [](const std::string&, void* page) { Interop_RemoveInstancesActiveInRequester(page); }},
        {"by record",
         [](const std::string& id, void*) {
             InteropInstance* instance = nullptr;
             ASSERT_EQ(Interop_GetInstance(id.c_str(), &instance), 1);
             Interop_RemoveInstance(instance, id.c_str());
             Interop_ReleaseInstance(&instance);
         }},
    };
    for (const auto& [how, remove] : removals) {
        SCOPED_TRACE(how);
        entered.Close();
        go.Close();
        int pageA = 0, pageB = 0;
        const std::string a = Create(&pageA);
        Held* heldA = g_held.back();
        InvokeOnWorker(a);
        ASSERT_TRUE(entered.Wait());
        remove(a, &pageA);
        EXPECT_EQ(Interop_DispatchHasInstance(a.c_str()), 0);
        EXPECT_EQ(heldA->Releases.load(), 0);
        // Another page's instance, made while the first record is still in use.
        const std::string b = Create(&pageB);
        Held* heldB = g_held.back();
        go.Open();
        worker.join();
        EXPECT_EQ(answered.load(), 1);
        // The worker's release was the last: the Release waits for the pass it scheduled on the
        // main thread.
        EXPECT_EQ(heldA->Releases.load(), 0);
        EventQueue_Flush(nullptr);
        EXPECT_EQ(heldA->Releases.load(), 1);
        EXPECT_EQ(heldA->ReleasedInside.load(), 0);
        EXPECT_EQ(heldA->Writes, 1);
        // The other page's instance kept its use.
        EXPECT_EQ(Interop_DispatchHasInstance(b.c_str()), 1);
        EXPECT_EQ(heldB->Releases.load(), 0);
        EXPECT_EQ(Interop_InstancesActiveInRequester(&pageB), 1);
        Interop_RemoveInstancesActiveInRequester(&pageB);
        EXPECT_EQ(heldB->Releases.load(), 1);
    }
}

struct RaiseCount {
    std::atomic<int32_t> Calls{0};
};

int64_t CountRaise(void* user, void*) {
    static_cast<RaiseCount*>(user)->Calls++;
    return 1;
}

TEST_F(InteropLifetimeTest, FoundCallbackOutlivesItsReleaseAndThePass) {
    RaiseCount page, other;
    InteropCallback* created = nullptr;
    Interop_AddCallback("page-callback", &page, CountRaise, &created);
    std::atomic<int64_t> raised{-1};
    worker = std::thread([&] {
        InteropCallback* found = nullptr;
        if (!Interop_GetCallbackById("page-callback", &found)) {
            entered.Open();
            return;
        }
        entered.Open();
        go.Wait();
        raised = Interop_RaiseCallback(found, nullptr);
        Interop_ReleaseCallback(&found);
    });
    ASSERT_TRUE(entered.Wait());
    // The page lets its callback go and the pass runs; another page registers one of its own.
    Interop_ReleaseCallback(&created);
    Interop_Process();
    InteropCallback* second = nullptr;
    Interop_AddCallback("other-callback", &other, CountRaise, &second);
    go.Open();
    worker.join();
    EXPECT_EQ(raised.load(), 1);
    EXPECT_EQ(page.Calls.load(), 1);
    EXPECT_EQ(other.Calls.load(), 0);
    Interop_Process();
    InteropCallback* found = nullptr;
    EXPECT_EQ(Interop_GetCallbackById("page-callback", &found), 0);
    EXPECT_EQ(Interop_GetCallbackById("other-callback", &found), 1);
    Interop_ReleaseCallback(&found);
    Interop_ReleaseCallback(&second);
}

} // namespace

// The bridge under several threads: workers create, invoke and release instances and use native
// callbacks while the main thread runs the pass in slices and delivers messages.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
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

} // namespace

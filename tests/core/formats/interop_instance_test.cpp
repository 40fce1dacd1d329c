// Tests of script-visible instances: creation through an in-process library, shared ids,
// invocation by the CRC-32 of the method, the pass that retires released instances, requesters,
// and the failure texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "core/formats/crc.h"
#include "core/formats/interop.h"
#include "core/formats/interop_internal.h"
#include "core/formats/interop_request.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"

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

// The in-process library: "QVR.Process" counts, "Test.Echo" answers the method hash it was given,
// "Test.Mute" has no Invoke, "Test.Fixed" chooses its own id, "Test.Slow" takes 30 ms per Process.
struct Calls {
    int32_t Releases = 0;
    int32_t Processes = 0;
};
Calls g_calls;

int64_t CounterInvoke(void* user, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Process", &method, &hash)) return 0;
    if (hash != CRC_Update(0, "add", 3)) return 0;
    int32_t amount = 0;
    if (!ApiGen_GetInt32(request, "Process", method, "amount", &amount)) return 0;
    int32_t* value = static_cast<int32_t*>(user);
    *value += amount;
    Dictionary_AddInt32(response, "returnValue", *value, nullptr);
    return 1;
}

int64_t EchoInvoke(void*, Dictionary* request, Dictionary* response) {
    int32_t hash = 0;
    Dictionary_GetInt32ByKey(request, "methodHash", &hash);
    Dictionary_AddInt64(response, "returnValue", (uint32_t)hash, nullptr);
    return 1;
}

int64_t Release(void** user) {
    delete static_cast<int32_t*>(*user);
    *user = nullptr;
    g_calls.Releases++;
    return 1;
}

int64_t Process(void*) {
    g_calls.Processes++;
    return 1;
}

int64_t SlowProcess(void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return 1;
}

int64_t CreateInstance(const char* className, char* id, int32_t idSize, void*, InteropExecuteFunc,
                       InteropInvokeFunc* invoke, InteropReleaseFunc* release, InteropProcessFunc* process,
                       void** user) {
    const std::string name = className;
    if (name == "QVR.Process" || name == "Test.Fixed")
        *invoke = CounterInvoke;
    else if (name == "Test.Echo")
        *invoke = EchoInvoke;
    else if (name != "Test.Mute" && name != "Test.Slow")
        return 0;
    if (name == "Test.Fixed") strncpy(id, "fixed-id", (size_t)idSize - 1);
    *release = Release;
    *process = name == "Test.Slow" ? SlowProcess : Process;
    *user = new int32_t(0);
    return 1;
}

class InteropInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_NE(Interop_Add(
                      "test", +[]() -> int64_t { return 1; }, +[]() -> int64_t { return 1; }, CreateInstance,
                      +[](const char*, void*) -> int64_t { return 1; },
                      +[](const char*, const char*) -> int64_t { return 1; }),
                  nullptr);
        g_calls = {};
        log.Clear();
    }
    void TearDown() override {
        Interop_RemoveInstancesActiveInRequester(nullptr);
        EXPECT_EQ(Interop_Remove(), 1);
    }

    static std::string Create(const char* className, const char* id = "", void* requester = nullptr) {
        char buffer[40] = {0};
        strncpy(buffer, id, sizeof(buffer) - 1);
        if (!Interop_DispatchCreateInstance(className, buffer, sizeof(buffer), requester, nullptr, nullptr))
            return "(failed)";
        return buffer;
    }

    static std::string Invoke(const std::string& id, const char* request, int64_t* result = nullptr) {
        MemoryStream* out = nullptr;
        MemoryStream_Create(&out);
        MemoryStream_SetAutoGrow(out, 1);
        uint32_t written = 0;
        MemoryStream_Write(out, "stale", 5, &written);
        const int64_t answer = Interop_DispatchInvokeJSON(id.c_str(), request, out);
        if (result) *result = answer;
        uint8_t* bytes = nullptr;
        MemoryStream_GetPointer(out, &bytes);
        uint64_t length = 0;
        MemoryStream_Length(out, &length);
        std::string text(reinterpret_cast<char*>(bytes), (size_t)length);
        MemoryStream_ReleasePointer(out, &bytes);
        MemoryStream_Release(&out);
        return text;
    }

    LogCapture log;
};

bool IsGuid(const std::string& id) {
    return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST_F(InteropInstanceTest, SharedIdLivesUntilEveryUseIsReleased) {
    Interop_SetVerbose(1);
    const std::string id = Create("QVR.Process");
    ASSERT_TRUE(IsGuid(id)) << id;
    EXPECT_EQ(Create("QVR.Process", id.c_str()), id);
    EXPECT_EQ(Interop_DispatchReleaseInstance(id.c_str()), 1);
    Interop_Process();
    EXPECT_EQ(Interop_DispatchHasInstance(id.c_str()), 1);
    EXPECT_EQ(Interop_DispatchReleaseInstance(id.c_str()), 1);
    const int32_t processes = g_calls.Processes;
    Interop_Process();
    // One last Process, then Release.
    EXPECT_EQ(g_calls.Processes, processes + 1);
    EXPECT_EQ(g_calls.Releases, 1);
    EXPECT_EQ(Interop_DispatchHasInstance(id.c_str()), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find("Interop create instance (" + id + ":QVR.Process)"), std::string::npos) << text;
    EXPECT_NE(text.find("Interop remove instance (" + id + ") after 0.0"), std::string::npos) << text;
}

TEST_F(InteropInstanceTest, UndefinedIdInAnyCaseIsEmpty) {
    for (const char* id : {"undefined", "UNDEFINED", "UnDeFiNeD"})
        EXPECT_TRUE(IsGuid(Create("QVR.Process", id))) << id;
}

TEST_F(InteropInstanceTest, InvokeAnswersByTheMethodHash) {
    const std::string counter = Create("QVR.Process");
    const std::string echo = Create("Test.Echo");
    // instance, request, response text
    const std::string cases[][3] = {
        {counter, R"({"method":"add","amount":5})", R"({"returnValue":5})"},
        {counter, R"({"method":"add","amount":2.9})", R"({"returnValue":7})"},
        {echo, R"({"amount":1})", R"({"returnValue":0})"},
        {echo, R"({"method":"add"})", "{\"returnValue\":" + std::to_string(CRC_Update(0, "add", 3)) + "}"},
        // A hash sent by script is replaced by the bridge's own.
        {echo, R"({"method":"add","methodHash":7})",
         "{\"returnValue\":" + std::to_string(CRC_Update(0, "add", 3)) + "}"},
    };
    for (const auto& c : cases) EXPECT_EQ(Invoke(c[0], c[1].c_str()), c[2]) << c[1];
}

TEST_F(InteropInstanceTest, MethodHashCoversTheWholeName) {
    const std::string echo = Create("Test.Echo");
    auto hashOf = [](const std::string& name) {
        return "{\"returnValue\":" + std::to_string(CRC_Update(0, name.data(), (uint32_t)name.size())) + "}";
    };
    const std::string longest(119, 'm');
    // Names up to 119 characters as before; longer ones and ones with a NUL inside are hashed
    // whole, so that none can pass for the name it begins with.
    const std::pair<std::string, std::string> cases[] = {
        {longest, longest},
        {longest + "-and-more", longest + "-and-more"},
        {std::string(5000, 'n'), std::string(5000, 'n')},
        {"add\\u0000tail", std::string("add\0tail", 8)},
    };
    for (const auto& [json, name] : cases) {
        const std::string request = "{\"method\":\"" + json + "\"}";
        EXPECT_EQ(Invoke(echo, request.c_str()), hashOf(name)) << json.substr(0, 20);
    }
}

TEST_F(InteropInstanceTest, UseCountsStopAtTheCeiling) {
    const std::string id = Create("QVR.Process");
    InteropInstance* instance = nullptr;
    ASSERT_EQ(Interop_GetInstance(id.c_str(), &instance), 1);
    instance->UseCount = kInteropCountCeiling - 1;
    // Two more uses: a count that wrapped to 0 would let the pass remove the instance in use.
    EXPECT_EQ(Create("QVR.Process", id.c_str()), id);
    EXPECT_EQ(Create("QVR.Process", id.c_str()), id);
    Interop_ReleaseInstance(&instance);
    EXPECT_EQ(Interop_DispatchReleaseInstance(id.c_str()), 1);
    Interop_Process();
    EXPECT_EQ(Interop_DispatchHasInstance(id.c_str()), 1);
    EXPECT_EQ(g_calls.Releases, 0);
}

TEST_F(InteropInstanceTest, FailuresAnswerZeroWithTheirText) {
    const std::string counter = Create("QVR.Process");
    const std::string mute = Create("Test.Mute");
    EXPECT_EQ(Create("Nope"), "(failed)");
    EXPECT_EQ(Interop_DispatchReleaseInstance("missing"), 0);
    // instance, request, the line logged (the output stays empty)
    const std::string cases[][3] = {
        {"missing", R"({"method":"add"})", "Unable to dispatch invoke. (missing not found) (add)"},
        {mute, R"({"method":"go"})", mute + " does not contain invoke callback. (go)"},
        {counter, R"({"method":"add",)",
         R"(Invoker unable to parse method string as json ({"method":"add",))"},
        {counter, R"({"method":"add","amount":"5"})", "Incorrect parameter type (Process.add::amount)"},
        {counter, R"({"method":"add"})", "Parameter missing (Process.add::amount)"},
        {counter, R"({"method":"sub","amount":1})", ""},
    };
    for (const auto& c : cases) {
        int64_t result = -1;
        EXPECT_EQ(Invoke(c[0], c[1].c_str(), &result), "") << c[1];
        EXPECT_EQ(result, 0) << c[1];
    }
    const std::string text = log.Text();
    for (const char* line :
         {"Unhandled create instance (Nope:)", "Unable to release instance. (missing not found)"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    for (const auto& c : cases) EXPECT_NE(text.find(c[2]), std::string::npos) << c[2];
}

TEST_F(InteropInstanceTest, LibraryChosenIdKeepsTheFirstAndReleasesTheSecond) {
    EXPECT_EQ(Create("Test.Fixed"), "fixed-id");
    EXPECT_EQ(Create("Test.Fixed"), "fixed-id");
    EXPECT_EQ(g_calls.Releases, 1);
    EXPECT_NE(log.Text().find("User context pointer doesn't match last instance (fixed-id)"),
              std::string::npos);
    EXPECT_EQ(Invoke("fixed-id", R"({"method":"add","amount":1})"), R"({"returnValue":1})");
}

TEST_F(InteropInstanceTest, RequestersSeeAndLoseOnlyTheirOwnInstances) {
    int a = 0, b = 0;
    const std::string a1 = Create("QVR.Process", "", &a);
    const std::string a2 = Create("QVR.Process", "", &a);
    const std::string b1 = Create("QVR.Process", "", &b);
    EXPECT_EQ(Interop_InstancesActiveInRequester(&a), 2);
    EXPECT_EQ(Interop_InstancesActiveInRequester(&b), 1);
    EXPECT_EQ(Interop_RemoveInstancesActiveInRequester(&a), 0);
    EXPECT_EQ(g_calls.Releases, 2);
    const std::string text = log.Text();
    EXPECT_NE(text.find(a1 + " forcibly removed"), std::string::npos);
    EXPECT_NE(text.find(a2 + " forcibly removed"), std::string::npos);
    EXPECT_EQ(text.find(b1), std::string::npos);
    EXPECT_EQ(Interop_InstancesActiveInRequester(&a), 0);
    EXPECT_EQ(Interop_DispatchHasInstance(b1.c_str()), 1);
}

TEST_F(InteropInstanceTest, PassResumesSafelyAfterRemovalsOutsideIt) {
    int requester = 0;
    for (int i = 0; i < 8; i++) Create("Test.Slow", "", &requester);
    // The slice ends after 0.1 s, mid-table; the instance at the cursor then leaves the table.
    Interop_Process();
    Interop_RemoveInstancesActiveInRequester(&requester);
    Interop_Process();
    EXPECT_EQ(Interop_InstancesActiveInRequester(&requester), 0);
    EXPECT_EQ(g_calls.Releases, 8);
}

TEST_F(InteropInstanceTest, InstancesAreForTheMainThreadOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            std::thread worker([] { Interop_InstancesActiveInRequester(nullptr); });
            worker.join();
        },
        AbortRegex(
            "Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main thread"));
}

} // namespace

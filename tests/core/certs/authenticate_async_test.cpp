// Tests of AuthenticateAsync: checks with the switch off and on, a worker held inside the switch
// so that its running state can be observed, restarts, deletion while a worker runs (also past
// the shutdown wait), store references and the print block.
#include "core/certs/authenticate_async.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "core/runtime/thread.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed_lines.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

// Whether the log (which the worker writes too) holds the text.
bool Logged(const std::string& text) {
    std::lock_guard<std::mutex> guard(CapturedLogLock());
    return CapturedLog().find(text) != std::string::npos;
}

// A switch that answers the owner at once and holds the worker until the test opens it: the
// worker asks the switch before it validates, so a held worker is a worker that is running.
struct Gate {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::thread::id Owner;
    bool Open = false;
    int32_t Entered = 0;
    uint32_t WorkerAnswer = 1;
    std::string WorkerName;
    pid_t WorkerTid = 0;
};
Gate* g_gate = nullptr;

uint32_t GatedSwitch() {
    Gate& gate = *g_gate;
    if (std::this_thread::get_id() == gate.Owner) return 1;
    std::unique_lock<std::mutex> lock(gate.Mutex);
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    gate.WorkerName = name;
    gate.WorkerTid = gettid();
    gate.Entered++;
    gate.Changed.notify_all();
    gate.Changed.wait(lock, [&] { return gate.Open; });
    return gate.WorkerAnswer;
}

void WaitUntilEntered(int32_t count) {
    std::unique_lock<std::mutex> lock(g_gate->Mutex);
    ASSERT_TRUE(
        g_gate->Changed.wait_for(lock, std::chrono::seconds(30), [&] { return g_gate->Entered >= count; }));
}

void OpenGate(uint32_t answer) {
    std::lock_guard<std::mutex> lock(g_gate->Mutex);
    g_gate->WorkerAnswer = answer;
    g_gate->Open = true;
    g_gate->Changed.notify_all();
}

// What the callbacks and the print sink of one object saw.
struct Events {
    int32_t Starts = 0;
    std::vector<uint32_t> Results;
    std::vector<std::string> Paths;
    std::vector<std::string> Lines;
    AuthenticateAsync* Restart = nullptr; // started again from the completion with this path
    std::string RestartPath;
};

void OnStart(AuthenticateAsync*, void* user) {
    static_cast<Events*>(user)->Starts++;
}

void OnComplete(AuthenticateAsync* auth, void* user, uint32_t result) {
    Events* events = static_cast<Events*>(user);
    events->Results.push_back(result);
    char path[AUTHENTICATEASYNC_PATH_SIZE];
    AuthenticateAsync_GetSourcePath(auth, path, sizeof(path));
    events->Paths.push_back(path);
    if (events->Restart == auth) {
        events->Restart = nullptr;
        AuthenticateAsync_SetSourcePath(auth, events->RestartPath.c_str());
        EXPECT_EQ(AuthenticateAsync_Start(auth), 1) << "the completion may start the next check";
    }
}

// Polls until the completion count reaches `count` (bounded, so that a fault fails, never hangs).
bool PollUntil(AuthenticateAsync* auth, const Events& events, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (events.Results.size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        EXPECT_EQ(AuthenticateAsync_Process(auth), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class AuthenticateAsyncTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TakeLog();
        Memory_GetCount(&allocations);
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(Authenticate_Init(), 1);
        gate.Owner = std::this_thread::get_id();
        g_gate = &gate;
    }
    void TearDown() override {
        if (auth) AuthenticateAsync_Release(&auth);
        Authenticate_EnabledOverride(nullptr);
        Authenticate_SetEnabled(1);
        Authenticate_Remove();
        g_gate = nullptr;
        Thread_Remove();
        uint32_t now = 0;
        Memory_GetCount(&now);
        EXPECT_EQ(now, allocations) << "everything freed";
    }
    AuthenticateAsync* Make(const char* path) {
        EXPECT_EQ(AuthenticateAsync_Create(&auth), 1);
        AuthenticateAsync_SetStartCallback(auth, &events, OnStart);
        AuthenticateAsync_SetCompleteCallback(auth, &events, OnComplete);
        AuthenticateAsync_SetPrintCallback(auth, &events.Lines, KeepLine);
        AuthenticateAsync_SetSourcePath(auth, path);
        CertStoreInterface* app = Authenticate_CertStoreGet("app");
        AuthenticateAsync_SetCertStoreHandle(auth, app);
        CertStoreInterface_Release(&app);
        return auth;
    }
    Gate gate;
    Events events;
    AuthenticateAsync* auth = nullptr;
    uint32_t allocations = 0;
};

TEST_F(AuthenticateAsyncTest, SwitchOffSkipsWithoutAThreadAndCompletesOnThePoll) {
    Authenticate_SetEnabled(0);
    Make("/no/such/program");
    EXPECT_EQ(AuthenticateAsync_Process(auth), 1);
    EXPECT_TRUE(events.Results.empty()) << "idle: polling raises nothing";
    EXPECT_EQ(AuthenticateAsync_Start(auth), 1);
    EXPECT_EQ(events.Starts, 1);
    EXPECT_TRUE(HasLine(events.Lines, "Skipping authentication (1) (/no/such/program)"));
    EXPECT_TRUE(events.Results.empty()) << "the result waits for the owner's poll";
    EXPECT_EQ(AuthenticateAsync_Start(auth), 0) << "a result not yet collected is still running";
    EXPECT_TRUE(HasLine(events.Lines, "Already running"));
    EXPECT_EQ(events.Starts, 1);
    EXPECT_EQ(AuthenticateAsync_Process(auth), 1);
    EXPECT_EQ(events.Results, std::vector<uint32_t>{1});
    EXPECT_EQ(AuthenticateAsync_Process(auth), 1);
    EXPECT_EQ(events.Results.size(), 1u) << "raised once";
}

TEST_F(AuthenticateAsyncTest, SwitchOnRefusesWhatIsNotAProgram) {
    Make("/");
    EXPECT_EQ(AuthenticateAsync_Start(auth), 1);
    ASSERT_TRUE(PollUntil(auth, events, 1));
    EXPECT_EQ(events.Results, std::vector<uint32_t>{0});
    EXPECT_EQ(events.Paths, std::vector<std::string>{"/"});
    EXPECT_TRUE(Logged("Library validation failed (/)"));
    EXPECT_FALSE(HasLine(events.Lines, "Skipping"));
}

TEST_F(AuthenticateAsyncTest, RunningWorkerIsNotDisturbedAndReportsOnce) {
    Authenticate_EnabledOverride(GatedSwitch);
    Make("/bin/true");
    EXPECT_EQ(AuthenticateAsync_Start(auth), 1);
    WaitUntilEntered(1);
    EXPECT_EQ(gate.WorkerName, "AuthenticateAsy") << "the worker is named (cut to 15 bytes)";
    EXPECT_EQ(AuthenticateAsync_Start(auth), 0);
    EXPECT_TRUE(HasLine(events.Lines, "Already running"));
    EXPECT_EQ(events.Starts, 1);
    for (int i = 0; i < 5; i++) EXPECT_EQ(AuthenticateAsync_Process(auth), 1);
    EXPECT_TRUE(events.Results.empty()) << "nothing is raised while the worker runs";
    // The switch went off while the worker waited: it skips the check.
    OpenGate(0);
    ASSERT_TRUE(PollUntil(auth, events, 1));
    EXPECT_EQ(events.Results, std::vector<uint32_t>{1});
    EXPECT_TRUE(HasLine(events.Lines, "Skipping authentication (1) (/bin/true)"));
    EXPECT_EQ(AuthenticateAsync_Process(auth), 1);
    EXPECT_EQ(events.Results.size(), 1u);
}

TEST_F(AuthenticateAsyncTest, FinishedValidatorStartsAgainForAnotherPath) {
    Make("/first");
    AuthenticateAsync_Start(auth);
    ASSERT_TRUE(PollUntil(auth, events, 1));
    // Again from inside the completion, and again after it.
    events.Restart = auth;
    events.RestartPath = "/second";
    AuthenticateAsync_SetSourcePath(auth, "/between");
    ASSERT_EQ(AuthenticateAsync_Start(auth), 1);
    ASSERT_TRUE(PollUntil(auth, events, 3));
    EXPECT_EQ(events.Paths, (std::vector<std::string>{"/first", "/between", "/second"}));
    EXPECT_EQ(events.Results, (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(events.Starts, 3);
    Authenticate_SetEnabled(0);
    AuthenticateAsync_SetSourcePath(auth, "/third");
    ASSERT_EQ(AuthenticateAsync_Start(auth), 1);
    ASSERT_TRUE(PollUntil(auth, events, 4));
    EXPECT_EQ(events.Results.back(), 1u);
}

TEST_F(AuthenticateAsyncTest, PathsAreCut) {
    Make("/bin/sh");
    const std::string longPath = "/" + std::string(400, 'p');
    AuthenticateAsync_SetSourcePath(auth, longPath.c_str());
    char path[AUTHENTICATEASYNC_PATH_SIZE + 10];
    AuthenticateAsync_GetSourcePath(auth, path, sizeof(path));
    EXPECT_EQ(std::string(path), longPath.substr(0, AUTHENTICATEASYNC_PATH_SIZE - 1));
    AuthenticateAsync_GetPath(auth, path, 5);
    EXPECT_STREQ(path, "/ppp");
}

TEST_F(AuthenticateAsyncTest, StoreIsHeldByItsOwnReference) {
    ASSERT_EQ(AuthenticateAsync_Create(&auth), 1);
    CertStoreInterface* store = Authenticate_CertStoreGet("null");
    ASSERT_EQ(Class_HasOneRef(store), 0) << "the service holds one too";
    Authenticate_Remove();
    ASSERT_EQ(Class_HasOneRef(store), 1);
    AuthenticateAsync_SetCertStoreHandle(auth, store);
    EXPECT_EQ(Class_HasOneRef(store), 0);
    AuthenticateAsync_SetCertStoreHandle(auth, store);
    EXPECT_EQ(Class_HasOneRef(store), 0) << "setting the held store again keeps one reference";
    AuthenticateAsync_SetCertStoreHandle(auth, nullptr);
    EXPECT_EQ(Class_HasOneRef(store), 1) << "null only drops the held store";
    AuthenticateAsync_SetCertStoreHandle(auth, store);
    AuthenticateAsync_Release(&auth);
    EXPECT_EQ(auth, nullptr);
    EXPECT_EQ(Class_HasOneRef(store), 1) << "deletion drops the store";
    CertStoreInterface_Release(&store);
}

TEST_F(AuthenticateAsyncTest, DeleteWaitsForTheWorkerAndRaisesNothing) {
    Authenticate_EnabledOverride(GatedSwitch);
    Make("/bin/sh");
    ASSERT_EQ(AuthenticateAsync_Start(auth), 1);
    WaitUntilEntered(1);
    std::thread opener([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        OpenGate(1);
    });
    EXPECT_EQ(AuthenticateAsync_Delete(&auth), 1);
    opener.join();
    EXPECT_EQ(auth, nullptr);
    EXPECT_TRUE(events.Results.empty());
    EXPECT_FALSE(HasLine(events.Lines, "Timeout"));
}
TEST_F(AuthenticateAsyncTest, WorkerThatOutlivesTheShutdownWaitFreesTheObjectItself) {
    Authenticate_EnabledOverride(GatedSwitch);
    Make("/bin/sh");
    CertStoreInterface* store = Authenticate_CertStoreGet("app");
    AuthenticateAsync_SetCertStoreHandle(auth, store);
    Authenticate_Remove(); // the worker's reference and this test's are the only ones
    AuthenticateAsync_SetShutdownTimeout(auth, 10);
    ASSERT_EQ(AuthenticateAsync_Start(auth), 1);
    WaitUntilEntered(1);

    EXPECT_EQ(AuthenticateAsync_Delete(&auth), 1);
    EXPECT_EQ(auth, nullptr);
    EXPECT_TRUE(HasLine(events.Lines, "Timeout waiting on authenticate thread shutdown"));
    EXPECT_EQ(Class_HasOneRef(store), 0) << "the worker still holds the object";

    OpenGate(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Class_HasOneRef(store) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(Class_HasOneRef(store), 1) << "the worker freed the object and its store reference";
    EXPECT_TRUE(events.Results.empty());
    CertStoreInterface_Release(&store);
    // Nobody joins the worker any more: wait until its thread has gone before the thread module
    // is removed.
    const std::string task = "/proc/self/task/" + std::to_string(gate.WorkerTid);
    while (access(task.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_NE(access(task.c_str(), F_OK), 0);
    // The worker's last step took the thread module's lock; taking it here orders everything it
    // did before this thread removes the module (a look-up of an id that no thread has).
    Thread* none = nullptr;
    EXPECT_EQ(Thread_FindThreadById(UINT32_MAX, &none), 0);
}

TEST_F(AuthenticateAsyncTest, PrintBlock) {
    Make("/bin/sh");
    AuthenticateAsync_SetPrintIdentifier(auth, "launch");
    AuthenticateAsync_PrintTabbed(auth, 1, "line %d", 7);
    EXPECT_EQ(AuthenticateAsync_VerboseLog(auth, 1, "quiet"), 0);
    char id[40];
    AuthenticateAsync_GetInstanceId(auth, id, sizeof(id));
    // The id is shown by its first 8 digits.
    EXPECT_EQ(events.Lines, std::vector<std::string>{"AuthenticateAsync." + std::string(id).substr(0, 8) +
                                                     ".launch -     line 7\n"});
    // Without a callback, lines go to the log.
    AuthenticateAsync_SetPrintCallback(auth, nullptr, nullptr);
    AuthenticateAsync_Print(auth, "to the log");
    EXPECT_TRUE(Logged("to the log"));
    EXPECT_EQ(events.Lines.size(), 1u);
}

} // namespace

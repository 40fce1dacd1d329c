// The task type skeleton run end to end through the engine: a worker-thread type (test-only) and
// a main-thread type whose ending the test chooses, for arguments, outcome chains, cancellation
// and deletion while the thread runs.
#include <atomic>

#include "tasks/task_base.h"
#include "tests/support/bounded_wait.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

// ---- A worker-thread type: needs "path"; its work waits for the gate unless "wait" is false ----

struct GateInstance {
    TaskBase Base;
    uint32_t Wait;
    char Fail[64];
};

std::atomic<bool> g_gate{false};
std::atomic<int> g_runs{0};
std::atomic<bool> g_working{false};
std::atomic<bool> g_threadEnded{false};
// Whether the thread had ended when the task's completion arrived.
std::atomic<int> g_completedAfterThread{-1};

uint32_t GateStart(WorkerTask* worker, void* user) {
    GateInstance* instance = static_cast<GateInstance*>(user);
    if (!WorkerTask_RequireArgument(worker, "path")) return 0;
    Task_GetBooleanArgument(instance->Base.Owner, "wait", &instance->Wait);
    instance->Fail[0] = 0;
    Task_GetStringArgument(instance->Base.Owner, "fail", instance->Fail, sizeof(instance->Fail));
    g_threadEnded = false;
    return 1;
}

void GateWork(WorkerTask* worker, void* user) {
    GateInstance* instance = static_cast<GateInstance*>(user);
    g_runs++;
    TaskBase_PostProgress(&instance->Base, 1, 4);
    g_working = true;
    while (instance->Wait && !g_gate.load() && !TaskBase_IsStopRequested(&instance->Base))
        if (Thread_WaitForExit(1)) break;
    if (instance->Fail[0]) WorkerTask_SetError(worker, "%s", instance->Fail);
    g_working = false;
    g_threadEnded = true;
}

void GateSuccess(TaskBase* base) {
    TaskBase_RunOutcome(base, "found");
}

int64_t GateOnComplete(void*, const char*, const char*, const char*, Dictionary*) {
    g_completedAfterThread = g_threadEnded.load() ? 1 : 0;
    return 1;
}

const TaskBaseType kGateType = {0x7e570001, sizeof(GateInstance), nullptr, nullptr, GateStart, GateWork,
                                nullptr,    GateSuccess,          nullptr, nullptr};

int64_t GateCreate(void** instance, Task* task) {
    return TaskBase_CreateWorker(instance, task, &kGateType);
}
const TaskInterface kGateRecord = {"TestGate", GateCreate, TaskBase_AddRef, TaskBase_Release};

// The same work, stopped early by a cancel.
const TaskBaseType kStoppableType = {0x7e570004, sizeof(GateInstance), nullptr, nullptr, GateStart, GateWork,
                                     TaskBase_OnCancelStop, GateSuccess, nullptr, nullptr};
int64_t StoppableCreate(void** instance, Task* task) {
    return TaskBase_CreateWorker(instance, task, &kStoppableType);
}
const TaskInterface kStoppableRecord = {"TestStoppable", StoppableCreate, TaskBase_AddRef, TaskBase_Release};

// ---- A main-thread type: compares "result" with 0, or fails with "key" missing --------------

struct PickInstance {
    TaskBase Base;
};

int64_t PickStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, 0x7e570002);
    double code = 0;
    if (Task_GetNumberArgument(base->Owner, "code", &code)) {
        TaskBase_AddPlatformError(base, (int32_t)code);
        return TaskBase_Complete(base, nullptr);
    }
    if (!TaskBase_RequireArgument(base, "result")) return 1;
    double result = 0;
    if (!Task_GetNumberArgument(base->Owner, "result", &result)) {
        TaskBase_InvalidArgument(base, "result argument is not numeric");
        return TaskBase_Complete(base, nullptr);
    }
    return TaskBase_RunComparison(base, (int32_t)result);
}

const TaskBaseType kPickType = {0x7e570002, sizeof(PickInstance), PickStart, nullptr, nullptr,
                                nullptr,    nullptr,              nullptr,   nullptr, nullptr};

int64_t PickCreate(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kPickType);
}
const TaskInterface kPickRecord = {"TestPick", PickCreate, TaskBase_AddRef, TaskBase_Release};

class TaskBaseTest : public TaskLibraryTest {
  protected:
    void SetUp() override {
        TaskLibraryTest::SetUp();
        g_gate = false;
        g_runs = 0;
        g_completedAfterThread = -1;
        Workflow_RegisterTaskHandler(workflow, &kGateRecord);
        Workflow_RegisterTaskHandler(workflow, &kPickRecord);
        Workflow_RegisterTaskHandler(workflow, &kStoppableRecord);
        Define(R"({
            "ok": {"type": "TestImmediate"},
            "bad": {"type": "TestPick"},
            "gate": {"type": "TestGate", "path": "x", "wait": true, "found": "ok", "failure": "ok"},
            "stoppable": {"type": "TestStoppable", "path": "x", "wait": true, "found": "ok"},
            "quick": {"type": "TestGate", "path": "x", "wait": false, "found": "ok"},
            "broken": {"type": "TestGate", "path": "x", "fail": "Platform_Error_Missing", "found": "ok"},
            "noPath": {"type": "TestGate", "failure": "ok"},
            "less": {"type": "TestPick", "result": -1, "notEqualTo": "ok", "lessThan": "ok2", "success": "ok3",
                     "complete": "ok4"},
            "equal": {"type": "TestPick", "result": 0, "notEqualTo": "ok"},
            "bare": {"type": "TestPick", "result": 1},
            "firstFails": {"type": "TestPick", "result": 1, "notEqualTo": "bad", "greaterThan": "ok"},
            "subFails": {"type": "TestPick", "result": 0, "equalTo": "bad"},
            "letters": {"type": "TestPick", "result": "abc"},
            "ok2": {"type": "TestImmediate"}, "ok3": {"type": "TestImmediate"}, "ok4": {"type": "TestImmediate"}
        })");
    }
};

// The test's immediate type, registered with the workflow as "TestImmediate".
struct ImmediateInstance {
    TaskBase Base;
};
int64_t ImmediateStart(void* user, const char*, const char*, const char*, Dictionary*) {
    return TaskBase_Complete(static_cast<TaskBase*>(user), nullptr);
}
const TaskBaseType kImmediateType = {0x7e570003, sizeof(ImmediateInstance), ImmediateStart, nullptr, nullptr,
                                     nullptr,    nullptr,                   nullptr,        nullptr, nullptr};
int64_t ImmediateCreate(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kImmediateType);
}
const TaskInterface kImmediateRecord = {"TestImmediate", ImmediateCreate, TaskBase_AddRef, TaskBase_Release};

class TaskBaseRunTest : public TaskBaseTest {
  protected:
    void SetUp() override {
        TaskBaseTest::SetUp();
        Workflow_RegisterTaskHandler(workflow, &kImmediateRecord);
    }
};

TEST_F(TaskBaseRunTest, MissingArgumentFailsBeforeAnyThreadStarts) {
    Run run = RunTask("noPath");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.errors, std::vector<std::string>{"Task_Error_MissingArg"});
    EXPECT_EQ(g_runs.load(), 0);
    EXPECT_TRUE(Started("ok")); // the "failure" chain
    EXPECT_TRUE(Printed("path argument not defined"));
}

TEST_F(TaskBaseRunTest, WorkerResultRunsItsOutcomeWordOnTheMainThread) {
    Run run = RunTask("quick");
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(run.successful);
    EXPECT_EQ(g_runs.load(), 1);
    // Posted from the thread, published on the main thread.
    EXPECT_NE(StatusJson("quick").find("\"progress\":0.25"), std::string::npos) << StatusJson("quick");
    EXPECT_EQ(started, (std::vector<std::string>{"quick", "ok"}));
}

TEST_F(TaskBaseRunTest, WorkerErrorKeyReachesTheTask) {
    Run run = RunTask("broken");
    ASSERT_TRUE(run.ended);
    EXPECT_FALSE(run.successful);
    EXPECT_EQ(run.errors, std::vector<std::string>{"Platform_Error_Missing"});
    EXPECT_FALSE(Started("ok"));
}

TEST_F(TaskBaseRunTest, CancelWhileThreadRunsEndsOnceAfterTheThread) {
    Start("gate");
    ASSERT_TRUE(PumpUntil([] { return g_working.load(); }));
    Task* task = nullptr;
    ASSERT_EQ(Workflow_FindTaskByName(workflow, "gate", &task), 1);
    char idText[40];
    Task_GetInstanceId(task, idText, sizeof(idText));
    const std::string id = idText;
    NotificationCenter_AddInstanceObserver("Task", "Complete", id.c_str(), nullptr, GateOnComplete);
    EXPECT_EQ(Task_Cancel(task), 1);
    Pump(10);
    EXPECT_FALSE(Result("gate").ended); // the thread still runs: no completion yet
    g_gate = true;
    ASSERT_TRUE(PumpUntil([&] { return Result("gate").ended; }));
    NotificationCenter_RemoveInstanceObserver("Task", "Complete", id.c_str(), nullptr, GateOnComplete);
    Run run = Result("gate");
    EXPECT_TRUE(run.cancelled);
    EXPECT_EQ(run.errors, std::vector<std::string>{"Task_Error_Cancelled"});
    EXPECT_EQ(g_completedAfterThread.load(), 1);
    EXPECT_FALSE(Started("ok")); // neither the outcome word nor "failure"
}

TEST_F(TaskBaseRunTest, CancelStopsWorkThatWatchesTheStopFlag) {
    Start("stoppable");
    ASSERT_TRUE(PumpUntil([] { return g_working.load(); }));
    Task* task = nullptr;
    ASSERT_EQ(Workflow_FindTaskByName(workflow, "stoppable", &task), 1);
    Task_Cancel(task);
    // The gate stays shut: only the stop request ends the work.
    ASSERT_TRUE(PumpUntil([&] { return Result("stoppable").ended; }));
    EXPECT_EQ(Result("stoppable").errors, std::vector<std::string>{"Task_Error_Cancelled"});
    EXPECT_TRUE(g_threadEnded.load());
    // A new run starts without the old stop request.
    g_gate = true;
    Run again = RunTask("stoppable");
    EXPECT_TRUE(again.successful);
    EXPECT_TRUE(Started("ok"));
}

TEST_F(TaskBaseRunTest, DeletingTheTaskWaitsForTheThread) {
    // A task of its own (no workflow or event holds it), started and then let go while it works.
    Dictionary* definitions = nullptr;
    ASSERT_EQ(Workflow_GetDictionaryHandle(workflow, &definitions), 1);
    Task* task = nullptr;
    ASSERT_EQ(Task_Create(&task), 1);
    ASSERT_EQ(Task_LoadFromDictionary(task, definitions, "gate"), 1);
    ASSERT_EQ(Task_SetInterface(task, &kGateRecord), 1);
    Task_Start(task);
    ASSERT_TRUE(PumpUntil([] { return g_working.load(); }));
    // The instance goes with the task: its thread is told to stop and joined first.
    Task_Release(&task);
    EXPECT_TRUE(g_threadEnded.load());
    EXPECT_FALSE(g_working.load());
    Pump(5);
}

TEST_F(TaskBaseRunTest, TwoLevelOutcomeRunsBothChainsInOrderThenSuccess) {
    Run run = RunTask("less");
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(run.successful);
    EXPECT_EQ(started, (std::vector<std::string>{"less", "ok", "ok2", "ok3", "ok4"}));
}

TEST_F(TaskBaseRunTest, AbsentOutcomeWordsStillComplete) {
    const char* names[] = {"equal", "bare"};
    for (const char* name : names) {
        Run run = RunTask(name);
        EXPECT_TRUE(run.ended && run.successful) << name;
    }
    EXPECT_FALSE(Started("ok"));
}

TEST_F(TaskBaseRunTest, FailedChainFailsItsTask) {
    const char* names[] = {"subFails", "firstFails"};
    for (const char* name : names) {
        Run run = RunTask(name);
        EXPECT_TRUE(run.ended) << name;
        EXPECT_FALSE(run.successful) << name;
    }
    // Both words of the pair ran, though the first failed.
    EXPECT_TRUE(Started("ok"));
}

TEST_F(TaskBaseRunTest, ArgumentErrorsAreKeys) {
    Run run = RunTask("letters");
    EXPECT_EQ(run.errors, std::vector<std::string>{"Task_Error_InvalidArg"});
    EXPECT_TRUE(Printed("result argument is not numeric"));
    Define(R"({"none": {"type": "TestPick"}})");
    run = RunTask("none");
    EXPECT_EQ(run.errors, std::vector<std::string>{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("\"result\" argument not defined"));
}

TEST_F(TaskBaseRunTest, PlatformErrorKeysNameTheClassOrTheCode) {
    Define(R"({"missing": {"type": "TestPick", "code": 100002}, "odd": {"type": "TestPick", "code": 12345}})");
    EXPECT_EQ(RunTask("missing").errors, std::vector<std::string>{"Platform_Error_Missing"}); // ENOENT
    EXPECT_EQ(RunTask("odd").errors, std::vector<std::string>{"Platform_Error_12345"});
}

TEST_F(TaskBaseRunTest, WrongHandleStopsTheProcess) {
    PickInstance other{};
    other.Base.Header.ClassId = 0x12345678;
    EXPECT_DEATH(TaskBase_Check(&other, 0x7e570002), "Class mismatch pointer");
    EXPECT_DEATH(TaskBase_Check(nullptr, 0x7e570002), "Pointer is NULL");
}

} // namespace

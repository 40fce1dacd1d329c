// Tests of worker tasks: tasks whose type blocks on a worker thread run through the notification
// centre and main-loop passes; start, cancel and completion callbacks, the error text, joining,
// and a thread that cannot start.
#include <pthread.h>

#include <chrono>

#include "tests/support/bounded_wait.h"
#include "tests/workflow/task_fixture.h"
#include "tests/workflow/test_task_types.h"
#include "workflow/worker_task.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);
const bool g_bounded = BoundEveryTest();

using test_task_types::Blocking;

class WorkerTaskTest : public TaskTest {
  public:
    // What the callbacks of a bare worker saw.
    uint32_t startAnswer = 1;
    int32_t cancelAnswer = -1; // -1: no cancel callback
    std::atomic<int> runs{0};
    int completions = 0;
    int cancels = 0;
    std::string threadName;
    uint32_t runThread = 0;
    uint32_t completeThread = 0;
    std::vector<std::string> completeErrors;

  protected:
    WorkerTask* worker = nullptr;

    void TearDown() override {
        WorkerTask_SetThreadBeginOverride(nullptr);
        if (worker) {
            WorkerTask_Join(worker);
            WorkerTask_Release(&worker);
        }
        TaskTest::TearDown();
    }

    // One pass of the main loop as far as tasks see it: posted notifications, then the main queue.
    static void Pass() {
        NotificationCenter_Process();
        EventQueue_Flush(nullptr);
    }

    // Passes until the condition holds; false after 20 s.
    template <typename Condition> static bool PassUntil(Condition condition) {
        return StepUntil(condition,
                         [] {
                             Pass();
                             Thread_Wait(1);
                         },
                         20);
    }

    Task* LoadBound(const char* document, const TaskInterface* type) {
        Task* task = Load(document, "t", {"Complete"});
        EXPECT_EQ(Task_SetInterface(task, type), 1);
        return task;
    }

    // A bare worker on a task without type, with recording callbacks.
    Task* LoadWithWorker(const char* document) {
        Task* task = Load(document, "t", {"Complete"});
        WorkerTask_Create(&worker);
        WorkerTask_SetStartCallback(worker, this, [](WorkerTask*, void* user) -> uint32_t {
            return static_cast<WorkerTaskTest*>(user)->startAnswer;
        });
        WorkerTask_SetRunCallback(worker, this, [](WorkerTask*, void* user) {
            WorkerTaskTest* test = static_cast<WorkerTaskTest*>(user);
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof(name));
            test->threadName = name;
            test->runThread = Thread_GetCurrentId();
            test->runs++;
        });
        if (cancelAnswer >= 0)
            WorkerTask_SetCancelCallback(worker, this, [](WorkerTask*, void* user) -> uint32_t {
                WorkerTaskTest* test = static_cast<WorkerTaskTest*>(user);
                test->cancels++;
                return (uint32_t)test->cancelAnswer;
            });
        WorkerTask_SetCompleteCallback(worker, this, [](WorkerTask* w, void* user) {
            WorkerTaskTest* test = static_cast<WorkerTaskTest*>(user);
            test->completions++;
            test->completeThread = Thread_GetCurrentId();
            char error[WORKERTASK_ERROR_SIZE];
            if (WorkerTask_GetError(w, error, sizeof(error))) test->completeErrors.push_back(error);
        });
        WorkerTask_SetTaskHandle(worker, task);
        return task;
    }

    int CompleteCount() const {
        int count = 0;
        for (const std::string& line : fired) count += line.rfind("Complete:", 0) == 0;
        return count;
    }
};

TEST_F(WorkerTaskTest, BlockingWorkCompletesOnTheMainLoopOnlyWhenItEnds) {
    Task* task = LoadBound(R"({"t": {"type": "TestBlocking"}})", &TestBlockingTaskType);
    Task_Start(task);
    ASSERT_TRUE(PassUntil([&] { return Blocking(task)->Working.load(); }));
    for (int i = 0; i < 20; i++) Pass();
    EXPECT_FALSE(Task_IsCompleted(task));
    EXPECT_EQ(Blocking(task)->Completions.load(), 0);

    Blocking(task)->Open = true;
    ASSERT_TRUE(PassUntil([&] { return CompleteCount() == 1; }));
    EXPECT_EQ(fired.back(), R"(Complete:{"successful":true,"cancelled":false})");
    EXPECT_EQ(Blocking(task)->Runs.load(), 1);
    EXPECT_EQ(Blocking(task)->Completions.load(), 1);
}

TEST_F(WorkerTaskTest, ErrorOfTheWorkReachesTheTask) {
    Task* task = LoadBound(R"({"t": {"type": "TestBlocking", "error": "Test_Error_Disk"}})", &TestBlockingTaskType);
    Blocking(task)->Open = true;
    Task_Start(task);
    ASSERT_TRUE(PassUntil([&] { return CompleteCount() == 1; }));
    EXPECT_EQ(Errors(task), "Test_Error_Disk");
    EXPECT_EQ(fired.back(), R"(Complete:{"successful":false,"cancelled":false,"errors":["Test_Error_Disk"]})");
}

TEST_F(WorkerTaskTest, WorkRunsOnANamedThreadAndCompletesOnTheMainThread) {
    Task* task = LoadWithWorker(R"({"t": {}})");
    Task_Start(task);
    ASSERT_TRUE(PassUntil([&] { return completions == 1; }));
    EXPECT_EQ(threadName, "WorkerTask");
    EXPECT_NE(runThread, Thread_GetMainId());
    EXPECT_EQ(completeThread, Thread_GetMainId());
    EXPECT_TRUE(completeErrors.empty());
    EXPECT_EQ(WorkerTask_Join(worker), 1);
    // The type completes the task; the worker does not.
    EXPECT_FALSE(Task_IsCompleted(task));
}

TEST_F(WorkerTaskTest, StartCallbackAnsweringZeroCompletesDuringTheStartDelivery) {
    startAnswer = 0;
    Task* task = LoadWithWorker(R"({"t": {}})");
    Task_Start(task);
    EXPECT_EQ(completions, 0); // the start is posted, not delivered inside Task_Start
    StepUntil([&] { return completions != 0; },
              [] {
                  NotificationCenter_Process();
                  Thread_Wait(1);
              });
    EXPECT_EQ(completions, 1); // without flushing the main event queue
    EXPECT_EQ(WorkerTask_Join(worker), 1);
    for (int i = 0; i < 20; i++) Pass();
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(completions, 1);
    WorkerTask_Release(&worker); // no thread: nothing to join
    EXPECT_EQ(worker, nullptr);
}

TEST_F(WorkerTaskTest, CancelWithoutCallbackCompletesAtOnceAndOnlyOnce) {
    Task* task = LoadBound(R"({"t": {"type": "TestBlocking", "success": "next"}})", &TestBlockingTaskType);
    Task_Start(task);
    ASSERT_TRUE(PassUntil([&] { return Blocking(task)->Working.load(); }));
    EXPECT_EQ(Task_Cancel(task), 1);
    EXPECT_TRUE(Task_IsCompleted(task));
    EXPECT_EQ(CompleteCount(), 1);
    EXPECT_EQ(fired.back(), R"(Complete:{"successful":false,"cancelled":true,"errors":["Task_Error_Cancelled"]})");
    EXPECT_TRUE(Blocking(task)->Working.load()); // the work goes on

    Blocking(task)->Open = true;
    ASSERT_TRUE(PassUntil([&] { return Blocking(task)->Completions.load() == 1; }));
    for (int i = 0; i < 20; i++) Pass();
    EXPECT_EQ(CompleteCount(), 1);
    EXPECT_EQ(Errors(task), "Task_Error_Cancelled");
}

TEST_F(WorkerTaskTest, CancelCallbackDecides) {
    struct Case {
        int32_t answer;
        bool completedAtOnce;
    } cases[] = {{1, false}, {0, true}};
    for (const Case& c : cases) {
        cancelAnswer = c.answer;
        cancels = 0;
        fired.clear();
        Task* task = LoadWithWorker(R"({"t": {}})");
        Task_Start(task);
        EXPECT_EQ(Task_Cancel(task), 1);
        EXPECT_EQ(cancels, 1);
        EXPECT_EQ(Task_IsCompleted(task) != 0, c.completedAtOnce) << c.answer;
        ASSERT_TRUE(PassUntil([&] { return completions == 1; }));
        WorkerTask_Join(worker);
        WorkerTask_Release(&worker);
        completions = 0;
    }
}

TEST_F(WorkerTaskTest, ErrorFromTranslate) {
    WorkerTask_Create(&worker);
    TaskTranslateFunc translate = [](uint32_t code) -> const char* {
        switch (code) {
        case 0: return "None";
        case 5: return "Timeout";
        case 7: return "Unknown";
        case 8: return "None";
        default: return nullptr;
        }
    };
    const struct {
        uint32_t code;
        const char* error;
    } cases[] = {{0, "Disk_Error_None"}, {5, "Disk_Error_Timeout"}, {7, "Disk_Error_7"},
                 {8, "Disk_Error_8"},    {9, "Disk_Error_9"}};
    for (const auto& c : cases) {
        EXPECT_EQ(WorkerTask_SetErrorFromTranslate(worker, "Disk_Error", c.code, translate), 1);
        char error[WORKERTASK_ERROR_SIZE];
        EXPECT_EQ(WorkerTask_GetError(worker, error, sizeof(error)), 1);
        EXPECT_STREQ(error, c.error) << c.code;
    }
}

TEST_F(WorkerTaskTest, ErrorTextKeeps319Characters) {
    WorkerTask_Create(&worker);
    std::string text(400, 'e');
    WorkerTask_SetError(worker, "%s", text.c_str());
    char error[WORKERTASK_ERROR_SIZE + 20];
    EXPECT_EQ(WorkerTask_GetError(worker, error, sizeof(error)), 1);
    EXPECT_EQ(std::string(error), text.substr(0, 319));
    char small[8];
    WorkerTask_GetError(worker, small, sizeof(small));
    EXPECT_STREQ(small, "eeeeeee");
}

TEST_F(WorkerTaskTest, RequireArgument) {
    Task* task = LoadWithWorker(R"({"t": {"source": "a.bin"}})");
    char error[WORKERTASK_ERROR_SIZE];
    EXPECT_EQ(WorkerTask_RequireArgument(worker, "source"), 1);
    EXPECT_EQ(WorkerTask_GetError(worker, error, sizeof(error)), 0);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(WorkerTask_RequireArgument(worker, "target"), 0);
    EXPECT_EQ(WorkerTask_GetError(worker, error, sizeof(error)), 1);
    EXPECT_STREQ(error, "Task_Error_MissingArg");
    EXPECT_TRUE(Printed("target argument not defined"));
    // The next start begins with no error.
    Task_Start(task);
    ASSERT_TRUE(PassUntil([&] { return completions == 1; }));
    EXPECT_TRUE(completeErrors.empty());
}

TEST_F(WorkerTaskTest, ThreadThatCannotStartEndsTheTaskWithAnError) {
    WorkerTask_SetThreadBeginOverride([](Thread** handle, void*, ThreadFunc) -> int64_t {
        *handle = nullptr;
        return 0;
    });
    Task* task = LoadBound(R"({"t": {"type": "TestBlocking"}})", &TestBlockingTaskType);
    Task_Start(task);
    ASSERT_TRUE(PassUntil([&] { return CompleteCount() == 1; }));
    EXPECT_EQ(Blocking(task)->Runs.load(), 0);
    EXPECT_EQ(fired.back(),
              R"(Complete:{"successful":false,"cancelled":false,"errors":["WorkerTask_Error_ThreadStart"]})");

    // A type without a complete callback: the worker completes the task itself.
    fired.clear();
    Task* bare = Load(R"({"t": {}})", "t", {"Complete"});
    WorkerTask_Create(&worker);
    WorkerTask_SetTaskHandle(worker, bare);
    Task_Start(bare);
    ASSERT_TRUE(PassUntil([&] { return CompleteCount() == 1; }));
    EXPECT_EQ(Errors(bare), "WorkerTask_Error_ThreadStart");
    EXPECT_TRUE(Printed("Worker task thread failed to start"));
}

TEST_F(WorkerTaskTest, DeleteWithoutJoinStops) {
    EXPECT_DEATH(
        {
            BoundedDeathChild();
            Task* task = LoadWithWorker(R"({"t": {}})");
            Task_Start(task);
            PassUntil([&] { return completions == 1; });
            WorkerTask_Release(&worker);
        },
        AbortRegex("Assertion failed (WorkerTask->RequireJoin == FALSE)\nWorker task requires join before delete"));
}

TEST_F(WorkerTaskTest, UnboundWorkerNoLongerSeesTheTask) {
    Task* task = LoadWithWorker(R"({"t": {}})");
    uint32_t delayed = 0;
    Task_GetDelayedCancel(task, &delayed);
    EXPECT_EQ(delayed, 1u);
    WorkerTask_SetTaskHandle(worker, nullptr);
    Task_Start(task);
    for (int i = 0; i < 20; i++) Pass();
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(completions, 0);
}

} // namespace

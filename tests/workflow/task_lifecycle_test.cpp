// Tests of the Task lifecycle: the outcome chain and its reported result, the "status" texts,
// cancelling, sub-tasks with arguments and the events that carry sub-actions.
#include "tests/support/bounded_wait.h"
#include "tests/workflow/workflow_fixture.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);
const bool g_bounded = BoundEveryTest();

class LifecycleTest : public WorkflowTest {
  protected:
    // Runs `name` of the document in a fresh workflow; the information of its "Task"/"Complete"
    // (the event's without the keys the event adds), and the names of the tasks it ran after it.
    std::string RunChain(const char* document, const char* name, std::string* ran = nullptr) {
        Workflow_Reset(workflow);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Define(document);
        started.clear();
        std::string end = Run(name);
        for (const char* key : {",\"name\":", ",\"exists\":", ",\"global\":"}) {
            const size_t at = end.find(key);
            if (at != std::string::npos) end = end.substr(0, at) + "}";
        }
        if (ran) {
            ran->clear();
            for (size_t i = 1; i < started.size(); i++)
                *ran += (ran->empty() ? "" : ",") + started[i].substr(0, started[i].find(':'));
        }
        return end;
    }
};

TEST_F(LifecycleTest, OutcomeChainDecidesTheReportedResult) {
    const char* document = R"({
        "plain": {},
        "failing": {"fail": true},
        "toFailure": {"success": "failing"},
        "successThenComplete": {"success": "failing", "complete": "plain"},
        "saysFailed": {"result": {"successful": false}},
        "failsDespiteResult": {"fail": true, "result": {"successful": true, "extra": 1}},
        "failureHandled": {"fail": true, "success": "failing", "failure": "plain"},
        "missing": {"success": "nowhere"},
        "nullOutcome": {"success": null}
    })";
    const struct {
        const char *name, *complete, *ran;
    } cases[] = {
        {"plain", R"({"successful":true,"cancelled":false})", ""},
        {"toFailure", R"({"successful":false,"cancelled":false,"errors":["Test_Error_Failed"]})", "failing"},
        {"successThenComplete", R"({"successful":true,"cancelled":false})", "failing,plain"},
        {"saysFailed", R"({"successful":false,"cancelled":false})", ""},
        {"failsDespiteResult", R"({"successful":false,"cancelled":false,"errors":["Test_Error_Failed"],"extra":1})",
         ""},
        // The failure task ran and succeeded: the chain's end is the task's result, and its empty
        // lists leave the task's own in place.
        {"failureHandled", R"({"successful":true,"cancelled":false,"errors":["Test_Error_Failed"]})", "plain"},
        {"nullOutcome", R"({"successful":true,"cancelled":false})", ""},
        // A chain that cannot go on fails its task: the next step was never taken.
        {"missing", R"({"successful":false,"cancelled":false,"errors":["Task_Error_MissingSubTask"]})", ""},
    };
    for (const auto& c : cases) {
        std::string ran;
        EXPECT_EQ(RunChain(document, c.name, &ran), c.complete) << c.name;
        EXPECT_EQ(ran, c.ran) << c.name;
    }
    EXPECT_TRUE(Printed("Cannot find task nowhere"));
}

// The chain's end decides, but the error of a missing outcome task stays with the task.
TEST_F(LifecycleTest, MissingOutcomeTaskIsAnError) {
    Define(R"({"t": {"hold": true, "success": "nowhere"}})");
    EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, nullptr, nullptr), 1);
    Passes(4);
    Task* task = Find("t");
    ASSERT_NE(task, nullptr);
    Task_Complete(task, nullptr);
    EXPECT_EQ(Errors(task), "Task_Error_MissingSubTask");
    Passes(10);
}

TEST_F(LifecycleTest, CompletionWaitsForPostedEvents) {
    Define(R"({"t": {"hold": true}})");
    Watch("Task", "Complete");
    EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, nullptr, nullptr), 1);
    Passes(3);
    Task* task = Find("t");
    ASSERT_NE(task, nullptr);
    Task_AddRef(task);
    Task_Complete(task, nullptr);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(Task_IsCompleted(task), 0);
    // Two empty sub-actions ("success", then "complete"), each ending on the pass after it began.
    Passes(2);
    EXPECT_EQ(seen, std::vector<std::string>{"5:Task/Complete"});
    EXPECT_EQ(Task_IsCompleted(task), 1);
    EXPECT_EQ(Task_Complete(task, nullptr), 1);
    Passes(3);
    EXPECT_EQ(seen.size(), 1u);
    Task_Release(&task);
}

TEST_F(LifecycleTest, StatusTexts) {
    std::vector<std::string> starts;
    auto onStart = [](void* user, const char*, const char*, const char*, Dictionary* info) -> int64_t {
        const char* text = nullptr;
        Dictionary_GetStringPtrByKey(info, "status", &text);
        static_cast<std::vector<std::string>*>(user)->push_back(text ? text : "-");
        return 1;
    };
    NotificationCenter_AddObserver("Task", "Start", &starts, onStart);
    std::vector<std::string> statuses;
    auto onStatus = [](void* user, const char*, const char*, const char*, Dictionary* info) -> int64_t {
        const char* text = nullptr;
        if (Dictionary_GetStringPtrByKey(info, "status", &text) && text)
            static_cast<std::vector<std::string>*>(user)->push_back(text);
        return 1;
    };
    NotificationCenter_AddObserver("Task", "Status", &statuses, onStatus);
    Define(R"({"ok": {"status": ["Working {this.name}", "Done"]},
               "bad": {"status": ["Working", "Done"], "fail": true}})");
    Run("ok");
    Run("bad");
    EXPECT_EQ(starts, (std::vector<std::string>{"Working ok", "Working"}));
    EXPECT_EQ(statuses, std::vector<std::string>{"Done"});
    NotificationCenter_RemoveObserver("Task", "Start", &starts, onStart);
    NotificationCenter_RemoveObserver("Task", "Status", &statuses, onStatus);
}

TEST_F(LifecycleTest, CancelRunsNoChain) {
    Define(R"({"t": {"hold": true, "failure": "plain", "complete": "plain"}, "plain": {}})");
    EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, nullptr, nullptr), 1);
    Passes(3);
    Task* task = Find("t");
    ASSERT_NE(task, nullptr);
    Task_AddRef(task);
    EXPECT_EQ(Task_Cancel(task), 1);
    EXPECT_EQ(Task_Cancel(task), 0);
    Passes(5);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0],
              R"({"successful":false,"cancelled":true,"errors":["Task_Error_Cancelled"],"name":"t","exists":true,"global":false})");
    EXPECT_EQ(started.size(), 1u); // "plain" never started
    EXPECT_TRUE(Printed("Cancel\n"));
    Task_Release(&task);

    Task* delayed = Load(R"({"d": {"hold": true}})", "d", {"Cancel"});
    Task_SetDelayedCancel(delayed, 1);
    Task_Start(delayed);
    EXPECT_EQ(Task_Cancel(delayed), 1);
    EXPECT_EQ(Task_Cancel(delayed), 0);
    EXPECT_EQ(Task_IsCancelled(delayed), 0);
    EXPECT_TRUE(Printed("Cancel delayed"));
    EXPECT_EQ(fired, std::vector<std::string>{"Cancel:"});
    Pump();
}

// "ignoreError": true waves errors through, but not a cancel: the task still ends cancelled and
// runs neither "success" nor "complete".
TEST_F(LifecycleTest, CancelIsNotAnIgnorableError) {
    Define(R"({"t": {"hold": true, "ignoreError": true, "success": "plain", "complete": "plain"}, "plain": {}})");
    EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, nullptr, nullptr), 1);
    Passes(3);
    ASSERT_NE(Find("t"), nullptr);
    EXPECT_EQ(Task_Cancel(Find("t")), 1);
    Passes(5);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0],
              R"({"successful":false,"cancelled":true,"errors":["Task_Error_Cancelled"],"name":"t","exists":true,"global":false})");
    EXPECT_EQ(started.size(), 1u);
}

TEST_F(LifecycleTest, OutcomeDictionaryGivesArguments) {
    std::string ran;
    RunChain(R"({"a": {"success": {"action": "b", "x": "1"}}, "b": {}})", "a", &ran);
    EXPECT_EQ(ran, "b");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1], R"(b:{"x":"1"})");
    EXPECT_TRUE(Printed("Running subtask b"));
}

// An event ends once: a second end would run its callback and free it twice.
TEST_F(LifecycleTest, EventEndsOnce) {
    Task* task = Load(R"({"t": {}})", "t");
    int calls = 0;
    TaskEvent* event = nullptr;
    TaskEvent_Create(&event);
    TaskEvent_SetTaskHandle(event, task);
    TaskEvent_SetCompleteCallback(event, &calls, [](Task*, void* user, Dictionary*) -> int64_t {
        ++*static_cast<int*>(user);
        return 1;
    });
    EXPECT_EQ(TaskEvent_Start(event, "e"), 1);
    EXPECT_EQ(TaskEvent_Complete(event, nullptr), 1);
    EXPECT_EQ(TaskEvent_Complete(event, nullptr), 0);
    Pump();
    EXPECT_EQ(calls, 1);
}

TEST_F(LifecycleTest, ScriptSubActionRaisesItsCallback) {
    std::vector<std::string> messages;
    InteropExecuteCallback* context = nullptr;
    Interop_AddExecuteCallback(&context, &messages,
                               [](void* user, InteropExecuteCallback*, const char* text, void*) -> int64_t {
                                   static_cast<std::vector<std::string>*>(user)->push_back(text);
                                   return 1;
                               });
    Task* task = Load(R"({"t": {}})", "t");
    EXPECT_EQ(Task_RunSubActionInterop(task, "found", "cb1"), 1);
    StepUntil([&] { return !messages.empty(); },
              [this] {
                  Pump();
                  EventQueue_Flush(nullptr);
                  Interop_Process();
                  Thread_Wait(1);
              });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("\"callbackId\":\"cb1\""), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("\"type\":\"Task\""), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find(reinterpret_cast<const char*>(task)), std::string::npos) << messages[0];
    Interop_RemoveExecuteCallback(&context);
}

} // namespace

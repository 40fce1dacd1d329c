// Tests of the Task lifecycle: the outcome chain and its reported result, the "status" texts,
// cancelling, sub-tasks with arguments and the events that carry sub-actions.
#include "tests/workflow/task_fixture.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);
const bool g_bounded = BoundEveryTest();

class LifecycleTest : public TaskTest {
  protected:
    static LifecycleTest* current;
    Dictionary* definitions = nullptr;
    std::vector<std::string> created; // "name:arguments as JSON"
    char workflow[64] = "workflow";

    // The test's task type: fails when "fail" is true, else completes with its "result".
    static int64_t OnStart(void*, const char*, const char*, const char* instance, Dictionary*) {
        for (Task* task : current->tasks) {
            if (strcmp(reinterpret_cast<const char*>(task), instance) != 0) continue;
            uint32_t flag = 0;
            if (Task_GetBooleanArgument(task, "hold", &flag) && flag) return 1;
            if (Task_GetBooleanArgument(task, "fail", &flag) && flag) Task_AddError(task, "Test_Error_%s", "Failed");
            Dictionary* result = nullptr;
            Dictionary_GetDictionaryByKey(Task_GetDictionaryHandle(task), "result", &result);
            Task_Complete(task, result);
        }
        return 1;
    }

    static int64_t CreateTask(Workflow* wf, const char* name, Dictionary* arguments, Task*, Task** out) {
        *out = nullptr;
        Task* task = nullptr;
        Task_Create(&task);
        Task_SetPrintCallback(task, current, CaptureLine);
        if (!Task_LoadFromDictionary(task, Root(current->definitions), name)) {
            Task_Release(&task);
            return 0;
        }
        if (arguments) Dictionary_Merge(Task_GetDictionaryHandle(task), arguments, DICTIONARY_MERGE_OVERWRITE);
        Task_SetWorkflowHandle(task, wf);
        current->created.push_back(std::string(name) + ":{" + DictionaryAsJson(Task_GetDictionaryHandle(task)) + "}");
        current->tasks.push_back(task);
        Task_AddRef(task);
        *out = task;
        return 1;
    }

    void SetUp() override {
        TaskTest::SetUp();
        current = this;
        TaskWorkflowServices services{};
        services.CreateTask = CreateTask;
        Task_SetWorkflowServices(&services);
        NotificationCenter_AddObserver("Task", "Start", this, OnStart);
    }
    void TearDown() override {
        NotificationCenter_RemoveObserver("Task", "Start", this, OnStart);
        TaskTest::TearDown();
    }

    // Runs `name` of the document to its end; the information of its "Task"/"Complete".
    std::string Run(const char* document, const char* name) {
        Task* task = Load(document, name, {"Complete"});
        definitions = documents.back();
        Task_SetWorkflowHandle(task, reinterpret_cast<Workflow*>(workflow));
        Task_Start(task);
        Pump();
        return fired.size() == 1 ? fired[0] : "fired " + std::to_string(fired.size());
    }
};

LifecycleTest* LifecycleTest::current = nullptr;

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
        const char *name, *complete, *created;
    } cases[] = {
        {"plain", R"(Complete:{"successful":true,"cancelled":false})", ""},
        {"toFailure", R"(Complete:{"successful":false,"cancelled":false,"errors":["Test_Error_Failed"]})", "failing"},
        {"successThenComplete", R"(Complete:{"successful":true,"cancelled":false})", "failing,plain"},
        {"saysFailed", R"(Complete:{"successful":false,"cancelled":false})", ""},
        {"failsDespiteResult", R"(Complete:{"successful":false,"cancelled":false,"errors":["Test_Error_Failed"],"extra":1})",
         ""},
        // The failure task ran and succeeded: the chain's end is the task's result.
        {"failureHandled", R"(Complete:{"successful":true,"cancelled":false,"errors":["Test_Error_Failed"]})", "plain"},
        {"nullOutcome", R"(Complete:{"successful":true,"cancelled":false})", ""},
    };
    for (const auto& c : cases) {
        fired.clear();
        created.clear();
        const std::string complete = Run(document, c.name);
        EXPECT_EQ(complete, c.complete) << c.name;
        std::string names;
        for (const std::string& entry : created) names += (names.empty() ? "" : ",") + entry.substr(0, entry.find(':'));
        EXPECT_EQ(names, c.created) << c.name;
    }
    fired.clear();
    Run(document, "missing");
    EXPECT_EQ(Errors(tasks.back()), "Task_Error_MissingSubTask");
    // A null outcome names no task at all, so none is missing.
    fired.clear();
    Run(document, "nullOutcome");
    EXPECT_EQ(Errors(tasks.back()), "");
}

TEST_F(LifecycleTest, CompletionWaitsForPostedEvents) {
    Task* task = Load(R"({"t": {"hold": true}})", "t", {"Complete"});
    Task_Start(task);
    Pump();
    Task_Complete(task, nullptr);
    EXPECT_TRUE(fired.empty());
    EXPECT_EQ(Task_IsCompleted(task), 0);
    Pump();
    EXPECT_EQ(fired.size(), 1u);
    EXPECT_EQ(Task_IsCompleted(task), 1);
    EXPECT_EQ(Task_Complete(task, nullptr), 1);
    Pump();
    EXPECT_EQ(fired.size(), 1u);
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
    const char* document = R"({"ok": {"status": ["Working {this.name}", "Done"]},
                               "bad": {"status": ["Working", "Done"], "fail": true}})";
    Run(document, "ok");
    const char* status = nullptr;
    Dictionary_GetStringPtrByKey(Task_GetStatusDictionaryHandle(tasks.back()), "status", &status);
    EXPECT_STREQ(status, "Done");
    Run(document, "bad");
    EXPECT_EQ(Dictionary_ContainsKey(Task_GetStatusDictionaryHandle(tasks.back()), "status"), 0);
    EXPECT_EQ(starts, (std::vector<std::string>{"Working ok", "Working"}));
    NotificationCenter_RemoveObserver("Task", "Start", &starts, onStart);
}

TEST_F(LifecycleTest, CancelRunsNoChain) {
    Task* task = Load(R"({"t": {"hold": true, "failure": "plain", "complete": "plain"}, "plain": {}})", "t",
                      {"Complete"});
    definitions = documents.back();
    Task_SetWorkflowHandle(task, reinterpret_cast<Workflow*>(workflow));
    Task_Start(task);
    Pump();
    EXPECT_EQ(Task_Cancel(task), 1);
    EXPECT_EQ(Task_Cancel(task), 0);
    Pump();
    EXPECT_TRUE(created.empty());
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0], R"(Complete:{"successful":false,"cancelled":true,"errors":["Task_Error_Cancelled"]})");
    EXPECT_TRUE(Printed("Cancel\n"));

    Task* delayed = Load(R"({"d": {"hold": true}})", "d", {"Cancel"});
    Task_SetDelayedCancel(delayed, 1);
    Task_Start(delayed);
    EXPECT_EQ(Task_Cancel(delayed), 1);
    EXPECT_EQ(Task_Cancel(delayed), 0);
    EXPECT_EQ(Task_IsCancelled(delayed), 0);
    EXPECT_TRUE(Printed("Cancel delayed"));
    Pump();
}

TEST_F(LifecycleTest, OutcomeDictionaryGivesArguments) {
    Run(R"({"a": {"success": {"action": "b", "x": "1"}}, "b": {}})", "a");
    EXPECT_EQ(created, std::vector<std::string>{"b:{\"x\":\"1\"}"});
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
    for (int i = 0; i < 5 && messages.empty(); i++) {
        Pump();
        EventQueue_Flush(nullptr);
        Interop_Process();
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("\"callbackId\":\"cb1\""), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("\"type\":\"Task\""), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find(reinterpret_cast<const char*>(task)), std::string::npos) << messages[0];
    Interop_RemoveExecuteCallback(&context);
}

} // namespace

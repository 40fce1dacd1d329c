// The engine context's bookkeeping of tasks and workflows, the analytics event of a finished task
// and of a connection error, and the graceful shutdown, all through the real notification centre.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/web/analytics.h"
#include "tests/workflow/workflow_fixture.h"
#include "workflow/workflow_app.h"

namespace {

std::vector<std::string> g_seen; // "sender|information"
int64_t Record(void*, const char*, const char*, const char* instance, Dictionary* info) {
    g_seen.push_back(std::string(instance) + "|" + (info ? DictionaryAsJson(info) : ""));
    return 1;
}

class WorkflowAppTrackingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("workflow_app_tracking.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        g_seen.clear();
        // Events stay queued: the endpoint is never reached before the test ends.
        Dictionary* config = ParseJson(R"({"analytics": {"enabled": true, "key": "k", "endPoint": "http://127.0.0.1:9/",
                                      "sendInterval": 100000}})");
        WorkflowApp_LoadConfigFromDictionary(config);
        Dictionary_Release(&config);
    }
    void TearDown() override {
        NotificationCenter_RemoveObserver("WorkflowApp", "Shutdown", nullptr, Record);
        if (workflow) Workflow_Release(&workflow);
        EXPECT_EQ(WorkflowApp_Remove(nullptr), 1);
    }
    void Fire(const char* type, const char* name, const char* sender, const char* json) {
        NotificationCenter_FireWithJSON(type, name, sender, "%s", json);
    }
    void Passes(int count) {
        for (int i = 0; i < count; i++) {
            NotificationCenter_Process();
            EventQueue_Flush(nullptr);
        }
    }
    std::string Events() {
        Dictionary* list = nullptr;
        Dictionary_Create(&list);
        Analytics_Dump(list);
        const std::string text = DictionaryAsJson(list);
        Dictionary_Release(&list);
        return text;
    }
    Workflow* workflow = nullptr;
    void Define(const char* text) {
        ASSERT_EQ(Workflow_Create(&workflow), 1);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Dictionary* document = ParseJson(text);
        Workflow_LoadDictionary(workflow, Root(document), 1);
        Dictionary_Release(&document);
    }
    Task* Run(const char* name) {
        EXPECT_EQ(Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr), 1);
        Passes(10);
        Task* task = nullptr;
        Workflow_FindTaskByName(workflow, name, &task);
        return task;
    }
    static std::string WorkflowOf(const char* task, uint32_t recursive) {
        char name[64] = "?";
        if (!WorkflowApp_GetWorkflowByTaskId(task, recursive, name, sizeof(name))) return "none";
        return name;
    }
};

} // namespace

TEST_F(WorkflowAppTrackingTest, ChainsOfRunnersAnswerTheQueries) {
    // W is run by t1 of X; X by t2 of Y; Y by t4 of "Global".
    Fire("Task", "Start", "t1", R"({"name": "a", "workflow": "X"})");
    Fire("Task", "Start", "t2", R"({"name": "b", "workflow": "Y"})");
    Fire("Task", "Start", "t4", R"({"name": "global", "workflow": "Global"})");
    Fire("WorkflowRun", "Run", "r", R"({"task": "t1", "workflow": "W"})");
    Fire("WorkflowRun", "Run", "r", R"({"task": "t2", "workflow": "X"})");
    Fire("WorkflowRun", "Run", "r", R"({"task": "t4", "workflow": "Y"})");
    // A task whose "workflow" is a tracked task belongs to that task's workflow.
    Fire("Task", "Start", "t3", R"({"name": "c", "workflow": "t1"})");
    // Missing items record nothing.
    Fire("Task", "Start", "t9", R"({"name": "d"})");
    Fire("WorkflowRun", "Run", "r", R"({"task": "t9"})");

    struct InWorkflow {
        const char *inner, *outer;
        int64_t expected;
    } workflows[] = {{"W", "Y", 1}, {"W", "X", 1}, {"X", "W", 0}, {"W", "Global", 1}, {"Z", "Z", 1}, {"Z", "Y", 0}};
    for (const InWorkflow& c : workflows)
        EXPECT_EQ(WorkflowApp_IsWorkflowInWorkflow(c.inner, c.outer), c.expected) << c.inner << " in " << c.outer;

    struct TaskCase {
        const char *task, *workflow;
        uint32_t recursive;
        int64_t expected;
    } tasks[] = {{"t1", "x", 0, 1}, {"t1", "Y", 0, 0}, {"t1", "Y", 1, 1}, {"t3", "X", 0, 1},
                 {"t3", "Y", 1, 1}, {"t9", "X", 1, 0}, {"t2", "W", 1, 0}};
    for (const TaskCase& c : tasks)
        EXPECT_EQ(WorkflowApp_IsTaskInWorkflow(c.task, c.workflow, c.recursive), c.expected)
            << c.task << " in " << c.workflow << " " << c.recursive;

    EXPECT_EQ(WorkflowOf("t1", 0), "X");
    EXPECT_EQ(WorkflowOf("t1", 1), "Y"); // the outermost that is not "Global"
    EXPECT_EQ(WorkflowOf("t9", 1), "none");
    char root[64];
    ASSERT_EQ(WorkflowApp_GetRootWorkflow("W", root, sizeof(root)), 1);
    EXPECT_STREQ(root, "Y");
    ASSERT_EQ(WorkflowApp_GetRootWorkflow("Q", root, sizeof(root)), 1);
    EXPECT_STREQ(root, "Q");
    ASSERT_EQ(WorkflowApp_GetRemoteWorkflow("Y", root, sizeof(root)), 1);
    EXPECT_STREQ(root, "X");
    EXPECT_EQ(WorkflowApp_GetRemoteWorkflow("X", root, sizeof(root)), 0); // its last task, t3, ran nothing
    EXPECT_EQ(WorkflowApp_IsWorkflowRemote("X"), 1);
    EXPECT_EQ(WorkflowApp_IsWorkflowRemote("Q"), 0);
    EXPECT_EQ(WorkflowApp_IsBusy(), 1);

    // Unloading X forgets its tasks and its runner.
    Fire("WorkflowEvent", "Complete", "e", R"({"name": "unload", "workflow": "X"})");
    EXPECT_EQ(WorkflowApp_IsTaskInWorkflow("t1", "X", 0), 0);
    EXPECT_EQ(WorkflowApp_IsWorkflowRemote("X"), 0);
    EXPECT_EQ(WorkflowApp_IsWorkflowInWorkflow("W", "Y"), 0);
}

TEST_F(WorkflowAppTrackingTest, ARunnerLoopEndsTheWalk) {
    // Y is run by a task of Y itself: a peer can report that, and the walk must still end.
    Fire("Task", "Start", "t1", R"({"name": "a", "workflow": "Y"})");
    Fire("WorkflowRun", "Run", "r", R"({"task": "t1", "workflow": "Y"})");
    Fire("WorkflowRun", "Run", "r", R"({"task": "t1", "workflow": "W"})");
    EXPECT_EQ(WorkflowApp_IsWorkflowInWorkflow("W", "Q"), 0);
    EXPECT_EQ(WorkflowApp_IsTaskInWorkflow("t1", "Q", 1), 0);
    EXPECT_EQ(WorkflowOf("t1", 1), "Y");
}

TEST_F(WorkflowAppTrackingTest, AFinishedTaskIsAnAnalyticsEventWithoutItsSecrets) {
    Define(R"({"dl": {"type": "Step", "url": "https://h.test/{Name}", "headers": {"Authorization": "Basic x"},
                      "cookies": {"sid": "1"}, "#token": "hidden"},
               "bad": {"type": "Step", "fail": true},
               "held": {"type": "Step", "hold": true},
               "quiet": {"type": "Step", "hold": true}})");
    WorkflowApp_AddMacro("Name", "file.bin");
    Run("dl");
    Run("bad");
    const std::string events = Events();
    EXPECT_NE(events.find(R"("event":"Step")"), std::string::npos) << events;
    EXPECT_NE(events.find(R"("taskName":"dl")"), std::string::npos) << events;
    EXPECT_NE(events.find(R"("url":"https://h.test/file.bin")"), std::string::npos) << events;
    EXPECT_NE(events.find(R"("cancelled":false,"successful":true)"), std::string::npos) << events;
    EXPECT_NE(events.find(R"("taskName":"bad")"), std::string::npos) << events;
    EXPECT_NE(events.find(R"("cancelled":false,"successful":false)"), std::string::npos) << events;
    EXPECT_NE(events.find(R"("status":{)"), std::string::npos) << events;
    EXPECT_NE(events.find(R"("analytics":{)"), std::string::npos) << events;
    for (const char* secret : {"Authorization", "headers", "cookies", "sid", "hidden", "token"})
        EXPECT_EQ(events.find(secret), std::string::npos) << secret << " in " << events;

    // A remote completion and a private task send nothing, and both stop counting as running.
    Task* held = Run("held");
    Task* quiet = Run("quiet");
    ASSERT_NE(held, nullptr);
    ASSERT_NE(quiet, nullptr);
    EXPECT_EQ(WorkflowApp_IsBusy(), 1);
    char id[40];
    Task_GetInstanceId(held, id, sizeof(id));
    Fire("Task", "Complete", id, R"({"isRemote": true})");
    Task_SetPrivate(quiet, 1);
    Task_GetInstanceId(quiet, id, sizeof(id));
    NotificationCenter_Fire("Task", "Complete", id, nullptr);
    EXPECT_EQ(WorkflowApp_IsBusy(), 0);
    EXPECT_EQ(Events(), events);
}

TEST_F(WorkflowAppTrackingTest, ConnectionErrorsAreReportedOncePerAddressAndHour) {
    const char* report = R"({"url": "https://h.test/", "remoteIp": "10.1.2.3", "remotePort": 443, "errorCode": 950,
                             "reportError": true})";
    Fire("WebGetConnection", "Error", "c", report);
    Fire("WebGetConnection", "Error", "c", report);
    // Not for this report: remote, not to be reported, or without an address or port.
    Fire("WebGetConnection", "Error", "c", R"({"remoteIp": "10.9.9.9", "remotePort": 1, "reportError": true,
                                              "isRemote": true})");
    Fire("WebGetConnection", "Error", "c", R"({"remoteIp": "10.9.9.8", "remotePort": 1, "reportError": false})");
    Fire("WebGetConnection", "Error", "c", R"({"remoteIp": "10.9.9.7", "reportError": true})");
    Fire("WebGetConnection", "Error", "c", R"({"remotePort": 2, "reportError": true})");
    // Another port of the same address is another endpoint.
    Fire("WebGetConnection", "Error", "c", R"({"remoteIp": "10.1.2.3", "remotePort": 80, "reportError": true})");
    const std::string events = Events();
    size_t count = 0;
    for (size_t at = events.find("WebGetError"); at != std::string::npos; at = events.find("WebGetError", at + 1))
        count++;
    EXPECT_EQ(count, 2u) << events;
    EXPECT_NE(events.find(R"("errorCode":950)"), std::string::npos) << events;
    EXPECT_EQ(events.find("10.9.9"), std::string::npos) << events;
}

TEST_F(WorkflowAppTrackingTest, ShutdownWaitsForTasksOtherThanGlobal) {
    NotificationCenter_AddObserver("WorkflowApp", "Shutdown", nullptr, Record);
    Fire("Task", "Start", "g1", R"({"name": "Global", "workflow": "Global"})");
    Fire("Task", "Start", "t1", R"({"name": "copy", "workflow": "W"})");
    Fire("WorkflowApp", "Shutdown", "skin", R"({"exitCode": 3})");
    uint32_t code = 0;
    WorkflowApp_GetExitCode(&code);
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(WorkflowApp_IsShuttingDown(), 1);
    Passes(5);
    EXPECT_EQ(g_seen.size(), 1u);
    Fire("Task", "Complete", "t1", R"({"isRemote": true})");
    Passes(5);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[1], R"(skin|"exitCode":3,"force":true)");
    // A later request changes nothing.
    Fire("WorkflowApp", "Shutdown", "skin", R"({"exitCode": 4})");
    WorkflowApp_GetExitCode(&code);
    EXPECT_EQ(code, 3u);
}

TEST_F(WorkflowAppTrackingTest, TheWorkerShutsDownOnlyOnALocalRequest) {
    struct Case {
        const char* first;
        const char* second;
        uint32_t exitCode;
    } cases[] = {
        // Without "canRemote" the first request only marks the shutdown; the second is ignored.
        {R"({"exitCode": 5})", R"({"canRemote": false, "exitCode": 6})", 0},
        {R"({"canRemote": true, "exitCode": 5})", R"({"canRemote": false, "exitCode": 6})", 0},
        {R"({"canRemote": false, "isRemote": true, "exitCode": 5})", R"({"canRemote": false, "exitCode": 6})", 0},
        {R"({"canRemote": false, "exitCode": 5, "force": true})", R"({"canRemote": false, "exitCode": 6})", 5},
    };
    for (const Case& c : cases) {
        WorkflowApp_RemoveMinimal();
        WorkflowApp_InitMinimal("prog --wfworker");
        WorkflowApp_SetExitCode(0);
        Fire("WorkflowApp", "Shutdown", "skin", c.first);
        EXPECT_EQ(WorkflowApp_IsShuttingDown(), 1) << c.first;
        Fire("WorkflowApp", "Shutdown", "skin", c.second);
        uint32_t code = 99;
        WorkflowApp_GetExitCode(&code);
        EXPECT_EQ(code, c.exitCode) << c.first;
    }
}

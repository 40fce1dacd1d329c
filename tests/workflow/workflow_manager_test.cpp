// The WorkflowManager's queue, limits, flow, adds and unloading, driven through real workflows
// and main-loop passes.
#include "tests/workflow/workflow_manager_fixture.h"

#include "core/runtime/time.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new ManagerEnvironment);

const char* const kHeldState = R"({"load": {}, "state": {"hold": true}, "unload": {}})";
const char* const kHeldInstall = R"({"load": {}, "install": {"hold": true}, "update": {"hold": true}, "unload": {}})";

std::vector<std::string> g_callbacks;
int64_t RecordCallback(void*, void* argument) {
    g_callbacks.push_back("{" + DictionaryAsJson(static_cast<Dictionary*>(argument)) + "}");
    return 1;
}

using Lines = std::vector<std::string>;

TEST_F(ManagerTest, FiveStateTasksRunFourAtOnceAndAFreedSlotIsRefilledAtTheNextPass) {
    for (int i = 0; i < 5; i++) Load(kHeldState);
    ASSERT_TRUE(PassUntil([&] { return WorkflowManager_ActiveStateCount(GlobalWorkflowManager) == 4; }));
    Passes(5);
    EXPECT_EQ(Active(), R"({"A":"state","B":"state","C":"state","D":"state"})");
    EXPECT_EQ(ManagerLines(), (Lines{"WorkflowManager - Task Queue - A - Wait - state",
                                     "WorkflowManager - Task Queue - B - Wait - state",
                                     "WorkflowManager - Task Queue - C - Wait - state",
                                     "WorkflowManager - Task Queue - D - Wait - state",
                                     "WorkflowManager - Task Queue - E - Wait - state",
                                     "WorkflowManager - Task Queue - A - Ready - state (1/4)",
                                     "WorkflowManager - Task Queue - B - Ready - state (2/4)",
                                     "WorkflowManager - Task Queue - C - Ready - state (3/4)",
                                     "WorkflowManager - Task Queue - D - Ready - state (4/4)"}));
    // State tasks are not ordinary ones: no activation.
    for (const std::string& note : notes) EXPECT_EQ(note.find("Activate"), std::string::npos) << note;
    Finish(workflows[1], "state");
    // The pass that frees B's slot starts E.
    ASSERT_TRUE(PassUntil([&] { return Active().find("\"B\"") == std::string::npos; }));
    EXPECT_EQ(Active(), R"({"A":"state","C":"state","D":"state","E":"state"})");
}

// A queued name waits as written: the task started at its turn is the one queued ("#i", not "i").
TEST_F(ManagerTest, AQueuedNameIsStartedAsWritten) {
    const char* doc = R"({"load": {}, "install": {"hold": true}, "##i": {"hold": true}, "i": {}, "unload": {}})";
    Workflow* a = Load(doc);
    Workflow* b = Load(doc);
    Passes(10);
    ASSERT_EQ(WorkflowManager_SetQueueTaskNames("install,#i"), 1);
    ASSERT_EQ(WorkflowManager_SetMaximumActiveTasks(1), 1);
    EXPECT_EQ(WorkflowManager_QueueTask(a, "install"), 1);
    EXPECT_EQ(WorkflowManager_QueueTask(b, "#i"), 1);
    Passes(4);
    Finish(a, "install");
    ASSERT_TRUE(PassUntil([&] { return Active().find("\"B\"") != std::string::npos; }, 40)) << Active();
    EXPECT_EQ(Active(), R"({"B":"#i"})");
    Finish(b, "#i");
}

TEST_F(ManagerTest, WithOneOrdinarySlotASecondInstallWaitsOnceAndActivationEdgesAreAnnounced) {
    Workflow* a = Load(kHeldInstall);
    Workflow* b = Load(kHeldInstall);
    Passes(10);
    ASSERT_EQ(WorkflowManager_SetMaximumActiveTasks(1), 1);
    ManagerLines();
    EXPECT_EQ(WorkflowManager_QueueTask(a, "install"), 1);
    EXPECT_EQ(WorkflowManager_QueueTask(b, "install"), 1);
    EXPECT_EQ(WorkflowManager_QueueTask(b, "install"), 1);
    EXPECT_EQ(WorkflowManager_QueueTask(a, "install"), 0); // already active
    uint32_t count = 0;
    EXPECT_EQ(WorkflowManager_GetQueuedTaskCount(&count), 1);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ManagerLines(), (Lines{"WorkflowManager - Task Queue - A - Ready - install (1/1)",
                                     "WorkflowManager - Task Queue - B - Wait - install"}));
    Passes(6);
    EXPECT_EQ(notes, (Lines{"WorkflowManager/Activate:", R"(Workflow/Status:{"queued":true,"queuedDependencies":false})",
                            R"(Workflow/Status:{"queued":false})"}));
    notes.clear();
    Finish(a, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"B":"install"})"; }));
    Finish(b, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == "{}"; }));
    Passes(3);
    EXPECT_EQ(notes, (Lines{"WorkflowManager/Activate:", R"(Workflow/Status:{"queued":false})",
                            "WorkflowManager/Deactivate:"}));
}

TEST_F(ManagerTest, TheFirstDefinedCandidateIsQueuedAndUnknownIdsAreRefused) {
    Workflow* a = Load(kHeldInstall);
    Workflow* b = Load(R"({"load": {}})");
    Workflow* c = Load(R"({"load": {}, "install": {}})");
    Passes(10);
    EXPECT_EQ(WorkflowManager_QueueTask(a, " repair , update "), 1);
    EXPECT_EQ(Active(), R"({"A":"update"})");
    EXPECT_EQ(WorkflowManager_QueueTask(b, "repair,update"), 0);
    const std::string id = WorkflowManager_IdOf(c);
    struct Case {
        int64_t result;
        int64_t expected;
    } cases[] = {
        {WorkflowManager_QueueTaskInterop("no-such-workflow", "install"), 0},
        {WorkflowManager_QueueTaskWithMacrosInterop("", "install", "{}"), 0},
        {WorkflowManager_RunTaskInterop("no-such-workflow", "install"), 0},
        {WorkflowManager_RunTaskWithMacrosInterop(nullptr, "install", nullptr), 0},
        {WorkflowManager_QueueTaskWithMacrosInterop(id.c_str(), "install", "{not json"), 1},
    };
    for (const Case& row : cases) EXPECT_EQ(row.result, row.expected);
    Finish(a, "update");
    ASSERT_TRUE(PassUntil([&] { return Active() == "{}"; }));
}

ManagerDocuments& Documents() {
    static ManagerDocuments documents;
    return documents;
}

const char* const kServedInstall = R"({"install": {"type": "Step", "hold": true}, "unload": {"type": "Step"}})";

TEST_F(ManagerTest, HigherPriorityIsPoppedFirstAndEqualPrioritiesKeepArrivalOrder) {
    ASSERT_TRUE(Documents().Nginx->Running());
    Workflow* a = Served(Documents(), "a.json", kServedInstall, "a");
    Workflow* b = Served(Documents(), "b.json", kServedInstall, "b", R"(, "priority": 0)");
    Workflow* c = Served(Documents(), "c.json", kServedInstall, "c");
    Workflow* d = Served(Documents(), "d.json", kServedInstall, "d", R"(, "priority": 10)");
    ASSERT_TRUE(a && b && c && d);
    WorkflowManager_SetMaximumActiveTasks(1);
    for (Workflow* workflow : {a, b, c, d}) EXPECT_EQ(WorkflowManager_QueueTask(workflow, "install"), 1);
    EXPECT_EQ(Named(Json(GlobalWorkflowManager->TaskQueue)), R"({"D":{"install":{}},"B":{"install":{}},"C":{"install":{}}})");
    Finish(a, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"D":"install"})"; }));
    Finish(d, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"B":"install"})"; }));
    Finish(b, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"C":"install"})"; }));
    Finish(c, "install");
}

TEST_F(ManagerTest, AddsAskForARunAndTheirCallbackGetsTheRegisteredWorkflow) {
    g_callbacks.clear();
    struct Case {
        const char* text;
        int64_t result;
        const char* line;
    } cases[] = {
        {"{\"url\": ", 0, "WorkflowManager - Add - Failed to parse json"},
        {"{}", 0, "WorkflowManager - Add info must contain url"},
        {R"({"url": 5, "x": [1]})", 0, "WorkflowManager - Add info must contain url"},
        {R"(["a", 1])", 0, "WorkflowManager - Add info must contain url"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WorkflowManager_AddJSON(c.text, nullptr, RecordCallback), c.result) << c.text;
        EXPECT_EQ(ManagerLines(), Lines{c.line}) << c.text;
    }
    EXPECT_EQ(WorkflowManager_AddInterop("nope", "cb"), 0);
    std::vector<std::string> willLoad;
    WorkflowManager_SetWillLoadCallback(&willLoad, [](const char* url, void* user) -> int64_t {
        static_cast<std::vector<std::string>*>(user)->push_back(url);
        return 1;
    });
    const std::string one = Documents().Put("one.json", R"({"unload": {"type": "Step"}})");
    const std::string two = Documents().Put("two.json", R"({"unload": {"type": "Step"}})");
    EXPECT_EQ(WorkflowManager_AddJSON(("{\"one\": {\"url\": \"" + one + R"(", "authenticate": false, "id": "w1",
                                        "dependencies": ["w2", 7]}, "two": {"url": ")" + two +
                                       R"(", "authenticate": false, "callbackId": "own"}, "three": 3})")
                                          .c_str(),
                                      nullptr, RecordCallback),
              1);
    EXPECT_EQ(willLoad, (Lines{one, two}));
    Pass();
    Lines runs;
    for (const std::string& note : notes)
        if (note.rfind("WorkflowRun/", 0) == 0) runs.push_back(note);
    ASSERT_EQ(runs.size(), 2u);
    const std::string prefix = "WorkflowRun/Start:{\"url\":\"" + two + R"(","authenticate":false,"callbackId":"own","cache":"workflow","id":")";
    EXPECT_EQ(runs[1].substr(0, prefix.size()), prefix);
    EXPECT_EQ(runs[1].size(), prefix.size() + 35 + 2) << runs[1];
    // The first run's callback gets its workflow, its arguments and its id's dependency; the
    // second names a callback id of its own, so the callback never hears of it.
    ASSERT_TRUE(PassUntil([&] {
        return g_callbacks.size() == 1 && Json(GlobalWorkflowManager->Loaded).find(',') != std::string::npos;
    }));
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(GlobalWorkflowManager->WorkflowIds, &item); item;
         Dictionary_ItemGetNext(GlobalWorkflowManager->WorkflowIds, item, &item)) {
        const char* key = nullptr;
        const char* value = nullptr;
        Dictionary_ItemGetKeyPtr(GlobalWorkflowManager->WorkflowIds, item, &key);
        Dictionary_ItemGetStringPtr(GlobalWorkflowManager->WorkflowIds, item, &value);
        if (value && std::string(value) == "w1") letters.push_back(key);
    }
    ASSERT_EQ(letters.size(), 1u);
    const std::string callback = Named(g_callbacks[0]);
    EXPECT_NE(callback.find(R"("type":"Workflow","sender":"A","info":{"workflow":"A","task":")"), std::string::npos)
        << callback;
    for (const std::string& part : {"\"url\":\"" + one + "\"", std::string(R"("dependencies":["w2",7])")})
        EXPECT_NE(callback.find(part), std::string::npos) << callback;
    EXPECT_EQ(Json(GlobalWorkflowManager->Dependencies), R"({"w1":"w2"})");
}

TEST_F(ManagerTest, UnloadRefusesQueueingAndCallsBackWhenTheLastWorkflowHasGone) {
    g_callbacks.clear();
    char id[40];
    WorkflowManager_GetInstanceId(id, sizeof(id));
    // Nothing loaded: the callback is raised at once.
    EXPECT_EQ(WorkflowManager_Unload(nullptr, RecordCallback), 1);
    ASSERT_EQ(g_callbacks.size(), 1u);
    EXPECT_NE(g_callbacks[0].find(std::string(R"("type":"WorkflowManager","sender":")") + id + R"(","info":{}})"),
              std::string::npos);
    EXPECT_EQ(WorkflowManager_IsUnloading(), 0);

    Workflow* a = Load(R"({"load": {}, "install": {}, "unload": {}})");
    Passes(10);
    EXPECT_EQ(WorkflowManager_Unload(nullptr, RecordCallback), 1);
    EXPECT_EQ(WorkflowManager_IsUnloading(), 1);
    EXPECT_EQ(WorkflowManager_QueueTask(a, "install"), 0);
    ASSERT_TRUE(PassUntil([&] { return g_callbacks.size() == 2; }));
    EXPECT_EQ(WorkflowManager_IsUnloading(), 0);
    EXPECT_EQ(Json(GlobalWorkflowManager->Loaded), "{}");
}

TEST_F(ManagerTest, StateIntervalKeepsThirtySecondsAtLeastAndOnlyMinusOneTurnsItOff) {
    struct Case {
        int32_t given, stored;
    } cases[] = {{0, 30}, {-1, -1}, {45, 45}, {30, 30}, {31, 31}, {-7, 30}};
    for (const Case& c : cases) {
        EXPECT_EQ(WorkflowManager_SetStateInterval(c.given), 1);
        int32_t stored = 0;
        WorkflowManager_GetStateInterval(&stored);
        EXPECT_EQ(stored, c.stored) << c.given;
        EXPECT_EQ(ManagerLines(), Lines{"WorkflowManager - State Interval - " + std::to_string(c.stored)});
    }
}

TEST_F(ManagerTest, TheStateRefreshQueuesStateOrUpdateOnEveryLoadedWorkflowUnlessTurnedOff) {
    Workflow* a = Load(kHeldState);
    Workflow* b = Load(R"({"load": {}, "update": {"hold": true}})");
    Finish(a, "state");
    ASSERT_TRUE(PassUntil([&] { return completed["state"] == 1 && Active() == "{}"; }));
    for (int32_t interval : {-1, 45}) {
        WorkflowManager_SetStateInterval(interval);
        GlobalWorkflowManager->LastStateRefresh -= 46.0;
        Tick();
        Passes(2);
    }
    EXPECT_EQ(Active(), R"({"A":"state","B":"update"})");
    Finish(a, "state");
    Finish(b, "update");
    ASSERT_TRUE(PassUntil([&] { return Active() == "{}"; }));
}

TEST_F(ManagerTest, PrintStateWritesEachTableAfterItsLabelInOrder) {
    WorkflowManager_PrintState();
    const std::string text = TakeLog();
    size_t last = 0;
    for (const char* label : {"Queuable Tasks List", "Progressable Tasks List", "Available Task List", "Queued Task List",
                              "Active Task List", "Active Progress Task List", "Workflow Id List",
                              "Workflow Priority List", "Dependency/Workflow List", "Dependency Task List",
                              "Dependency Task Names List"}) {
        const size_t at = text.find(std::string(label) + "\n", last);
        ASSERT_NE(at, std::string::npos) << label;
        last = at;
    }
    EXPECT_NE(text.find("!uninstall", last), std::string::npos);
}

TEST_F(ManagerTest, FiftyWorkflowsCheckTheirStateInPassesLinearInTheirCount) {
    int budget[2] = {0, 0};
    int index = 0;
    for (int count : {10, 50}) {
        const int before = passes;
        for (int i = 0; i < count; i++) Load(R"({"load": {}, "state": {}})");
        const int done = completed["state"];
        ASSERT_TRUE(PassUntil([&] { return completed["state"] == done + count; }));
        budget[index++] = passes - before;
    }
    RecordProperty("passes10", budget[0]);
    RecordProperty("passes50", budget[1]);
    // Four at a time: about two passes per workflow, never a wait for the clock.
    EXPECT_LE(budget[1], 3 * 50);
    EXPECT_LE(budget[1], 6 * budget[0]);
}

TEST(ManagerWorkerTest, TheWorkerOnlyDrivesEachWorkflowFromLoadToStartToUnload) {
    ASSERT_EQ(WorkflowApp_RemoveMinimal(), 1);
    ASSERT_EQ(WorkflowApp_InitMinimal("prog --wfworker"), 1);
    ASSERT_EQ(WorkflowManager_Init(), 1);
    std::vector<std::string> names;
    struct Recorder {
        static int64_t On(void* user, const char*, const char* name, const char*, Dictionary* info) {
            const char* text = nullptr;
            if (info) Dictionary_GetStringPtrByKey(info, "name", &text);
            static_cast<std::vector<std::string>*>(user)->push_back(std::string(name) + ":" + (text ? text : ""));
            return 1;
        }
    };
    NotificationCenter_AddObserver("WorkflowEvent", "Complete", &names, Recorder::On);
    NotificationCenter_AddObserver("WorkflowManager", "Status", &names, Recorder::On);
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, DictionaryTextQuiet);
    Workflow_RegisterTaskHandler(workflow, &StepTaskType);
    Dictionary* document = ParseJson(R"({"load": {"type": "Step"}, "state": {"type": "Step"},
                                         "start": {"type": "Step"}, "unload": {"type": "Step"}})");
    Workflow_LoadDictionary(workflow, Root(document), 1);
    Dictionary_Release(&document);
    Workflow_SetGlobal(workflow, 1);
    Workflow_RunTask(workflow, "load", nullptr, nullptr, nullptr);
    for (int i = 0; i < 60; i++) {
        NotificationCenter_Process();
        EXPECT_EQ(WorkflowManager_Process(), 1);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Complete:load", "Complete:start", "Complete:unload"}));
    NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", &names, Recorder::On);
    NotificationCenter_RemoveObserver("WorkflowManager", "Status", &names, Recorder::On);
    EXPECT_EQ(WorkflowManager_Remove(), 1);
    Workflow_Release(&workflow);
    for (int i = 0; i < 10; i++) NotificationCenter_Process();
    ASSERT_EQ(WorkflowApp_RemoveMinimal(), 1);
    ASSERT_EQ(WorkflowApp_InitMinimal("prog"), 1);
}

} // namespace

// What the WorkflowManager derives from outcomes: availability, dependencies between workflows,
// overall progress, the status report and the task notifications it re-publishes.
#include "tests/workflow/workflow_manager_fixture.h"

#include <algorithm>

#include "core/runtime/time.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new ManagerEnvironment);

const char* const kProduct = R"({"load": {}, "state": {"hold": true}, "install": {"hold": true},
    "uninstall": {}, "update": {}, "repair": {}, "launch": {}, "start": {}, "unload": {}})";

using Lines = std::vector<std::string>;

// The names of a list, sorted and joined by ",".
std::string Sorted(Dictionary* list) {
    std::vector<std::string> names;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* text = nullptr;
        if (Dictionary_ItemGetStringPtr(list, item, &text) && text) names.push_back(text);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ",") + name;
    return out;
}

TEST_F(ManagerTest, OutcomesDecideWhichEntryTasksAreOffered) {
    Workflow* full = Load(kProduct);
    Workflow* bare = Load(R"({"load": {}, "install": {}})");
    Passes(10);
    struct Case {
        Workflow* workflow;
        const char* name;
        uint32_t successful;
        const char* info; // null: no information
        bool updateBefore;
        const char* expected;
    } cases[] = {
        {full, "state", 1, "{}", false, "launch,repair,uninstall"},
        {full, "state", 0, R"({"errors": ["x", "Application_NotInstalled"]})", false, "install"},
        {full, "state", 0, R"({"errors": ["Application_RepairRequired", "Application_UpdateRequired"]})", false,
         "repair,uninstall"},
        {full, "state", 0, R"({"errors": ["Application_UpdateRequired"]})", false, "repair,uninstall,update"},
        {full, "state", 0, R"({"errors": ["Other"]})", false, "launch,state"},
        {full, "state", 0, "{}", false, "launch"},
        {full, "state", 0, nullptr, false, "launch"},
        {full, "install", 1, nullptr, false, "launch,repair,uninstall"},
        {full, "install", 0, nullptr, false, "install"},
        {full, "uninstall", 1, nullptr, false, "install"},
        {full, "uninstall", 0, nullptr, false, "repair,uninstall"},
        {full, "update", 1, nullptr, false, "launch,repair,uninstall"},
        {full, "update", 0, nullptr, false, "uninstall,update"},
        {full, "repair", 1, nullptr, true, "launch,repair,uninstall,update"},
        {full, "repair", 0, nullptr, false, "repair,uninstall"},
        {full, "start", 1, nullptr, false, "launch,repair"},
        {full, "start", 0, nullptr, false, "repair"},
        {full, "LAUNCH", 0, nullptr, false, "launch,repair"},
        {full, "unload", 1, nullptr, false, ""},
        {full, "other", 0, nullptr, false, "launch"},
        {bare, "state", 1, "{}", false, ""},
    };
    for (const Case& c : cases) {
        const char* id = WorkflowManager_IdOf(c.workflow);
        WorkflowManager_ClearTaskAvailability(c.workflow);
        WorkflowManager_SetTaskAvailability(c.workflow, "launch", 1);
        WorkflowManager_SetTaskAvailability(c.workflow, "launch", 1);
        Dictionary* previous = nullptr;
        Dictionary_EnsureList(GlobalWorkflowManager->PreviousAvailable, id, nullptr, &previous);
        Dictionary_Reset(previous);
        if (c.updateBefore) Dictionary_AddString(previous, nullptr, "update", nullptr);
        Dictionary* info = c.info ? ParseJson(c.info) : nullptr;
        WorkflowManager_UpdateAvailability(c.workflow, info ? Root(info) : nullptr, c.name, c.successful);
        if (info) Dictionary_Release(&info);
        Dictionary* list = nullptr;
        Dictionary_GetListByKey(GlobalWorkflowManager->Available, id, &list);
        EXPECT_EQ(Sorted(list), c.expected) << c.name << " " << c.successful << " " << (c.info ? c.info : "");
    }
}

TEST_F(ManagerTest, AStateThatReportsNotInstalledOffersInstallWithoutPublishingTheSignal) {
    Workflow* a = Load(kProduct);
    // Errors count once the task's start has been seen.
    ASSERT_TRUE(PassUntil([&] { return Json(GlobalWorkflowManager->TaskEntries).find(R"("name":"state")") != std::string::npos; }));
    Task* task = nullptr;
    ASSERT_EQ(Workflow_FindTaskByName(a, "state", &task), 1);
    Task_AddError(task, "%s", "Application_NotInstalled");
    Task_AddError(task, "%s", "Other_Error");
    Task_Complete(task, nullptr);
    ASSERT_TRUE(PassUntil([&] { return Available() == R"({"A":["install"]})"; }));
    Passes(3);
    Lines errors;
    for (const std::string& note : notes)
        if (note.rfind("WorkflowManager/TaskError", 0) == 0) errors.push_back(note);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(R"("status":{"errors":["Other_Error"]})"), std::string::npos) << errors[0];
    const std::string entries = Json(GlobalWorkflowManager->TaskEntries);
    EXPECT_EQ(entries.find("Application_NotInstalled"), std::string::npos) << entries;
    EXPECT_NE(entries.find("\"expireTime\":"), std::string::npos);
    // The entry outlives its completion by ten seconds, then the next pass removes it.
    const double now = Time_GetCurrent();
    WorkflowManager_ExpireTaskEntries(GlobalWorkflowManager, now + 9.0);
    EXPECT_EQ(Json(GlobalWorkflowManager->TaskEntries), entries);
    WorkflowManager_ExpireTaskEntries(GlobalWorkflowManager, now + 10.5);
    EXPECT_EQ(Json(GlobalWorkflowManager->TaskEntries).find("Other_Error"), std::string::npos);
}

TEST_F(ManagerTest, OverallProgressAveragesActiveTasksAndAnyNegativeValueWins) {
    Workflow* a = Load(R"({"load": {}, "install": {"hold": true}})");
    Workflow* b = Load(R"({"load": {}, "install": {"hold": true}})");
    Passes(10);
    auto progress = [&] {
        Tick();
        Passes(3);
        const size_t at = status.find("\"progress\":");
        return at == std::string::npos ? std::string("none") : status.substr(at + 11, status.find(',', at) - at - 11);
    };
    EXPECT_EQ(WorkflowManager_SetProgress(a, "install", 0.5), 0); // not active yet
    WorkflowManager_QueueTask(a, "install");
    WorkflowManager_QueueTask(b, "install");
    EXPECT_EQ(progress(), "0");
    EXPECT_EQ(WorkflowManager_SetProgress(a, "install", 0.5), 1);
    EXPECT_EQ(WorkflowManager_SetProgressInterop(WorkflowManager_IdOf(b), "install", 1.0), 1);
    EXPECT_EQ(WorkflowManager_SetProgress(a, "state", 0.9), 0);
    EXPECT_EQ(WorkflowManager_SetProgressInterop("nope", "install", 0.9), 0);
    ManagerLines();
    EXPECT_EQ(progress(), "75");
    EXPECT_EQ(ManagerLines(), Lines{"WorkflowManager - Overall Progress - 0.75 (2)"});
    WorkflowManager_SetProgress(b, "install", -1.0);
    EXPECT_EQ(progress(), "-1");
    // Figures beyond the whole or beyond 32 bits stay in range.
    WorkflowManager_SetProgress(b, "install", 7.5);
    EXPECT_EQ(progress(), "75");
    WorkflowManager_SetProgress(b, "install", -1e30);
    EXPECT_EQ(progress(), "-2147483648");
    // A task's reported figure becomes its workflow's progress.
    Task* task = nullptr;
    ASSERT_EQ(Workflow_FindTaskByName(b, "install", &task), 1);
    Dictionary* info = ParseJson(R"({"overallProgress": 0.25})");
    NotificationCenter_Fire("Task", "Status", reinterpret_cast<const char*>(task), Root(info));
    Dictionary_Release(&info);
    EXPECT_EQ(progress(), "37");
    Finish(a, "install");
    Finish(b, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == "{}"; }));
    EXPECT_EQ(progress(), "-2");
}

TEST_F(ManagerTest, StatusReportNamesActiveAvailableQueuedAndDependencies) {
    Workflow* a = Load(R"({"load": {}, "install": {"hold": true}})");
    Workflow* b = Load(R"({"load": {}, "install": {"hold": true}})");
    Passes(10);
    Identify(a, "a");
    Identify(b, "b");
    WorkflowManager_AddDependency("b", "a");
    WorkflowManager_SetMaximumActiveTasks(1);
    WorkflowManager_SetTaskAvailability(b, "install", 1);
    WorkflowManager_QueueTask(a, "install");
    WorkflowManager_QueueTask(b, "install");
    Passes(3);
    EXPECT_EQ(status, R"({"progress":0,"active":{"A":"install"},"available":{"A":null,"B":[]},)"
                      R"("dependencies":{"b":"a"},"queued":{"B":["install"]},"queuedDependencies":{},)"
                      R"("workflowId":{"A":"a","B":"b"}})");
}

TEST_F(ManagerTest, AnInstallWaitsForTheInstallOfTheWorkflowItDependsOn) {
    Workflow* a = Load(kProduct);
    Workflow* b = Load(kProduct);
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"A":"state","B":"state"})"; }));
    Passes(3);
    Finish(a, "state", R"({"successful": false, "errors": ["Application_NotInstalled"]})");
    Finish(b, "state", R"({"successful": false, "errors": ["Application_NotInstalled"]})");
    ASSERT_TRUE(PassUntil([&] { return Available() == R"({"A":["install"],"B":["install"]})"; }));
    Identify(a, "a");
    Identify(b, "b");
    WorkflowManager_AddDependency("a", "b");
    ManagerLines();
    EXPECT_EQ(WorkflowManager_QueueTask(a, "install"), 1);
    EXPECT_EQ(ManagerLines(), (Lines{"WorkflowManager - Dependency - Queue - b -  B (install)",
                                     "WorkflowManager - Task Queue - B - Wait - install",
                                     "WorkflowManager - Task Queue - A - Wait - install"}));
    Pass();
    EXPECT_EQ(Active(), R"({"B":"install"})");
    Passes(5);
    EXPECT_EQ(Active(), R"({"B":"install"})");
    Finish(b, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"A":"install"})"; }));
}

TEST_F(ManagerTest, WithHardDependencyAFailedInstallFailsTheWorkflowsThatDependOnIt) {
    Workflow* a = Load(kProduct);
    Workflow* b = Load(kProduct);
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"A":"state","B":"state"})"; }));
    Passes(3);
    Finish(a, "state", R"({"successful": false, "errors": ["Application_NotInstalled"]})");
    Finish(b, "state", R"({"successful": false, "errors": ["Application_NotInstalled"]})");
    ASSERT_TRUE(PassUntil([&] { return Active() == "{}"; }));
    Identify(a, "a");
    Identify(b, "b");
    WorkflowManager_AddDependency("a", "b");
    WorkflowManager_SetHardDependency(1);
    WorkflowManager_QueueTask(a, "install");
    ASSERT_TRUE(PassUntil([&] { return Active() == R"({"B":"install"})"; }));
    Finish(b, "install", R"({"successful": false})");
    ASSERT_TRUE(PassUntil([&] { return Active() == "{}"; }));
    Passes(3);
    EXPECT_EQ(Named(Json(GlobalWorkflowManager->TaskQueue)), "{}");
    EXPECT_EQ(Named(Json(GlobalWorkflowManager->Failed)), R"({"A":"install","B":"install"})");
    EXPECT_EQ(Available(), R"({"A":["install"],"B":["install"]})");
    Dictionary* workflowStatus = nullptr;
    Workflow_GetStatusDictionaryHandle(a, &workflowStatus);
    EXPECT_NE(Json(workflowStatus).find("Task_Error_DependencyFailure"), std::string::npos);
}

int g_visits = 0;
int64_t CountVisit(const char*, const char*, Workflow*) {
    g_visits++;
    return 1;
}

TEST_F(ManagerTest, ACycleOfDependenciesIsWalkedOnceAroundAndNeverAgain) {
    Workflow* a = Load(kProduct);
    Workflow* b = Load(kProduct);
    Workflow* c = Load(kProduct);
    Passes(10);
    Identify(a, "a");
    Identify(b, "b");
    Identify(c, "c");
    for (const char* link : {"a>b", "b>c", "c>a", "b>a"}) {
        const std::string text(link);
        WorkflowManager_AddDependency(text.substr(0, 1).c_str(), text.substr(2).c_str());
    }
    for (int mode = 1; mode <= 3; mode++) {
        g_visits = 0;
        EXPECT_EQ(WorkflowManager_WalkDependencyChain(a, mode, "install", CountVisit), 1) << mode;
        // b and c each once along a>b>c; the links back to a are not followed.
        EXPECT_EQ(g_visits, mode == 3 ? 3 : 2) << mode;
    }
    // Failing along the cycle stops too.
    EXPECT_EQ(WorkflowManager_WalkDependencyChain(a, 3, "install", WorkflowManager_FailDependenciesEnum), 1);
}

TEST_F(ManagerTest, WorkflowsThatDependOnEachOtherDoNotWaitForEachOtherForEver) {
    Workflow* a = Load(R"({"load": {}, "install": {}})");
    Workflow* b = Load(R"({"load": {}, "install": {}})");
    Workflow* c = Load(R"({"load": {}, "install": {"hold": true}})");
    Passes(10);
    Identify(a, "a");
    Identify(b, "b");
    WorkflowManager_AddDependency("a", "b");
    WorkflowManager_AddDependency("b", "a");
    WorkflowManager_SetMaximumActiveTasks(1);
    WorkflowManager_QueueTask(c, "install");
    WorkflowManager_QueueTask(a, "install");
    WorkflowManager_QueueTask(b, "install");
    EXPECT_EQ(Named(Json(GlobalWorkflowManager->TaskQueue)), R"({"A":{"install":{}},"B":{"install":{}}})");
    Finish(c, "install");
    ASSERT_TRUE(PassUntil([&] { return completed["install"] == 3; }));
}

} // namespace

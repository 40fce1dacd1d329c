// The engine's script classes as page script reaches them through the bridge: which classes exist,
// the objects behind their ids, each method by the CRC-32 of its name, the answers, bad calls, and
// a task type whose work script does.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/formats/interop.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/workflow/workflow_fixture.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_interop.h"
#include "workflow/workflow_manager.h"

namespace {

class InteropEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("workflow_interop.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintOverride(CaptureLog);
        ASSERT_EQ(WorkflowApp_InitInterop(), 1);
    }
    void TearDown() override {
        Debug_PrintOverride(nullptr);
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new InteropEnvironment);

uint32_t Crc(const char* name) {
    return (uint32_t)crc32(0, reinterpret_cast<const Bytef*>(name), (uInt)strlen(name));
}

std::string Create(const char* className, const std::string& id = "") {
    char buffer[INTEROP_INSTANCE_ID_SIZE] = {0};
    strncpy(buffer, id.c_str(), sizeof(buffer) - 1);
    if (!Interop_DispatchCreateInstance(className, buffer, sizeof(buffer), nullptr, nullptr, nullptr)) return "(failed)";
    return buffer;
}

// A request as script sends it; the answer as script gets it ("" when the call failed).
std::string Call(const std::string& id, const std::string& request, int64_t* result = nullptr) {
    MemoryStream* out = nullptr;
    MemoryStream_Create(&out);
    MemoryStream_SetAutoGrow(out, 1);
    const int64_t answer = Interop_DispatchInvokeJSON(id.c_str(), request.c_str(), out);
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

// Calls the class's invoke directly with the method's hash computed here; "returnValue" written
// (or "-") and the invoke's answer.
std::string Direct(int64_t (*invoke)(void*, Dictionary*, Dictionary*), void* user, const char* method,
                   const char* arguments = "{}") {
    Dictionary* document = ParseJson(arguments);
    Dictionary* request = Root(document);
    Dictionary_SetStringByKey(request, "method", method);
    Dictionary_SetInt32ByKey(request, "#methodHash", (int32_t)Crc(method));
    Dictionary* response = nullptr;
    Dictionary_Create(&response);
    const int64_t result = invoke(user, request, response);
    std::string text = Dictionary_ContainsKey(response, "returnValue") ? DictionaryAsJson(response) : "-";
    Dictionary_Release(&response);
    Dictionary_Release(&document);
    return std::to_string(result) + " " + text;
}

// A workflow of the engine context that lives through the whole program, with the test's "Step"
// type; what started and what ended.
class WorkflowInteropTest : public ::testing::Test {
  protected:
    Workflow* workflow = nullptr;
    std::vector<std::string> ends;    // "WorkflowEvent"/"Complete" information
    std::vector<std::string> started; // names of started tasks

    static int64_t OnEnd(void* user, const char*, const char*, const char*, Dictionary* info) {
        static_cast<WorkflowInteropTest*>(user)->ends.push_back("{" + DictionaryAsJson(info) + "}");
        return 1;
    }
    static int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary* info) {
        const char* name = nullptr;
        Dictionary_GetStringPtrByKey(info, "name", &name);
        static_cast<WorkflowInteropTest*>(user)->started.push_back(name ? name : "?");
        return 1;
    }
    void SetUp() override {
        ASSERT_EQ(Workflow_Create(&workflow), 1);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        NotificationCenter_AddObserver("WorkflowEvent", "Complete", this, OnEnd);
        NotificationCenter_AddObserver("Task", "Start", this, OnStart);
        TakeLog();
    }
    void TearDown() override {
        Interop_RemoveInstancesActiveInRequester(nullptr);
        Workflow_CancelTasks(workflow);
        Passes(20);
        NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", this, OnEnd);
        NotificationCenter_RemoveObserver("Task", "Start", this, OnStart);
        Workflow_Release(&workflow);
        Passes(20);
        Interop_Process();
    }
    void Pass() {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
    void Passes(int count) {
        for (int i = 0; i < count; i++) Pass();
    }
    template <typename Done> bool PassUntil(Done done) {
        return StepUntil(done, [this] {
            Pass();
            Thread_Wait(1);
        });
    }
    void Define(const char* text) {
        Dictionary* document = ParseJson(text);
        Workflow_LoadDictionary(workflow, Root(document), 1);
        Dictionary_Release(&document);
    }
    void Start(const char* name) {
        const size_t before = started.size();
        EXPECT_EQ(Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr), 1);
        EXPECT_TRUE(PassUntil([&] { return started.size() > before; })) << name << " never started";
    }
    Task* Find(const char* name) {
        Task* task = nullptr;
        Workflow_FindTaskByName(workflow, name, &task);
        return task;
    }
    std::string IdOf(Task* task) {
        char id[40] = {0};
        Task_GetInstanceId(task, id, sizeof(id));
        return id;
    }
};

TEST_F(WorkflowInteropTest, ClassesAndTheObjectsBehindTheirIds) {
    char app[40] = {0};
    ASSERT_EQ(WorkflowApp_GetInstanceId(app, sizeof(app)), 1);
    EXPECT_EQ(Create("QVR.App"), app);
    EXPECT_EQ(Create("QVR.WorkflowApp"), app);
    EXPECT_EQ(Create("QVR.WorkflowManager"), "(failed)"); // no manager yet
    ASSERT_EQ(WorkflowManager_Init(), 1);
    char manager[40] = {0};
    WorkflowManager_GetInstanceId(manager, sizeof(manager));
    EXPECT_EQ(Create("QVR.WorkflowManager"), manager);
    EXPECT_NE(Create("QVR.ScriptTaskHandler"), "(failed)");
    for (const char* name : {"QVR.Nothing", "qvr.app", "QVR.Workflow ", ""}) EXPECT_EQ(Create(name), "(failed)") << name;

    Define(R"({"held": {"type": "Step", "hold": true}})");
    Start("held");
    Task* task = Find("held");
    ASSERT_NE(task, nullptr);
    char workflowId[40] = {0};
    Workflow_GetInstanceId(workflow, workflowId, sizeof(workflowId));
    TakeLog();
    EXPECT_EQ(Create("QVR.Workflow", IdOf(task)), "(failed)");
    EXPECT_EQ(Create("QVR.Task", workflowId), "(failed)");
    EXPECT_EQ(Create("QVR.Task", "no-such-object"), "(failed)");
    const std::string log = TakeLog();
    EXPECT_NE(log.find("Instance " + IdOf(task) + " is not a type of QVR.Workflow\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Instance no-such-object is not a type of QVR.Task\n"), std::string::npos) << log;
    EXPECT_EQ(Create("QVR.Task", IdOf(task)), IdOf(task));
    EXPECT_EQ(Create("QVR.Workflow", workflowId), workflowId);
    EXPECT_EQ(Call(workflowId, R"({"method":"isGlobal"})"), R"({"returnValue":false})");
    EXPECT_EQ(Call(IdOf(task), R"({"method":"getName"})"), R"({"returnValue":"held"})");
    Task_Cancel(task);
    EXPECT_EQ(WorkflowManager_Remove(), 1);
}

TEST_F(WorkflowInteropTest, TaskMethodsAnswerAndBadCallsChangeNothing) {
    Define(R"({"held": {"type": "Step", "hold": true, "flag": true, "count": 2.5, "word": "w"}})");
    Start("held");
    Task* task = Find("held");
    ASSERT_NE(task, nullptr);
    const std::string id = Create("QVR.Task", IdOf(task));
    struct Case {
        const char* request;
        const char* answer;
        int64_t result;
    } cases[] = {
        {R"({"method":"getBooleanArgument","name":"flag"})", R"({"returnValue":1})", 1},
        {R"({"method":"getBooleanArgument","name":"absent"})", R"({"returnValue":0})", 1},
        {R"({"method":"getNumberArgument","name":"count"})", R"({"returnValue":2.5})", 1},
        {R"({"method":"getStringArgument","name":"word"})", R"({"returnValue":"w"})", 1},
        {R"({"method":"hasArgument","name":"word"})", R"({"returnValue":true})", 1},
        {R"({"method":"getType"})", R"({"returnValue":"Step"})", 1},
        {R"({"method":"addError","message":"Test_Error_%s%n"})", R"({"returnValue":true})", 1},
        {R"({"method":"getErrorCount"})", R"({"returnValue":1})", 1},
        {R"({"method":"getError","index":0})", R"({"returnValue":"Test_Error_%s%n"})", 1},
        {R"({"method":"getError","index":1})", R"({"returnValue":""})", 1},
        {R"({"method":"hasError","errorId":"Test_Error_%s%n"})", R"({"returnValue":true})", 1},
        {R"({"method":"getWarning","index":0})", R"({"returnValue":""})", 1},
        {R"({"method":"setStatusNumber","name":"n"})", "", 0},
        {R"({"method":"setStatusNumber","name":"n","value":"1"})", "", 0},
        {R"({"method":"getError"})", "", 0},
        {R"({"method":"isCompleted"})", R"({"returnValue":false})", 1},
        {R"({"method":"IsCompleted"})", "", 0},
        {R"({"method":"noSuchMethod"})", "", 0},
        {R"({"name":"flag"})", "", 0},
    };
    for (const Case& c : cases) {
        int64_t result = -1;
        EXPECT_EQ(Call(id, c.request, &result), c.answer) << c.request;
        EXPECT_EQ(result, c.result) << c.request;
    }
    const std::string log = TakeLog();
    EXPECT_NE(log.find("Parameter missing (Task.setStatusNumber::value)"), std::string::npos) << log;
    EXPECT_NE(log.find("Incorrect parameter type (Task.setStatusNumber::value)"), std::string::npos) << log;
    // What script gets when an argument is missing: false, and the invoke fails.
    EXPECT_EQ(Direct(Task_Invoke, task, "setStatusNumber", R"({"name":"n"})"), R"(0 "returnValue":false)");
    EXPECT_EQ(Direct(Task_Invoke, task, "getError", "{}"), R"(0 "returnValue":"")");
    Dictionary* status = Task_GetStatusDictionaryHandle(task);
    EXPECT_FALSE(Dictionary_ContainsKey(status, "n"));
    EXPECT_EQ(Call(id, R"({"method":"cancel"})"), R"({"returnValue":true})");
    EXPECT_EQ(Call(id, R"({"method":"isCancelled"})"), R"({"returnValue":true})");
}

TEST_F(WorkflowInteropTest, WorkflowMethodsAnswer) {
    Define(R"({"held": {"type": "Step", "hold": true}, "other": {"type": "Step"}})");
    Start("held");
    Task* task = Find("held");
    ASSERT_NE(task, nullptr);
    char workflowId[40] = {0};
    Workflow_GetInstanceId(workflow, workflowId, sizeof(workflowId));
    const std::string id = Create("QVR.Workflow", workflowId);
    const std::string taskCall = R"({"method":"hasTask","instanceId":")" + IdOf(task) + "\"}";
    const std::pair<std::string, const char*> cases[] = {
        {R"({"method":"addMacro","key":"Fruit","value":"pear"})", R"({"returnValue":true})"},
        {R"({"method":"addMacroJson","json":"{\"Tree\": \"oak\"}"})", R"({"returnValue":true})"},
        {R"({"method":"expandString","expand":"{Fruit} {Tree}"})", R"({"returnValue":"pear oak"})"},
        {R"({"method":"isTaskRunning","name":"held"})", R"({"returnValue":true})"},
        {R"({"method":"isTaskRunning","name":"other"})", R"({"returnValue":false})"},
        {R"({"method":"canCreateTask","name":"other"})", R"({"returnValue":true})"},
        {R"({"method":"canCreateTask","name":"absent"})", R"({"returnValue":false})"},
        {taskCall, R"({"returnValue":true})"},
        {R"({"method":"setStatusNumber","key":"n","value":3})", R"({"returnValue":true})"},
        {R"({"method":"cancelTasks"})", R"({"returnValue":true})"},
    };
    for (const auto& [request, answer] : cases) EXPECT_EQ(Call(id, request), answer) << request;
    Passes(10);
    EXPECT_EQ(Call(id, R"({"method":"isTaskRunning","name":"held"})"), R"({"returnValue":false})");
    ASSERT_FALSE(ends.empty());
    EXPECT_NE(ends.back().find("Task_Error_Cancelled"), std::string::npos) << ends.back();
}

// Every method is reached through the CRC-32 of its name: a method with arguments reads its first
// one (and logs it missing), one without answers.
TEST_F(WorkflowInteropTest, EveryMethodIsReachedByTheHashOfItsName) {
    ASSERT_EQ(WorkflowManager_Init(), 1);
    Define(R"({"held": {"type": "Step", "hold": true}})");
    Start("held");
    Task* task = Find("held");
    ASSERT_NE(task, nullptr);
    struct Class {
        const char* name;
        int64_t (*invoke)(void*, Dictionary*, Dictionary*);
        void* user;
        std::vector<std::pair<const char*, const char*>> methods; // method, first argument or ""
    } classes[] = {
        {"ScriptTaskHandler", ScriptTaskHandler_Invoke, nullptr, {{"unregister", "name"}, {"register", "name"}}},
        {"Task", Task_Invoke, task,
         {{"isCompleted", ""}, {"print", "message"}, {"setProgress", "progress"}, {"setStatusString", "name"},
          {"setStatusNumber", "name"}, {"getWarningCount", ""}, {"complete", "json"},
          {"getBooleanArgument", "name"}, {"getName", ""}, {"hasWarning", "warningId"}, {"setStatus", "status"},
          {"getErrorCount", ""}, {"getTimeElapsed", ""}, {"getType", ""}, {"addWarning", "message"},
          {"hasError", "errorId"}, {"getError", "index"}, {"runSubAction", "name"},
          {"getNumberArgument", "name"}, {"isCancelled", ""}, {"addError", "message"}, {"hasArgument", "name"},
          {"getStringArgument", "name"}, {"getWarning", "index"}, {"start", ""}, {"cancel", ""}}},
        {"Workflow", Workflow_Invoke, workflow,
         {{"hasRemoteTask", "instanceId"}, {"canCreateTask", "name"}, {"isTaskQueued", "name"},
          {"isActivated", ""}, {"isTaskRunning", "name"}, {"isGlobal", ""}, {"setStatusString", "key"},
          {"addMacro", "key"}, {"setStatusNumber", "key"}, {"runTask", "name"}, {"setStatus", "status"},
          {"hasRemoteWorkflow", "instanceId"}, {"hasTask", "instanceId"}, {"expandString", "expand"},
          {"queueTaskWithMacros", "name"}, {"runTaskWithMacros", "name"}, {"addMacroJson", "json"},
          {"queueTask", "name"}, {"cancelTasks", ""}, {"complete", ""}}},
        {"WorkflowApp", WorkflowApp_Invoke, nullptr,
         {{"debugPrint", "message"}, {"loadInterop", "name"}, {"unloadInterop", "name"}, {"getStartTime", ""},
          {"getRestartPath", ""}, {"jwsVerifyCertStore", "signature"}, {"getDebugFlags", ""},
          {"addMacro", "key"}, {"getConfig", "key"}, {"getCommandFieldCount", ""},
          {"getRestartArguments", ""}, {"getRestart", ""}, {"setRestartPath", "restartPath"},
          {"getCurrentTime", ""}, {"jwsVerifyKeyStore", "signature"}, {"getWorkflowByTaskId", "task"},
          {"setRestart", "restart"}, {"getCommandField", "index"}, {"getRunningTime", ""}, {"isElevated", ""},
          {"setRestartElevated", "restartElevated"}, {"expandString", "expand"},
          {"setPreventSystemShutdown", "preventSystemShutdown"}, {"getCommandLine", ""},
          {"getRestartElevated", ""}, {"setRestartArguments", "restartArguments"},
          {"getPreventSystemShutdown", ""}, {"sendCrashEvent", "format"},
          {"convertFromEntitizedString", "entitizedString"}, {"isTaskInWorkflow", "task"},
          {"getSecurityEnabled", ""}, {"getExitCode", ""}, {"getDebugFilename", ""},
          {"isCommandFieldSet", "commandField"}, {"getCommandFieldByName", "commandField"},
          {"jwsVerifyKey", "signature"}, {"convertToEntitizedString", "utf8string"}, {"setExitCode", "exitCode"}}},
        {"WorkflowManager", WorkflowManager_Invoke, nullptr,
         {{"queueAvailableTasks", "name"}, {"getMaximumActiveStateTasks", ""}, {"setFlowControl", "flowControl"},
          {"getMaximumActiveTasks", ""}, {"setProgress", "workflow"}, {"setHardDependency", "hardDependency"},
          {"setMaximumActiveTasks", "maximumActiveTasks"}, {"runTask", "workflow"},
          {"setQueueTaskNames", "queueTaskNames"}, {"getHardDependency", ""}, {"getFlowControl", ""},
          {"setProgressTaskNames", "progressTaskNames"}, {"clearTaskAvailability", "workflow"},
          {"setMaximumActiveStateTasks", "maximumActiveStateTasks"}, {"addDependency", "id"},
          {"queueAvailableTasksByWorkflow", "name"}, {"queueTaskWithMacros", "workflow"},
          {"getStateInterval", ""}, {"runTaskWithMacros", "workflow"},
          {"setDependencyTaskNames", "dependencyTaskNames"}, {"unload", "callbackId"},
          {"setTaskAvailability", "workflow"}, {"queueTask", "workflow"}, {"setStateInterval", "stateInterval"},
          {"add", "json"}}},
    };
    for (const Class& k : classes) {
        EXPECT_EQ(Direct(k.invoke, k.user, "notAMethod"), "0 -") << k.name;
        for (const auto& [method, argument] : k.methods) {
            TakeLog();
            const std::string answer = Direct(k.invoke, k.user, method);
            const std::string log = TakeLog();
            if (argument[0]) {
                EXPECT_EQ(answer.substr(0, 2), "0 ") << k.name << "." << method;
                const std::string line = std::string("Parameter missing (") + k.name + "." + method + "::" + argument + ")";
                EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
            } else {
                EXPECT_EQ(answer.substr(0, 2), "1 ") << k.name << "." << method;
                EXPECT_NE(answer, "1 -") << k.name << "." << method;
            }
        }
    }
    EXPECT_EQ(WorkflowManager_Remove(), 1);
}

TEST_F(WorkflowInteropTest, ManagerStateIntervalKeepsItsFloor) {
    ASSERT_EQ(WorkflowManager_Init(), 1);
    const std::string id = Create("QVR.WorkflowManager");
    for (const auto& [given, kept] : std::vector<std::pair<int, int>>{{0, 30}, {31, 31}, {-1, -1}, {-5, 30}}) {
        EXPECT_EQ(Call(id, R"({"method":"setStateInterval","stateInterval":)" + std::to_string(given) + "}"),
                  R"({"returnValue":true})");
        EXPECT_EQ(Call(id, R"({"method":"getStateInterval"})"), R"({"returnValue":)" + std::to_string(kept) + "}")
            << given;
    }
    EXPECT_EQ(Call(id, R"({"method":"setMaximumActiveTasks","maximumActiveTasks":3})"), R"({"returnValue":true})");
    EXPECT_EQ(Call(id, R"({"method":"getMaximumActiveTasks"})"), R"({"returnValue":3})");
    EXPECT_EQ(WorkflowManager_Remove(), 1);
    // The instance outlives the manager: its calls fail without harm.
    EXPECT_EQ(Call(id, R"({"method":"getStateInterval"})"), R"({"returnValue":0})");
}

TEST_F(WorkflowInteropTest, AppMethodsAnswer) {
    const std::string id = Create("QVR.App");
    EXPECT_EQ(Call(id, R"({"method":"addMacro","key":"Colour","value":"blue"})"), R"({"returnValue":true})");
    EXPECT_EQ(Call(id, R"({"method":"expandString","expand":"sky {Colour}"})"), R"({"returnValue":"sky blue"})");
    EXPECT_EQ(Call(id, R"({"method":"getConfig","key":"no.such.key","defaultValue":"dflt"})"),
              R"({"returnValue":"dflt"})");
    EXPECT_EQ(Call(id, R"({"method":"convertToEntitizedString","utf8string":"caf\u00e9"})"),
              R"({"returnValue":"caf&#233;"})");
    EXPECT_EQ(Call(id, R"({"method":"convertFromEntitizedString","entitizedString":"&#8364;"})"),
              R"({"returnValue":"\u20AC"})");
    EXPECT_EQ(Call(id, R"({"method":"setRestartArguments","restartArguments":"--again"})"), R"({"returnValue":true})");
    EXPECT_EQ(Call(id, R"({"method":"getRestartArguments"})"), R"({"returnValue":"--again"})");
    EXPECT_EQ(Call(id, R"({"method":"setRestartArguments","restartArguments":""})"), R"({"returnValue":true})");
    // String answers are cut to 8191 bytes.
    const std::string answer = Call(id, R"({"method":"expandString","expand":")" + std::string(9000, 'a') + "\"}");
    EXPECT_EQ(answer, R"({"returnValue":")" + std::string(8191, 'a') + "\"}");
    // A mistyped argument: the call fails and the flag stays.
    EXPECT_EQ(Direct(WorkflowApp_Invoke, nullptr, "setRestart", R"({"restart":"yes"})"), R"(0 "returnValue":false)");
    EXPECT_EQ(Call(id, R"({"method":"getRestart"})"), R"({"returnValue":false})");
}

TEST_F(WorkflowInteropTest, OnlyTheEnginesOwnSwitchesAreKeptBack) {
    for (const char* name : {"debuginterop", "maxdays", "wfendpoint", "wfworker", "wfselfupdate"})
        EXPECT_EQ(Workflow_ShouldRemoveSwitch(name), 1) << name;
    for (const char* name : {"WFWORKER", "WfWorker", "verbose", "wfworke", "wfworkerx", ""})
        EXPECT_EQ(Workflow_ShouldRemoveSwitch(name), 0) << name;
}

// A task type added by script is created like a built-in one; script sees the task start and ends it.
TEST_F(WorkflowInteropTest, ScriptTaskTypeRunsEndToEnd) {
    const std::string handler = Create("QVR.ScriptTaskHandler");
    EXPECT_EQ(Call(handler, R"({"method":"register","name":"ScriptStep"})"), R"({"returnValue":true})");
    EXPECT_EQ(ScriptTaskHandler_IsRegistered("scriptstep"), 1);
    // Script takes back only what script added.
    EXPECT_EQ(ScriptTaskHandler_IsRegistered("Queue"), 1);
    EXPECT_EQ(Call(handler, R"({"method":"unregister","name":"Queue"})"), R"({"returnValue":false})");
    EXPECT_EQ(ScriptTaskHandler_IsRegistered("Queue"), 1);

    Define(R"({"go": {"type": "ScriptStep", "answer": 42, "success": "after"}, "after": {"type": "Step"}})");
    Start("go");
    ASSERT_EQ(started.size(), 1u);
    Task* task = Find("go");
    ASSERT_NE(task, nullptr);
    const std::string id = Create("QVR.Task", IdOf(task));
    Passes(5); // nothing native ends it
    EXPECT_TRUE(ends.empty());
    EXPECT_EQ(Call(id, R"({"method":"getNumberArgument","name":"answer"})"), R"({"returnValue":42})");
    EXPECT_EQ(Call(id, R"({"method":"setStatus","status":"half"})"), R"({"returnValue":true})");
    EXPECT_EQ(Call(id, R"({"method":"complete","json":"{\"note\": \"done\"}"})"), R"({"returnValue":true})");
    PassUntil([&] { return !ends.empty(); });
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_NE(ends[0].find(R"("successful":true)"), std::string::npos) << ends[0];
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1], "after");
    EXPECT_EQ(Call(id, R"({"method":"isCompleted"})"), R"({"returnValue":true})");

    EXPECT_EQ(Call(handler, R"({"method":"unregister","name":"ScriptStep"})"), R"({"returnValue":true})");
    EXPECT_EQ(Call(handler, R"({"method":"unregister","name":"ScriptStep"})"), R"({"returnValue":false})");
    EXPECT_EQ(ScriptTaskHandler_IsRegistered("ScriptStep"), 0);
}

} // namespace
